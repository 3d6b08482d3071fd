#pragma once

#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace vexil::core {

// An allocator whose resize() leaves new elements unwritten: for buffers
// about to be overwritten, where zero-filling them first is wasted work.
template <class T>
struct UninitAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = UninitAllocator<U>;
  };
  UninitAllocator() noexcept = default;
  template <class U>
  UninitAllocator(const UninitAllocator<U>&) noexcept {}
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    if constexpr (sizeof...(Args) == 0)
      ::new (static_cast<void*>(p)) U;
    else
      ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

template <class T>
using UninitVector = std::vector<T, UninitAllocator<T>>;

}  // namespace vexil::core
