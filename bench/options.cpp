#include "options.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include <fmt/format.h>

#include "cubes.hpp"

namespace bench {

namespace {

const char* kUsage =
    "usage: vexil_bench [options]\n"
    "Converts realistic synthetic cubes with vexil and prints, per row, its wall time, CPU/wall, peak RSS\n"
    "and data.mat size against single-threaded zlib level 6 and the Python pipeline, all in the same run.\n"
    "\n"
    "  --only LIST           row groups to run (default formats,sweep,1g,batch,module):\n"
    "                          formats  every input format from one uint16 cube\n"
    "                          sweep    ENVI BSQ cubes of several compressibilities, uint16 and float32\n"
    "                          1g       the 1 GiB uint16 BSQ cube\n"
    "                          batch    cubes converted with GNU parallel against one after another\n"
    "                          module   the vexil Python module, when it can be imported\n"
    "                          methods  deflate methods and thread scaling on the sweep cubes\n"
    "  --quick               small cubes (s8; m64 for 1g) and --verify: a smoke run of a few minutes or less\n"
    "  --generate-only       make the cubes the selected rows need, then stop (to measure later)\n"
    "  --size GROUP=SIZE,..  generator size per group: s8, m64, l256, xl1g\n"
    "                          (default formats=l256,sweep=m64,1g=xl1g,batch=m64,module=l256)\n"
    "  --formats LIST        input formats (default all): envi-bsq,envi-bil,envi-bip,tiff-pixel,tiff-band,\n"
    "                          tiff-pixel-deflate,tiff-band-deflate,h5-hwb,h5-hwb-gzip,h5-bhw,h5-bhw-gzip\n"
    "  --sweep LIST          sweep variants (default u16-h,u16,u16-x4,u16-x8,f32-m12,f32-m16,f32-m20,f32)\n"
    "  --batch-cubes N       cubes in the batch (default 4)\n"
    "  --batch-jobs N        parallel jobs, one thread each (default 2)\n"
    "  --seed N              generator seed of the first size (default 20240611, as make_cubes.py)\n"
    "  --no-python           skip the Python pipeline\n"
    "  --no-zlib             skip the zlib level 6 baseline\n"
    "  --verify              check that vexil's and the pipeline's data.mat hold the same array\n"
    "  --summary             also show the share of each run spent after the metadata.json line\n"
    "  --methods-sample S    bytes compared per deflate method, e.g. 64M (default 64M)\n"
    "  --vexil PATH          the vexil program (default: beside this program)\n"
    "  --python PATH         interpreter with NumPy, SciPy, Spectral, rasterio, h5py (default /usr/bin/python3)\n"
    "  --scripts DIR         folder of python_pipeline.py and the other scripts (default: the source bench/)\n"
    "  --generator PATH      make_cubes.py to build scenes with (default: the one in --scripts)\n"
    "  --cache DIR           generated cubes, kept for later runs (default: the build's bench/cubes)\n"
    "  --scratch DIR         written inputs and outputs (default: a new folder in $TMPDIR, removed)\n"
    "  --keep                keep the scratch folder\n"
    "  --module-dir DIR      folder holding the vexil Python package, put first on PYTHONPATH\n"
    "                          (default: this build's python/ when it built the module)\n"
    "  --json FILE           also write every measurement as JSON\n";

[[noreturn]] void usage(int status, const std::string& message = "") {
  if (status == 0) {
    std::fputs(kUsage, stdout);
  } else {
    fmt::print(stderr, "vexil_bench: {}\n(vexil_bench --help lists the options)\n", message);
  }
  std::exit(status);
}

std::vector<std::string> split_list(const std::string& s) {
  std::vector<std::string> out;
  std::stringstream ss(s);
  for (std::string item; std::getline(ss, item, ',');)
    if (!item.empty()) out.push_back(item);
  return out;
}

std::uint64_t parse_bytes(const std::string& s) {
  std::size_t pos = 0;
  double v = 0;
  try {
    v = std::stod(s, &pos);
  } catch (const std::exception&) {
    usage(2, "bad size: " + s);
  }
  const std::string unit = s.substr(pos);
  double mult = 1;
  if (unit == "K" || unit == "k")
    mult = 1024.0;
  else if (unit == "M" || unit == "m")
    mult = 1048576.0;
  else if (unit == "G" || unit == "g")
    mult = 1073741824.0;
  else if (!unit.empty())
    usage(2, "bad size: " + s);
  if (v <= 0) usage(2, "bad size: " + s);
  return static_cast<std::uint64_t>(v * mult);
}

int parse_count(const std::string& option, const std::string& s) {
  try {
    std::size_t pos = 0;
    const int v = std::stoi(s, &pos);
    if (pos == s.size() && v > 0) return v;
  } catch (const std::exception&) {
  }
  usage(2, option + " needs a positive whole number, not '" + s + "'");
}

bool valid_variant(const std::string& v) {
  if (v == "u16" || v == "u16-h" || v == "u16-x4" || v == "u16-x8" || v == "f32") return true;
  if (v.rfind("f32-m", 0) != 0 || v.size() < 6) return false;
  const std::string bits = v.substr(5);
  if (bits.find_first_not_of("0123456789") != std::string::npos || bits.size() > 2) return false;
  const int n = std::stoi(bits);
  return n >= 1 && n <= 23;
}

}  // namespace

bool Options::has(const std::string& group) const {
  return std::find(groups.begin(), groups.end(), group) != groups.end();
}

Options parse_options(int argc, char** argv) {
  Options o;
  std::map<std::string, std::string> explicit_sizes;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) usage(2, a + " needs a value");
      return argv[++i];
    };
    if (a == "-h" || a == "--help")
      usage(0);
    else if (a == "--only") {
      o.groups = split_list(value());
      for (const auto& g : o.groups)
        if (std::find(kGroups.begin(), kGroups.end(), g) == kGroups.end()) usage(2, "unknown row group: " + g);
    } else if (a == "--quick")
      o.quick = true;
    else if (a == "--generate-only")
      o.generate_only = true;
    else if (a == "--size") {
      for (const auto& item : split_list(value())) {
        const auto eq = item.find('=');
        const std::string group = item.substr(0, eq), size = eq == std::string::npos ? "" : item.substr(eq + 1);
        if (eq == std::string::npos || !o.sizes.count(group)) usage(2, "--size takes GROUP=SIZE, not " + item);
        const auto& known = generator_sizes();
        if (std::find(known.begin(), known.end(), size) == known.end()) usage(2, "unknown cube size: " + size);
        explicit_sizes[group] = size;
      }
    } else if (a == "--formats") {
      o.formats.clear();
      for (const auto& f : split_list(value())) {
        const auto parsed = parse_format(f);
        if (!parsed) usage(2, "unknown input format: " + f);
        o.formats.push_back(*parsed);
      }
    } else if (a == "--sweep") {
      o.sweep_variants = split_list(value());
      for (const auto& v : o.sweep_variants)
        if (!valid_variant(v)) usage(2, "unknown sweep variant: " + v);
    } else if (a == "--batch-cubes")
      o.batch_cubes = parse_count(a, value());
    else if (a == "--batch-jobs")
      o.batch_jobs = parse_count(a, value());
    else if (a == "--seed")
      o.seed = static_cast<unsigned>(parse_count(a, value()));
    else if (a == "--no-python")
      o.python_baseline = false;
    else if (a == "--no-zlib")
      o.zlib = false;
    else if (a == "--verify")
      o.verify = true;
    else if (a == "--summary")
      o.summary = true;
    else if (a == "--methods-sample")
      o.methods_sample = parse_bytes(value());
    else if (a == "--vexil")
      o.vexil = value();
    else if (a == "--python")
      o.python = value();
    else if (a == "--scripts")
      o.scripts = value();
    else if (a == "--generator")
      o.generator = value();
    else if (a == "--cache")
      o.cache = value();
    else if (a == "--scratch")
      o.scratch = value();
    else if (a == "--keep")
      o.keep = true;
    else if (a == "--module-dir")
      o.module_dir = value();
    else if (a == "--json")
      o.json = value();
    else
      usage(2, "unknown option: " + a);
  }
  if (o.quick) {
    o.sizes = {{"formats", "s8"}, {"sweep", "s8"}, {"1g", "m64"}, {"batch", "s8"}, {"module", "s8"}};
    o.verify = true;
  }
  for (const auto& [group, size] : explicit_sizes) o.sizes[group] = size;
  if (o.formats.empty())
    for (const auto& f : all_formats()) o.formats.push_back(f.format);
  if (o.verify && !o.python_baseline) usage(2, "--verify compares with the Python pipeline's file: drop --no-python");
  return o;
}

}  // namespace bench
