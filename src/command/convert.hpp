// Entry of "vexil convert_to_mat": one conversion from start to end.
#pragma once

#include <string>
#include <vector>

namespace vexil::convert {

// Runs one conversion with the subcommand's arguments; returns the process
// status (0 after a completed run). Errors leave as exceptions.
int main(const std::vector<std::string>& args);

}  // namespace vexil::convert
