// The variables of a label MAT-file that travel beside the label map into
// metadata.json: class names, colour maps and the like.
#pragma once

#include <string>

#include "vexil/metadata.hpp"

namespace vexil::formats::mat {

// Variables other than `chosen`, in file order, whose names do not start
// with "_": text (a char row as a string, a char matrix as a list of its
// rows), cell arrays of text (lists, nested like the cell's shape once its
// unit axes are dropped) and numeric or logical arrays of at most
// kMaxOtherElements elements (a number, or nested lists of MATLAB's shape
// with its unit axes dropped). Anything else, and anything that does not
// pass the file checks, is left out. An empty object when none qualifies.
Metadata read_other_variables(const std::string& path, const std::string& chosen);

inline constexpr std::size_t kMaxOtherElements = 4096;
// Characters kept per text variable or cell element.
inline constexpr std::size_t kMaxTextChars = 65536;

}  // namespace vexil::formats::mat
