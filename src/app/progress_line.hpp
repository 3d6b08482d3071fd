// A self-erasing progress line on standard error for long steps. It shows
// only when standard error is a terminal and the step has run for about a
// second, so piped and captured output never sees it.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace vexil::app {

class ProgressLine {
 public:
  // `label` names the step, e.g. "writing data.mat".
  ProgressLine(std::string label, std::uint64_t total_bytes);
  ~ProgressLine();  // erases the line if one is showing
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  void update(std::uint64_t done_bytes);
  const std::string& label() const { return label_; }
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

}  // namespace vexil::app
