#include "core/memory.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <limits>
#include <memory>

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

NDArray fresh_array(DType dtype, const Shape& shape) {
  const std::uint64_t bytes = static_cast<std::uint64_t>(NDArray::checked_size(shape)) * itemsize(dtype);
  if (bytes < (std::uint64_t{8} << 20)) return NDArray::allocate(dtype, shape);
  const std::size_t len = static_cast<std::size_t>(bytes);
  void* p = ::mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return NDArray::allocate(dtype, shape);
#ifdef MADV_HUGEPAGE
  ::madvise(p, len, MADV_HUGEPAGE);
#endif
  std::shared_ptr<void> owner(p, [len](void* q) { ::munmap(q, len); });
  return NDArray::view(dtype, shape, NDArray::c_strides(shape, itemsize(dtype)), static_cast<std::byte*>(p),
                       std::move(owner));
}

}  // namespace vexil::core
