// vexil/reporter.hpp — how a conversion talks to its caller.
//
// The library never prints. Every console line of a conversion (the
// progress lines, warnings and the closing summary) is handed to a Reporter
// as finished text; the command-line program writes them to standard output,
// another caller may show, log or drop them.
//
// Styling: lines carry the strings of palette() around the words they style
// (a heading in bold, the check mark in green, a warning in yellow ...). The
// default palette is all empty strings, which gives plain text; the program
// returns ANSI sequences when standard output is a colour terminal.
//
// All calls come from the thread that called convert(). A method may throw:
// the conversion then stops, removes the files it had started and lets the
// exception through to the caller (this is how a caller cancels from a
// callback).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vexil {

// Style strings inserted before the words they style; `reset` ends a span.
struct Palette {
  std::string bold;
  std::string green;
  std::string yellow;
  std::string red;
  std::string gray;
  std::string reset;

  static Palette plain() { return {}; }
  static Palette ansi() { return {"\033[1m", "\033[32m", "\033[33m", "\033[31m", "\033[90m", "\033[0m"}; }
};

class Reporter {
 public:
  virtual ~Reporter() = default;

  // One complete console line, without its line break. A line that starts
  // with "\n" is preceded by an empty line.
  virtual void line(std::string_view text) = 0;

  // Progress of a long step, e.g. ("data.mat", bytes written, bytes in all)
  // or ("reading cube.tif", bytes read, bytes in all). Called often (about
  // once per megabyte); the reporter decides what to show. `done` reaches
  // `total` when the step ends. Default: nothing.
  virtual void progress(std::string_view what, std::uint64_t done, std::uint64_t total) {
    (void)what, (void)done, (void)total;
  }

  // The style strings for the lines. Default: plain text.
  virtual Palette palette() const { return Palette::plain(); }
};

// A reporter that drops everything.
class SilentReporter final : public Reporter {
 public:
  void line(std::string_view) override {}
};

}  // namespace vexil
