// Error kinds of the converter. Each carries the exact user-facing message;
// the program entry prints "vexil convert_to_mat: error: <message>".
#pragma once

#include <stdexcept>
#include <string>

namespace vexil {

struct ValueError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
struct KeyError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
struct FileNotFoundError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
// Reading or writing failed at the operating-system or reader-library level.
struct IOError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Request to end the process with a status (help, usage errors, missing
// reader library). Only the program entry turns it into the exit status.
struct SystemExit {
  int status;
};

}  // namespace vexil
