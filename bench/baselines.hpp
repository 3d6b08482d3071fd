// What the converter is compared with, measured in the same run:
// - single-threaded zlib level 6 over the data.mat payload (the miMATRIX
//   element in column-major order), the size SciPy and matio write;
// - the Python pipeline a user would otherwise run (python_pipeline.py:
//   Spectral Python, rasterio or h5py, then scipy.io.savemat with
//   compression), as a child process with its own wall time and peak RSS.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "cubes.hpp"
#include "output/parallel_deflate.hpp"
#include "process.hpp"
#include "writers.hpp"

namespace bench {

struct Zlib6 {
  std::uint64_t payload = 0;     // uncompressed miMATRIX element, tag included
  std::uint64_t compressed = 0;  // one zlib stream at level 6
  double seconds = 0;            // one thread
  // The MAT-file that stream makes: 128-byte header, 8-byte miCOMPRESSED tag.
  std::uint64_t file_size() const { return 136 + compressed; }
  double ratio() const { return static_cast<double>(compressed) / static_cast<double>(payload); }
};

// nullopt for a cube whose element does not fit a Level 5 file (4 GiB).
std::optional<Zlib6> zlib6_baseline(const MappedCube& cube);
// One zlib level 6 stream over any bytes, on the calling thread.
Zlib6 zlib6_stream(const vexil::output::ByteSource& source);

struct PythonRun {
  RunResult run;
  double read_seconds = -1;  // as the script measured them
  double write_seconds = -1;
};

struct PythonSetup {
  std::string python;  // /usr/bin/python3
  std::string scripts_dir;
};

// Reads `input` as its format's Python reader returns it, puts it in
// (lines, samples, bands) order and saves it with scipy.io.savemat(...,
// do_compression=True) to `out_mat` (no file when `read_only`).
PythonRun run_python_pipeline(const PythonSetup& setup, const WrittenInput& input, const std::string& out_mat,
                              bool read_only = false);

struct Comparison {
  bool same = false;
  std::string text;  // "same", or how they differ
};

// Whether both MAT-files hold the same variable "data" (type, shape,
// values), read back with SciPy. `bands_first_input`: the input stored
// (bands, lines, samples), which the converter may keep when the band axis
// is not the smallest; that counts as the same, and the text says so.
Comparison compare_mats(const PythonSetup& setup, const std::string& vexil_mat, const std::string& python_mat,
                        bool bands_first_input);

}  // namespace bench
