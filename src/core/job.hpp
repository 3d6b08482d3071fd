// What a long step needs from the run that started it: where its lines and
// progress go, whether the caller has cancelled, and how many threads to use.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "vexil/array.hpp"
#include "vexil/reporter.hpp"

namespace vexil::core {

class Job {
 public:
  // `threads` 0: the CPUs this process may use.
  explicit Job(Reporter& reporter, const std::atomic<bool>* cancel = nullptr, int threads = 0);

  // A job that reports nothing and is never cancelled (tests, read_image()).
  static const Job& silent();

  const Palette& palette() const { return palette_; }
  void line(std::string_view text) const;
  // Forwards to the reporter; throws CancelledError once cancelled.
  void progress(std::string_view what, std::uint64_t done, std::uint64_t total) const;
  // Throws CancelledError when the caller has asked to stop.
  void check_cancelled() const;
  bool cancelled() const { return cancel_ && cancel_->load(std::memory_order_relaxed); }
  const std::atomic<bool>* cancel_flag() const { return cancel_; }
  // Worker threads to use, at least 1.
  int threads() const { return threads_; }
  // How a deferred array is read for this job, its progress shown as `what`.
  ReadControl read_control(std::string what) const;

 private:
  Reporter& reporter_;
  Palette palette_;
  const std::atomic<bool>* cancel_;
  int threads_;
};

// The job to use when a caller passed none.
inline const Job& job_or_silent(const Job* job) { return job ? *job : Job::silent(); }

}  // namespace vexil::core
