// Specim cameras: capture/<name>.raw with its dark and white reference
// captures beside it (DARKREF_<name>.raw, WHITEREF_<name>.raw, each with its
// header). Reflectance = (DN - dark) / (white - dark), line by line; the
// references are named, not applied.
#include <string>

#include "formats/products/product_table.hpp"
#include "io/paths.hpp"

namespace vexil::formats::products {
namespace {

struct References {
  std::string dark, white;  // file names beside the capture
};

References references(const std::string& path) {
  const std::string name = io::basename(path);
  const std::string folder = path.substr(0, path.size() - name.size());
  const std::string stem = io::splitext(name).first;
  References r;
  for (const char* ext : {".raw", ".RAW", ""}) {
    if (r.dark.empty() && io::isfile(folder + "DARKREF_" + stem + ext)) r.dark = "DARKREF_" + stem + ext;
    if (r.white.empty() && io::isfile(folder + "WHITEREF_" + stem + ext)) r.white = "WHITEREF_" + stem + ext;
  }
  return r;
}

bool matches(const ProductInput& in) {
  const References r = references(in.path);
  return !r.dark.empty() && !r.white.empty();
}

void describe(const ProductInput& in, const std::string&, BandFacts& facts) {
  const References r = references(in.path);
  facts.scale = Metadata{{"dark_reference", r.dark},
                         {"white_reference", r.white},
                         {"apply", "reflectance = (DN - dark) / (white - dark)"}};
  facts.source = "Specim capture folder";
}

}  // namespace

extern const Product kSpecim{"Specim capture", "envi", &matches, nullptr, nullptr, &describe};

}  // namespace vexil::formats::products
