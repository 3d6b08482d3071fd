#include "core/memory.hpp"

#include <unistd.h>

#include <algorithm>
#include <limits>

#include <fmt/format.h>

#include "vexil/errors.hpp"

namespace vexil::core {

std::uint64_t physical_memory() {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long page = ::sysconf(_SC_PAGE_SIZE);
  std::uint64_t bytes = 0;
  if (pages <= 0 || page <= 0 ||
      __builtin_mul_overflow(static_cast<std::uint64_t>(pages), static_cast<std::uint64_t>(page), &bytes))
    return std::numeric_limits<std::uint64_t>::max();
  return bytes;
}

void check_fits_in_memory(std::uint64_t bytes, std::string_view what) {
  const std::uint64_t limit = std::min<std::uint64_t>(physical_memory(), std::numeric_limits<std::int64_t>::max());
  if (bytes > limit)
    throw BadInputError(fmt::format("{}: the data would need {} bytes, more than this machine's memory ({} bytes)",
                                    what, bytes, limit));
}

}  // namespace vexil::core
