// Optional reader libraries (GDAL, HDF5) may be left out of a build; a loader
// whose library is missing prints an install hint and ends the run (status 1).
#pragma once

#include <string_view>

namespace vexil::convert::internal {

// Returns when the named reader library ("gdal", "hdf5", "envi") is built in;
// otherwise prints the hint and throws SystemExit{1}.
void check_dep(std::string_view name);
// Whether a reader library is built in.
bool dep_available(std::string_view name);

// Test hook: treats a library as missing (or restores the build's answer),
// so the hint can be exercised without a second build.
void set_dep_missing_for_testing(std::string_view name, bool missing);

}  // namespace vexil::convert::internal
