// Which variable of a MAT-file is read when the user names none.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

#include "vexil/array.hpp"

namespace vexil::formats::mat {

// A numeric or logical array variable of the file, as listed before reading.
struct VariableInfo {
  std::string name;
  Shape shape;                  // MATLAB's dimensions
  unsigned __int128 count = 0;  // product of the dimensions (saturated far above any real size)
  std::size_t item = 8;         // bytes per element once read
};

// The first rule that applies: the only candidate, whatever its name; else
// the first of `preferred` names present (exact, case-sensitive); else the
// candidate with the most elements, the earlier one on a tie. Null when
// there are no candidates.
const VariableInfo* choose_variable(std::span<const VariableInfo> candidates,
                                    std::initializer_list<std::string_view> preferred);

// A label map: "gt", then "groundtruth", are preferred.
const VariableInfo* choose_label_variable(std::span<const VariableInfo> candidates);
// An image cube: no name is preferred (a file holding a cube and its "gt"
// gives the cube).
const VariableInfo* choose_image_variable(std::span<const VariableInfo> candidates);

}  // namespace vexil::formats::mat
