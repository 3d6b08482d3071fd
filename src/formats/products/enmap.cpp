// DLR EnMAP L1B / L2A delivered as GeoTIFF (…-SPECTRAL_IMAGE.TIF, .GEOTIFF
// or _COG.TIF): band centres, widths, gains and offsets and the background
// value live only in the …-METADATA.XML beside the image.
#include <algorithm>
#include <cmath>
#include <map>
#include <string>

#include "formats/products/product_table.hpp"
#include "io/paths.hpp"
#include "text/text_format.hpp"
#include "text/utf8.hpp"

#ifdef VEXIL_HAVE_GDAL
#include <cpl_error.h>
#include <cpl_minixml.h>
#endif

namespace vexil::formats::products {
namespace {

// The METADATA.XML that belongs to an EnMAP image, when it exists.
std::optional<std::string> metadata_xml(const std::string& path) {
  const std::string name = io::basename(path);
  const std::string upper_name = [&] {
    std::string u = name;
    for (char& c : u)
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    return u;
  }();
  if (!upper_name.starts_with("ENMAP")) return std::nullopt;
  const auto at = upper_name.rfind("-SPECTRAL_IMAGE");
  if (at == std::string::npos) return std::nullopt;
  const std::string folder = path.substr(0, path.size() - name.size());
  for (const char* tail : {"-METADATA.XML", "-METADATA.xml", "-metadata.xml"}) {
    const std::string candidate = folder + name.substr(0, at) + tail;
    if (io::isfile(candidate)) return candidate;
  }
  return std::nullopt;
}

bool matches(const ProductInput& in) { return metadata_xml(in.path).has_value(); }

#ifdef VEXIL_HAVE_GDAL
std::optional<double> xml_number(const CPLXMLNode* node, const char* path) {
  const char* v = CPLGetXMLValue(node, path, nullptr);
  double d = 0;
  if (!v || !text::parse_float(v, d)) return std::nullopt;
  return d;
}

// The first element named `name` in the document (the declaration node
// and the root element are siblings at the top).
const CPLXMLNode* find_node(const CPLXMLNode* top, const char* name) {
  for (const CPLXMLNode* n = top; n; n = n->psNext) {
    if (n->eType == CXT_Element && std::string_view(n->pszValue) == name) return n;
    if (n->eType == CXT_Element && n->psChild)
      if (const CPLXMLNode* found = find_node(n->psChild, name)) return found;
  }
  return nullptr;
}

// A declared value as written: an integer stays an integer.
Metadata declared(double d) {
  return std::trunc(d) == d && std::fabs(d) < 9e15 ? Metadata(static_cast<std::int64_t>(d)) : Metadata(d);
}

struct XmlTree {
  CPLXMLNode* root = nullptr;
  ~XmlTree() {
    if (root) CPLDestroyXMLNode(root);
  }
};
#endif

void describe(const ProductInput& in, const std::string&, BandFacts& facts) {
#ifdef VEXIL_HAVE_GDAL
  const auto xml = metadata_xml(in.path);
  if (!xml) return;
  CPLPushErrorHandler(CPLQuietErrorHandler);
  XmlTree tree;
  tree.root = CPLParseXMLFile(xml->c_str());
  CPLPopErrorHandler();
  if (!tree.root) return;

  std::int64_t count = 0;
  if (in.meta && in.meta->contains("count") && (*in.meta)["count"].is_number_integer())
    count = (*in.meta)["count"].get<std::int64_t>();

  // Every bandID of bandCharacterisation, by its number.
  struct Band {
    std::optional<double> centre, fwhm, gain, offset;
  };
  std::map<long, Band> table;
  const CPLXMLNode* characterisation = find_node(tree.root, "bandCharacterisation");
  for (const CPLXMLNode* n = characterisation ? characterisation->psChild : nullptr; n; n = n->psNext) {
    if (n->eType != CXT_Element || std::string_view(n->pszValue) != "bandID") continue;
    const char* number = CPLGetXMLValue(n, "number", nullptr);
    double id = 0;
    if (!number || !text::parse_float(number, id)) continue;
    table[static_cast<long>(id)] = {xml_number(n, "wavelengthCenterOfBand"), xml_number(n, "FWHMOfBand"),
                                    xml_number(n, "GainOfBand"), xml_number(n, "OffsetOfBand")};
  }
  // L1B ships VNIR and SWIR as two images and one table of all bands: VNIR
  // takes the first bands, SWIR the last.
  std::vector<Band> bands;
  for (const auto& [id, b] : table) bands.push_back(b);
  if (count > 0 && static_cast<std::int64_t>(bands.size()) > count) {
    std::string name = io::basename(in.path);
    for (char& c : name)
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    if (name.find("SWIR") != std::string::npos)
      bands.erase(bands.begin(), bands.end() - count);
    else if (name.find("VNIR") != std::string::npos)
      bands.resize(static_cast<std::size_t>(count));
  }
  if (count > 0 && static_cast<std::int64_t>(bands.size()) == count) {
    auto column = [&](std::optional<double> Band::*field) -> std::optional<std::vector<double>> {
      std::vector<double> v;
      for (const Band& b : bands) {
        if (!(b.*field)) return std::nullopt;
        v.push_back(*(b.*field));
      }
      return v;
    };
    facts.wavelength = column(&Band::centre);
    if (facts.wavelength) facts.wavelength_units = "nm";
    facts.fwhm = column(&Band::fwhm);
    const auto gain = column(&Band::gain);
    const auto offset = column(&Band::offset);
    if (gain && offset)
      facts.scale = Metadata{{"gain", *gain}, {"offset", *offset}, {"apply", "value = gain * DN + offset"}};
  }
  if (const CPLXMLNode* n = find_node(tree.root, "backgroundValue")) {
    double d = 0;
    if (n->psChild && n->psChild->eType == CXT_Text && text::parse_float(n->psChild->pszValue, d))
      facts.fill_value = declared(d);
  }
  facts.source = "EnMAP " + io::basename(*xml);
#else
  (void)in;
  (void)facts;
#endif
}

}  // namespace

extern const Product kEnmapTiff;
const Product kEnmapTiff{"EnMAP L1B/L2A GeoTIFF", "tiff", &matches, nullptr, nullptr, &describe};

}  // namespace vexil::formats::products
