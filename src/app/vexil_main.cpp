// The toolkit's command dispatcher: "vexil <command> [options]".
#include <cstdio>
#include <string>
#include <vector>

#include "app/convert_command.hpp"
#include "vexil/version.hpp"

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

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty() || args[0] == "-h" || args[0] == "--help") {
    std::fputs(kUsage, args.empty() ? stderr : stdout);
    return args.empty() ? 2 : 0;
  }
  if (args[0] == "--version") {
    std::printf("vexil %s\n", VEXIL_VERSION_STRING);
    return 0;
  }
  if (args[0] == "convert_to_mat")
    return vexil::app::run_convert_command(std::vector<std::string>(args.begin() + 1, args.end()));
  std::fprintf(stderr, "vexil: error: unknown command '%s'\n%s", args[0].c_str(), kUsage);
  return 2;
}
