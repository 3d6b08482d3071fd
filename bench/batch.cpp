#include "batch.hpp"

#include <sched.h>

#include <filesystem>
#include <stdexcept>

#include <fmt/format.h>

#include "process.hpp"

namespace fs = std::filesystem;

namespace bench {

namespace {

std::vector<int> allowed_cpu_ids() {
  cpu_set_t set;
  CPU_ZERO(&set);
  std::vector<int> ids;
  if (sched_getaffinity(0, sizeof set, &set) == 0)
    for (int i = 0; i < CPU_SETSIZE; ++i)
      if (CPU_ISSET(i, &set)) ids.push_back(i);
  if (ids.empty()) ids.push_back(0);
  return ids;
}

// GNU parallel joins the command's words into one shell line without
// quoting them (it quotes only the values it substitutes).
std::string quoted(const std::string& word) { return shell_line({word}); }

std::string out_dir(const std::string& root, const Cube& c) {
  return (fs::path(root) / fs::path(c.hdr).stem()).string();
}

void check_outputs(const std::string& root, const std::vector<Cube>& cubes, std::vector<std::string>& mats) {
  for (const auto& c : cubes) {
    const std::string mat = out_dir(root, c) + "/data.mat";
    std::error_code ec;
    if (fs::file_size(mat, ec) == 0 || ec) throw std::runtime_error("batch conversion left no data.mat for " + c.hdr);
    mats.push_back(mat);
  }
}

}  // namespace

BatchOutcome run_batch(const BatchSetup& setup, const std::vector<Cube>& cubes) {
  if (cubes.empty()) throw std::invalid_argument("run_batch: no cubes");
  BatchOutcome o;
  const std::string par_root = (fs::path(setup.scratch) / "parallel").string();
  const std::string seq_root = (fs::path(setup.scratch) / "sequential").string();
  fs::remove_all(par_root);
  fs::remove_all(seq_root);
  fs::create_directories(par_root);
  fs::create_directories(seq_root);

  // GNU parallel: {} is the header, {/.} its name without folder and
  // extension; slot() numbers the running jobs 1..jobs.
  std::vector<std::string> argv{"parallel", "--will-cite", "--halt", "now,fail=1", "-j", std::to_string(setup.jobs)};
  std::string how;
  if (setup.threads_option) {
    argv.insert(argv.end(), {quoted(setup.vexil), "convert_to_mat", "--threads", "1"});
    how = fmt::format("{} jobs with --threads 1", setup.jobs);
  } else {
    const std::vector<int> ids = allowed_cpu_ids();
    std::string list;
    for (std::size_t k = 0; k < static_cast<std::size_t>(setup.jobs); ++k)
      list += (k ? "," : "") + std::to_string(ids[k % ids.size()]);
    argv.insert(argv.end(), {"taskset", "-c", fmt::format("{{= $_ = (split /,/, \"{}\")[slot() - 1] =}}", list),
                             quoted(setup.vexil), "convert_to_mat"});
    how = fmt::format("{} jobs, each pinned to one CPU with taskset (this vexil has no --threads)", setup.jobs);
  }
  argv.insert(argv.end(), {"--img", "{}", "--out-dir", quoted(par_root) + "/{/.}", ":::"});
  for (const auto& c : cubes) argv.push_back(c.hdr);

  fmt::print(stderr, "[batch] GNU parallel: {} cubes, {}\n", cubes.size(), how);
  BatchRow par;
  par.mode = fmt::format("GNU parallel, {}", how);
  par.command = shell_line(argv);
  par.cubes = static_cast<int>(cubes.size());
  par.cube_bytes = cubes.front().bytes();
  par.run = run_process(argv);
  if (!par.run.ok())
    throw std::runtime_error(fmt::format("GNU parallel failed (status {}): {}\n{}{}", par.run.status, par.command,
                                         par.run.out, par.run.err));
  check_outputs(par_root, cubes, o.parallel_mats);

  fmt::print(stderr, "[batch] {} sequential runs\n", cubes.size());
  BatchRow seq;
  seq.mode = "sequential, default threads";
  seq.cubes = par.cubes;
  seq.cube_bytes = par.cube_bytes;
  seq.run.status = 0;
  for (const auto& c : cubes) {
    const std::vector<std::string> one{setup.vexil, "convert_to_mat", "--img",
                                       c.hdr,       "--out-dir",      out_dir(seq_root, c)};
    if (seq.command.empty()) seq.command = shell_line(one) + " (one per cube)";
    const RunResult r = run_process(one);
    if (!r.ok())
      throw std::runtime_error(
          fmt::format("vexil failed (status {}): {}\n{}{}", r.status, shell_line(one), r.out, r.err));
    seq.run.wall += r.wall;
    seq.run.user += r.user;
    seq.run.sys += r.sys;
    seq.run.peak_rss = std::max(seq.run.peak_rss, r.peak_rss);
  }
  check_outputs(seq_root, cubes, o.sequential_mats);
  o.rows = {par, seq};
  o.note =
      "Batch: peak RSS is the largest single conversion (GNU parallel's wait4 figure covers its children); "
      "CPU/wall sums every process. Sequential wall and CPU are the sums of the runs.";
  return o;
}

}  // namespace bench
