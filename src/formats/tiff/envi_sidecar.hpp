// ENVI headers that describe a file of another format (DESIS ships its
// GeoTIFF with one): finding the pair, and what the header says about the
// bands under the common band-fact keys.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "formats/band_facts.hpp"
#include "vexil/metadata.hpp"

namespace vexil::formats::tiff {

// The header's fields as the ENVI reader keeps them (envi::header_metadata).
Metadata envi_header_fields(const std::string& hdr_path);

// The header beside a TIFF: <stem>.hdr / <stem>.HDR, or <name>.hdr
// (GDAL's SUFFIX=ADD), when it is a regular file whose "file type" names a
// foreign format. nullopt otherwise.
std::optional<std::string> envi_header_beside(const std::string& tiff_path);

// The data file a foreign-type header describes: the header's own name
// without .hdr when that is a file (SUFFIX=ADD), else <stem> with .tif,
// .tiff or .geotiff in lower or upper case. nullopt when none exists.
std::optional<std::string> data_file_beside_header(const std::string& hdr_path);

}  // namespace vexil::formats::tiff
