// load_envi: pairs header and data file, reads the cube in its native
// element type and keeps every header field in the metadata, followed by
// what the header (and a known product's side files) say about the bands.
#include <string>
#include <string_view>

#include "formats/envi/envi_data.hpp"
#include "formats/envi/envi_format.hpp"
#include "formats/envi/envi_header.hpp"
#include "formats/envi/envi_metadata.hpp"
#include "formats/envi/envi_pairing.hpp"
#include "formats/libraries.hpp"
#include "formats/products/product_table.hpp"
#include "formats/gdal_module.hpp"
#include "formats/tiff/tiff_format.hpp"
#include "io/paths.hpp"

namespace vexil::formats::envi {

namespace {

const HeaderValue* file_type(const Header& header) {
  const HeaderValue* v = header.find("file type");
  return v && !v->is_list ? v : nullptr;
}

}  // namespace

LoadResult load_envi(const std::string& path, const ReadOptions& options) {
  EnviPaths paths = pair_paths(path);
  const Header header = read_header_file(paths.hdr_path);

  // A header that describes a file of another format (DESIS ships a GeoTIFF
  // with an ENVI header): that file is read by its own reader.
  if (const HeaderValue* type = file_type(header); type && tiff::envi_file_type_is_foreign(type->text)) {
    require_library("gdal");
    return gdal_module::load_tiff_described_by_envi_header(paths.hdr_path, path == paths.hdr_path ? "" : path,
                                                           header_metadata(header), options);
  }

  const Layout layout = layout_from_header(header, paths.hdr_path);
  const std::string img_path =
      paths.img_path ? *paths.img_path : find_data_file(paths.hdr_path, layout.interleave_text);

  LoadResult result;
  result.data = read_cube(img_path, layout);
  result.meta = header_metadata(header);

  BandFacts facts = band_facts_from_header(result.meta, layout.bands);
  products::ProductInput product_input{img_path, "envi", &result.meta};
  if (const products::Product* product = products::find_product(product_input)) {
    product->describe(product_input, "", facts);
  }
  add_band_facts(result.meta, facts);

  result.meta["_source_format"] = "ENVI";
  result.meta["_source_file"] = io::abspath(paths.hdr_path);
  result.files = {paths.hdr_path, img_path};
  return result;
}

LoadResult load_envi_labels(const std::string& path, const ReadOptions& options) {
  LoadResult result = load_envi(path, options);
  result.data = result.data.squeeze();
  return result;
}

namespace {
// Data files are named too: the header is found beside them.
constexpr std::string_view kImageExtensions[] = {".hdr", ".img", ".lan", ".dat",   ".raw",
                                                 ".bsq", ".bil", ".bip", ".hyspex"};
constexpr std::string_view kLabelExtensions[] = {".hdr", ".img", ".dat", ".raw", ".bsq", ".bil", ".bip", ".hyspex"};
}  // namespace

const Format kFormat{"envi", kImageExtensions, kLabelExtensions, "", &load_envi, &load_envi_labels};

}  // namespace vexil::formats::envi
