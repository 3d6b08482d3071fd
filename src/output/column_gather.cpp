#include "output/column_gather.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "io/mapped_file.hpp"
#include "core/transpose.hpp"
#include "vexil/dtype.hpp"

namespace vexil::output {
namespace {

// out[t * d0 + i] = src[t * s1 + i * s0] for t < ncols, i < d0, in tiles
// small enough for L1 so neither side walks memory with a large stride.
template <class T>
void transpose_columns(const std::byte* src, std::int64_t s0, std::int64_t s1, std::int64_t d0, std::int64_t ncols,
                       std::byte* out) {
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

std::atomic<std::int64_t> g_budget_override{0};
std::atomic<std::int64_t> g_tile_override{0};

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

// Tiles of (band group, pixel range): `group_bands` planes of
// `tile_pixels` values each, plane-major. A tile is recycled once every
// value in it has been copied out, or once its group is older than the two
// newest, so memory stays at about one group plus the tiles in flight.
struct ColumnGather::BandGroups {
  std::int64_t group_bands = 0;  // planes per group
  std::int64_t tile_pixels = 0;  // pixels per tile
  // Elements from one band's row of a tile to the next: padded so the rows
  // written together do not all fall into the same L1 cache set.
  std::int64_t pitch = 0;
  std::int64_t tiles_per_group = 0;
  std::size_t max_tiles = 0;

  struct Tile {
    std::int64_t group = -1, index = -1;
    std::unique_ptr<std::byte[]> data;
    std::int64_t elements = 0, consumed = 0;  // values it holds, values copied out
    int pins = 0;
    bool ready = false;
  };
  std::mutex mu;
  std::condition_variable cv;
  std::vector<std::unique_ptr<Tile>> tiles;
  std::int64_t current = -1;

  // The tile pinned, filled by `fill` if absent; null when the group is
  // older than the one being written (the caller reads directly then).
  template <class Fill>
  Tile* acquire(std::int64_t g, std::int64_t q, std::size_t bytes, std::int64_t elements, Fill&& fill) {
    std::unique_lock lock(mu);
    for (;;) {
      Tile* found = nullptr;
      for (auto& t : tiles)
        if (t->group == g && t->index == q) found = t.get();
      if (found) {
        if (found->ready) {
          ++found->pins;
          return found;
        }
        cv.wait(lock);
        continue;
      }
      // Two groups stay: the newest and the one before it, which readers
      // of the blocks still in flight need. Readers further behind read
      // directly; a restart at the first tile is a new pass over the array.
      if (g > current || (g == 0 && q == 0)) {
        current = g;
      } else if (g + 1 < current) {
        return nullptr;
      }
      Tile* spare = nullptr;
      for (auto& t : tiles) {
        const bool used_up = t->ready && t->consumed >= t->elements;
        if (t->pins == 0 && (used_up || (t->group != current && t->group != current - 1))) spare = t.get();
      }
      if (!spare && tiles.size() < max_tiles) {
        tiles.push_back(std::make_unique<Tile>());
        spare = tiles.back().get();
        spare->data.reset(new std::byte[bytes]);
      }
      if (!spare) {
        cv.wait(lock);
        continue;
      }
      spare->group = g;
      spare->index = q;
      spare->elements = elements;
      spare->consumed = 0;
      spare->ready = false;
      spare->pins = 1;
      lock.unlock();
      try {
        fill(spare->data.get());
      } catch (...) {
        lock.lock();
        spare->group = spare->index = -1;
        spare->pins = 0;
        cv.notify_all();
        throw;
      }
      lock.lock();
      spare->ready = true;
      cv.notify_all();
      return spare;
    }
  }

  // Unpins a tile after `copied` of its values were copied out.
  void release(Tile* t, std::int64_t copied) {
    {
      std::lock_guard lock(mu);
      --t->pins;
      t->consumed += copied;
    }
    cv.notify_all();
  }
};

ColumnGather::ColumnGather(const NDArray& array, int part, const StreamBands* stream) {
  item_ = array.itemsize();
  if (is_complex(array.dtype())) item_ /= 2;
  if (stream && !is_complex(array.dtype()) && array.band_step() > 0) {
    stream_ = std::make_shared<BandStream>(array, *stream);
    count_ = array.size();
    return;
  }
  keep_alive_ = array.keep_alive();
  file_ = io::MappedFile::of(keep_alive_);
  base_ = array.data() + (part ? item_ : 0);
  count_ = array.size();
  if (count_ == 0) {
    // Nothing to read: one empty axis, whichever axis of the array is empty.
    dims_ = {0};
    strides_ = {static_cast<std::int64_t>(item_)};
    return;
  }
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
  // Pixel-interleaved: bands contiguous, pixels far apart. Reading one band
  // plane at a time would fetch a whole cache line per value.
  const std::int64_t item = static_cast<std::int64_t>(item_);
  if (dims_.size() == 3 && strides_[2] == item && strides_[1] >= 4 * item && dims_[2] >= 4) {
    const std::int64_t plane = dims_[0] * dims_[1] * item;
    const std::int64_t budget =
        g_budget_override.load()
            ? g_budget_override.load()
            : std::clamp<std::int64_t>(static_cast<std::int64_t>(size_bytes()) / 24, 8 << 20, 48 << 20);
    const std::int64_t bands =
        std::min<std::int64_t>({budget / std::max<std::int64_t>(plane, 1), dims_[2], 64 / item * 2});
    if (bands >= 4) {
      groups_ = std::make_shared<BandGroups>();
      groups_->group_bands = bands;
      groups_->tile_pixels = std::min<std::int64_t>(
          dims_[0] * dims_[1], g_tile_override.load() ? g_tile_override.load() : std::int64_t{16384});
      groups_->pitch = groups_->tile_pixels + 192 / item;
      groups_->tiles_per_group = (dims_[0] * dims_[1] + groups_->tile_pixels - 1) / groups_->tile_pixels;
      groups_->max_tiles = 2 * static_cast<std::size_t>(groups_->tiles_per_group) + 16;
    }
  }
}

namespace {

// Fills a tile: for pixels [p0, p1) of an (H, W, bands) view whose bands are
// contiguous, `nb` bands from `k0` on. Whole columns go kCols at a time in
// slabs of kRows lines, so the lines' pages are reused across the columns.
void fill_band_tile(const std::byte* base, std::size_t item, std::int64_t H, std::int64_t s0, std::int64_t s1,
                    std::int64_t k0, std::int64_t nb, std::int64_t p0, std::int64_t p1, std::int64_t pitch,
                    std::byte* tile) {
  const auto sz = static_cast<std::int64_t>(item);
  constexpr std::int64_t kCols = 16, kRows = 64;
  // Pixels i0.. of column j (n of them) land at tile position pos onwards.
  auto put = [&](std::int64_t i0, std::int64_t j, std::int64_t n, std::int64_t pos) {
    core::transpose(base + i0 * s0 + j * s1 + k0 * sz, s0, n, nb, item, tile + pos * sz, pitch * sz);
  };
  std::int64_t p = p0;
  while (p < p1) {
    const std::int64_t j = p / H, i = p % H;
    if (i != 0 || p1 - p < H) {
      const std::int64_t n = std::min(H - i, p1 - p);
      put(i, j, n, p - p0);
      p += n;
      continue;
    }
    const std::int64_t ncols = std::min(kCols, (p1 - p) / H);
    for (std::int64_t r = 0; r < H; r += kRows)
      for (std::int64_t c = 0; c < ncols; ++c) put(r, j + c, std::min(kRows, H - r), p - p0 + c * H + r);
    p += ncols * H;
  }
}

}  // namespace

void ColumnGather::gather_elements(std::int64_t e0, std::int64_t e1, std::byte* out) const {
  if (stream_) return stream_->gather(e0, e1, out);
  if (!groups_) return gather_direct(e0, e1, out);
  BandGroups& bg = *groups_;
  const std::int64_t H = dims_[0], P = dims_[0] * dims_[1], B = dims_[2];
  const std::int64_t item = static_cast<std::int64_t>(item_);
  const std::size_t tile_bytes = static_cast<std::size_t>(bg.group_bands * bg.pitch * item);
  std::int64_t e = e0;
  while (e < e1) {
    const std::int64_t k = e / P, p = e % P;
    const std::int64_t g = k / bg.group_bands, q = p / bg.tile_pixels;
    const std::int64_t tp0 = q * bg.tile_pixels, tp1 = std::min(P, tp0 + bg.tile_pixels);
    const std::int64_t n = std::min(tp1 - p, e1 - e);
    const std::int64_t k0 = g * bg.group_bands, nb = std::min(bg.group_bands, B - k0);
    auto* tile = bg.acquire(g, q, tile_bytes, nb * (tp1 - tp0), [&](std::byte* dst) {
      fill_band_tile(base_, item_, H, strides_[0], strides_[1], k0, nb, tp0, tp1, bg.pitch, dst);
    });
    if (tile) {
      std::memcpy(out, tile->data.get() + ((k - k0) * bg.pitch + (p - tp0)) * item, static_cast<std::size_t>(n * item));
      bg.release(tile, n);
    } else {
      gather_direct(e, e + n, out);
    }
    out += n * item;
    e += n;
  }
}

void ColumnGather::gather_direct(std::int64_t e0, std::int64_t e1, std::byte* out) const {
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
      if (s0 == item) {
        std::memcpy(out, src, static_cast<std::size_t>(k * item));
      } else {
        std::int64_t stride = s0;
        const std::byte* rows = staged(src, k, stride, item);
        core::transpose(rows, stride, k, 1, item_, out, k * item);  // one column of k rows
      }
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
      } else if (s1 == item) {
        std::int64_t stride = s0;
        const std::byte* rows = staged(src, d0, stride, run * item);
        core::transpose(rows, stride, d0, run, item_, out, d0 * item);
      } else {
        with_item_type(item_, [&](auto t) { transpose_columns<decltype(t)>(src, s0, s1, d0, run, out); });
      }
      out += run * d0 * item;
      e += run * d0;
      advance(run);
    }
  }
}

const std::byte* ColumnGather::staged(const std::byte* src, std::int64_t rows, std::int64_t& stride,
                                      std::int64_t row_bytes) const {
  // Below this a row is cheaper to read through the mapping than by a call.
  constexpr std::int64_t kMinRowRead = 16 << 10;
  // Spans up to this size are read whole, gaps included: one call, and
  // still cheaper than touching the mapping for narrow reads.
  constexpr std::int64_t kSmallSpan = 4 << 20;
  if (!file_ || rows <= 0 || stride < row_bytes) return src;
  const std::int64_t span_bytes = (rows - 1) * stride + row_bytes;
  const bool span = stride <= 2 * row_bytes || span_bytes <= kSmallSpan;
  if (!span && row_bytes < kMinRowRead) return src;
  // A file that shrank reads as zeros and marks the mapping damaged; the
  // saving step checks that before anything is kept.
  const auto n = [](std::int64_t v) { return static_cast<std::size_t>(v); };
  const std::byte* staged =
      span ? file_->stage(src, 1, n(span_bytes), n(span_bytes)) : file_->stage(src, n(rows), n(stride), n(row_bytes));
  if (!staged) return src;
  if (!span) stride = row_bytes;
  return staged;
}

std::size_t ColumnGather::band_group_tiles() const {
  if (!groups_) return 0;
  std::lock_guard lock(groups_->mu);
  return groups_->tiles.size();
}

std::size_t ColumnGather::tiles_per_band_group() const {
  return groups_ ? static_cast<std::size_t>(groups_->tiles_per_group) : 0;
}

void ColumnGather::set_group_tuning_for_testing(std::int64_t budget_bytes, std::int64_t tile_pixels) {
  g_budget_override = budget_bytes;
  g_tile_override = tile_pixels;
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
