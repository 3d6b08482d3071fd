#include "core/transpose.hpp"

#include <algorithm>
#include <cstring>
#include <type_traits>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vexil::core {
namespace {

// Tile edge in elements, and the local tile's row pitch: padded so its rows
// do not all fall into the same cache sets.
constexpr std::int64_t kTile = 64;
constexpr std::int64_t kPitch = kTile + 8;

template <class T>
void scalar_block(const std::byte* src, std::int64_t src_stride, std::int64_t rows, std::int64_t cols, std::byte* out,
                  std::int64_t out_stride) {
  for (std::int64_t r = 0; r < rows; ++r) {
    const std::byte* row = src + r * src_stride;
    for (std::int64_t c = 0; c < cols; ++c) {
      T v;
      std::memcpy(&v, row + c * static_cast<std::int64_t>(sizeof v), sizeof v);
      std::memcpy(out + c * out_stride + r * static_cast<std::int64_t>(sizeof v), &v, sizeof v);
    }
  }
}

#if defined(__SSE2__)
inline __m128i load(const std::byte* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline void store(std::byte* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }

// The low or high halves of two registers interleaved, Width bytes at a time.
template <int Width>
__m128i low(__m128i x, __m128i y) {
  if constexpr (Width == 1) return _mm_unpacklo_epi8(x, y);
  if constexpr (Width == 2) return _mm_unpacklo_epi16(x, y);
  if constexpr (Width == 4) return _mm_unpacklo_epi32(x, y);
  if constexpr (Width == 8) return _mm_unpacklo_epi64(x, y);
}
template <int Width>
__m128i high(__m128i x, __m128i y) {
  if constexpr (Width == 1) return _mm_unpackhi_epi8(x, y);
  if constexpr (Width == 2) return _mm_unpackhi_epi16(x, y);
  if constexpr (Width == 4) return _mm_unpackhi_epi32(x, y);
  if constexpr (Width == 8) return _mm_unpackhi_epi64(x, y);
}

// One round over n registers: pair k's low halves to out[k], its high
// halves to out[k + n / 2].
template <int Width>
void interleave(const __m128i* in, __m128i* out, int n) {
  for (int k = 0; k < n / 2; ++k) {
    out[k] = low<Width>(in[2 * k], in[2 * k + 1]);
    out[k + n / 2] = high<Width>(in[2 * k], in[2 * k + 1]);
  }
}

// K x K elements of Size bytes (K = 16 / Size): rounds of interleaving at
// the element width, doubled each round up to 8 bytes. Afterwards register
// k holds the column whose index is k with its bits reversed.
template <int Size>
void kernel(const std::byte* src, std::int64_t ss, std::byte* out, std::int64_t os) {
  constexpr int K = 16 / Size;
  __m128i a[K], b[K];
  for (int k = 0; k < K; ++k) a[k] = load(src + k * ss);
  __m128i *cur = a, *next = b;
  auto round = [&](auto width) {
    interleave<decltype(width)::value>(cur, next, K);
    std::swap(cur, next);
  };
  if constexpr (Size <= 1) round(std::integral_constant<int, 1>{});
  if constexpr (Size <= 2) round(std::integral_constant<int, 2>{});
  round(std::integral_constant<int, 4>{});
  round(std::integral_constant<int, 8>{});
  constexpr int bits = K == 16 ? 4 : K == 8 ? 3 : 2;
  for (int k = 0; k < K; ++k) {
    int column = 0;
    for (int bit = 0; bit < bits; ++bit) column |= ((k >> bit) & 1) << (bits - 1 - bit);
    store(out + column * os, cur[k]);
  }
}
#endif

// One tile (rows, cols <= kTile) into `out`, through kernels of K x K
// elements where there is one, the ragged edges element by element.
template <class T>
void tile(const std::byte* src, std::int64_t ss, std::int64_t rows, std::int64_t cols, std::byte* out,
          std::int64_t os) {
  constexpr std::int64_t sz = sizeof(T);
#if defined(__SSE2__)
  constexpr std::int64_t K = sz <= 4 ? 16 / sz : 0;
  if constexpr (K > 0) {
    const std::int64_t rk = rows - rows % K, ck = cols - cols % K;
    for (std::int64_t r = 0; r < rk; r += K)
      for (std::int64_t c = 0; c < ck; c += K) {
        const std::byte* s = src + r * ss + c * sz;
        std::byte* o = out + c * os + r * sz;
        kernel<static_cast<int>(sz)>(s, ss, o, os);
      }
    scalar_block<T>(src + ck * sz, ss, rk, cols - ck, out + ck * os, os);
    scalar_block<T>(src + rk * ss, ss, rows - rk, cols, out + rk * sz, os);
    return;
  }
#endif
  scalar_block<T>(src, ss, rows, cols, out, os);
}

template <class T>
void transpose_typed(const std::byte* src, std::int64_t ss, std::int64_t rows, std::int64_t cols, std::byte* out,
                     std::int64_t os) {
  constexpr std::int64_t sz = sizeof(T);
  alignas(64) std::byte local[kTile * kPitch * sz];
  for (std::int64_t c0 = 0; c0 < cols; c0 += kTile) {
    const std::int64_t nc = std::min(kTile, cols - c0);
    for (std::int64_t r0 = 0; r0 < rows; r0 += kTile) {
      const std::int64_t nr = std::min(kTile, rows - r0);
      tile<T>(src + r0 * ss + c0 * sz, ss, nr, nc, local, kPitch * sz);
      for (std::int64_t c = 0; c < nc; ++c)
        std::memcpy(out + (c0 + c) * os + r0 * sz, local + c * kPitch * sz, static_cast<std::size_t>(nr * sz));
    }
  }
}

}  // namespace

void transpose(const std::byte* src, std::int64_t src_stride, std::int64_t rows, std::int64_t cols, std::size_t item,
               std::byte* out, std::int64_t out_stride) {
  if (rows <= 0 || cols <= 0) return;
  switch (item) {
    case 1: return transpose_typed<std::uint8_t>(src, src_stride, rows, cols, out, out_stride);
    case 2: return transpose_typed<std::uint16_t>(src, src_stride, rows, cols, out, out_stride);
    case 4: return transpose_typed<std::uint32_t>(src, src_stride, rows, cols, out, out_stride);
    case 8: return transpose_typed<std::uint64_t>(src, src_stride, rows, cols, out, out_stride);
    default: {
      const auto sz = static_cast<std::int64_t>(item);
      for (std::int64_t r = 0; r < rows; ++r)
        for (std::int64_t c = 0; c < cols; ++c)
          std::memcpy(out + c * out_stride + r * sz, src + r * src_stride + c * sz, item);
    }
  }
}

}  // namespace vexil::core
