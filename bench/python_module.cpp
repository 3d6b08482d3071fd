#include "python_module.hpp"

#include <cstdlib>
#include <filesystem>
#include <vector>

#include <nlohmann/json.hpp>

namespace fs = std::filesystem;

namespace bench {

ModuleRun run_python_module(const PythonSetup& setup, const std::string& mode, const std::string& input,
                            const std::string& out_dir, const std::string& module_dir) {
  std::vector<std::string> argv{setup.python, (fs::path(setup.scripts_dir) / "python_module.py").string(), mode,
                                "--input", input};
  if (mode == "convert") argv.insert(argv.end(), {"--out", out_dir});
  RunOptions options;
  if (!module_dir.empty()) {
    const char* old = std::getenv("PYTHONPATH");
    options.env.push_back({"PYTHONPATH", module_dir + (old && *old ? std::string(":") + old : "")});
  }
  PythonRun p;
  p.run = run_process(argv, options);
  const std::string& out = p.run.out;
  const auto line_start = out.rfind('{');
  const nlohmann::json j = line_start == std::string::npos
                               ? nlohmann::json()
                               : nlohmann::json::parse(out.substr(line_start), nullptr, false);
  ModuleRun m;
  if (p.run.status == 3 && j.is_object() && j.contains("missing")) {
    m.missing = j["missing"].get<std::string>();
    return m;
  }
  if (j.is_object()) {
    p.read_seconds = j.value("read_s", -1.0);
    p.write_seconds = j.value("write_s", -1.0);
  }
  m.run = p;
  return m;
}

}  // namespace bench
