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

// About one deflate block's worth: a block then needs one or two groups.
constexpr std::int64_t kGroupBytes = std::int64_t{2} << 20;
// Groups can be far larger when one step of bands is (chunks of 25 bands
// of a large scene): a group that large is decoded by every worker at once,
// since the others would only wait for it, and fewer such groups are held.
constexpr std::int64_t kParallelGroupBytes = std::int64_t{8} << 20;
constexpr std::int64_t kHeldBytes = std::int64_t{64} << 20;

}  // namespace

struct BandStream::Cache {
  NDArray cube;
  std::int64_t plane = 0;  // elements per band
  std::int64_t bands = 0, group_bands = 0;
  std::size_t item = 0;
  std::size_t max_groups = 0;
  int decode_threads = 1;

  struct Entry {
    std::int64_t group = -1;  // -1: free
    // The group's bands, column-major. Kept for the next group: memory
    // freed and asked for again would come back as fresh pages to fault in.
    // Allocated as an array so that large groups get huge pages: chunks are
    // placed across all of a group's bands, a page per band and column.
    NDArray data;
    int pins = 0;
    bool ready = false;
  };
  std::mutex mu;
  std::condition_variable cv;
  std::vector<std::unique_ptr<Entry>> entries;

  // The group's entry, pinned, decoded here if no other thread has it.
  Entry* acquire(std::int64_t g) {
    std::unique_lock lock(mu);
    for (;;) {
      if (Entry* found = find(g)) {
        if (found->ready) {
          ++found->pins;
          return found;
        }
        cv.wait(lock);
        continue;
      }
      // Every thread pins at most one entry, so waiting here always ends.
      Entry* spare = spare_entry();
      if (!spare) {
        cv.wait(lock);
        continue;
      }
      fill(spare, g, lock);
      return spare;
    }
  }

  // Decodes group g now unless another thread has it or every entry is in
  // use: a block's first group may be in another thread's hands, and rather
  // than wait for it the thread decodes the block's next group meanwhile.
  void prefetch(std::int64_t g) {
    std::unique_lock lock(mu);
    if (find(g)) return;
    Entry* spare = spare_entry();
    if (!spare) return;
    fill(spare, g, lock);
    --spare->pins;
    lock.unlock();
    cv.notify_all();
  }

  Entry* find(std::int64_t g) {
    for (auto& e : entries)
      if (e->group == g) return e.get();
    return nullptr;
  }

  // A free entry, else a new one when under the limit, else the unpinned
  // group furthest behind: the writer moves forwards, and a group read whole
  // stays while there is room, since its tail is read again as the next
  // block's dictionary when that block is sampled. Null when all are pinned.
  Entry* spare_entry() {
    for (auto& e : entries)
      if (e->group < 0) return e.get();
    if (entries.size() < max_groups) {
      entries.push_back(std::make_unique<Entry>());
      return entries.back().get();
    }
    Entry* spare = nullptr;
    for (auto& e : entries)
      if (e->pins == 0 && e->ready && (!spare || e->group < spare->group)) spare = e.get();
    return spare;
  }

  // Decodes group g into `spare`, which comes back pinned; `lock` is held
  // on entry and on return, and released while decoding.
  void fill(Entry* spare, std::int64_t g, std::unique_lock<std::mutex>& lock) {
    if (spare->data.ndim() == 0)  // default-constructed: no storage yet
      spare->data = NDArray::allocate(DType::UInt8, {group_bands * plane * static_cast<std::int64_t>(item)});
    spare->group = g;
    spare->ready = false;
    spare->pins = 1;
    lock.unlock();
    try {
      decode(g, spare->data.mutable_data());
    } catch (...) {
      lock.lock();
      spare->group = -1;
      spare->pins = 0;
      cv.notify_all();
      throw BandReadFailure(std::current_exception());
    }
    lock.lock();
    spare->ready = true;
    cv.notify_all();
  }

  void release(Entry* e) {
    {
      std::lock_guard lock(mu);
      --e->pins;
    }
    cv.notify_all();
  }

  // Decodes group g into `buffer`.
  void decode(std::int64_t g, std::byte* buffer) const {
    const std::int64_t b0 = g * group_bands, b1 = std::min(bands, b0 + group_bands);
    // Small groups on one thread: the writer's workers each decode the group they need.
    cube.read_bands(b0, b1, ReadControl{decode_threads}, buffer);
    g_groups_decoded.fetch_add(1, std::memory_order_relaxed);
  }
};

BandStream::BandStream(const NDArray& cube, StreamBands how) : cache_(std::make_shared<Cache>()) {
  Cache& c = *cache_;
  const std::int64_t step = cube.band_step();
  if (step <= 0 || is_complex(cube.dtype())) throw std::logic_error("BandStream: the cube cannot be read by bands");
  c.cube = cube;
  c.item = cube.itemsize();
  c.plane = cube.shape()[0] * cube.shape()[1];
  c.bands = cube.shape()[2];
  const std::int64_t target = g_group_bytes_override.load() ? g_group_bytes_override.load() : kGroupBytes;
  const std::int64_t step_bytes = std::max<std::int64_t>(1, step * c.plane * static_cast<std::int64_t>(c.item));
  c.group_bands = std::min(c.bands, step * std::max<std::int64_t>(1, target / step_bytes));
  c.group_bands = std::max<std::int64_t>(c.group_bands, 1);
  const int threads = core::resolve_workers(how.threads);
  const std::int64_t group_bytes = c.group_bands * c.plane * static_cast<std::int64_t>(c.item);
  if (group_bytes >= kParallelGroupBytes) c.decode_threads = threads;
  const int limit = g_max_groups_override.load();
  const std::int64_t fit = std::max<std::int64_t>(2, kHeldBytes / std::max<std::int64_t>(group_bytes, 1));
  c.max_groups = static_cast<std::size_t>(limit > 0 ? limit : std::min<std::int64_t>(std::max(6, 3 * threads), fit));
}

BandStream::~BandStream() = default;

std::int64_t BandStream::group_bands() const { return cache_->group_bands; }

void BandStream::gather(std::int64_t e0, std::int64_t e1, std::byte* out) const {
  Cache& c = *cache_;
  const std::int64_t group_elements = c.group_bands * c.plane;
  const auto item = static_cast<std::int64_t>(c.item);
  // The block's next groups first, as many as leave room for the others'.
  if (e1 > e0) {
    const std::int64_t first = e0 / group_elements;
    const std::int64_t last = std::min((e1 - 1) / group_elements, first + static_cast<std::int64_t>(c.max_groups / 3));
    for (std::int64_t g = first + 1; g <= last; ++g) c.prefetch(g);
  }
  std::int64_t e = e0;
  while (e < e1) {
    const std::int64_t g = e / group_elements;
    const std::int64_t n = std::min(e1, (g + 1) * group_elements) - e;
    Cache::Entry* entry = c.acquire(g);
    std::memcpy(out, entry->data.data() + (e - g * group_elements) * item, static_cast<std::size_t>(n * item));
    c.release(entry);
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
