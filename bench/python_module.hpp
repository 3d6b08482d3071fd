// The converter's own Python module (python_module.py) on a cube: the whole
// conversion in-process, or reading the cube into a NumPy array. The module
// is optional: a build without it skips these rows.
#pragma once

#include <optional>
#include <string>

#include "baselines.hpp"

namespace bench {

struct ModuleRun {
  std::optional<PythonRun> run;  // nullopt when the module cannot be imported
  std::string missing;           // why, then
};

// `mode` is "convert" (into `out_dir`) or "read". `module_dir`, when not
// empty, is put in front of PYTHONPATH.
ModuleRun run_python_module(const PythonSetup& setup, const std::string& mode, const std::string& input,
                            const std::string& out_dir, const std::string& module_dir);

}  // namespace bench
