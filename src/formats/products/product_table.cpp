#include "formats/products/product_table.hpp"

namespace vexil::formats::products {

extern const Product kAvirisClassic;
extern const Product kSpecim;

namespace {

// One entry per known product, most specific first.
const Product* const kProducts[] = {&kAvirisClassic, &kSpecim};

}  // namespace

std::span<const Product* const> all_products() {
  return std::span<const Product* const>(kProducts, kProducts[0] ? std::size(kProducts) : 0);
}

const Product* find_product(const ProductInput& in) {
  for (const Product* p : all_products())
    if (p->container == in.container && p->matches(in)) return p;
  return nullptr;
}

}  // namespace vexil::formats::products
