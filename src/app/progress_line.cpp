#include "app/progress_line.hpp"

#include <unistd.h>

#include <atomic>
#include <cstdio>

#include <fmt/format.h>

namespace vexil::app {
namespace {

std::atomic<int> g_force{-1};

constexpr auto kDelay = std::chrono::milliseconds(1000);
constexpr auto kRefresh = std::chrono::milliseconds(250);

void put_stderr(const std::string& s) {
  // Unbuffered, straight to the terminal; a failed write is not worth a failed run.
  const char* p = s.data();
  std::size_t n = s.size();
  while (n) {
    const ssize_t k = ::write(2, p, n);
    if (k <= 0) return;
    p += k;
    n -= static_cast<std::size_t>(k);
  }
}

}  // namespace

std::string progress_text(const std::string& label, std::uint64_t done, std::uint64_t total, double seconds) {
  const double pct = total ? 100.0 * static_cast<double>(done) / static_cast<double>(total) : 100.0;
  const double rate = seconds > 0 ? static_cast<double>(done) / 1048576.0 / seconds : 0.0;
  return fmt::format("  {}: {:3.0f}%  {:.1f} MB/s", label, pct, rate);
}

void ProgressLine::set_force_enabled_for_testing(int mode) { g_force = mode; }

ProgressLine::ProgressLine(std::string label, std::uint64_t total_bytes)
    : label_(std::move(label)), total_(total_bytes), start_(Clock::now()), last_draw_(start_) {
  const int force = g_force.load();
  enabled_ = force >= 0 ? force == 1 : ::isatty(2) == 1;
}

ProgressLine::~ProgressLine() { finish(); }

void ProgressLine::update(std::uint64_t done_bytes) {
  if (!enabled_) return;
  const auto now = Clock::now();
  if (now - start_ < kDelay || (showing_ && now - last_draw_ < kRefresh)) return;
  last_draw_ = now;
  draw(done_bytes);
}

void ProgressLine::draw(std::uint64_t done) {
  const double secs = std::chrono::duration<double>(Clock::now() - start_).count();
  put_stderr("\r\x1b[K" + progress_text(label_, done, total_, secs));
  showing_ = true;
}

void ProgressLine::finish() {
  if (showing_) put_stderr("\r\x1b[K");
  showing_ = false;
  enabled_ = false;
}

}  // namespace vexil::app
