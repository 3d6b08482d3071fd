// Helpers shared by the tests: temporary folders, files, running the program.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <vector>

namespace vexil::test {

// A fresh folder under the system's temporary directory, removed on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void write_file(const std::string& path, const std::string& bytes);
void write_file(const std::string& path, const std::vector<std::uint8_t>& bytes);
std::string read_file(const std::string& path);
bool exists(const std::string& path);

struct RunResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};
// Runs the vexil program with the given arguments (after "vexil"), in
// `cwd` when given, with COLUMNS and NO_COLOR cleared and stdin closed.
RunResult run_vexil(const std::vector<std::string>& args, const std::string& cwd = "");
// Runs any program; `env_extra` entries are NAME=VALUE.
RunResult run_program(const std::vector<std::string>& argv, const std::string& cwd = "",
                      const std::vector<std::string>& env_extra = {});

// The message of the exception `fn` throws, or "<no error>".
template <class Fn>
std::string error_of(Fn&& fn) {
  try {
    fn();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "<no error>";
}

// Runs `fn` in a child process whose files may not grow past `bytes`
// (SIGXFSZ ignored, so writes fail with EFBIG) and returns its result as the
// child's exit status; -1 when the child did not exit normally.
int exit_status_with_file_size_limit(std::uint64_t bytes, const std::function<int()>& fn);

// Debian's own Python with NumPy/SciPy/h5py, or empty when it lacks them.
std::string system_python_with(const std::string& modules);

}  // namespace vexil::test
