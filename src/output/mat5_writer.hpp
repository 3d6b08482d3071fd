// MAT-file Level 5 writer: a 128-byte header and one miCOMPRESSED element
// holding a single zlib stream of the variable's miMATRIX element. Blocks
// are gathered in column-major order straight from the (strided) array and
// compressed on the worker pool.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "vexil/array.hpp"
#include "output/atomic_file.hpp"
#include "output/band_stream.hpp"
#include "output/parallel_deflate.hpp"

namespace vexil::output {

using ValueTap = std::function<void(const NDArray& values)>;

struct Mat5Options {
  int threads = 0;  // 0: the CPUs this process may use
  DeflateMethod method = DeflateMethod::Auto;
  int level = -1;              // -1: the method's chosen level
  std::size_t block_size = 0;  // 0: chosen by the compressor
  ProgressFn progress = {};    // (bytes done, bytes in all) after each block; may throw to stop
  // Stream a deferred cube whose source reads bands separately band group
  // by band group (see BandStream), rather than read it whole first; a
  // failed read then throws BandReadFailure.
  bool stream_bands = false;
  // Sees every element of a real (not complex) array once, for statistics
  // taken on the way, as runs of elements in column-major order (one-
  // dimensional arrays over the bytes just compressed). Called from the
  // writer's workers, several at once.
  ValueTap value_tap = {};
};

// Bytes of one plane of the first two axes as the element stores them (a
// complex array's parts apart): the writer's DeflateOptions::plane_bytes.
std::uint64_t mat5_plane_bytes(const NDArray& array);
// Uncompressed byte count of the miMATRIX element after its 8-byte tag.
std::uint64_t mat5_matrix_bytes(const NDArray& array, std::string_view name);
// Throws BadInputError when the variable cannot be held by a Level 5 element
// (an extent beyond int32, 32-bit byte counts) or the name is unusable.
void check_mat5_fits(const NDArray& array, std::string_view name);
// Writes the file into `out`, which the caller commits (or discards).
void write_mat5(AtomicFile& out, std::string_view name, const NDArray& array, const Mat5Options& options = {});
// Writes `path` atomically (temporary name, then rename).
void write_mat5(const std::string& path, std::string_view name, const NDArray& array, const Mat5Options& options = {});

// The uncompressed miMATRIX element (tag included) as a byte source, for
// tests and the benchmark's baselines; `tap` as Mat5Options::value_tap sees
// the bytes consumed.
std::unique_ptr<ByteSource> mat5_element_source(const NDArray& array, std::string_view name,
                                                const StreamBands* stream = nullptr, ValueTap tap = {});

}  // namespace vexil::output
