// The deflate back end of both MAT writers.
//
// parallel_zlib() makes one zlib stream out of independently compressed
// chunks (pigz style): each chunk is raw deflate primed with the previous
// 32 KiB of input and ended by a sync flush (the last by a final block); the
// chunks' Adler-32 values are combined into the stream's trailer.
//
// compress_in_order() is the pipeline under it, also used for the MAT 7.3
// writer's HDF5 chunks: chunks are compressed on a worker pool and handed to
// a sink on the calling thread strictly in order, with a bounded number in
// flight, so memory stays at a few chunks per worker.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace vexil::output {

// The uncompressed bytes, readable at any offset from any thread.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual std::uint64_t size() const = 0;
  // Fills out[0, len) with bytes [offset, offset + len).
  virtual void read(std::uint64_t offset, std::size_t len, std::byte* out) const = 0;
  // Called by parallel_zlib() once for each chunk it compresses, with the
  // bytes read for it: the ranges never overlap and together make the whole
  // source, so a source can take statistics of its data on the way, while
  // the bytes are in cache. The min(offset, 32 KiB) bytes before `bytes`
  // hold the source's bytes before `offset`. Called from the workers,
  // several at once.
  virtual void consumed(std::uint64_t /*offset*/, std::size_t /*len*/, const std::byte* /*bytes*/) const {}
};

enum class DeflateMethod {
  Auto,  // ISA-L when built in, zlib for the chunks where ISA-L would lose
         // too much against zlib level 6 (see describe_method); zlib alone
         // without ISA-L
  Isal,  // ISA-L, levels 1..3
  Zlib,  // zlib, levels 1..9
};

struct DeflateOptions {
  int threads = 0;             // 0: the CPUs this process may use
  std::size_t block_size = 0;  // 0: chosen from the size and the threads
  DeflateMethod method = DeflateMethod::Auto;
  int level = -1;  // -1: the method's chosen level
  // Bytes of one band plane, over which the data's statistics hold (0:
  // unknown). Auto keeps ISA-L's default long blocks for planes of at least
  // 1 MiB; smaller ones get short blocks.
  std::uint64_t plane_bytes = 0;
};

// Receives compressed bytes in stream order.
using ByteSink = std::function<void(const std::uint8_t* data, std::size_t len)>;
// Called on the sink's thread after each chunk with the input bytes done so far.
using ProgressFn = std::function<void(std::uint64_t done, std::uint64_t total)>;

// Compresses the whole source into one zlib stream. Exceptions from the
// source or the sink stop the workers and propagate to the caller.
void parallel_zlib(const ByteSource& source, const ByteSink& sink, const DeflateOptions& options = {},
                   const ProgressFn& progress = {});

bool isal_available();
// What parallel_zlib() does with these options in this build, e.g.
// "ISA-L level 2", "zlib level 3".
std::string describe_method(const DeflateOptions& options);
// `threads` when positive, else the CPUs this process may use.
int resolve_threads(int threads);

// ---------------------------------------------------------------------------
// Building blocks shared by the writers.

// A growable byte buffer that is never zero-filled: fresh pages are costly
// to touch, so buffers are allocated once per worker and reused.
struct Buffer {
  std::unique_ptr<std::uint8_t[]> data;
  std::size_t capacity = 0;
  std::size_t size = 0;
  // Keeps the first `size` bytes.
  void reserve(std::size_t n);
};

// A method and level as this build carries them out.
struct DeflateSetup {
  DeflateMethod method = DeflateMethod::Zlib;  // Isal or Zlib
  int level = 6;
  bool adaptive = false;                 // ISA-L, and zlib for the chunks a BudgetRule picks
  bool short_blocks = false;             // ISA-L blocks of 16 Ki symbols instead of 64 Ki
  std::size_t sample_bytes = 16u << 10;  // an adaptive setup's sample of each chunk
};
// Resolves Auto and the default level (-1); throws std::invalid_argument
// for ISA-L in a build without it or a level the method lacks.
DeflateSetup resolve_deflate(DeflateMethod method, int level, int default_isal_level, int default_zlib_level);

enum class Framing {
  Raw,   // a piece of a longer stream: primed, ended by a sync flush or a final block
  Zlib,  // one whole zlib stream (header, data, Adler-32)
};

// What a chunk would cost, estimated from a sample of its head.
struct ChunkSample {
  double extra = 0;      // bytes ISA-L would add over zlib level 6 (may be negative)
  double reference = 0;  // bytes zlib level 6 would give
};

// One worker's compression state.
class Deflater {
 public:
  Deflater(const DeflateSetup& setup, Framing framing);
  ~Deflater();
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;

  // Compresses in[0, len) into `out` (replacing its content), with the
  // setup's method, or with its zlib level when `strong` and the setup is
  // adaptive. Raw framing only: primed with dict[0, dict_len) (at most
  // 32 KiB), and `last` ends the stream with a final block instead of a
  // sync flush.
  void compress(const std::uint8_t* dict, std::size_t dict_len, const std::uint8_t* in, std::size_t len, bool last,
                Buffer& out, bool strong = false);

  // Estimates a chunk of `chunk_len` bytes from its first sample_bytes()
  // (fewer in a shorter chunk) at `head`, primed with `dict`. Adaptive
  // setups with Raw framing only.
  ChunkSample sample(const std::uint8_t* dict, std::size_t dict_len, const std::uint8_t* head, std::uint64_t chunk_len);
  std::size_t sample_bytes() const { return sample_bytes_; }

 private:
  struct Engines;
  std::unique_ptr<Engines> engines_;
  std::size_t sample_bytes_;
};

// Adler-32 of a buffer of any length.
std::uint32_t adler32_of(const std::uint8_t* p, std::size_t len);

struct CompressedChunk {
  Buffer bytes;
  std::uint32_t adler = 1;    // of the uncompressed chunk (Raw framing)
  std::uint64_t raw_len = 0;  // uncompressed bytes the chunk stands for
};

// A worker's deflater and buffers, reused from chunk to chunk.
struct DeflateWorker {
  Deflater deflater;
  Buffer input;
  Buffer scratch;
  DeflateWorker(const DeflateSetup& setup, Framing framing) : deflater(setup, framing) {}
};

// Runs compress(i, worker, out) for every chunk i < count on a pool of
// `threads` workers (0: the CPU budget) and hands each chunk to sink(i,
// chunk) on the calling thread in order of i. A few chunks per worker are
// held at most. The first exception stops the work and is rethrown.
void compress_in_order(int threads, std::uint64_t count, const DeflateSetup& setup, Framing framing,
                       const std::function<void(std::uint64_t, DeflateWorker&, CompressedChunk&)>& compress,
                       const std::function<void(std::uint64_t, const CompressedChunk&)>& sink);

}  // namespace vexil::output
