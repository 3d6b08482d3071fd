// A self-erasing progress line on standard error for long writes. It shows
// only when standard error is a terminal and the write has run for about a
// second, so piped and captured output never sees it.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace vexil::output {

class WriteProgress {
 public:
  // `label` names what is written, e.g. "data.mat".
  WriteProgress(std::string label, std::uint64_t total_bytes);
  ~WriteProgress();  // erases the line if one is showing
  WriteProgress(const WriteProgress&) = delete;
  WriteProgress& operator=(const WriteProgress&) = delete;

  void update(std::uint64_t done_bytes);
  void finish();

  // For tests: overrides the terminal test.
  static void set_force_enabled_for_testing(int mode);  // -1 auto, 0 off, 1 on

 private:
  using Clock = std::chrono::steady_clock;
  void draw(std::uint64_t done);

  std::string label_;
  std::uint64_t total_;
  bool enabled_;
  bool showing_ = false;
  Clock::time_point start_;
  Clock::time_point last_draw_;
};

// The text of one progress line (without the leading carriage return).
std::string progress_text(const std::string& label, std::uint64_t done, std::uint64_t total, double seconds);

}  // namespace vexil::output
