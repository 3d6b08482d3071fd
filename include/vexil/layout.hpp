// vexil/layout.hpp — the stored axis order of a cube in a container that
// does not fix it (HDF5, netCDF, MAT-file 7.3).
//
// Auto decides from what the file says (dimension names, a MAT-file's
// column-major order, a known product layout) and only then from the sizes.
// The others force the order the dataset is stored in: H = rows, W = columns,
// B = bands; the array is always delivered as (height, width, bands).
#pragma once

#include <optional>
#include <string_view>

namespace vexil {

enum class Layout { Auto, HWB, BHW, HBW };

// "auto", "hwb", "bhw", "hbw" (lower case); empty for anything else.
std::optional<Layout> parse_layout(std::string_view text);
std::string_view layout_name(Layout layout);

}  // namespace vexil
