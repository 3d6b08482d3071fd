// Reader libraries (GDAL, HDF5) are optional at build time; a file that needs
// one that was left out fails with MissingDependencyError before it is opened.
#pragma once

#include <string_view>

namespace vexil::formats {

// Returns when the named reader library ("gdal", "hdf5") is built in;
// otherwise throws MissingDependencyError naming its Debian package.
void require_library(std::string_view name);
// Whether a reader library is built in.
bool library_available(std::string_view name);

// Test hook: treats a library as missing (or restores the build's answer),
// so the missing-library path can be exercised without a second build.
void set_library_missing_for_testing(std::string_view name, bool missing);

}  // namespace vexil::formats
