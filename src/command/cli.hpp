// The command line of "vexil convert_to_mat", parsed as argparse would.
#pragma once

#include <optional>
#include <string>
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

}  // namespace vexil::convert::internal
