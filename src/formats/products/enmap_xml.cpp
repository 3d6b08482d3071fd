// EnMAP's METADATA.XML, parsed with GDAL's XML reader (part of the GDAL
// module): band centres, widths, gains and offsets and the background value.
#include <cmath>
#include <map>
#include <string>
#include <vector>

#include <cpl_error.h>
#include <cpl_minixml.h>

#include "formats/products/enmap_xml.hpp"
#include "io/paths.hpp"
#include "text/text_format.hpp"

namespace vexil::formats::products {
namespace {

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

}  // namespace

void describe_enmap_xml(const std::string& xml, const std::string& image_path, std::int64_t count, BandFacts& facts) {
  CPLPushErrorHandler(CPLQuietErrorHandler);
  XmlTree tree;
  tree.root = CPLParseXMLFile(xml.c_str());
  CPLPopErrorHandler();
  if (!tree.root) return;

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
    std::string name = io::basename(image_path);
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
  facts.source = "EnMAP " + io::basename(xml);
}

}  // namespace vexil::formats::products
