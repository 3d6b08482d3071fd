// matio underneath the MAT-file readers: its log kept quiet (its last error
// becomes part of ours), handles, and its class names as element types.
#pragma once

#include <matio.h>

#include <memory>
#include <optional>
#include <string>

#include "vexil/dtype.hpp"

namespace vexil::formats::mat {

using MatPtr = std::unique_ptr<mat_t, int (*)(mat_t*)>;
using MatVarPtr = std::unique_ptr<matvar_t, void (*)(matvar_t*)>;

// Routes matio's messages here (once per process) and forgets the last one.
void init_log();
// The first line of matio's last error since init_log(), and forgets it.
std::string take_log();
// `msg` with matio's last error in parentheses, when there is one.
std::string with_reason(std::string msg);

// A numeric class as an element type; nullopt for char, cell, struct ...
std::optional<DType> dtype_of_class(matio_classes c);

}  // namespace vexil::formats::mat
