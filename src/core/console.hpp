// Console output: one line per call, flushed so progress shows as it happens.
#pragma once

#include <string_view>

namespace vexil {

void println(std::string_view line);  // to standard output, adds "\n"

}  // namespace vexil
