// DLR DESIS L1B-L2A: a GeoTIFF with an ENVI header beside it ("file type =
// TIFF") that holds the wavelengths, widths, data ignore value and data
// gain/offset values. Any TIFF shipped that way gets the same reading.
#include "formats/envi/envi_metadata.hpp"
#include "formats/products/product_table.hpp"
#include "formats/tiff/envi_sidecar.hpp"
#include "io/paths.hpp"
#include "vexil/errors.hpp"

namespace vexil::formats::products {
namespace {

bool matches(const ProductInput& in) { return tiff::envi_header_beside(in.path).has_value(); }

void describe(const ProductInput& in, const std::string&, BandFacts& facts) {
  const auto hdr = tiff::envi_header_beside(in.path);
  if (!hdr || !in.meta || !in.meta->contains("count")) return;
  const Metadata& count = (*in.meta)["count"];
  if (!count.is_number_integer()) return;
  try {
    facts = envi::band_facts_from_header(tiff::envi_header_fields(*hdr), count.get<std::int64_t>());
    facts.source = "ENVI header " + io::basename(*hdr);
  } catch (const Error&) {
    // A header that cannot be read again says nothing.
  }
}

}  // namespace

extern const Product kTiffEnviHeader;
const Product kTiffEnviHeader{"DESIS (TIFF with an ENVI header)", "tiff", &matches, nullptr, nullptr, &describe};

}  // namespace vexil::formats::products
