// The program's reporter: lines to standard output (flushed one by one, so
// progress shows as it happens), colour only on a colour terminal, and a
// self-erasing progress line on standard error for long steps.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "app/progress_line.hpp"
#include "vexil/reporter.hpp"

namespace vexil::app {

// Whether to colour: standard output is a terminal, NO_COLOR is unset or
// empty (no-color.org), and TERM is not "dumb". Null means "not set".
bool colour_wanted(bool stdout_is_terminal, const char* no_color, const char* term);

class ConsoleReporter final : public Reporter {
 public:
  ConsoleReporter();  // decides colour from the process's terminal and environment
  explicit ConsoleReporter(bool colour);

  void line(std::string_view text) override;
  void progress(std::string_view what, std::uint64_t done, std::uint64_t total) override;
  Palette palette() const override { return palette_; }

 private:
  Palette palette_;
  std::unique_ptr<ProgressLine> progress_;
};

}  // namespace vexil::app
