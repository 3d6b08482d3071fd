// Byte-order reversal of fixed-size groups, for big-endian files read on a
// little-endian machine (and the reverse).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vexil::core {

// Reverses every `unit`-byte group (2, 4 or 8) of the n bytes at src into
// dst; any other unit copies. dst may be src (in place). A complex element
// is two groups, each reversed on its own.
inline void copy_swapped(std::byte* dst, const std::byte* src, std::size_t n, std::size_t unit) {
  auto each = [&](auto word, auto swap) {
    for (std::size_t i = 0; i + sizeof(word) <= n; i += sizeof(word)) {
      std::memcpy(&word, src + i, sizeof(word));
      word = swap(word);
      std::memcpy(dst + i, &word, sizeof(word));
    }
  };
  switch (unit) {
    case 2: each(std::uint16_t{}, [](std::uint16_t v) { return __builtin_bswap16(v); }); return;
    case 4: each(std::uint32_t{}, [](std::uint32_t v) { return __builtin_bswap32(v); }); return;
    case 8: each(std::uint64_t{}, [](std::uint64_t v) { return __builtin_bswap64(v); }); return;
    default:
      if (dst != src) std::memmove(dst, src, n);
  }
}

}  // namespace vexil::core
