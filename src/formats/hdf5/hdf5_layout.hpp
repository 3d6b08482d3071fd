// Which stored axis of a dataset holds rows, columns and bands. What the file
// says decides first: dimension names, a MAT-file's column-major order, a
// known product's layout, a wavelength list whose length matches one axis;
// only when none of these does the size rule guess (fewest along the first
// axis: bands first).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vexil/array.hpp"
#include "vexil/layout.hpp"

namespace vexil::formats::hdf5 {

struct AxisEvidence {
  Shape shape;  // as stored
  // Per stored axis, the names the file gives it (dimension-scale dataset
  // name, its NAME attribute); empty when the axis has none.
  std::vector<std::vector<std::string>> dim_names;
  bool mat73 = false;  // a MATLAB variable: stored column-major
  std::optional<Layout> product_layout;
  std::string product_name;
  std::optional<std::int64_t> wavelength_count;  // length of a wavelength list the dataset carries
};

struct AxisOrder {
  std::vector<int> perm;         // delivered axis i is stored axis perm[i]
  std::string stored;            // "hwb", "bhw", "hbw", "bwh", "wh"; empty when there is nothing to record
  std::string source;            // how it was decided, e.g. "dimension names", "size rule", "--layout"
  bool size_rule_moved = false;  // the size rule guessed and moved axes

  bool identity() const;
};

// Decides the order. An explicit `requested` order wins; it must fit the
// dataset (three axes), else UsageError naming --layout and the shape.
AxisOrder decide_axes(const AxisEvidence& evidence, Layout requested, const std::string& key);

// band, bands, wavelength(s), spectral, spectrum, channel(s), in any case and
// as a word of a longer name ("spectral_band", "nbands").
bool is_band_axis_name(std::string_view name);
// y, x, lat, lon, rows, lines, samples, downtrack, crosstrack ...
bool is_spatial_axis_name(std::string_view name);

// The "_transposed" text for a stored order: "bhw" -> "CHW → HWC".
std::string transposed_text(const std::string& stored);

}  // namespace vexil::formats::hdf5
