#include "output/parallel_deflate.hpp"

#include <zlib.h>

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <vector>

#include <fmt/format.h>

#include "core/cpu_budget.hpp"
#include "core/worker_pool.hpp"

#if defined(VEXIL_HAVE_ISAL)
#include <isa-l/igzip_lib.h>
#endif

namespace vexil::output {
namespace {

constexpr std::size_t kWindow = 32768;

// Auto's rule. ISA-L is several times faster than zlib but loses up to 6%
// against zlib level 6 in two ways. Its matcher (4-byte minimum match,
// short chains) misses on smooth or rounded data; and its default blocks of
// 64 Ki symbols keep one Huffman code across band planes of different
// statistics where zlib starts a new block every 16 Ki symbols, which costs
// up to 3% when planes are small (a 96 x 80 crop). Auto therefore runs
// ISA-L with 16 Ki-symbol blocks (6-25% slower) unless a band plane holds
// kLongBlockPlane bytes or more: then few blocks straddle two planes, and
// long blocks cost at most 0.2% in size on the textures tried for 8% less
// time (a 1024 x 640 x 200 uint16 scene: 0.02% smaller). For the matcher:
// each chunk's first kSampleBytes (kLargeStreamSampleBytes in a stream of
// kLargeStream bytes or more) are compressed both ways (primed like the
// chunk); scaled to the chunk, the difference estimates what ISA-L would
// add over zlib level 6, the zlib result what zlib level 6 would give. In
// chunk order, a chunk keeps ISA-L while the bytes it adds, with those of
// the chunks before, stay within kBudget of zlib level 6's size projected
// to the whole stream; otherwise zlib level kStrongLevel (within 1% of zlib
// level 6 on the cubes tried) compresses it. Measured on scenes deflating to
// 0.48-0.90 of their size, uint16 and float32, large and small planes: at
// most 2.7% over zlib level 6, at ISA-L's speed where ISA-L is close enough.
constexpr std::size_t kSampleBytes = 16u << 10;
// The zlib level 6 half of a 16 KiB sample costs about a sixth of ISA-L's
// time on its 2 MiB chunk. Halved, it misjudges a small cube (1.031x zlib
// level 6 on 2.9 MB of rounded float32); over a stream of 32 chunks or more
// the errors average out (sweep cubes of 65-131 MB: at most 1.020x).
constexpr std::uint64_t kLargeStream = std::uint64_t{64} << 20;
constexpr std::size_t kLargeStreamSampleBytes = 8u << 10;
constexpr double kBudget = 0.015;
constexpr int kSampleReferenceLevel = 6;
constexpr int kStrongLevel = 3;
constexpr std::uint64_t kLongBlockPlane = 1u << 20;

// Default levels of parallel_zlib(): measured best speed for its size.
constexpr int kStreamIsalLevel = 2;
constexpr int kStreamZlibLevel = kStrongLevel;

class ZlibEngine {
 public:
  ZlibEngine(int level, Framing framing) : framing_(framing) {
    if (deflateInit2(&zs_, level, Z_DEFLATED, framing == Framing::Raw ? -15 : 15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
      throw std::bad_alloc();
  }
  ~ZlibEngine() { deflateEnd(&zs_); }
  ZlibEngine(const ZlibEngine&) = delete;
  ZlibEngine& operator=(const ZlibEngine&) = delete;

  void compress(const std::uint8_t* dict, std::size_t dict_len, const std::uint8_t* in, std::size_t len, bool last,
                Buffer& out) {
    deflateReset(&zs_);
    if (dict_len && deflateSetDictionary(&zs_, dict, static_cast<uInt>(dict_len)) != Z_OK)
      throw std::runtime_error("zlib refused the preset dictionary");
    out.size = 0;
    out.reserve(deflateBound(&zs_, len) + 64);
    zs_.next_in = const_cast<Bytef*>(in);
    zs_.avail_in = static_cast<uInt>(len);
    last = last || framing_ == Framing::Zlib;
    const int flush = last ? Z_FINISH : Z_SYNC_FLUSH;
    for (;;) {
      if (out.capacity - out.size < 64) out.reserve(out.capacity * 2);
      zs_.next_out = out.data.get() + out.size;
      zs_.avail_out = static_cast<uInt>(out.capacity - out.size);
      const int rc = deflate(&zs_, flush);
      out.size = out.capacity - zs_.avail_out;
      if (rc == Z_STREAM_ERROR) throw std::runtime_error("zlib deflate failed");
      if (last ? rc == Z_STREAM_END : (zs_.avail_in == 0 && zs_.avail_out > 0)) return;
    }
  }

 private:
  Framing framing_;
  z_stream zs_{};
};

#if defined(VEXIL_HAVE_ISAL)
class IsalEngine {
 public:
  // `short_blocks`: blocks of 16 Ki symbols instead of the default 64 Ki.
  IsalEngine(int level, Framing framing, bool short_blocks) : level_(level), framing_(framing) {
    if (short_blocks)
      level_buf_size_ = level == 1 ? ISAL_DEF_LVL1_SMALL : level == 2 ? ISAL_DEF_LVL2_SMALL : ISAL_DEF_LVL3_SMALL;
    else
      level_buf_size_ = level == 1 ? ISAL_DEF_LVL1_DEFAULT : level == 2 ? ISAL_DEF_LVL2_DEFAULT : ISAL_DEF_LVL3_DEFAULT;
    level_buf_.reset(new std::uint8_t[level_buf_size_]);
    stream_ = std::make_unique<isal_zstream>();
  }

  void compress(const std::uint8_t* dict, std::size_t dict_len, const std::uint8_t* in, std::size_t len, bool last,
                Buffer& out) {
    isal_zstream* s = stream_.get();
    isal_deflate_init(s);
    s->level = static_cast<std::uint32_t>(level_);
    s->level_buf = level_buf_.get();
    s->level_buf_size = level_buf_size_;
    s->gzip_flag = framing_ == Framing::Raw ? IGZIP_DEFLATE : IGZIP_ZLIB;
    if (dict_len &&
        isal_deflate_set_dict(s, const_cast<std::uint8_t*>(dict), static_cast<std::uint32_t>(dict_len)) != COMP_OK)
      throw std::runtime_error("ISA-L refused the preset dictionary");
    last = last || framing_ == Framing::Zlib;
    s->next_in = const_cast<std::uint8_t*>(in);
    s->avail_in = static_cast<std::uint32_t>(len);
    s->end_of_stream = last ? 1 : 0;
    s->flush = last ? NO_FLUSH : SYNC_FLUSH;
    out.size = 0;
    out.reserve(len + len / 8 + 1024);
    for (;;) {
      if (out.capacity - out.size < 64) out.reserve(out.capacity * 2);
      s->next_out = out.data.get() + out.size;
      s->avail_out = static_cast<std::uint32_t>(out.capacity - out.size);
      const int rc = isal_deflate(s);
      out.size = out.capacity - s->avail_out;
      if (rc != COMP_OK) throw std::runtime_error(fmt::format("ISA-L deflate failed ({})", rc));
      if (last) {
        if (s->internal_state.state == ZSTATE_END) return;
      } else if (s->avail_in == 0 && s->avail_out > 0) {
        return;
      }
    }
  }

 private:
  int level_;
  Framing framing_;
  std::uint32_t level_buf_size_;
  std::unique_ptr<std::uint8_t[]> level_buf_;
  std::unique_ptr<isal_zstream> stream_;
};
#endif

// Auto's decisions for one stream, chunk by chunk in stream order (see
// kBudget). A decision depends only on the samples of the chunk and those
// before it, so the stream is the same whichever worker decides.
class BudgetRule {
 public:
  BudgetRule(std::uint64_t total, std::size_t block, std::uint64_t chunks);
  // Whether chunk k keeps ISA-L, given its sample. `sample_of(j)` samples
  // an earlier chunk whose own worker has not stored its sample yet.
  bool use_fast(std::uint64_t k, const ChunkSample& own, const std::function<ChunkSample(std::uint64_t)>& sample_of);

 private:
  std::mutex mu_;
  std::uint64_t total_;
  std::size_t block_;
  std::vector<std::optional<ChunkSample>> samples_;
  std::vector<char> fast_;
  std::uint64_t decided_ = 0;
  double done_ = 0, extra_ = 0, reference_ = 0;
};

BudgetRule::BudgetRule(std::uint64_t total, std::size_t block, std::uint64_t chunks)
    : total_(total), block_(block), samples_(chunks), fast_(chunks, 0) {}

bool BudgetRule::use_fast(std::uint64_t k, const ChunkSample& own,
                          const std::function<ChunkSample(std::uint64_t)>& sample_of) {
  std::unique_lock lk(mu_);
  if (!samples_[k]) samples_[k] = own;
  while (decided_ <= k) {
    const std::uint64_t j = decided_;
    if (!samples_[j]) {
      // Its worker has not got this far yet: sample here rather than wait.
      lk.unlock();
      const ChunkSample s = sample_of(j);
      lk.lock();
      if (!samples_[j]) samples_[j] = s;
      continue;
    }
    const ChunkSample& s = *samples_[j];
    done_ += static_cast<double>(std::min<std::uint64_t>(block_, total_ - j * block_));
    const double allowance = done_ > 0 ? kBudget * (reference_ + s.reference) / done_ * static_cast<double>(total_) : 0;
    fast_[j] = extra_ + s.extra <= allowance;
    if (fast_[j]) extra_ += s.extra;
    reference_ += s.reference;
    ++decided_;
  }
  return fast_[k] != 0;
}

std::size_t choose_block_size(std::uint64_t total, int threads, std::size_t requested) {
  if (requested) return requested;  // exact, so tests can cut elements in two
  constexpr std::size_t kMax = 2u << 20, kMin = 256u << 10;
  // Enough blocks for every thread to stay busy, never so small that the
  // per-chunk priming and flush overhead shows. Each worker holds a raw
  // block and each chunk waiting for the sink a compressed one: 2 MiB
  // rather than 4 keeps 14 MB less at peak for about 0.02 s more on a
  // 262 MB cube.
  const std::uint64_t per = total / (static_cast<std::uint64_t>(threads) * 4);
  std::size_t b = static_cast<std::size_t>(std::clamp<std::uint64_t>(per, kMin, kMax));
  return (b + 65535) / 65536 * 65536;
}

}  // namespace

void Buffer::reserve(std::size_t n) {
  if (n <= capacity) return;
  std::unique_ptr<std::uint8_t[]> bigger(new std::uint8_t[n]);
  if (size) std::copy(data.get(), data.get() + size, bigger.get());
  data = std::move(bigger);
  capacity = n;
}

struct Deflater::Engines {
  std::optional<ZlibEngine> zlib;  // the method, or an adaptive setup's strong level
#if defined(VEXIL_HAVE_ISAL)
  std::optional<IsalEngine> isal;
#endif
  std::optional<ZlibEngine> reference;  // zlib level 6 for samples, made on first use
  Buffer scratch;
};

Deflater::Deflater(const DeflateSetup& setup, Framing framing)
    : engines_(std::make_unique<Engines>()), sample_bytes_(setup.sample_bytes) {
#if defined(VEXIL_HAVE_ISAL)
  if (setup.method == DeflateMethod::Isal) {
    engines_->isal.emplace(setup.level, framing, setup.short_blocks);
    if (setup.adaptive) engines_->zlib.emplace(kStrongLevel, framing);
    return;
  }
#endif
  engines_->zlib.emplace(setup.level, framing);
}

Deflater::~Deflater() = default;

void Deflater::compress(const std::uint8_t* dict, std::size_t dict_len, const std::uint8_t* in, std::size_t len,
                        bool last, Buffer& out, bool strong) {
  Engines& e = *engines_;
#if defined(VEXIL_HAVE_ISAL)
  if (e.isal && !(strong && e.zlib)) return e.isal->compress(dict, dict_len, in, len, last, out);
#else
  (void)strong;
#endif
  e.zlib->compress(dict, dict_len, in, len, last, out);
}

ChunkSample Deflater::sample(const std::uint8_t* dict, std::size_t dict_len, const std::uint8_t* head,
                             std::uint64_t chunk_len) {
  const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(chunk_len, sample_bytes_));
  if (n == 0) return {};
  Engines& e = *engines_;
  compress(dict, dict_len, head, n, false, e.scratch);
  const auto fast = static_cast<double>(e.scratch.size);
  if (!e.reference) e.reference.emplace(kSampleReferenceLevel, Framing::Raw);
  e.reference->compress(dict, dict_len, head, n, false, e.scratch);
  const auto reference = static_cast<double>(e.scratch.size);
  const double scale = static_cast<double>(chunk_len) / static_cast<double>(n);
  return {(fast - reference) * scale, reference * scale};
}

DeflateSetup resolve_deflate(DeflateMethod method, int level, int default_isal_level, int default_zlib_level) {
  DeflateSetup s;
  s.adaptive = method == DeflateMethod::Auto && isal_available();
  s.method = method == DeflateMethod::Auto ? (isal_available() ? DeflateMethod::Isal : DeflateMethod::Zlib) : method;
  if (s.method == DeflateMethod::Isal) {
    if (!isal_available()) throw std::invalid_argument("ISA-L deflate was not built into this program");
    s.level = level < 0 ? default_isal_level : level;
    if (s.level < 1 || s.level > 3) throw std::invalid_argument("ISA-L deflate levels are 1 to 3");
  } else {
    s.level = level < 0 ? default_zlib_level : level;
    if (s.level < 1 || s.level > 9) throw std::invalid_argument("zlib deflate levels are 1 to 9");
  }
  return s;
}

namespace {
// `total`: the stream's bytes, when known.
DeflateSetup stream_setup(const DeflateOptions& options, std::uint64_t total = 0) {
  DeflateSetup s = resolve_deflate(options.method, options.level, kStreamIsalLevel, kStreamZlibLevel);
  s.short_blocks = s.adaptive && (options.plane_bytes == 0 || options.plane_bytes < kLongBlockPlane);
  s.sample_bytes = total >= kLargeStream ? kLargeStreamSampleBytes : kSampleBytes;
  return s;
}
}  // namespace

std::uint32_t adler32_of(const std::uint8_t* p, std::size_t len) {
#if defined(VEXIL_HAVE_ISAL)
  return isal_adler32(1, p, len);
#else
  uLong a = adler32(0L, Z_NULL, 0);
  while (len) {
    const uInt n = static_cast<uInt>(std::min<std::size_t>(len, 1u << 30));
    a = adler32(a, p, n);
    p += n;
    len -= n;
  }
  return static_cast<std::uint32_t>(a);
#endif
}

bool isal_available() {
#if defined(VEXIL_HAVE_ISAL)
  return true;
#else
  return false;
#endif
}

int resolve_threads(int threads) { return core::resolve_workers(threads); }

std::string describe_method(const DeflateOptions& options) {
  const DeflateSetup s = stream_setup(options);
  std::string text = fmt::format("{} level {}", s.method == DeflateMethod::Isal ? "ISA-L" : "zlib", s.level);
  if (s.adaptive)
    text += fmt::format(
        " in {}; zlib level {} for the chunks where a {} KiB sample ({} KiB in streams of {} MiB or more) shows "
        "ISA-L would put the stream more than {:.1f}% above zlib level {}",
        options.plane_bytes ? (s.short_blocks ? "short blocks" : "long blocks")
                            : fmt::format("short blocks for band planes under {} MiB", kLongBlockPlane >> 20),
        kStrongLevel, kSampleBytes >> 10, kLargeStreamSampleBytes >> 10, kLargeStream >> 20, kBudget * 100,
        kSampleReferenceLevel);
  return text;
}

void compress_in_order(int threads, std::uint64_t count, const DeflateSetup& setup, Framing framing,
                       const std::function<void(std::uint64_t, DeflateWorker&, CompressedChunk&)>& compress,
                       const std::function<void(std::uint64_t, const CompressedChunk&)>& sink) {
  core::WorkerPool pool(static_cast<int>(std::clamp<std::uint64_t>(static_cast<std::uint64_t>(resolve_threads(threads)),
                                                                   1, std::max<std::uint64_t>(count, 1))));
  std::vector<std::optional<DeflateWorker>> workers(static_cast<std::size_t>(pool.workers()));
  // Enough chunks waiting for the sink that no worker idles behind a slow
  // one; one alone when the caller does everything.
  const std::size_t in_flight = pool.workers() == 1 ? 1 : 3 * static_cast<std::size_t>(pool.workers());
  // A chunk takes the buffer freed most recently: a buffer's pages stay
  // resident once written, so only as many are touched as ever waited at
  // once (two or three when the sink keeps up), not all in_flight.
  std::vector<CompressedChunk> slots(in_flight);
  std::vector<std::size_t> free_slots, slot_of(in_flight);
  for (std::size_t k = in_flight; k-- > 0;) free_slots.push_back(k);
  std::mutex mu;
  pool.ordered(
      count, in_flight,
      [&](std::uint64_t i, int w) {
        auto& worker = workers[static_cast<std::size_t>(w)];
        if (!worker) worker.emplace(setup, framing);
        std::size_t slot;
        {
          // ordered() starts item i only after item i - in_flight was
          // consumed, so a buffer is always free.
          std::lock_guard lock(mu);
          slot = free_slots.back();
          free_slots.pop_back();
          slot_of[i % in_flight] = slot;
        }
        compress(i, *worker, slots[slot]);
      },
      [&](std::uint64_t i) {
        std::size_t slot;
        {
          std::lock_guard lock(mu);
          slot = slot_of[i % in_flight];
        }
        sink(i, slots[slot]);
        std::lock_guard lock(mu);
        free_slots.push_back(slot);
      });
}

void parallel_zlib(const ByteSource& source, const ByteSink& sink, const DeflateOptions& options,
                   const ProgressFn& progress) {
  const std::uint64_t total = source.size();
  const DeflateSetup setup = stream_setup(options, total);
  int threads = resolve_threads(options.threads);
  const std::size_t block = choose_block_size(total, threads, options.block_size);
  const std::uint64_t nblocks = total == 0 ? 1 : (total + block - 1) / block;

  // zlib header: deflate, 32 KiB window, no preset dictionary.
  static const std::uint8_t header[2] = {0x78, 0x9C};
  sink(header, 2);

  // Chunk b: its bytes [start, start + len), primed with the `dict` before.
  struct Span {
    std::uint64_t start;
    std::size_t len, dict;
  };
  auto span_of = [&](std::uint64_t b) {
    const std::uint64_t start = b * block;
    return Span{start, static_cast<std::size_t>(std::min<std::uint64_t>(block, total - start)),
                static_cast<std::size_t>(std::min<std::uint64_t>(kWindow, start))};
  };
  std::optional<BudgetRule> rule;
  if (setup.adaptive) rule.emplace(total, block, nblocks);

  // Chunk b's dictionary is the tail of chunk b - 1's input, handed over by
  // the worker that read it rather than read again: in a transposing view
  // those few KiB touch every row of a band plane.
  struct Handover {
    std::mutex mu;
    std::condition_variable cv;
    std::map<std::uint64_t, std::vector<std::uint8_t>> tails;
    std::exception_ptr failed;  // what stopped an earlier chunk
    void put(std::uint64_t b, const std::uint8_t* p, std::size_t n) {
      {
        std::lock_guard lock(mu);
        tails[b].assign(p, p + n);
      }
      cv.notify_all();
    }
    // Chunks start in order and never wait for a later one, so the tail
    // comes unless an earlier chunk failed.
    void take(std::uint64_t b, std::uint8_t* out, std::size_t n) {
      std::unique_lock lock(mu);
      cv.wait(lock, [&] { return failed || tails.count(b); });
      // The same error, so the run reports it whichever worker is first.
      if (failed) std::rethrow_exception(failed);
      const auto& t = tails[b];
      std::copy(t.end() - static_cast<std::ptrdiff_t>(n), t.end(), out);
      tails.erase(b);
    }
    void fail(std::exception_ptr e) {
      {
        std::lock_guard lock(mu);
        if (!failed) failed = std::move(e);
      }
      cv.notify_all();
    }
  } handover;

  uLong adler = adler32(0L, Z_NULL, 0);
  std::uint64_t done = 0;
  compress_in_order(
      threads, nblocks, setup, Framing::Raw,
      [&](std::uint64_t b, DeflateWorker& w, CompressedChunk& out) {
        const auto [start, len, dict] = span_of(b);
        w.input.reserve(block + kWindow);
        std::uint8_t* buf = w.input.data.get();
        try {
          source.read(start, len, reinterpret_cast<std::byte*>(buf + dict));
          // A chunk's tail is the next one's dictionary; when the chunk is
          // shorter than the window, the tail reaches into its own dictionary.
          const bool tail_is_own = len >= kWindow;
          if (tail_is_own && b + 1 < nblocks) handover.put(b, buf + dict + len - kWindow, kWindow);
          if (dict) handover.take(b - 1, buf, dict);
          if (!tail_is_own && b + 1 < nblocks) {
            const std::size_t t = std::min(dict + len, kWindow);
            handover.put(b, buf + dict + len - t, t);
          }
          source.consumed(start, len, reinterpret_cast<const std::byte*>(buf + dict));
        } catch (...) {
          handover.fail(std::current_exception());
          throw;
        }
        const std::uint8_t* in = buf + dict;
        bool strong = false;
        if (rule) {
          const ChunkSample own = w.deflater.sample(w.input.data.get(), dict, in, len);
          strong = !rule->use_fast(b, own, [&](std::uint64_t j) {
            const Span s = span_of(j);
            const std::size_t head = std::min(s.len, w.deflater.sample_bytes());
            w.scratch.reserve(kWindow + w.deflater.sample_bytes());
            source.read(s.start - s.dict, s.dict + head, reinterpret_cast<std::byte*>(w.scratch.data.get()));
            return w.deflater.sample(w.scratch.data.get(), s.dict, w.scratch.data.get() + s.dict, s.len);
          });
        }
        w.deflater.compress(w.input.data.get(), dict, in, len, b + 1 == nblocks, out.bytes, strong);
        out.adler = adler32_of(in, len);
        out.raw_len = len;
      },
      [&](std::uint64_t, const CompressedChunk& c) {
        sink(c.bytes.data.get(), c.bytes.size);
        adler = adler32_combine(adler, c.adler, static_cast<z_off_t>(c.raw_len));
        done += c.raw_len;
        if (progress) progress(done, total);
      });

  const std::uint32_t a = static_cast<std::uint32_t>(adler);
  const std::uint8_t trailer[4] = {static_cast<std::uint8_t>(a >> 24), static_cast<std::uint8_t>(a >> 16),
                                   static_cast<std::uint8_t>(a >> 8), static_cast<std::uint8_t>(a)};
  sink(trailer, 4);
}

}  // namespace vexil::output
