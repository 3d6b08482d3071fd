#include "core/console.hpp"

#include <cstdio>

namespace vexil {

void println(std::string_view line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

}  // namespace vexil
