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

// The header's fields as the ENVI reader keeps them: lower-case keys in
// header order, a text or a list of texts each.
Metadata envi_header_fields(const std::string& hdr_path);

// wavelength, fwhm, wavelength units, bbl (as bad-band indices), data ignore
// value (as fill value) and data gain/offset values or reflectance scale
// factor (as scale). A list is used only when it has one number per band
// (`bands`); values that are not numbers leave their key out.
BandFacts envi_header_facts(const Metadata& fields, std::int64_t bands);

// The header beside a TIFF: <stem>.hdr / <stem>.HDR, or <name>.hdr
// (GDAL's SUFFIX=ADD), when it is a regular file whose "file type" names a
// foreign format. nullopt otherwise.
std::optional<std::string> envi_header_beside(const std::string& tiff_path);

// The data file a foreign-type header describes: the header's own name
// without .hdr when that is a file (SUFFIX=ADD), else <stem> with .tif,
// .tiff or .geotiff in lower or upper case. nullopt when none exists.
std::optional<std::string> data_file_beside_header(const std::string& hdr_path);

}  // namespace vexil::formats::tiff
