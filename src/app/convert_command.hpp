// "vexil convert_to_mat": parses the options, runs the conversion through
// the library and turns its outcome into console text and an exit status.
#pragma once

#include <string>
#include <vector>

#include "vexil/errors.hpp"
#include "vexil/reporter.hpp"

namespace vexil::app {

// Returns the process status: 0 after a completed run, 1 after an error,
// 2 after a usage error. An interrupted run ends the process by its signal.
int run_convert_command(const std::vector<std::string>& args);

// The lines printed when a reader library is missing, ending in an empty line.
std::string missing_dependency_hint(const Palette& palette, const MissingDependencyError& e);

}  // namespace vexil::app
