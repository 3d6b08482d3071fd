#include "core/job.hpp"

#include "core/cpu_budget.hpp"
#include "vexil/errors.hpp"

namespace vexil::core {

Job::Job(Reporter& reporter, const std::atomic<bool>* cancel, int threads)
    : reporter_(reporter), palette_(reporter.palette()), cancel_(cancel), threads_(resolve_workers(threads)) {}

const Job& Job::silent() {
  static SilentReporter reporter;
  static const Job job(reporter);
  return job;
}

void Job::line(std::string_view text) const {
  check_cancelled();
  reporter_.line(text);
}

void Job::progress(std::string_view what, std::uint64_t done, std::uint64_t total) const {
  check_cancelled();
  reporter_.progress(what, done, total);
}

ReadControl Job::read_control(std::string what) const {
  ReadControl c;
  c.threads = threads_;
  c.cancel = cancel_;
  c.progress = [this, what = std::move(what)](std::uint64_t done, std::uint64_t total) { progress(what, done, total); };
  return c;
}

void Job::check_cancelled() const {
  if (cancelled()) throw CancelledError();
}

}  // namespace vexil::core
