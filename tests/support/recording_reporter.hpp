// A reporter that keeps what a conversion reports, for tests to compare.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "core/job.hpp"
#include "vexil/reporter.hpp"

namespace vexil::test {

class RecordingReporter final : public Reporter {
 public:
  explicit RecordingReporter(Palette palette = Palette::plain()) : palette_(std::move(palette)) {}

  void line(std::string_view text) override {
    text_.append(text);
    text_ += '\n';
  }
  void progress(std::string_view what, std::uint64_t done, std::uint64_t total) override {
    progress_.push_back({std::string(what), done, total});
  }
  Palette palette() const override { return palette_; }

  // Every line, each followed by "\n": what the program prints on stdout.
  const std::string& text() const { return text_; }
  struct Progress {
    std::string what;
    std::uint64_t done, total;
  };
  const std::vector<Progress>& progress_calls() const { return progress_; }

 private:
  Palette palette_;
  std::string text_;
  std::vector<Progress> progress_;
};

// A job reporting into a RecordingReporter.
struct RecordingJob {
  explicit RecordingJob(Palette palette = Palette::plain()) : reporter(std::move(palette)), job(reporter) {}
  RecordingReporter reporter;
  core::Job job;
};

}  // namespace vexil::test
