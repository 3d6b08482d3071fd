#include "formats/products/product_table.hpp"

namespace vexil::formats::products {

extern const Product kEnmapTiff;
extern const Product kTiffEnviHeader;
extern const Product kGeotiffEnviDomain;

namespace {

// One entry per known product, most specific first.
const Product* const kProducts[] = {
    &kEnmapTiff,
    &kTiffEnviHeader,
    &kGeotiffEnviDomain,
};

}  // namespace

std::span<const Product* const> all_products() { return kProducts; }

const Product* find_product(const ProductInput& in) {
  for (const Product* p : all_products())
    if (p->container == in.container && p->matches(in)) return p;
  return nullptr;
}

}  // namespace vexil::formats::products
