// vexil_bench: converts realistic synthetic cubes with the vexil program and
// compares each conversion with baselines measured in the same run (see
// BENCHMARK.md). Not a test: the numbers depend on the machine and its load.
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "baselines.hpp"
#include "batch.hpp"
#include "cubes.hpp"
#include "mat_probe.hpp"
#include "methods.hpp"
#include "options.hpp"
#include "output/parallel_deflate.hpp"
#include "process.hpp"
#include "python_module.hpp"
#include "report.hpp"
#include "writers.hpp"

namespace fs = std::filesystem;
using namespace bench;

namespace {

std::string find_vexil(const char* argv0, const std::string& given) {
  if (!given.empty()) return given;
  std::error_code ec;
  const fs::path self = fs::canonical("/proc/self/exe", ec);
  const fs::path dir = ec ? fs::path(argv0).parent_path() : self.parent_path();
  for (const fs::path& p : {dir / "vexil", dir.parent_path() / "vexil"})
    if (fs::exists(p)) return p.string();
#ifdef VEXIL_BINARY
  if (fs::exists(VEXIL_BINARY)) return VEXIL_BINARY;
#endif
  throw std::runtime_error("cannot find the vexil program; give it with --vexil");
}

// vexil_bench_launch, beside this program or where the build put it.
std::string find_launcher() {
  std::error_code ec;
  const fs::path self = fs::canonical("/proc/self/exe", ec);
  if (!ec && fs::exists(self.parent_path() / "vexil_bench_launch"))
    return (self.parent_path() / "vexil_bench_launch").string();
#ifdef VEXIL_BENCH_LAUNCH
  if (fs::exists(VEXIL_BENCH_LAUNCH)) return VEXIL_BENCH_LAUNCH;
#endif
  return "";
}

std::string first_line(const std::string& s) {
  const auto nl = s.find('\n');
  return nl == std::string::npos ? s : s.substr(0, nl);
}

double parse_elapsed(const std::string& out) {
  const auto pos = out.rfind("Elapsed: ");
  return pos == std::string::npos ? -1 : std::atof(out.c_str() + pos + 9);
}

// Everything a group of rows needs.
struct Bench {
  Options opt;
  std::string vexil;
  PythonSetup python;
  std::string scratch;
  Report* report = nullptr;
  int failures = 0;
  std::vector<std::string> summary_lines;

  void fail(const std::string& what) {
    ++failures;
    fmt::print(stderr, "vexil_bench: FAILED: {}\n", what);
  }

  RunResult convert(const std::string& img, const std::string& out_dir) {
    fs::remove_all(out_dir);
    RunOptions ro;
    ro.mark_text = "metadata.json";
    const std::vector<std::string> argv{vexil, "convert_to_mat", "--img", img, "--out-dir", out_dir};
    RunResult r = run_process(argv, ro);
    if (!r.ok()) fail(fmt::format("vexil status {}: {}\n{}{}", r.status, shell_line(argv), r.out, r.err));
    return r;
  }

  void note_summary(const Row& row) {
    if (!opt.summary || !row.vexil) return;
    const RunResult& r = *row.vexil;
    const double e = parse_elapsed(r.out);
    const std::string who = fmt::format("{} [{}]", row.cube, row.input);
    if (e <= 0 || r.t_mark < 0) {
      summary_lines.push_back(fmt::format("- {}: no Elapsed or metadata.json line in the output", who));
      return;
    }
    const double s = r.t_output_end - r.t_mark;
    summary_lines.push_back(
        fmt::format("- {}: after the metadata.json line {:.3f} s = {:.1f}% of Elapsed {:.2f} s; wall {:.2f} s", who, s,
                    100.0 * s / e, e, r.wall));
  }

  // One conversion of `input` and the Python pipeline on the same file.
  Row measure(const std::string& group, const Cube& cube, const WrittenInput& input, const std::optional<Zlib6>& zlib) {
    Row row;
    row.group = group;
    row.cube = cube.label();
    row.input = format_info(input.format).name;
    row.cube_bytes = cube.bytes();
    row.zlib = zlib;
    const std::string out_dir = (fs::path(scratch) / "out").string();
    fmt::print(stderr, "[{}] {} {}: vexil\n", group, row.cube, row.input);
    row.vexil = convert(input.img_argument, out_dir);
    const std::string vexil_mat = out_dir + "/data.mat";
    if (row.vexil->ok()) {
      std::error_code ec;
      row.mat_bytes = fs::file_size(vexil_mat, ec);
      if (ec) fail("no data.mat from " + input.img_argument);
      row.mat73 = row.vexil->out.find("MAT-file 7.3") != std::string::npos;
      const auto dims = mat5_dims(vexil_mat);
      const std::vector<std::int64_t> expected{cube.lines, cube.samples, cube.bands};
      if (dims && *dims != expected) row.mat_shape = fmt::format("{}", fmt::join(*dims, "x"));
    }
    if (opt.python_baseline) {
      const std::string py_mat = (fs::path(scratch) / "python.mat").string();
      fmt::print(stderr, "[{}] {} {}: Python pipeline\n", group, row.cube, row.input);
      row.python = run_python_pipeline(python, input, py_mat);
      if (!row.python->run.ok())
        fail(fmt::format("Python pipeline status {} on {}:\n{}", row.python->run.status, input.path,
                         row.python->run.err));
      if (opt.verify && row.python->run.ok() && row.vexil->ok() && row.mat_bytes) {
        const Comparison c = compare_mats(python, vexil_mat, py_mat, input.bands_first);
        row.verified = c.text;
        if (!c.same) fail(fmt::format("{} {}: vexil and the Python pipeline differ: {}", row.cube, row.input, c.text));
      }
      fs::remove(py_mat);
    }
    fs::remove_all(out_dir);
    note_summary(row);
    report->add(row);
    return row;
  }

  // Measured once per cube: the payload does not depend on the input format.
  std::map<std::string, std::optional<Zlib6>> zlib_done;
  std::optional<Zlib6> zlib_of(const Cube& cube) {
    if (!opt.zlib) return std::nullopt;
    if (auto it = zlib_done.find(cube.img); it != zlib_done.end()) return it->second;
    fmt::print(stderr, "[zlib-6] {}\n", cube.label());
    const MappedCube m(cube);
    return zlib_done[cube.img] = zlib6_baseline(m);
  }

  void formats_group(const Cube& cube) {
    const auto zlib = zlib_of(cube);
    for (const InputFormat f : opt.formats) {
      WrittenInput input;
      {
        fmt::print(stderr, "[formats] {}: writing {}\n", cube.label(), format_info(f).name);
        const MappedCube m(cube);
        input = write_input(cube, m, f, scratch);
      }
      measure("formats", cube, input, zlib);
      if (!opt.keep)
        for (const auto& file : input.files) fs::remove(file);
    }
  }

  void envi_group(const std::string& group, const Cube& cube) {
    const auto zlib = zlib_of(cube);
    WrittenInput input{InputFormat::EnviBsq, cube.hdr, cube.hdr, "", false, {}};
    measure(group, cube, input, zlib);
  }

  void batch_group(const std::vector<Cube>& cubes, bool threads_option) {
    BatchSetup setup;
    setup.vexil = vexil;
    setup.threads_option = threads_option;
    setup.jobs = opt.batch_jobs;
    setup.scratch = (fs::path(scratch) / "batch").string();
    const BatchOutcome o = run_batch(setup, cubes);
    std::string note = o.note;
    if (opt.verify) {
      // The same cube converted both ways must give the same array.
      for (std::size_t k = 0; k < cubes.size(); ++k) {
        const Comparison c = compare_mats(python, o.parallel_mats[k], o.sequential_mats[k], false);
        if (!c.same) fail(fmt::format("batch: {} differs between the two runs: {}", cubes[k].hdr, c.text));
      }
      note += " Checked: each parallel data.mat holds the same array as its sequential one.";
    }
    report->add_batch(o.rows, note);
    if (!opt.keep) fs::remove_all(setup.scratch);
  }

  void module_group(const Cube& cube) {
    const std::string out_dir = (fs::path(scratch) / "module-out").string();
    fs::remove_all(out_dir);
    fmt::print(stderr, "[module] {}: vexil.convert_to_mat\n", cube.label());
    const ModuleRun conv = run_python_module(python, "convert", cube.hdr, out_dir, opt.module_dir);
    if (!conv.run) {
      report->note(
          fmt::format("Python module rows skipped: `import vexil` failed ({}). Build the module and give "
                      "--module-dir.",
                      conv.missing));
      return;
    }
    const WrittenInput input{InputFormat::EnviBsq, cube.hdr, cube.hdr, "", false, {}};
    for (const bool read : {false, true}) {
      Row row;
      row.group = "module";
      row.cube = cube.label();
      row.input = read ? "envi-bsq: vexil.read vs reader only" : "envi-bsq: vexil.convert_to_mat";
      row.cube_bytes = cube.bytes();
      if (!read) row.zlib = zlib_of(cube);
      if (read) {
        fmt::print(stderr, "[module] {}: vexil.read\n", cube.label());
        const ModuleRun r = run_python_module(python, "read", cube.hdr, "", opt.module_dir);
        if (r.run) row.vexil = r.run->run;
      } else {
        row.vexil = conv.run->run;
        std::error_code ec;
        row.mat_bytes = fs::file_size(out_dir + "/data.mat", ec);
      }
      if (row.vexil && !row.vexil->ok())
        fail(fmt::format("{}: status {}\n{}", row.input, row.vexil->status, row.vexil->err));
      if (opt.python_baseline) {
        const std::string py_mat = (fs::path(scratch) / "python.mat").string();
        row.python = run_python_pipeline(python, input, py_mat, read);
        if (!row.python->run.ok()) fail("Python pipeline failed on " + cube.hdr);
        if (opt.verify && !read && row.python->run.ok() && row.mat_bytes) {
          const Comparison c = compare_mats(python, out_dir + "/data.mat", py_mat, false);
          row.verified = c.text;
          if (!c.same) fail("vexil.convert_to_mat and the Python pipeline differ: " + c.text);
        }
        fs::remove(py_mat);
      }
      report->add(row);
    }
    fs::remove_all(out_dir);
  }
};

}  // namespace

int main(int argc, char** argv) {
  const auto t_start = std::chrono::steady_clock::now();
  try {
    Bench b;
    b.opt = parse_options(argc, argv);
    const Options& opt = b.opt;
    b.vexil = find_vexil(argv[0], opt.vexil);
    const std::string launcher = find_launcher();
    if (launcher.empty())
      fmt::print(stderr, "vexil_bench: vexil_bench_launch not found: peak RSS figures include this program's own\n");
    set_launcher(launcher);
    b.python.python = opt.python;
#ifdef VEXIL_BENCH_MODULE_DIR
    if (b.opt.module_dir.empty()) b.opt.module_dir = VEXIL_BENCH_MODULE_DIR;
#endif
#ifdef VEXIL_BENCH_SCRIPTS
    b.python.scripts_dir = opt.scripts.empty() ? VEXIL_BENCH_SCRIPTS : opt.scripts;
#else
    b.python.scripts_dir = opt.scripts.empty() ? "bench" : opt.scripts;
#endif
    GeneratorSetup gen;
    gen.python = opt.python;
    gen.script = (fs::path(b.python.scripts_dir) / "bench_cubes.py").string();
    gen.generator = opt.generator.empty() ? (fs::path(b.python.scripts_dir) / "make_cubes.py").string() : opt.generator;
#ifdef VEXIL_BENCH_CACHE
    gen.cache_dir = opt.cache.empty() ? VEXIL_BENCH_CACHE : opt.cache;
#else
    gen.cache_dir = opt.cache.empty() ? "bench-cubes" : opt.cache;
#endif

    // Missing tools stop the run before any cube is made.
    const std::string modules = opt.python_baseline ? "numpy, scipy, spectral, rasterio, h5py" : "numpy, scipy";
    const RunResult py_check = run_process({opt.python, "-c", "import " + modules});
    if (!py_check.ok())
      throw std::runtime_error(fmt::format("{} cannot import {} (scripts/install-deps.sh installs them):\n{}",
                                           opt.python, modules, py_check.err));
    if (opt.has("batch") && !run_process({"parallel", "--version"}).ok())
      throw std::runtime_error("GNU parallel is missing (Debian package parallel; scripts/install-deps.sh)");
    const RunResult version = run_process({b.vexil, "--version"});
    const RunResult help = run_process({b.vexil, "convert_to_mat", "--help"});
    const bool threads_option = help.out.find("--threads") != std::string::npos;

    // Every cube first, so generation never runs between measurements.
    std::vector<CubeRequest> requests;
    auto request = [&](const std::string& group, const std::string& variant, unsigned extra_seed = 0) {
      const std::string& size = opt.sizes.at(group);
      requests.push_back({size, variant, size_seed(size, opt.seed) + extra_seed});
      return requests.size() - 1;
    };
    std::optional<std::size_t> formats_cube, big_cube, module_cube;
    std::vector<std::size_t> sweep_cubes, batch_cubes;
    if (opt.has("formats")) formats_cube = request("formats", "u16");
    if (opt.has("sweep") || opt.has("methods"))
      for (const auto& v : opt.sweep_variants) sweep_cubes.push_back(request("sweep", v));
    if (opt.has("1g")) big_cube = request("1g", "u16");
    if (opt.has("batch"))
      for (int k = 0; k < opt.batch_cubes; ++k) batch_cubes.push_back(request("batch", "u16", 100u * k));
    if (opt.has("module")) module_cube = request("module", "u16");
    const std::vector<Cube> cubes = acquire_cubes(gen, requests);
    if (opt.generate_only) {
      for (const auto& c : cubes) fmt::print("{}  {}\n", c.hdr, c.label());
      return 0;
    }

    b.scratch = opt.scratch;
    const bool own_scratch = b.scratch.empty();
    if (own_scratch) {
      std::string tmpl = (fs::temp_directory_path() / "vexil-bench-XXXXXX").string();
      if (!mkdtemp(tmpl.data())) throw std::runtime_error("cannot create a scratch folder in " + tmpl);
      b.scratch = tmpl;
    }
    fs::create_directories(b.scratch);

    Report report(opt.json);
    b.report = &report;
    RunContext ctx;
    ctx.vexil = b.vexil;
    ctx.vexil_version = first_line(version.out);
    ctx.writer_method = vexil::output::describe_method({});
    ctx.threads_option = threads_option;
    for (int i = 0; i < argc; ++i) ctx.command_line += (i ? " " : "") + std::string(argv[i]);
    report.begin(ctx);

    if (formats_cube) b.formats_group(cubes[*formats_cube]);
    if (opt.has("sweep"))
      for (std::size_t i : sweep_cubes) b.envi_group("sweep", cubes[i]);
    if (big_cube) b.envi_group("1g", cubes[*big_cube]);
    if (!batch_cubes.empty()) {
      std::vector<Cube> batch;
      for (std::size_t i : batch_cubes) batch.push_back(cubes[i]);
      b.batch_group(batch, threads_option);
    }
    if (module_cube) b.module_group(cubes[*module_cube]);
    if (opt.has("methods")) {
      for (std::size_t i : sweep_cubes) {
        fmt::print(stderr, "[methods] {}\n", cubes[i].label());
        const MappedCube m(cubes[i]);
        report.note(fmt::format("Deflate methods, {} ({} sample, one thread; size relative to zlib level 6):",
                                cubes[i].label(), opt.methods_sample >= cubes[i].bytes() ? "whole" : "first part"));
        for (const auto& line : compare_deflate_methods(m, opt.methods_sample)) report.note("    " + line);
      }
    }
    if (!threads_option && opt.has("batch"))
      report.note("This vexil has no --threads option: batch jobs were pinned to one CPU each with taskset.");

    if (own_scratch && !opt.keep)
      fs::remove_all(b.scratch);
    else
      fmt::print(stderr, "scratch folder kept: {}\n", b.scratch);
    report.finish(std::chrono::duration<double>(std::chrono::steady_clock::now() - t_start).count(), b.summary_lines);
    if (b.failures) {
      fmt::print(stderr, "vexil_bench: {} failure(s), see above\n", b.failures);
      return 1;
    }
    return 0;
  } catch (const std::exception& e) {
    fmt::print(stderr, "vexil_bench: error: {}\n", e.what());
    return 1;
  }
}
