#include "formats/products/product_table.hpp"

namespace vexil::formats::products {

// Each defined in its own file of this folder.
extern const Product kAvirisClassic;
extern const Product kEmit;
extern const Product kEnmapTiff;
extern const Product kGeotiffEnviDomain;
extern const Product kPrisma;
extern const Product kSpecim;
extern const Product kTiffEnviHeader;

namespace {

// One entry per known product, most specific first.
const Product* const kProducts[] = {
    &kEmit, &kPrisma, &kEnmapTiff, &kTiffEnviHeader, &kGeotiffEnviDomain, &kAvirisClassic, &kSpecim,
};

}  // namespace

std::span<const Product* const> all_products() { return kProducts; }

const Product* find_product(const ProductInput& in) {
  for (const Product* p : all_products())
    if (p->container == in.container && p->matches(in)) return p;
  return nullptr;
}

}  // namespace vexil::formats::products
