// Reading one numeric or logical variable of a MAT-file (Level 4, 5 or 7.3)
// through matio, after the file checks of mat_prescan.hpp.
#pragma once

#include <string>

#include "vexil/array.hpp"

namespace vexil::formats::mat {

enum class Purpose { Labels, Image };

struct MatVariable {
  // MATLAB's (rows, columns, ...) shape with column-major strides, unit axes
  // kept, in the element type stored in the file (MATLAB stores
  // integer-valued doubles compactly, e.g. as uint8, and that is what comes
  // back, as SciPy's loadmat gives it); logical arrays as bool.
  NDArray data;
  std::string name;
};

// `variable` names the variable; empty: it is chosen among the numeric and
// logical arrays whose names do not start with "_" (choose_label_variable
// or choose_image_variable). Every error names the file.
MatVariable read_mat_variable(const std::string& path, const std::string& variable, Purpose purpose);

}  // namespace vexil::formats::mat
