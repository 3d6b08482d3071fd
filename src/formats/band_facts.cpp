#include "formats/band_facts.hpp"

#include <cmath>
#include <string_view>

namespace vexil::formats {
namespace {

Metadata numbers(const std::vector<double>& v) {
  Metadata a = Metadata::array();
  for (double x : v) a.push_back(x);
  return a;
}

bool is_trailing(std::string_view key) { return key == "_source_format" || key == "_source_file"; }

}  // namespace

void add_band_facts(Metadata& meta, const BandFacts& facts) {
  Metadata added = Metadata::object();
  auto add = [&](const char* key, Metadata value) {
    if (!meta.contains(key)) added[key] = std::move(value);
  };
  if (facts.wavelength) add("wavelength", numbers(*facts.wavelength));
  if (facts.fwhm) add("fwhm", numbers(*facts.fwhm));
  if (facts.bad_bands) add("bad_bands", Metadata(*facts.bad_bands));
  if (facts.wavelength_units) add("wavelength_units", *facts.wavelength_units);
  if (facts.fill_value) add("fill_value", *facts.fill_value);
  if (facts.scale) add("scale", *facts.scale);
  if (added.empty()) return;
  if (!facts.source.empty()) add("band_facts_source", facts.source);

  // Rebuild so the provenance keys stay last.
  Metadata out = Metadata::object();
  Metadata trailing = Metadata::object();
  for (auto it = meta.begin(); it != meta.end(); ++it)
    (is_trailing(it.key()) ? trailing : out)[it.key()] = std::move(it.value());
  for (auto it = added.begin(); it != added.end(); ++it) out[it.key()] = std::move(it.value());
  for (auto it = trailing.begin(); it != trailing.end(); ++it) out[it.key()] = std::move(it.value());
  meta = std::move(out);
}

bool take_missing_facts(BandFacts& into, const BandFacts& more) {
  bool used = false;
  auto take = [&](auto& dst, const auto& src) {
    if (!dst && src) {
      dst = src;
      used = true;
    }
  };
  take(into.wavelength, more.wavelength);
  take(into.fwhm, more.fwhm);
  take(into.bad_bands, more.bad_bands);
  take(into.wavelength_units, more.wavelength_units);
  take(into.fill_value, more.fill_value);
  take(into.scale, more.scale);
  return used;
}

std::optional<double> declared_fill_value(const Metadata& meta) {
  if (!meta.is_object()) return std::nullopt;
  const auto it = meta.find("fill_value");
  if (it == meta.end() || !it->is_number()) return std::nullopt;
  return it->get<double>();
}

}  // namespace vexil::formats
