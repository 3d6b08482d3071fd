#include "output/parallel_deflate.hpp"

#include <zlib.h>

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <thread>
#include <vector>

#include <fmt/format.h>

#if defined(VEXIL_HAVE_ISAL)
#include <isa-l/igzip_lib.h>
#endif

namespace vexil::output {
namespace {

constexpr std::size_t kWindow = 32768;

// ISA-L's fast matcher (4-byte minimum match, short chains) loses up to 4%
// against zlib's default on smooth, well-compressible integer data, but
// stays within 1-2% on noisy data. Chunks that ISA-L shrinks below this
// share are compressed again with zlib and the smaller result kept.
constexpr double kRecompressBelow = 0.65;
constexpr int kRecompressLevel = 3;

// Growable byte buffer that never zero-fills: fresh pages are expensive to
// touch, so buffers are allocated once per worker and reused.
struct Buffer {
  std::unique_ptr<std::uint8_t[]> data;
  std::size_t capacity = 0;
  std::size_t size = 0;

  void reserve(std::size_t n) {
    if (n <= capacity) return;
    std::unique_ptr<std::uint8_t[]> bigger(new std::uint8_t[n]);
    if (size) std::copy(data.get(), data.get() + size, bigger.get());
    data = std::move(bigger);
    capacity = n;
  }
};

DeflateMethod resolve_method(DeflateMethod m) {
  if (m == DeflateMethod::Auto) return isal_available() ? DeflateMethod::Isal : DeflateMethod::Zlib;
  if (m == DeflateMethod::Isal && !isal_available())
    throw std::invalid_argument("ISA-L deflate was not built into this program");
  return m;
}

int resolve_level(DeflateMethod m, int level) {
  if (m == DeflateMethod::Isal) {
    if (level < 0) return 2;
    if (level < 1 || level > 3) throw std::invalid_argument("ISA-L deflate levels are 1 to 3");
    return level;
  }
  if (level < 0) return kRecompressLevel;
  if (level < 1 || level > 9) throw std::invalid_argument("zlib deflate levels are 1 to 9");
  return level;
}

// Compresses one chunk to raw deflate, primed with `dict`, ended with a sync
// flush or, for the last chunk, a final block.
class ChunkCompressor {
 public:
  virtual ~ChunkCompressor() = default;
  virtual void compress(const std::uint8_t* dict, std::size_t dict_len, const std::uint8_t* in,
                        std::size_t len, bool last, Buffer& out) = 0;
};

class ZlibCompressor final : public ChunkCompressor {
 public:
  explicit ZlibCompressor(int level) {
    if (deflateInit2(&zs_, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
      throw std::bad_alloc();
  }
  ~ZlibCompressor() override { deflateEnd(&zs_); }
  ZlibCompressor(const ZlibCompressor&) = delete;
  ZlibCompressor& operator=(const ZlibCompressor&) = delete;

  void compress(const std::uint8_t* dict, std::size_t dict_len, const std::uint8_t* in, std::size_t len,
                bool last, Buffer& out) override {
    deflateReset(&zs_);
    if (dict_len && deflateSetDictionary(&zs_, dict, static_cast<uInt>(dict_len)) != Z_OK)
      throw std::runtime_error("zlib refused the preset dictionary");
    out.size = 0;
    out.reserve(deflateBound(&zs_, len) + 64);
    zs_.next_in = const_cast<Bytef*>(in);
    zs_.avail_in = static_cast<uInt>(len);
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
  z_stream zs_{};
};

#if defined(VEXIL_HAVE_ISAL)
class IsalCompressor final : public ChunkCompressor {
 public:
  explicit IsalCompressor(int level) : level_(level) {
    level_buf_size_ = level == 1 ? ISAL_DEF_LVL1_DEFAULT : level == 2 ? ISAL_DEF_LVL2_DEFAULT : ISAL_DEF_LVL3_DEFAULT;
    level_buf_.reset(new std::uint8_t[level_buf_size_]);
    stream_ = std::make_unique<isal_zstream>();
  }

  void compress(const std::uint8_t* dict, std::size_t dict_len, const std::uint8_t* in, std::size_t len,
                bool last, Buffer& out) override {
    isal_zstream* s = stream_.get();
    isal_deflate_init(s);
    s->level = static_cast<std::uint32_t>(level_);
    s->level_buf = level_buf_.get();
    s->level_buf_size = level_buf_size_;
    s->gzip_flag = IGZIP_DEFLATE;
    if (dict_len &&
        isal_deflate_set_dict(s, const_cast<std::uint8_t*>(dict), static_cast<std::uint32_t>(dict_len)) != COMP_OK)
      throw std::runtime_error("ISA-L refused the preset dictionary");
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
  std::uint32_t level_buf_size_;
  std::unique_ptr<std::uint8_t[]> level_buf_;
  std::unique_ptr<isal_zstream> stream_;
};
#endif


#if defined(VEXIL_HAVE_ISAL)
class AdaptiveCompressor final : public ChunkCompressor {
 public:
  explicit AdaptiveCompressor(int level) : fast_(level), strong_(kRecompressLevel) {}
  void compress(const std::uint8_t* dict, std::size_t dict_len, const std::uint8_t* in, std::size_t len,
                bool last, Buffer& out) override {
    fast_.compress(dict, dict_len, in, len, last, out);
    if (static_cast<double>(out.size) >= kRecompressBelow * static_cast<double>(len)) return;
    strong_.compress(dict, dict_len, in, len, last, alt_);
    if (alt_.size < out.size) std::swap(out, alt_);
  }

 private:
  IsalCompressor fast_;
  ZlibCompressor strong_;
  Buffer alt_;
};
#endif

std::unique_ptr<ChunkCompressor> make_compressor(DeflateMethod m, int level, bool adaptive) {
#if defined(VEXIL_HAVE_ISAL)
  if (m == DeflateMethod::Isal) {
    if (adaptive) return std::make_unique<AdaptiveCompressor>(level);
    return std::make_unique<IsalCompressor>(level);
  }
#else
  (void)adaptive;
#endif
  return std::make_unique<ZlibCompressor>(level);
}

std::uint32_t checksum(const std::uint8_t* p, std::size_t len) {
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

std::size_t choose_block_size(std::uint64_t total, int threads, std::size_t requested) {
  if (requested) return requested;  // exact, so tests can cut elements in two
  constexpr std::size_t kMax = 4u << 20, kMin = 256u << 10;
  // Enough blocks for every thread to stay busy, never so small that the
  // per-chunk priming and flush overhead shows.
  const std::uint64_t per = total / (static_cast<std::uint64_t>(threads) * 4);
  std::size_t b = static_cast<std::size_t>(std::clamp<std::uint64_t>(per, kMin, kMax));
  return (b + 65535) / 65536 * 65536;
}

struct Slot {
  Buffer out;
  std::uint32_t adler = 1;
  std::uint64_t len = 0;
  bool ready = false;
};

}  // namespace

bool isal_available() {
#if defined(VEXIL_HAVE_ISAL)
  return true;
#else
  return false;
#endif
}

int resolve_threads(int threads) {
  if (threads > 0) return threads;
  const unsigned hw = std::thread::hardware_concurrency();
  return hw ? static_cast<int>(hw) : 1;
}

std::string describe_method(const DeflateOptions& options) {
  const DeflateMethod m = resolve_method(options.method);
  std::string s = fmt::format("{} level {}", m == DeflateMethod::Isal ? "ISA-L" : "zlib", resolve_level(m, options.level));
  if (m == DeflateMethod::Isal && options.method == DeflateMethod::Auto)
    s += fmt::format(" (zlib level {} where that gives below {:.0f}%)", kRecompressLevel, kRecompressBelow * 100);
  return s;
}

void parallel_zlib(const ByteSource& source, const ByteSink& sink, const DeflateOptions& options,
                   const ProgressFn& progress) {
  const DeflateMethod method = resolve_method(options.method);
  const int level = resolve_level(method, options.level);
  const bool adaptive = options.method == DeflateMethod::Auto;
  const std::uint64_t total = source.size();
  int threads = resolve_threads(options.threads);
  const std::size_t block = choose_block_size(total, threads, options.block_size);
  const std::uint64_t nblocks = total == 0 ? 1 : (total + block - 1) / block;
  threads = static_cast<int>(std::min<std::uint64_t>(threads, nblocks));

  // zlib header: deflate, 32 KiB window, no preset dictionary.
  static const std::uint8_t header[2] = {0x78, 0x9C};
  sink(header, 2);

  auto block_range = [&](std::uint64_t b) {
    const std::uint64_t start = b * block;
    return std::pair{start, std::min<std::uint64_t>(block, total - start)};
  };
  auto fill = [&](std::uint64_t b, Buffer& in, ChunkCompressor& comp, Slot& slot) {
    const auto [start, len] = block_range(b);
    const std::size_t dict = static_cast<std::size_t>(std::min<std::uint64_t>(kWindow, start));
    in.reserve(block + kWindow);
    source.read(start - dict, dict + len, reinterpret_cast<std::byte*>(in.data.get()));
    comp.compress(in.data.get(), dict, in.data.get() + dict, len, b + 1 == nblocks, slot.out);
    slot.adler = checksum(in.data.get() + dict, len);
    slot.len = len;
  };

  uLong adler = adler32(0L, Z_NULL, 0);
  std::uint64_t done = 0;
  auto emit = [&](Slot& slot) {
    sink(slot.out.data.get(), slot.out.size);
    adler = adler32_combine(adler, slot.adler, static_cast<z_off_t>(slot.len));
    done += slot.len;
    if (progress) progress(done, total);
  };

  if (threads <= 1) {
    auto comp = make_compressor(method, level, adaptive);
    Buffer in;
    Slot slot;
    for (std::uint64_t b = 0; b < nblocks; ++b) {
      fill(b, in, *comp, slot);
      emit(slot);
    }
  } else {
    const std::uint64_t in_flight = static_cast<std::uint64_t>(threads) * 3;
    std::vector<Slot> slots(in_flight);
    std::mutex mu;
    std::condition_variable cv;
    std::uint64_t next_claim = 0, next_write = 0;
    bool stop = false;
    std::exception_ptr worker_error;

    auto worker = [&] {
      try {
        auto comp = make_compressor(method, level, adaptive);
        Buffer in;
        for (;;) {
          std::uint64_t b;
          {
            std::unique_lock lock(mu);
            cv.wait(lock, [&] { return stop || next_claim >= nblocks || next_claim < next_write + in_flight; });
            if (stop || next_claim >= nblocks) return;
            b = next_claim++;
          }
          Slot& slot = slots[b % in_flight];
          fill(b, in, *comp, slot);
          {
            std::lock_guard lock(mu);
            slot.ready = true;
          }
          cv.notify_all();
        }
      } catch (...) {
        std::lock_guard lock(mu);
        if (!worker_error) worker_error = std::current_exception();
        stop = true;
        cv.notify_all();
      }
    };

    std::vector<std::thread> pool;
    auto stop_and_join = [&] {
      {
        std::lock_guard lock(mu);
        stop = true;
      }
      cv.notify_all();
      for (auto& t : pool)
        if (t.joinable()) t.join();
    };
    try {
      pool.reserve(threads);
      for (int i = 0; i < threads; ++i) pool.emplace_back(worker);
      for (std::uint64_t w = 0; w < nblocks; ++w) {
        Slot& slot = slots[w % in_flight];
        {
          std::unique_lock lock(mu);
          cv.wait(lock, [&] { return slot.ready || worker_error; });
          if (worker_error) break;
        }
        emit(slot);
        {
          std::lock_guard lock(mu);
          slot.ready = false;
          ++next_write;
        }
        cv.notify_all();
      }
    } catch (...) {
      stop_and_join();
      throw;
    }
    stop_and_join();
    if (worker_error) std::rethrow_exception(worker_error);
  }

  const std::uint32_t a = static_cast<std::uint32_t>(adler);
  const std::uint8_t trailer[4] = {static_cast<std::uint8_t>(a >> 24), static_cast<std::uint8_t>(a >> 16),
                                   static_cast<std::uint8_t>(a >> 8), static_cast<std::uint8_t>(a)};
  sink(trailer, 4);
}

}  // namespace vexil::output
