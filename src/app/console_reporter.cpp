#include "app/console_reporter.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vexil::app {

bool colour_wanted(bool stdout_is_terminal, const char* no_color, const char* term) {
  if (!stdout_is_terminal) return false;
  if (no_color && *no_color) return false;
  if (term && std::strcmp(term, "dumb") == 0) return false;
  return true;
}

ConsoleReporter::ConsoleReporter()
    : ConsoleReporter(colour_wanted(::isatty(1) == 1, std::getenv("NO_COLOR"), std::getenv("TERM"))) {}

ConsoleReporter::ConsoleReporter(bool colour) : palette_(colour ? Palette::ansi() : Palette::plain()) {}

void ConsoleReporter::line(std::string_view text) {
  if (progress_) progress_.reset();  // erases a progress line still showing
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void ConsoleReporter::progress(std::string_view what, std::uint64_t done, std::uint64_t total) {
  if (!progress_ || progress_->label() != what) progress_ = std::make_unique<ProgressLine>(std::string(what), total);
  progress_->update(done);
  if (done >= total) progress_.reset();
}

}  // namespace vexil::app
