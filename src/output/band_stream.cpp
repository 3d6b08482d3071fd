#include "output/band_stream.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "core/cpu_budget.hpp"

namespace vexil::output {
namespace {

std::atomic<std::int64_t> g_group_bytes_override{0};
std::atomic<int> g_max_groups_override{0};
std::atomic<std::uint64_t> g_groups_decoded{0};

// About one deflate block's worth: a block then needs one or two groups, and
// a group stays below the size that gets fresh pages of its own (see
// NDArray::allocate), so decoded groups reuse the memory of freed ones.
constexpr std::int64_t kGroupBytes = std::int64_t{2} << 20;

}  // namespace

struct BandStream::Cache {
  NDArray cube;
  BandTap tap;
  std::int64_t plane = 0;  // elements per band
  std::int64_t bands = 0, group_bands = 0;
  std::size_t item = 0;
  std::size_t max_groups = 0;

  struct Entry {
    std::int64_t group = -1;  // -1: free
    // The group's bands, column-major. Kept for the next group: memory
    // freed and asked for again would come back as fresh pages to fault in.
    std::unique_ptr<std::byte[]> data;
    std::int64_t consumed = 0, elements = 0;
    int pins = 0;
    bool ready = false;
  };
  std::mutex mu;
  std::condition_variable cv;
  std::vector<std::unique_ptr<Entry>> entries;
  std::vector<char> tapped;  // per group: handed to the tap already

  // The group's entry, pinned, decoded here if no other thread has it.
  Entry* acquire(std::int64_t g) {
    std::unique_lock lock(mu);
    for (;;) {
      Entry* found = nullptr;
      for (auto& e : entries)
        if (e->group == g) found = e.get();
      if (found) {
        if (found->ready) {
          ++found->pins;
          return found;
        }
        cv.wait(lock);
        continue;
      }
      // A free entry, else the unpinned group furthest behind (the writer
      // moves forwards), else a new one when under the limit. Every thread
      // pins at most one entry, so waiting here always ends.
      Entry* spare = nullptr;
      for (auto& e : entries)
        if (e->group < 0 && !spare) spare = e.get();
      if (!spare && entries.size() >= max_groups) {
        for (auto& e : entries)
          if (e->pins == 0 && e->ready && (!spare || e->group < spare->group)) spare = e.get();
        if (!spare) {
          cv.wait(lock);
          continue;
        }
      }
      if (!spare) {
        entries.push_back(std::make_unique<Entry>());
        spare = entries.back().get();
      }
      if (!spare->data) spare->data.reset(new std::byte[static_cast<std::size_t>(group_bands * plane) * item]);
      spare->group = g;
      spare->ready = false;
      spare->pins = 1;
      spare->consumed = 0;
      const bool first = !tapped[static_cast<std::size_t>(g)];
      lock.unlock();
      std::int64_t elements = 0;
      try {
        elements = decode(g, first, spare->data.get());
      } catch (...) {
        lock.lock();
        spare->group = -1;
        spare->pins = 0;
        cv.notify_all();
        throw BandReadFailure(std::current_exception());
      }
      lock.lock();
      if (first) tapped[static_cast<std::size_t>(g)] = 1;
      spare->elements = elements;
      spare->ready = true;
      cv.notify_all();
      return spare;
    }
  }

  // Unpins an entry after `elements` of it were copied out; a group read
  // whole is let go at once.
  void release(Entry* e, std::int64_t elements) {
    {
      std::lock_guard lock(mu);
      e->consumed += elements;
      if (--e->pins == 0 && e->consumed >= e->elements) e->group = -1;
    }
    cv.notify_all();
  }

  // Decodes group g into `buffer`; returns its elements.
  std::int64_t decode(std::int64_t g, bool first, std::byte* buffer) const {
    const std::int64_t b0 = g * group_bands, b1 = std::min(bands, b0 + group_bands);
    // One thread: the writer's workers each decode the group they need.
    const NDArray data = cube.read_bands(b0, b1, ReadControl{1}, buffer);
    g_groups_decoded.fetch_add(1, std::memory_order_relaxed);
    if (first && tap) tap(data, b0);
    return data.size();
  }
};

BandStream::BandStream(const NDArray& cube, BandTap tap) : cache_(std::make_shared<Cache>()) {
  Cache& c = *cache_;
  const std::int64_t step = cube.band_step();
  if (step <= 0 || is_complex(cube.dtype())) throw std::logic_error("BandStream: the cube cannot be read by bands");
  c.cube = cube;
  c.tap = std::move(tap);
  c.item = cube.itemsize();
  c.plane = cube.shape()[0] * cube.shape()[1];
  c.bands = cube.shape()[2];
  const std::int64_t target = g_group_bytes_override.load() ? g_group_bytes_override.load() : kGroupBytes;
  const std::int64_t step_bytes = std::max<std::int64_t>(1, step * c.plane * static_cast<std::int64_t>(c.item));
  c.group_bands = std::min(c.bands, step * std::max<std::int64_t>(1, target / step_bytes));
  c.group_bands = std::max<std::int64_t>(c.group_bands, 1);
  const int limit = g_max_groups_override.load();
  c.max_groups = static_cast<std::size_t>(limit > 0 ? limit : std::max(4, 2 * core::cpu_budget()));
  c.tapped.assign(static_cast<std::size_t>((c.bands + c.group_bands - 1) / c.group_bands), 0);
}

BandStream::~BandStream() = default;

std::int64_t BandStream::group_bands() const { return cache_->group_bands; }

void BandStream::gather(std::int64_t e0, std::int64_t e1, std::byte* out) const {
  Cache& c = *cache_;
  const std::int64_t group_elements = c.group_bands * c.plane;
  const auto item = static_cast<std::int64_t>(c.item);
  std::int64_t e = e0;
  while (e < e1) {
    const std::int64_t g = e / group_elements;
    const std::int64_t n = std::min(e1, (g + 1) * group_elements) - e;
    Cache::Entry* entry = c.acquire(g);
    std::memcpy(out, entry->data.get() + (e - g * group_elements) * item, static_cast<std::size_t>(n * item));
    c.release(entry, n);
    out += n * item;
    e += n;
  }
}

void BandStream::set_tuning_for_testing(std::int64_t group_bytes, int max_groups) {
  g_group_bytes_override = group_bytes;
  g_max_groups_override = max_groups;
}

std::uint64_t BandStream::groups_decoded_for_testing() { return g_groups_decoded.load(); }

}  // namespace vexil::output
