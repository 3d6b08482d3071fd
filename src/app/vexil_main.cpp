// The toolkit's command dispatcher: "vexil <command> [options]".
#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "command/convert.hpp"
#include "core/errors.hpp"

namespace {

constexpr const char* kUsage =
    "usage: vexil <command> [options]\n"
    "\n"
    "Hyperspectral imaging toolkit.\n"
    "\n"
    "commands:\n"
    "  convert_to_mat  Convert ENVI / TIFF / GeoTIFF / HDF5 to .mat format\n"
    "\n"
    "options:\n"
    "  -h, --help      show this help message and exit\n"
    "  --version       show the version and exit\n";

int run_command(const std::vector<std::string>& args) {
  try {
    return vexil::convert::main(args);
  } catch (const vexil::SystemExit& e) {
    return e.status;
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "vexil convert_to_mat: error: out of memory\n");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vexil convert_to_mat: error: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "vexil convert_to_mat: error: unknown failure\n");
  }
  std::fflush(stdout);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty() || args[0] == "-h" || args[0] == "--help") {
    std::fputs(kUsage, args.empty() ? stderr : stdout);
    return args.empty() ? 2 : 0;
  }
  if (args[0] == "--version") {
    std::printf("vexil %s\n", VEXIL_VERSION);
    return 0;
  }
  if (args[0] == "convert_to_mat") {
    return run_command(std::vector<std::string>(args.begin() + 1, args.end()));
  }
  std::fprintf(stderr, "vexil: error: unknown command '%s'\n%s", args[0].c_str(), kUsage);
  return 2;
}
