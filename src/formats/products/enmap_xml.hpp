// EnMAP's METADATA.XML, read with GDAL's XML parser (in the GDAL module).
#pragma once

#include <cstdint>
#include <string>

#include "formats/band_facts.hpp"

namespace vexil::formats::products {

// Fills `facts` from `xml` for the image at `image_path` holding `count`
// bands (L1B's VNIR image takes the first bands of the table, SWIR the
// last); leaves them when the file cannot be parsed or does not match.
void describe_enmap_xml(const std::string& xml, const std::string& image_path, std::int64_t count, BandFacts& facts);

}  // namespace vexil::formats::products
