#include "formats/libraries.hpp"

#include <set>
#include <string>

#include "vexil/errors.hpp"

namespace vexil::formats {

namespace {

std::set<std::string, std::less<>>& forced_missing() {
  static std::set<std::string, std::less<>> names;
  return names;
}

bool built_in(std::string_view name) {
#ifdef VEXIL_HAVE_GDAL
  if (name == "gdal") return true;
#endif
#ifdef VEXIL_HAVE_HDF5
  if (name == "hdf5") return true;
#endif
  (void)name;
  return false;
}

// The Debian development package that provides a reader library.
std::string package_for(std::string_view name) {
  if (name == "gdal") return "libgdal-dev";
  if (name == "hdf5") return "libhdf5-dev";
  return std::string(name);
}

}  // namespace

bool library_available(std::string_view name) {
  return built_in(name) && forced_missing().find(name) == forced_missing().end();
}

void set_library_missing_for_testing(std::string_view name, bool missing) {
  if (missing) {
    forced_missing().emplace(name);
  } else if (auto it = forced_missing().find(name); it != forced_missing().end()) {
    forced_missing().erase(it);
  }
}

void require_library(std::string_view name) {
  if (!library_available(name)) throw MissingDependencyError(std::string(name), package_for(name));
}

}  // namespace vexil::formats
