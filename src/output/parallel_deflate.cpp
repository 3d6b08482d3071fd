#include "output/parallel_deflate.hpp"

#include <zlib.h>

#include <algorithm>
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

// ISA-L's fast matcher (4-byte minimum match, short chains) loses up to 4%
// against zlib's default on smooth, well-compressible integer data, but
// stays within 1-2% on noisy data. Chunks that ISA-L shrinks below this
// share are compressed again with zlib and the smaller result kept.
constexpr double kRecompressBelow = 0.65;
constexpr int kRecompressLevel = 3;

// Default levels of parallel_zlib(): measured best speed for its size.
constexpr int kStreamIsalLevel = 2;
constexpr int kStreamZlibLevel = kRecompressLevel;

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
  IsalEngine(int level, Framing framing) : level_(level), framing_(framing) {
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

std::size_t choose_block_size(std::uint64_t total, int threads, std::size_t requested) {
  if (requested) return requested;  // exact, so tests can cut elements in two
  constexpr std::size_t kMax = 4u << 20, kMin = 256u << 10;
  // Enough blocks for every thread to stay busy, never so small that the
  // per-chunk priming and flush overhead shows.
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
  std::optional<ZlibEngine> zlib;  // the method, or the adaptive second try
#if defined(VEXIL_HAVE_ISAL)
  std::optional<IsalEngine> isal;
#endif
  Buffer alt;
};

Deflater::Deflater(const DeflateSetup& setup, Framing framing) : engines_(std::make_unique<Engines>()) {
#if defined(VEXIL_HAVE_ISAL)
  if (setup.method == DeflateMethod::Isal) {
    engines_->isal.emplace(setup.level, framing);
    if (setup.adaptive) engines_->zlib.emplace(kRecompressLevel, framing);
    return;
  }
#endif
  engines_->zlib.emplace(setup.level, framing);
}

Deflater::~Deflater() = default;

void Deflater::compress(const std::uint8_t* dict, std::size_t dict_len, const std::uint8_t* in, std::size_t len,
                        bool last, Buffer& out) {
  Engines& e = *engines_;
#if defined(VEXIL_HAVE_ISAL)
  if (e.isal) {
    e.isal->compress(dict, dict_len, in, len, last, out);
    if (!e.zlib || static_cast<double>(out.size) >= kRecompressBelow * static_cast<double>(len)) return;
    e.zlib->compress(dict, dict_len, in, len, last, e.alt);
    if (e.alt.size < out.size) std::swap(out, e.alt);
    return;
  }
#endif
  e.zlib->compress(dict, dict_len, in, len, last, out);
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
  const DeflateSetup s = resolve_deflate(options.method, options.level, kStreamIsalLevel, kStreamZlibLevel);
  std::string text = fmt::format("{} level {}", s.method == DeflateMethod::Isal ? "ISA-L" : "zlib", s.level);
  if (s.adaptive)
    text += fmt::format(" (zlib level {} where that gives below {:.0f}%)", kRecompressLevel, kRecompressBelow * 100);
  return text;
}

void compress_in_order(int threads, std::uint64_t count, const DeflateSetup& setup, Framing framing,
                       const std::function<void(std::uint64_t, DeflateWorker&, CompressedChunk&)>& compress,
                       const std::function<void(std::uint64_t, const CompressedChunk&)>& sink) {
  core::WorkerPool pool(static_cast<int>(std::clamp<std::uint64_t>(
      static_cast<std::uint64_t>(resolve_threads(threads)), 1, std::max<std::uint64_t>(count, 1))));
  std::vector<std::optional<DeflateWorker>> workers(static_cast<std::size_t>(pool.workers()));
  // Enough chunks waiting for the sink that no worker idles behind a slow
  // one; one alone when the caller does everything.
  const std::size_t in_flight = pool.workers() == 1 ? 1 : 3 * static_cast<std::size_t>(pool.workers());
  std::vector<CompressedChunk> slots(in_flight);
  pool.ordered(
      count, in_flight,
      [&](std::uint64_t i, int w) {
        auto& worker = workers[static_cast<std::size_t>(w)];
        if (!worker) worker.emplace(setup, framing);
        compress(i, *worker, slots[i % in_flight]);
      },
      [&](std::uint64_t i) { sink(i, slots[i % in_flight]); });
}

void parallel_zlib(const ByteSource& source, const ByteSink& sink, const DeflateOptions& options,
                   const ProgressFn& progress) {
  const DeflateSetup setup = resolve_deflate(options.method, options.level, kStreamIsalLevel, kStreamZlibLevel);
  const std::uint64_t total = source.size();
  int threads = resolve_threads(options.threads);
  const std::size_t block = choose_block_size(total, threads, options.block_size);
  const std::uint64_t nblocks = total == 0 ? 1 : (total + block - 1) / block;

  // zlib header: deflate, 32 KiB window, no preset dictionary.
  static const std::uint8_t header[2] = {0x78, 0x9C};
  sink(header, 2);

  uLong adler = adler32(0L, Z_NULL, 0);
  std::uint64_t done = 0;
  compress_in_order(
      threads, nblocks, setup, Framing::Raw,
      [&](std::uint64_t b, DeflateWorker& w, CompressedChunk& out) {
        const std::uint64_t start = b * block;
        const std::size_t len = static_cast<std::size_t>(std::min<std::uint64_t>(block, total - start));
        const std::size_t dict = static_cast<std::size_t>(std::min<std::uint64_t>(kWindow, start));
        w.input.reserve(block + kWindow);
        source.read(start - dict, dict + len, reinterpret_cast<std::byte*>(w.input.data.get()));
        const std::uint8_t* in = w.input.data.get() + dict;
        w.deflater.compress(w.input.data.get(), dict, in, len, b + 1 == nblocks, out.bytes);
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
