#include "input/dependency_check.hpp"

#include <set>
#include <string>

#include "core/console.hpp"
#include "core/errors.hpp"
#include "display/display.hpp"

namespace vexil::convert::internal {

namespace {

std::set<std::string, std::less<>>& forced_missing() {
  static std::set<std::string, std::less<>> names;
  return names;
}

bool built_in(std::string_view name) {
  if (name == "envi") return true;
#ifdef VEXIL_HAVE_GDAL
  if (name == "gdal") return true;
#endif
#ifdef VEXIL_HAVE_HDF5
  if (name == "hdf5") return true;
#endif
  return false;
}

// The Debian development package that provides a reader library.
std::string package_for(std::string_view name) {
  if (name == "gdal") return "libgdal-dev";
  if (name == "hdf5") return "libhdf5-dev";
  return std::string(name);
}

}  // namespace

bool dep_available(std::string_view name) {
  return built_in(name) && forced_missing().find(name) == forced_missing().end();
}

void set_dep_missing_for_testing(std::string_view name, bool missing) {
  if (missing) {
    forced_missing().emplace(name);
  } else if (auto it = forced_missing().find(name); it != forced_missing().end()) {
    forced_missing().erase(it);
  }
}

void check_dep(std::string_view name) {
  if (dep_available(name)) return;
  namespace d = vexil::utils::display;
  println("\n" + d::RED + d::BOLD + "  Missing dependency: " + std::string(name) + d::RESET +
          "\n  Install it with:  apt-get install " + package_for(name) +
          "  (then rebuild vexil)\n  Or install all convert deps:  scripts/install-deps.sh\n");
  throw SystemExit{1};
}

}  // namespace vexil::convert::internal
