#include "output/transpose.hpp"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vexil::output {
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

// 16 x 16 bytes.
void kernel1(const std::byte* src, std::int64_t ss, std::byte* out, std::int64_t os) {
  __m128i a[16], b[16];
  for (int k = 0; k < 16; ++k) a[k] = load(src + k * ss);
  for (int k = 0; k < 8; ++k) {
    b[k] = _mm_unpacklo_epi8(a[2 * k], a[2 * k + 1]);
    b[k + 8] = _mm_unpackhi_epi8(a[2 * k], a[2 * k + 1]);
  }
  for (int k = 0; k < 8; ++k) {
    a[k] = _mm_unpacklo_epi16(b[2 * k], b[2 * k + 1]);
    a[k + 8] = _mm_unpackhi_epi16(b[2 * k], b[2 * k + 1]);
  }
  for (int k = 0; k < 8; ++k) {
    b[k] = _mm_unpacklo_epi32(a[2 * k], a[2 * k + 1]);
    b[k + 8] = _mm_unpackhi_epi32(a[2 * k], a[2 * k + 1]);
  }
  for (int k = 0; k < 8; ++k) {
    a[k] = _mm_unpacklo_epi64(b[2 * k], b[2 * k + 1]);
    a[k + 8] = _mm_unpackhi_epi64(b[2 * k], b[2 * k + 1]);
  }
  // After four interleaving rounds register k holds column bitrev4(k).
  static constexpr int kColumn[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};
  for (int k = 0; k < 16; ++k) store(out + kColumn[k] * os, a[k]);
}

// 8 x 8 two-byte elements.
void kernel2(const std::byte* src, std::int64_t ss, std::byte* out, std::int64_t os) {
  __m128i a[8], b[8];
  for (int k = 0; k < 8; ++k) a[k] = load(src + k * ss);
  for (int k = 0; k < 4; ++k) {
    b[k] = _mm_unpacklo_epi16(a[2 * k], a[2 * k + 1]);
    b[k + 4] = _mm_unpackhi_epi16(a[2 * k], a[2 * k + 1]);
  }
  for (int k = 0; k < 4; ++k) {
    a[k] = _mm_unpacklo_epi32(b[2 * k], b[2 * k + 1]);
    a[k + 4] = _mm_unpackhi_epi32(b[2 * k], b[2 * k + 1]);
  }
  for (int k = 0; k < 4; ++k) {
    b[k] = _mm_unpacklo_epi64(a[2 * k], a[2 * k + 1]);
    b[k + 4] = _mm_unpackhi_epi64(a[2 * k], a[2 * k + 1]);
  }
  static constexpr int kColumn[8] = {0, 4, 2, 6, 1, 5, 3, 7};
  for (int k = 0; k < 8; ++k) store(out + kColumn[k] * os, b[k]);
}

// 4 x 4 four-byte elements.
void kernel4(const std::byte* src, std::int64_t ss, std::byte* out, std::int64_t os) {
  const __m128i r0 = load(src), r1 = load(src + ss), r2 = load(src + 2 * ss), r3 = load(src + 3 * ss);
  const __m128i a = _mm_unpacklo_epi32(r0, r1), b = _mm_unpacklo_epi32(r2, r3);
  const __m128i c = _mm_unpackhi_epi32(r0, r1), d = _mm_unpackhi_epi32(r2, r3);
  store(out, _mm_unpacklo_epi64(a, b));
  store(out + os, _mm_unpackhi_epi64(a, b));
  store(out + 2 * os, _mm_unpacklo_epi64(c, d));
  store(out + 3 * os, _mm_unpackhi_epi64(c, d));
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
        if constexpr (sz == 1) kernel1(s, ss, o, os);
        if constexpr (sz == 2) kernel2(s, ss, o, os);
        if constexpr (sz == 4) kernel4(s, ss, o, os);
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

}  // namespace vexil::output
