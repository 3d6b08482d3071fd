// MAT-file 7.3 writer: an HDF5 file behind a 512-byte user block holding the
// MAT-file header, with one dataset per variable as MATLAB lays it out
// (reversed dimensions, MATLAB_class attribute, complex as a {real, imag}
// compound). Used for arrays too large for a Level 5 variable. The dataset
// is chunked band plane by band plane; chunks are gathered straight from the
// (strided) array, deflated on the worker pool and stored in order with
// HDF5's direct chunk write, so memory stays at a few chunks per worker.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "vexil/array.hpp"
#include "output/atomic_file.hpp"
#include "output/parallel_deflate.hpp"

namespace vexil::output {

struct Mat73Options {
  int threads = 0;                             // 0: the CPUs this process may use
  DeflateMethod method = DeflateMethod::Auto;  // ISA-L when built in, else zlib
  int level = -1;                              // the method's level; -1: its fastest
  std::size_t chunk_bytes = 0;                 // upper bound of a chunk's size; 0: the default (4 MiB)
  ProgressFn progress = {};                    // (array bytes done, bytes in all) after each chunk; may throw to stop
};

// True when this build can write MAT-file 7.3 (it was built with HDF5).
bool mat73_available();

// HDF5 chunk dimensions (in the dataset's reversed order) the writer uses
// for an array; empty for an empty array, which is stored unchunked.
std::vector<std::uint64_t> mat73_chunk_dims(const NDArray& array, const Mat73Options& options = {});

// Writes `path` atomically (temporary name in the same folder, then rename);
// on failure no file is left behind. Throws BadInputError for a name HDF5
// cannot hold, std::invalid_argument for a level the method lacks,
// WriteError when writing fails or HDF5 is not built in.
void write_mat73(const std::string& path, std::string_view name, const NDArray& array,
                 const Mat73Options& options = {});
// Writes the file into `out`, which the caller commits (or discards).
void write_mat73(AtomicFile& out, std::string_view name, const NDArray& array, const Mat73Options& options = {});

}  // namespace vexil::output
