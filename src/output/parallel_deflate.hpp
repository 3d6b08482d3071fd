// One zlib stream made of independently compressed chunks (pigz style):
// each chunk is raw deflate primed with the previous 32 KiB of input and
// ended by a sync flush (the last by a final block); the chunks' Adler-32
// values are combined into the stream's trailer. Chunks are produced on a
// thread pool and handed to the sink strictly in order, with a bounded
// number in flight, so memory stays at a few MiB per thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace vexil::output {

// The uncompressed bytes, readable at any offset from any thread.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual std::uint64_t size() const = 0;
  // Fills out[0, len) with bytes [offset, offset + len).
  virtual void read(std::uint64_t offset, std::size_t len, std::byte* out) const = 0;
};

enum class DeflateMethod {
  Auto,  // measured best: ISA-L level 2, redone with zlib level 3 where data
         // compresses well (ISA-L's weak spot); zlib level 3 without ISA-L
  Isal,  // ISA-L, levels 1..3
  Zlib,  // zlib, levels 1..9
};

struct DeflateOptions {
  int threads = 0;               // 0: all hardware threads
  std::size_t block_size = 0;    // 0: chosen from the size and the threads
  DeflateMethod method = DeflateMethod::Auto;
  int level = -1;                // -1: the method's chosen level
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
// "ISA-L level 2", "zlib level 3": what Auto resolves to in this build.
std::string describe_method(const DeflateOptions& options);
int resolve_threads(int threads);

}  // namespace vexil::output
