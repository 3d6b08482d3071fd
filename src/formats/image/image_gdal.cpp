// PNG and JPEG label maps, decoded by GDAL (part of the GDAL module).
#include <optional>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "formats/image/image_format.hpp"
#include "libs/gdal_util.hpp"
#include "vexil/errors.hpp"

namespace vexil::formats::image {

namespace {

libs::gdal::Dataset open_image(const std::string& path) {
  static const char* const kDrivers[] = {"PNG", "JPEG", "GIF", nullptr};
  try {
    return libs::gdal::open_raster(path, kDrivers);
  } catch (const ReadError& e) {
    const std::string_view msg = e.what();
    if (msg.find("not recognized as a supported file format") != std::string_view::npos)
      throw ReadError(fmt::format("cannot identify image file '{}'", path));
    throw ReadError(fmt::format("cannot identify image file '{}': {}", path, msg));
  }
}

}  // namespace

NDArray read_with_gdal(const std::string& path) {
  // libjpeg's complaints about truncated data are errors, not warnings
  // with grey pixels.
  const libs::gdal::ScopedConfig strict("GDAL_ERROR_ON_LIBJPEG_WARNING", "YES");
  libs::gdal::Dataset ds = open_image(path);
  std::optional<libs::gdal::ScopedConfig> cmyk;
  {
    const char* space = GDALGetMetadataItem(libs::gdal::handle(ds), "SOURCE_COLOR_SPACE", "IMAGE_STRUCTURE");
    if (space && (std::string_view(space) == "CMYK" || std::string_view(space) == "YCCK")) {
      // GDAL converts CMYK JPEGs to RGB by default; read the stored inks.
      ds.reset();
      cmyk.emplace("GDAL_JPEG_TO_RGB", "NO");
      ds = open_image(path);
    }
  }
  const GDALDatasetH h = libs::gdal::handle(ds);
  const int count = GDALGetRasterCount(h);
  if (count < 1) throw ReadError(fmt::format("cannot identify image file '{}': no raster bands", path));

  GDALRasterBandH first = GDALGetRasterBand(h, 1);
  const GDALDataType t = GDALGetRasterDataType(first);
  std::vector<int> bands;
  for (int i = 1; i <= count; ++i) {
    if (GDALGetRasterDataType(GDALGetRasterBand(h, i)) != t)
      throw ReadError(fmt::format("'{}': channels of different sample types", path));
    bands.push_back(i);
  }
  libs::gdal::BandType type{DType::UInt8, GDT_Byte, "uint8"};
  if (t == GDT_UInt16) {
    type = {DType::UInt16, GDT_UInt16, "uint16"};
  } else if (t != GDT_Byte) {
    throw ReadError(fmt::format("'{}': unsupported sample type {}", path, GDALGetDataTypeName(t)));
  }

  NDArray cube = libs::gdal::read_interleaved(h, bands, type, path);
  const auto height = cube.shape()[0], width = cube.shape()[1];
  auto* data = cube.mutable_data();
  const auto n = static_cast<std::size_t>(cube.size());

  const GDALColorInterp ci = GDALGetRasterColorInterpretation(first);
  const char* driver = GDALGetDriverShortName(GDALGetDatasetDriver(h));
  if (count == 4 && ci == GCI_CyanBand && driver && std::string_view(driver) == "JPEG") {
    // Adobe CMYK is stored inverted; every Adobe-aware reader flips it back.
    for (std::size_t i = 0; i < n; ++i)
      data[i] = std::byte{static_cast<std::uint8_t>(255 - std::to_integer<int>(data[i]))};
  }
  if (count > 1) return cube;

  DType dtype = cube.dtype();
  const char* nbits = GDALGetMetadataItem(first, "NBITS", "IMAGE_STRUCTURE");
  if (ci != GCI_PaletteIndex && t == GDT_Byte && nbits && std::string_view(nbits) == "1") {
    for (std::size_t i = 0; i < n; ++i) data[i] = std::byte{data[i] != std::byte{0}};
    dtype = DType::Bool;
  }
  return NDArray::view(dtype, {height, width}, {cube.strides()[0], cube.strides()[1]}, data, cube.keep_alive());
}

}  // namespace vexil::formats::image
