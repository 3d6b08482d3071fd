// What an ENVI header contributes to metadata.json: every field as written
// (the usual ones first), and what it declares about the bands and values
// under the common band-fact keys.
#pragma once

#include <cstdint>

#include "formats/band_facts.hpp"
#include "formats/envi/envi_header.hpp"
#include "vexil/metadata.hpp"

namespace vexil::formats::envi {

// Every header field: the seventeen usual ones first in their fixed order,
// then the others in header order, each as its text or its list of texts,
// except "bbl", whose entries become integers (int(float(text)) for each)
// when every entry reads as a number. No "_source_*" keys.
Metadata header_metadata(const Header& header);

// Band facts of header fields as header_metadata() gives them (or as plain
// texts: numbers may be written either way), for an image
// of `bands` bands: "wavelength" and "fwhm" as numbers, "bbl" as bad-band
// indices, "wavelength units", "data ignore value" as the fill value, and
// "data gain values"/"data offset values" (or else "reflectance scale
// factor") as the scale. A list whose length is not `bands`, or holding an
// entry that is not a number, is left out.
BandFacts band_facts_from_header(const Metadata& fields, std::int64_t bands);

}  // namespace vexil::formats::envi
