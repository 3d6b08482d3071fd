#include "output/column_gather.hpp"

#include <algorithm>
#include <cstring>

#include "core/dtype.hpp"

namespace vexil::output {
namespace {

// Loads and stores go through memcpy: views into memory maps (an ENVI
// header offset, a crop) need not be aligned.
template <class T>
void copy_strided(const std::byte* src, std::int64_t stride, std::int64_t n, std::byte* out) {
  for (std::int64_t i = 0; i < n; ++i) {
    T v;
    std::memcpy(&v, src + i * stride, sizeof v);
    std::memcpy(out + i * static_cast<std::int64_t>(sizeof v), &v, sizeof v);
  }
}

// out[t * d0 + i] = src[t * s1 + i * s0] for t < ncols, i < d0, in tiles
// small enough for L1 so neither side walks memory with a large stride.
template <class T>
void transpose_columns(const std::byte* src, std::int64_t s0, std::int64_t s1, std::int64_t d0,
                       std::int64_t ncols, std::byte* out) {
  constexpr std::int64_t kTileI = 64;
  constexpr std::int64_t kTileT = 64;
  constexpr std::int64_t sz = sizeof(T);
  for (std::int64_t t0 = 0; t0 < ncols; t0 += kTileT) {
    const std::int64_t t1 = std::min(ncols, t0 + kTileT);
    for (std::int64_t i0 = 0; i0 < d0; i0 += kTileI) {
      const std::int64_t i1 = std::min(d0, i0 + kTileI);
      for (std::int64_t i = i0; i < i1; ++i) {
        const std::byte* row = src + i * s0;
        for (std::int64_t t = t0; t < t1; ++t) {
          T v;
          std::memcpy(&v, row + t * s1, sizeof v);
          std::memcpy(out + (t * d0 + i) * sz, &v, sizeof v);
        }
      }
    }
  }
}

template <class F>
void with_item_type(std::size_t item, F&& f) {
  switch (item) {
    case 1: f(std::uint8_t{}); break;
    case 2: f(std::uint16_t{}); break;
    case 4: f(std::uint32_t{}); break;
    default: f(std::uint64_t{}); break;
  }
}

}  // namespace

ColumnGather::ColumnGather(const NDArray& array, int part) : keep_alive_(array.keep_alive()) {
  item_ = array.itemsize();
  if (is_complex(array.dtype())) item_ /= 2;
  base_ = array.data() + (part ? item_ : 0);
  count_ = array.size();
  // Column-major order walks axis 0 fastest. Axes of length 1 never move;
  // neighbours laid out back to back behave as one longer axis.
  for (int ax = 0; ax < array.ndim(); ++ax) {
    const std::int64_t d = array.shape()[ax], s = array.strides()[ax];
    if (d == 1) continue;
    if (!dims_.empty() && s == dims_.back() * strides_.back()) {
      dims_.back() *= d;
      continue;
    }
    dims_.push_back(d);
    strides_.push_back(s);
  }
  if (dims_.empty()) {
    dims_.push_back(1);
    strides_.push_back(static_cast<std::int64_t>(item_));
  }
}

void ColumnGather::gather_elements(std::int64_t e0, std::int64_t e1, std::byte* out) const {
  if (e0 >= e1) return;
  const std::int64_t item = static_cast<std::int64_t>(item_);
  const std::size_t n = dims_.size();
  const std::int64_t d0 = dims_[0], s0 = strides_[0];
  std::vector<std::int64_t> idx(n, 0);
  std::int64_t c = e0 / d0, i = e0 % d0;
  for (std::size_t k = 1; k < n; ++k) {
    idx[k] = c % dims_[k];
    c /= dims_[k];
  }
  auto column_base = [&] {
    std::int64_t off = 0;
    for (std::size_t k = 1; k < n; ++k) off += idx[k] * strides_[k];
    return base_ + off;
  };
  auto advance = [&](std::int64_t by) {
    if (n < 2) return;
    idx[1] += by;
    for (std::size_t k = 1; k < n && idx[k] >= dims_[k]; ++k) {
      idx[k] -= dims_[k];
      if (k + 1 < n) ++idx[k + 1];
    }
  };

  std::int64_t e = e0;
  while (e < e1) {
    if (i != 0 || e1 - e < d0) {
      const std::int64_t k = std::min(d0 - i, e1 - e);
      const std::byte* src = column_base() + i * s0;
      if (s0 == item)
        std::memcpy(out, src, static_cast<std::size_t>(k * item));
      else
        with_item_type(item_, [&](auto t) { copy_strided<decltype(t)>(src, s0, k, out); });
      out += k * item;
      e += k;
      i += k;
      if (i == d0) {
        i = 0;
        advance(1);
      }
    } else {
      const std::int64_t ncols = (e1 - e) / d0;
      const std::int64_t run = n >= 2 ? std::min(ncols, dims_[1] - idx[1]) : 1;
      const std::int64_t s1 = n >= 2 ? strides_[1] : 0;
      const std::byte* src = column_base();
      if (s0 == item) {
        for (std::int64_t t = 0; t < run; ++t)
          std::memcpy(out + t * d0 * item, src + t * s1, static_cast<std::size_t>(d0 * item));
      } else {
        with_item_type(item_, [&](auto t) { transpose_columns<decltype(t)>(src, s0, s1, d0, run, out); });
      }
      out += run * d0 * item;
      e += run * d0;
      advance(run);
    }
  }
}

void ColumnGather::read(std::uint64_t offset, std::size_t len, std::byte* out) const {
  if (offset % item_ == 0 && len % item_ == 0) {
    gather_elements(static_cast<std::int64_t>(offset / item_), static_cast<std::int64_t>((offset + len) / item_), out);
    return;
  }
  // Ranges that cut through an element: one element at a time.
  std::byte tmp[16];
  std::uint64_t pos = offset;
  const std::uint64_t end = offset + len;
  while (pos < end) {
    const std::uint64_t e = pos / item_;
    gather_elements(static_cast<std::int64_t>(e), static_cast<std::int64_t>(e + 1), tmp);
    const std::uint64_t in = pos - e * item_;
    const std::uint64_t k = std::min<std::uint64_t>(item_ - in, end - pos);
    std::memcpy(out, tmp + in, k);
    out += k;
    pos += k;
  }
}

}  // namespace vexil::output
