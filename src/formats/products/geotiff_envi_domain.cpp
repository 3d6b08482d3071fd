// A GeoTIFF written by GDAL from an ENVI file keeps the header's band
// fields in its ENVI metadata domain ("wavelength={0.45,0.5}",
// "wavelength_units=Micrometers"); they mean what they meant in the header.
#include "formats/envi/envi_metadata.hpp"
#include "formats/products/product_table.hpp"
#include "formats/tiff/envi_sidecar.hpp"

namespace vexil::formats::products {
namespace {

const Metadata* envi_domain(const ProductInput& in) {
  if (!in.meta || !in.meta->is_object()) return nullptr;
  const auto it = in.meta->find("envi_metadata");
  return it != in.meta->end() && it->is_object() ? &*it : nullptr;
}

bool matches(const ProductInput& in) { return envi_domain(in) != nullptr; }

// "{a, b, c}" as the list of its items, the way a header's braces read.
Metadata header_value(const std::string& text) {
  const auto open = text.find('{');
  const auto close = text.rfind('}');
  if (open == std::string::npos || close == std::string::npos || close < open) return text;
  Metadata items = Metadata::array();
  const std::string inner = text.substr(open + 1, close - open - 1);
  std::size_t start = 0;
  for (;;) {
    const auto comma = inner.find(',', start);
    items.push_back(inner.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return items;
}

void describe(const ProductInput& in, const std::string&, BandFacts& facts) {
  const Metadata* domain = envi_domain(in);
  if (!domain || !in.meta->contains("count") || !(*in.meta)["count"].is_number_integer()) return;
  // GDAL writes the header's keys with '_' for ' '.
  Metadata fields = Metadata::object();
  for (auto it = domain->begin(); it != domain->end(); ++it) {
    std::string key = it.key();
    for (char& c : key)
      if (c == '_') c = ' ';
    if (it->is_string()) fields[key] = header_value(it->get<std::string>());
  }
  facts = envi::band_facts_from_header(fields, (*in.meta)["count"].get<std::int64_t>());
  facts.source = "GDAL ENVI metadata domain";
}

}  // namespace

extern const Product kGeotiffEnviDomain;
const Product kGeotiffEnviDomain{"GeoTIFF ENVI metadata domain", "tiff", &matches, nullptr, nullptr, &describe};

}  // namespace vexil::formats::products
