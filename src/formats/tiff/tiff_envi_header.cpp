// A TIFF described by an ENVI header beside it (file type = TIFF).
#include <fmt/format.h>

#include "formats/band_facts.hpp"
#include "formats/envi/envi_metadata.hpp"
#include "formats/tiff/tiff_format.hpp"
#include "io/paths.hpp"
#include "text/utf8.hpp"
#include "vexil/errors.hpp"

namespace vexil::formats::tiff {

bool envi_file_type_is_foreign(std::string_view file_type) {
  const std::string t = text::lower(text::strip_whitespace(file_type));
  return t == "tiff" || t == "geotiff";
}

LoadResult load_tiff_described_by_envi_header(const std::string& hdr_path, const std::string& data_path,
                                              const Metadata& header_fields, const ReadOptions& options) {
  std::string tif = data_path;
  const std::string base = io::splitext(hdr_path).first;
  if (tif.empty()) {
    for (const char* ext : {".tif", ".tiff", ".geotiff", ".TIF", ".TIFF", ".GEOTIFF"}) {
      if (io::isfile(base + ext)) {
        tif = base + ext;
        break;
      }
    }
  }
  if (tif.empty())
    throw NotFoundError(fmt::format(
        "ENVI header {} describes a TIFF file, but neither {}.tif nor {}.tiff lies beside it.", hdr_path, base, base));

  LoadResult read = load_tiff(tif, options);
  LoadResult result;
  result.data = std::move(read.data);
  for (auto it = read.meta.begin(); it != read.meta.end(); ++it)
    if (it.key() != "_source_format" && it.key() != "_source_file") result.meta[it.key()] = it.value();
  result.meta["envi_header"] = header_fields;
  const std::int64_t bands = result.data.ndim() >= 3 ? result.data.shape()[2] : 1;
  add_band_facts(result.meta, envi::band_facts_from_header(header_fields, bands));
  result.meta["envi_header_file"] = io::abspath(hdr_path);
  result.meta["_source_format"] = read.meta.value("_source_format", "TIFF");
  result.meta["_source_file"] = read.meta.value("_source_file", io::abspath(tif));
  result.files = {hdr_path, tif};
  return result;
}

}  // namespace vexil::formats::tiff
