// NASA EMIT L1B radiance and L2A reflectance (netCDF-4): the cube is a root
// variable (downtrack, crosstrack, bands); band centres, widths and the
// good-band flags live in the group sensor_band_parameters.
#include <algorithm>
#include <array>

#include "formats/products/product_table.hpp"
#include "formats/products/product_values.hpp"

namespace vexil::formats::products {
namespace {

constexpr std::array<std::string_view, 3> kCubes = {"reflectance", "radiance", "reflectance_uncertainty"};
constexpr std::string_view kBandGroup = "sensor_band_parameters";

bool has_dataset(const ProductInput& in, std::string_view name) {
  return std::any_of(in.datasets.begin(), in.datasets.end(),
                     [&](const auto& d) { return relative_name(d.first) == name; });
}

bool is_cube(std::string_view dataset) {
  const std::string_view name = relative_name(dataset);
  return std::find(kCubes.begin(), kCubes.end(), name) != kCubes.end();
}

bool matches(const ProductInput& in) {
  if (!has_dataset(in, "sensor_band_parameters/wavelengths")) return false;
  if (base_name(in.path).starts_with("EMIT_")) return true;
  const Metadata* title = member(member(in.meta, "file_attrs"), "title");
  return title && title->is_string() && title->get<std::string>().find("EMIT") != std::string::npos;
}

std::optional<std::string> cube_dataset(const ProductInput& in) {
  for (std::string_view c : kCubes)
    if (has_dataset(in, c)) return std::string(c);
  return std::nullopt;
}

std::optional<Layout> stored_layout(const ProductInput&, const std::string& dataset) {
  if (is_cube(dataset)) return Layout::HWB;
  return std::nullopt;
}

std::optional<std::vector<double>> band_table(const ProductInput& in, std::string_view name) {
  if (!in.read_dataset) return std::nullopt;
  auto a = in.read_dataset(std::string(kBandGroup) + "/" + std::string(name));
  if (!a) return std::nullopt;
  return numbers(*a);
}

void describe(const ProductInput& in, const std::string& dataset, BandFacts& facts) {
  if (!is_cube(dataset)) return;
  facts.source = "EMIT sensor_band_parameters group";
  facts.wavelength = band_table(in, "wavelengths");
  facts.fwhm = band_table(in, "fwhm");
  if (auto good = band_table(in, "good_wavelengths")) {
    std::vector<std::int64_t> bad;
    for (std::size_t i = 0; i < good->size(); ++i)
      if ((*good)[i] == 0) bad.push_back(static_cast<std::int64_t>(i));
    facts.bad_bands = std::move(bad);
  }
  if (in.read_attributes) {
    if (auto attrs = in.read_attributes(std::string(kBandGroup) + "/wavelengths")) {
      const Metadata* units = member(&*attrs, "units");
      if (units && units->is_string()) facts.wavelength_units = units->get<std::string>();
    }
  }
}

}  // namespace

extern const Product kEmit;
const Product kEmit{"EMIT", "hdf5", &matches, &cube_dataset, &stored_layout, &describe};

}  // namespace vexil::formats::products
