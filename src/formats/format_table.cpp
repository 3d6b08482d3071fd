#include "formats/format_table.hpp"

#include "formats/envi/envi_format.hpp"
#include "formats/gdal/gdal_containers.hpp"
#include "formats/hdf5/hdf5_format.hpp"
#include "formats/image/image_format.hpp"
#include "formats/mat/mat_format.hpp"
#include "formats/tiff/tiff_format.hpp"

namespace vexil::formats {
namespace {

const Format* const kFormats[] = {&envi::kFormat,  &tiff::kFormat,        &hdf5::kFormat,    &mat::kFormat,
                                  &image::kFormat, &gdal::kNetcdf3Format, &gdal::kHdf4Format};

const Format* find(std::string_view ext, std::span<const std::string_view> Format::*list) {
  for (const Format* f : kFormats)
    for (std::string_view e : f->*list)
      if (e == ext) return f;
  return nullptr;
}

}  // namespace

std::span<const Format* const> all_formats() { return kFormats; }

const Format* format_for_image_extension(std::string_view ext) { return find(ext, &Format::image_extensions); }

const Format* format_for_label_extension(std::string_view ext) { return find(ext, &Format::label_extensions); }

const Format* format_by_key(std::string_view key) {
  for (const Format* f : kFormats)
    if (f->key == key) return f;
  return nullptr;
}

}  // namespace vexil::formats
