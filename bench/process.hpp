// Runs one program to completion and measures it: wall time, CPU time
// (user + system, the child's and its waited-for descendants'), and peak
// resident set size from wait4().
//
// Peak RSS is the kernel's high-water mark of resident pages, so pages of a
// memory-mapped input that the child touched count in full, like pages it
// allocated. For a child that starts others (GNU parallel), it is the
// largest single process, not their sum. Children are started through a
// small launcher program (see set_launcher) so that the figure does not
// include this program's own memory.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace bench {

struct RunResult {
  int status = -1;  // exit status, or 128 + signal
  double wall = 0;  // seconds
  double user = 0;
  double sys = 0;
  std::uint64_t peak_rss = 0;  // bytes
  std::string out;             // standard output
  std::string err;             // standard error
  // Seconds from the start to the arrival of the first output line that
  // contains `mark_text` (see RunOptions), and to the end of the output; -1
  // when absent.
  double t_mark = -1;
  double t_output_end = -1;

  double cpu() const { return user + sys; }
  bool ok() const { return status == 0; }
};

struct RunOptions {
  std::vector<std::pair<std::string, std::string>> env;  // added to ours
  std::string mark_text;                                 // see RunResult::t_mark
};

// Starts argv[0] (a path, or a name looked up in PATH) with stdin from
// /dev/null, after sync() so no writeback of earlier files runs beside it.
// Throws std::runtime_error when it cannot be started.
RunResult run_process(const std::vector<std::string>& argv, const RunOptions& options = {});

// The vexil_bench_launch program (launch.cpp) every later run goes through,
// so that a child's peak RSS is its own. Without it, a child's figure is at
// least this program's resident size when the child starts.
void set_launcher(const std::string& path);
bool has_launcher();

// The program's command line as a shell would take it, for messages.
std::string shell_line(const std::vector<std::string>& argv);

}  // namespace bench
