// What a file or a known product declares about its bands and values, under
// the metadata keys the summary and users read, whatever the container.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "vexil/metadata.hpp"

namespace vexil::formats {

struct BandFacts {
  std::optional<std::vector<double>> wavelength;       // band centres, in the stored band order
  std::optional<std::vector<double>> fwhm;             // band widths, same order
  std::optional<std::vector<std::int64_t>> bad_bands;  // 0-based indices of bands flagged bad
  std::optional<std::string> wavelength_units;
  std::optional<Metadata> fill_value;  // a JSON number, as declared (-9999, -9999.0, nan)
  // How stored values become physical ones; the data are never rescaled.
  // E.g. {"gain": [...], "offset": [...], "apply": "value = gain * DN + offset"}.
  std::optional<Metadata> scale;
  std::string source;  // where they were found, e.g. "sensor_band_parameters group"
};

// Adds the facts to `meta` as "wavelength", "fwhm", "bad_bands",
// "wavelength_units", "fill_value", "scale" (and "band_facts_source"), in
// that order and before a trailing "_source_format"/"_source_file", so those
// stay last. A key the reader already set (an ENVI header's own "wavelength")
// keeps its value and place: nothing the file said is replaced.
void add_band_facts(Metadata& meta, const BandFacts& facts);

// Takes from `more` each fact `into` lacks (sources untouched); true when
// any was taken.
bool take_missing_facts(BandFacts& into, const BandFacts& more);

// The declared fill value of an image's metadata ("fill_value"), if any.
std::optional<double> declared_fill_value(const Metadata& meta);

}  // namespace vexil::formats
