#include "report.hpp"

#include <sched.h>
#include <sys/utsname.h>

#include <chrono>
#include <ctime>
#include <fstream>
#include <thread>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

namespace bench {

namespace {

double mb(std::uint64_t bytes) { return static_cast<double>(bytes) / 1e6; }

std::string first_line_with(const char* path, const std::string& key) {
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);)
    if (line.rfind(key, 0) == 0) {
      const auto colon = line.find(':');
      std::string v = colon == std::string::npos ? line : line.substr(colon + 1);
      const auto a = v.find_first_not_of(" \t");
      return a == std::string::npos ? "" : v.substr(a);
    }
  return "?";
}

int allowed_cpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return -1;
  return CPU_COUNT(&set);
}

std::string utc_now() {
  const std::time_t t = std::time(nullptr);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", std::gmtime(&t));
  return buf;
}

std::string ratio(double a, double b, const char* fmt_text = "{:.2f}") {
  if (b <= 0 || a < 0) return "-";
  return fmt::format(fmt::runtime(fmt_text), a / b);
}

nlohmann::json run_json(const RunResult& r) {
  return {
      {"status", r.status}, {"wall_s", r.wall}, {"user_s", r.user}, {"sys_s", r.sys}, {"peak_rss_bytes", r.peak_rss}};
}

}  // namespace

std::string load_average() {
  std::ifstream in("/proc/loadavg");
  std::string a, b, c;
  in >> a >> b >> c;
  return a + " " + b + " " + c;
}

void Report::begin(const RunContext& context) {
  context_ = context;
  load_at_start_ = load_average();
  utsname u{};
  uname(&u);
  fmt::print("# vexil_bench, {}\n\n", utc_now());
  fmt::print("- command: `{}`\n", context.command_line);
  fmt::print("- machine: {}; {} CPUs allowed of {}; {} memory; Linux {}\n",
             first_line_with("/proc/cpuinfo", "model name"), allowed_cpus(), std::thread::hardware_concurrency(),
             first_line_with("/proc/meminfo", "MemTotal"), u.release);
  fmt::print("- load average at start (1, 5, 15 min): {}\n", load_at_start_);
  fmt::print("- vexil: {} ({}); writer deflate: {}; --threads option: {}\n", context.vexil, context.vexil_version,
             context.writer_method, context.threads_option ? "yes" : "no");
  fmt::print(
      "- MB = 10^6 bytes. Peak RSS: the command's ru_maxrss from wait4 ({});\n"
      "  pages of a memory-mapped input that it touched count.\n"
      "- CPU/wall = (user + sys) / wall of the command and its children.\n"
      "- Inputs are in the page cache (just written, or read by the zlib baseline) for every run; each measured\n"
      "  command starts after sync().\n\n",
      has_launcher() ? "taken in a small launcher, so this program's own memory is not counted"
                     : "no launcher found: includes this program's resident size at the start");
  std::fflush(stdout);
}

void Report::add(const Row& r) {
  if (!table_started_) {
    fmt::print(
        "| group | cube | input | cube MB | vexil s | MB/s | CPU/wall | peak RSS MB | RSS / cube | data.mat / zlib-6 "
        "| zlib-6 ratio | zlib-6 s | Python s | Python RSS / cube | Python CPU/wall | speed-up vs Python | check |\n");
    fmt::print("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|\n");
    table_started_ = true;
  }
  std::string vs = "-", mbs = "-", cpu = "-", rss = "-", rss_ratio = "-", vs_zlib = "-", zr = "-", zs = "-", ps = "-",
              prss = "-", pcpu = "-", speed = "-";
  if (r.vexil) {
    vs = fmt::format("{:.2f}", r.vexil->wall);
    mbs = ratio(mb(r.cube_bytes), r.vexil->wall, "{:.0f}");
    cpu = ratio(r.vexil->cpu(), r.vexil->wall);
    rss = fmt::format("{:.0f}", mb(r.vexil->peak_rss));
    rss_ratio = ratio(static_cast<double>(r.vexil->peak_rss), static_cast<double>(r.cube_bytes));
    if (!r.vexil->ok()) vs = fmt::format("failed ({})", r.vexil->status);
  }
  if (r.zlib) {
    if (r.mat_bytes)
      vs_zlib = ratio(static_cast<double>(r.mat_bytes), static_cast<double>(r.zlib->file_size()), "{:.4f}");
    zr = fmt::format("{:.3f}", r.zlib->ratio());
    zs = fmt::format("{:.1f}", r.zlib->seconds);
  }
  if (r.mat73) vs_zlib += " (MAT 7.3)";
  // The baseline compressed the (lines, samples, bands) payload; another
  // order is other bytes.
  if (!r.mat_shape.empty()) vs_zlib = "n/a: data.mat is " + r.mat_shape;
  if (r.python) {
    const RunResult& p = r.python->run;
    if (p.ok()) {
      ps = fmt::format("{:.2f}", p.wall);
      prss = ratio(static_cast<double>(p.peak_rss), static_cast<double>(r.cube_bytes));
      pcpu = ratio(p.cpu(), p.wall);
      if (r.vexil && r.vexil->ok()) speed = ratio(p.wall, r.vexil->wall, "{:.1f}x");
    } else {
      ps = fmt::format("failed ({})", p.status);
    }
  }
  fmt::print("| {} | {} | {} | {:.1f} | {} | {} | {} | {} | {} | {} | {} | {} | {} | {} | {} | {} | {} |\n", r.group,
             r.cube, r.input, mb(r.cube_bytes), vs, mbs, cpu, rss, rss_ratio, vs_zlib, zr, zs, ps, prss, pcpu, speed,
             r.verified.empty() ? "-" : r.verified);
  std::fflush(stdout);
  rows_.push_back(r);
}

void Report::add_batch(const std::vector<BatchRow>& rows, const std::string& note) {
  if (rows.empty()) return;
  fmt::print(
      "\n| batch | cubes | wall s | CPU/wall | largest process peak RSS MB | RSS / cube | speed-up vs sequential |\n");
  fmt::print("|---|---|---|---|---|---|---|\n");
  const double sequential = rows.back().run.wall;
  for (const auto& b : rows) {
    fmt::print("| {} | {} x {:.1f} MB | {:.2f} | {} | {:.0f} | {} | {} |\n", b.mode, b.cubes, mb(b.cube_bytes),
               b.run.wall, ratio(b.run.cpu(), b.run.wall), mb(b.run.peak_rss),
               ratio(static_cast<double>(b.run.peak_rss), static_cast<double>(b.cube_bytes)),
               ratio(sequential, b.run.wall, "{:.2f}x"));
  }
  for (const auto& b : rows) fmt::print("\n{}: `{}`", b.mode, b.command);
  fmt::print("\n\n{}\n", note);
  std::fflush(stdout);
  batch_ = rows;
}

void Report::note(const std::string& text) { notes_.push_back(text); }

void Report::finish(double total_seconds, const std::vector<std::string>& summary_lines) {
  if (!notes_.empty() || !summary_lines.empty()) fmt::print("\n");
  for (const auto& n : notes_) fmt::print("{}\n", n);
  if (!summary_lines.empty()) fmt::print("\nClosing summary, from the \"metadata.json\" line to the end of output:\n");
  for (const auto& s : summary_lines) fmt::print("{}\n", s);
  const std::string load_now = load_average();
  fmt::print("\nLoad average at start {}, at end {}; benchmark took {:.0f} s.\n", load_at_start_, load_now,
             total_seconds);
  std::fflush(stdout);
  if (json_path_.empty()) return;
  nlohmann::json j;
  j["context"] = {{"vexil", context_.vexil},
                  {"vexil_version", context_.vexil_version},
                  {"writer_method", context_.writer_method},
                  {"threads_option", context_.threads_option},
                  {"command", context_.command_line},
                  {"load_start", load_at_start_},
                  {"load_end", load_now},
                  {"total_s", total_seconds}};
  j["rows"] = nlohmann::json::array();
  for (const auto& r : rows_) {
    nlohmann::json o{{"group", r.group},           {"cube", r.cube},           {"input", r.input},
                     {"cube_bytes", r.cube_bytes}, {"mat_bytes", r.mat_bytes}, {"mat73", r.mat73},
                     {"mat_shape", r.mat_shape},   {"check", r.verified}};
    if (r.vexil) o["vexil"] = run_json(*r.vexil);
    if (r.zlib)
      o["zlib6"] = {
          {"payload_bytes", r.zlib->payload}, {"file_bytes", r.zlib->file_size()}, {"seconds", r.zlib->seconds}};
    if (r.python) {
      o["python"] = run_json(r.python->run);
      o["python"]["read_s"] = r.python->read_seconds;
      o["python"]["write_s"] = r.python->write_seconds;
    }
    j["rows"].push_back(o);
  }
  j["batch"] = nlohmann::json::array();
  for (const auto& b : batch_) {
    nlohmann::json o = run_json(b.run);
    o["mode"] = b.mode;
    o["command"] = b.command;
    o["cubes"] = b.cubes;
    o["cube_bytes"] = b.cube_bytes;
    j["batch"].push_back(o);
  }
  std::ofstream(json_path_) << j.dump(2) << '\n';
}

}  // namespace bench
