// ASI PRISMA L1 and L2B-D (HDF-EOS5): VNIR and SWIR cubes stored (rows,
// bands, cols) under HDFEOS/SWATHS/PRS_<level>_HCO/Data Fields; band
// centres (descending, 0 for absent bands), widths, flags and the scaling of
// the digital numbers are attributes of the root group.
#include <algorithm>

#include "formats/products/product_table.hpp"
#include "formats/products/product_values.hpp"

namespace vexil::formats::products {
namespace {

constexpr std::string_view kSwaths = "HDFEOS/SWATHS/PRS_";

bool in_swath(std::string_view dataset) { return relative_name(dataset).starts_with(kSwaths); }

// "Vnir" or "Swir" after the spectrometer the dataset belongs to; empty for others.
std::string_view spectrometer(std::string_view dataset) {
  const std::string_view name = base_name(dataset);
  if (!in_swath(dataset)) return {};
  if (name.starts_with("VNIR")) return "Vnir";
  if (name.starts_with("SWIR")) return "Swir";
  return {};
}

const Metadata* root_attr(const ProductInput& in, const std::string& name) {
  return member(member(in.meta, "file_attrs"), name);
}

bool matches(const ProductInput& in) {
  if (!root_attr(in, "List_Cw_Vnir") && !root_attr(in, "List_Cw_Swir")) return false;
  return std::any_of(in.datasets.begin(), in.datasets.end(), [](const auto& d) { return in_swath(d.first); });
}

std::optional<std::string> cube_dataset(const ProductInput& in) {
  // The SWIR cube is the larger of the two, as the largest-dataset rule would choose.
  for (std::string_view want : {"SWIR_Cube", "VNIR_Cube"})
    for (const auto& [name, shape] : in.datasets)
      if (in_swath(name) && shape.size() == 3 && base_name(name) == want &&
          relative_name(name).find("_HCO/") != std::string_view::npos)
        return name;
  return std::nullopt;
}

std::optional<Layout> stored_layout(const ProductInput& in, const std::string& dataset) {
  if (spectrometer(dataset).empty()) return std::nullopt;
  for (const auto& [name, shape] : in.datasets)
    if (relative_name(name) == relative_name(dataset) && shape.size() == 3) return Layout::HBW;
  return std::nullopt;
}

void describe(const ProductInput& in, const std::string& dataset, BandFacts& facts) {
  const std::string s(spectrometer(dataset));
  if (s.empty()) return;
  facts.source = "PRISMA root attributes";
  const Metadata* cw = root_attr(in, "List_Cw_" + s);
  if (cw) facts.wavelength = numbers(*cw);
  if (const Metadata* fw = root_attr(in, "List_Fwhm_" + s)) facts.fwhm = numbers(*fw);
  // Absent bands: flag 0, or a centre of 0 when there are no flags.
  const Metadata* flags_attr = root_attr(in, "List_Cw_" + s + "_Flags");
  std::optional<std::vector<double>> flags = flags_attr ? numbers(*flags_attr) : std::nullopt;
  if (!flags && facts.wavelength) {
    flags = std::vector<double>();
    for (double w : *facts.wavelength) flags->push_back(w == 0 ? 0 : 1);
  }
  if (flags) {
    std::vector<std::int64_t> bad;
    for (std::size_t i = 0; i < flags->size(); ++i)
      if ((*flags)[i] == 0) bad.push_back(static_cast<std::int64_t>(i));
    facts.bad_bands = std::move(bad);
  }
  if (facts.wavelength) facts.wavelength_units = "nm";

  if (!base_name(dataset).ends_with("_Cube")) return;  // error matrices are not scaled
  const Metadata* lo = root_attr(in, "L2Scale" + s + "Min");
  const Metadata* hi = root_attr(in, "L2Scale" + s + "Max");
  if (lo && hi && number(*lo) && number(*hi)) {
    facts.scale =
        Metadata{{"min", *number(*lo)}, {"max", *number(*hi)}, {"apply", "value = min + DN * (max - min) / 65535"}};
    return;
  }
  const Metadata* factor = root_attr(in, "ScaleFactor_" + s);
  if (factor && number(*factor)) {
    const Metadata* offset = root_attr(in, "Offset_" + s);
    facts.scale = Metadata{{"scale_factor", *number(*factor)},
                           {"offset", offset && number(*offset) ? *number(*offset) : 0.0},
                           {"apply", "value = DN / scale_factor - offset"}};
  }
}

}  // namespace

extern const Product kPrisma;
const Product kPrisma{"PRISMA", "hdf5", &matches, &cube_dataset, &stored_layout, &describe};

}  // namespace vexil::formats::products
