#include "core/transpose.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

namespace vexil::core {
namespace {

// Every element size the writers meet, blocks on and off the kernel and tile
// edges, padded strides and unaligned pointers, against element-by-element.
TEST(Transpose, MatchesElementByElementForEverySizeAndEdge) {
  std::mt19937 rng(7);
  for (std::size_t item : {1u, 2u, 4u, 8u, 16u, 3u}) {
    for (auto [rows, cols] :
         {std::pair<int, int>{1, 1}, {3, 5}, {16, 16}, {17, 33}, {64, 64}, {65, 129}, {200, 7}, {7, 200}, {130, 70}}) {
      for (int pad : {0, 5}) {
        const std::int64_t ss = static_cast<std::int64_t>((cols + pad) * item) + (pad ? 1 : 0);
        const std::int64_t os = static_cast<std::int64_t>((rows + pad) * item) + (pad ? 3 : 0);
        std::vector<std::byte> src(static_cast<std::size_t>(rows * ss + 1)),
            got(static_cast<std::size_t>(cols * os + 1)), want(got.size());
        for (auto& b : src) b = static_cast<std::byte>(rng());
        const std::byte* s = src.data() + (pad ? 1 : 0);
        for (int r = 0; r < rows; ++r)
          for (int c = 0; c < cols; ++c) std::memcpy(want.data() + c * os + r * item, s + r * ss + c * item, item);
        transpose(s, ss, rows, cols, item, got.data(), os);
        for (int c = 0; c < cols; ++c)
          ASSERT_EQ(std::memcmp(got.data() + c * os, want.data() + c * os, rows * item), 0)
              << "item " << item << " rows " << rows << " cols " << cols << " pad " << pad << " column " << c;
      }
    }
  }
}

}  // namespace
}  // namespace vexil::core
