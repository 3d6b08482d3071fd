#include "baselines.hpp"

#include <zlib.h>

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <vector>

#include <nlohmann/json.hpp>

#include "output/mat5_writer.hpp"

namespace fs = std::filesystem;

namespace bench {

namespace {

// The last line of the script's output that is a JSON object.
nlohmann::json last_json_line(const std::string& out) {
  std::size_t end = out.size();
  while (end > 0) {
    const std::size_t start = out.rfind('\n', end - 1);
    const std::size_t from = start == std::string::npos ? 0 : start + 1;
    const std::string line = out.substr(from, end - from);
    if (!line.empty() && line.front() == '{') return nlohmann::json::parse(line, nullptr, false);
    if (start == std::string::npos) break;
    end = start;
  }
  return nlohmann::json();
}

}  // namespace

std::optional<Zlib6> zlib6_baseline(const MappedCube& cube) {
  const auto src = vexil::output::mat5_element_source(cube.view(), "data");
  if (src->size() > 0xFFFFFFFFull) return std::nullopt;
  return zlib6_stream(*src);
}

Zlib6 zlib6_stream(const vexil::output::ByteSource& source) {
  const vexil::output::ByteSource* src = &source;
  Zlib6 z;
  z.payload = src->size();
  z_stream zs{};
  if (deflateInit(&zs, 6) != Z_OK) throw std::runtime_error("deflateInit failed");
  const std::size_t piece = 4u << 20;
  std::vector<std::uint8_t> in(piece), out(deflateBound(&zs, piece) + 1024);
  const auto t0 = std::chrono::steady_clock::now();
  for (std::uint64_t off = 0;;) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(piece, z.payload - off));
    src->read(off, n, reinterpret_cast<std::byte*>(in.data()));
    off += n;
    const bool last = off == z.payload;
    zs.next_in = in.data();
    zs.avail_in = static_cast<uInt>(n);
    int rc;
    do {
      zs.next_out = out.data();
      zs.avail_out = static_cast<uInt>(out.size());
      rc = deflate(&zs, last ? Z_FINISH : Z_NO_FLUSH);
      z.compressed += out.size() - zs.avail_out;
    } while (zs.avail_out == 0 || (last && rc != Z_STREAM_END));
    if (last) break;
  }
  deflateEnd(&zs);
  z.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  return z;
}

PythonRun run_python_pipeline(const PythonSetup& setup, const WrittenInput& input, const std::string& out_mat,
                              bool read_only) {
  std::vector<std::string> argv{setup.python, (fs::path(setup.scripts_dir) / "python_pipeline.py").string(),
                                "--reader",   format_info(input.format).reader,
                                "--input",    input.path};
  if (!input.dataset.empty()) argv.insert(argv.end(), {"--dataset", input.dataset});
  if (input.bands_first) argv.push_back("--bands-first");
  if (read_only)
    argv.push_back("--read-only");
  else
    argv.insert(argv.end(), {"--out", out_mat});
  PythonRun p;
  p.run = run_process(argv);
  if (p.run.ok()) {
    const nlohmann::json j = last_json_line(p.run.out);
    if (j.is_object()) {
      p.read_seconds = j.value("read_s", -1.0);
      p.write_seconds = j.value("write_s", -1.0);
    }
  }
  return p;
}

Comparison compare_mats(const PythonSetup& setup, const std::string& vexil_mat, const std::string& python_mat,
                        bool bands_first_input) {
  std::vector<std::string> argv{setup.python, (fs::path(setup.scripts_dir) / "compare_mats.py").string(), vexil_mat,
                                python_mat};
  if (bands_first_input) argv.push_back("--bands-first-ok");
  const RunResult r = run_process(argv);
  std::string text = r.out + r.err;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  if (text.empty()) text = "status " + std::to_string(r.status);
  return {r.ok(), text};
}

}  // namespace bench
