// The option parser on arbitrary argument lists (NUL bytes split the input
// into arguments). It may only return options or throw ParserExit with
// status 0 or 2, and the keys it returns must be MATLAB names. Run it with
// -close_fd_mask=3 so the usage texts it prints stay out of the log.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/cli_parser.hpp"
#include "vexil/errors.hpp"

namespace cli = vexil::app;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> args;
  std::string cur;
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      args.push_back(cur);
      cur.clear();
    } else {
      cur.push_back(static_cast<char>(data[i]));
    }
  }
  args.push_back(cur);

  try {
    const cli::Options o = cli::parse_args(args);
    if (!vexil::matlab_name_problem(o.data_key).empty() || !vexil::matlab_name_problem(o.gt_key).empty()) std::abort();
  } catch (const cli::ParserExit& e) {
    if (e.status() != 0 && e.status() != 2) std::abort();
  }
  return 0;
}
