// A TIFF (or another file GDAL reads) described by an ENVI header beside it,
// as DESIS ships its cubes: the header's "file type" names the format.
#include <fmt/format.h>

#include "formats/tiff/envi_sidecar.hpp"
#include "formats/tiff/tiff_format.hpp"
#include "formats/tiff/tiff_read.hpp"
#include "io/paths.hpp"
#include "vexil/errors.hpp"

namespace vexil::formats::tiff {

LoadResult load_tiff_described_by_envi_header(const std::string& hdr_path, const std::string& data_path,
                                              const Metadata& header_fields, const ReadOptions& options) {
  std::string data = data_path;
  if (data.empty()) {
    const auto found = data_file_beside_header(hdr_path);
    if (!found) {
      const std::string stem = io::splitext(hdr_path).first;
      throw NotFoundError(
          fmt::format("ENVI header {} describes a TIFF file, but no {}.tif, {}.tiff or {}.geotiff "
                      "(in lower or upper case) lies beside it.",
                      hdr_path, stem, stem, stem));
    }
    data = *found;
  }
  TiffContext context;
  context.envi_header = &header_fields;
  context.envi_header_path = hdr_path;
  return read_tiff(data, options, context);
}

}  // namespace vexil::formats::tiff
