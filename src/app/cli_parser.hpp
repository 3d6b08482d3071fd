// The command line of "vexil convert_to_mat". The parser reproduces Python's
// argparse exactly (classification of words, prefix matching, which error
// wins, every message), because scripts and users rely on those details.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <exception>
#include <vector>

#include "vexil/convert.hpp"

namespace vexil::app {

struct Options {
  std::string img;
  std::optional<std::string> gt;
  std::string out_dir;
  std::optional<CropWindow> crop;
  std::string data_key = "data";
  std::string gt_key = "gt";
  Layout layout = Layout::Auto;
  std::optional<int> threads;  // --threads, else VEXIL_THREADS once applied
};

// The most worker threads --threads and VEXIL_THREADS accept.
inline constexpr int kMaxThreads = 1024;

// Thrown once the parser has printed help (status 0) or a usage error (2).
class ParserExit : public std::exception {
 public:
  explicit ParserExit(int status) : status_(status) {}
  int status() const noexcept { return status_; }
  const char* what() const noexcept override { return "command-line parser finished"; }

 private:
  int status_;
};

// Parses the subcommand's arguments. Help: printed on stdout, then
// ParserExit(0); usage errors: usage and message on stderr, ParserExit(2).
Options parse_args(const std::vector<std::string>& args);

// Takes the thread count from VEXIL_THREADS (the variable's value, or null
// when unset) unless --threads gave one; an empty value counts as unset.
// A value that is not a count is a usage error (ParserExit(2)).
void apply_environment(Options& options, const char* threads_variable);

// A thread count as --threads takes it: an integer from 1 to kMaxThreads.
std::optional<int> parse_thread_count(std::string_view text);

// The text that -h prints (fixed 80-column layout; COLUMNS is not consulted).
extern const std::string_view HELP_TEXT;
// The usage lines that precede every usage error.
extern const std::string_view USAGE_TEXT;

// An integer as Python's int(text) reads it in base 10: surrounding
// whitespace, a sign, '_' between digits, leading zeros and any Unicode
// decimal digits, at most 4300 digits. Empty for anything else.
std::optional<CropValue> parse_integer(std::string_view text);

}  // namespace vexil::app
