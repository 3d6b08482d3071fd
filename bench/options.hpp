// The benchmark's command line.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "writers.hpp"

namespace bench {

// Row groups, in the order they run.
inline const std::vector<std::string> kGroups{"formats", "sweep", "1g", "batch", "module", "methods"};

struct Options {
  std::vector<std::string> groups{"formats", "sweep", "1g", "batch", "module"};
  // Generator size per group ("formats", "sweep", "1g", "batch", "module").
  std::map<std::string, std::string> sizes{
      {"formats", "l256"}, {"sweep", "m64"}, {"1g", "xl1g"}, {"batch", "m64"}, {"module", "l256"}};
  std::vector<InputFormat> formats;  // default: all
  std::vector<std::string> sweep_variants{"u16-h", "u16", "u16-x4", "u16-x8", "f32-m12", "f32-m16", "f32-m20", "f32"};
  int batch_cubes = 4;
  int batch_jobs = 2;
  unsigned seed = 20240611;  // make_cubes.py's default
  std::uint64_t methods_sample = 64ull << 20;

  std::string vexil;  // default: beside this program
  std::string python = "/usr/bin/python3";
  std::string scripts;     // the Python scripts (default: this source tree's bench/)
  std::string generator;   // make_cubes.py (default: in `scripts`)
  std::string cache;       // generated cubes, kept between runs
  std::string scratch;     // converted inputs and outputs, removed at the end
  std::string module_dir;  // prepended to PYTHONPATH for the vexil module
  std::string json;        // also write the results here

  bool quick = false;
  bool generate_only = false;
  bool keep = false;
  bool python_baseline = true;
  bool zlib = true;
  bool verify = false;
  bool summary = false;

  bool has(const std::string& group) const;
};

// Exits with the usage text on --help (status 0) or a bad option (status 2).
Options parse_options(int argc, char** argv);

}  // namespace bench
