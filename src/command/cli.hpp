// The command line of "vexil convert_to_mat", parsed as argparse would.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "spatial/crop.hpp"

namespace vexil::convert::internal {

struct Options {
  std::string img;
  std::optional<std::string> gt;
  std::string out_dir;
  std::optional<CropWindow> crop;
  std::string data_key = "data";
  std::string gt_key = "gt";
};

// Parses the subcommand's arguments. Help: prints it on stdout and throws
// SystemExit{0}; usage errors: usage and message on stderr, SystemExit{2}.
Options parse_args(const std::vector<std::string>& args);

// The text that -h prints (fixed 80-column layout; COLUMNS is not consulted).
extern const std::string_view HELP_TEXT;
// The usage lines that precede every usage error.
extern const std::string_view USAGE_TEXT;

// Python's int(text) for base 10: surrounding whitespace, a sign, '_'
// between digits, leading zeros and any Unicode decimal digits; at most
// 4300 digits. Empty where int() raises ValueError.
std::optional<CropValue> parse_python_int(std::string_view text);

// A MATLAB variable name: an ASCII letter, then letters, digits or
// underscores, at most 63 characters.
bool is_matlab_name(std::string_view name);

}  // namespace vexil::convert::internal
