// The benchmark's output: a header describing the machine and the run, then
// one markdown table row per conversion as soon as it is measured, the batch
// table, and optionally everything as JSON.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "baselines.hpp"
#include "process.hpp"

namespace bench {

struct Row {
  std::string group;  // formats, sweep, 1g, module
  std::string cube;   // Cube::label()
  std::string input;  // input format, or the Python module call
  std::uint64_t cube_bytes = 0;
  std::optional<RunResult> vexil;  // the converter (program or module)
  std::uint64_t mat_bytes = 0;
  bool mat73 = false;
  std::string mat_shape;  // set when data.mat's variable is not (lines, samples, bands)
  std::optional<Zlib6> zlib;
  std::optional<PythonRun> python;
  std::string verified;  // "", "same", or how the outputs differ
};

struct BatchRow {
  std::string mode;     // "GNU parallel -j2, 1 thread each" / "sequential"
  std::string command;  // as run (parallel) or one of the runs (sequential)
  int cubes = 0;
  std::uint64_t cube_bytes = 0;  // each
  RunResult run;                 // wall and CPU summed over sequential runs; peak = largest process
};

// Facts about the machine and the build, printed once at the top.
struct RunContext {
  std::string vexil;
  std::string vexil_version;
  std::string writer_method;  // the writer's deflate, as this build resolves it
  bool threads_option = false;
  std::string command_line;
};

class Report {
 public:
  explicit Report(std::string json_path) : json_path_(std::move(json_path)) {}
  void begin(const RunContext& context);
  void add(const Row& row);  // printed at once (the table header before the first)
  void add_batch(const std::vector<BatchRow>& rows, const std::string& note);
  void note(const std::string& text);  // a line printed after the tables
  // Closing lines (load average now, total time) and the JSON file.
  void finish(double total_seconds, const std::vector<std::string>& summary_lines);

 private:
  std::string json_path_;
  RunContext context_;
  std::string load_at_start_;
  std::vector<Row> rows_;
  std::vector<BatchRow> batch_;
  std::vector<std::string> notes_;
  bool table_started_ = false;
};

// "0.52 0.61 0.66" from /proc/loadavg.
std::string load_average();

}  // namespace bench
