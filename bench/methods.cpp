#include "methods.hpp"

#include <algorithm>
#include <chrono>
#include <utility>

#include <fmt/format.h>

#include "baselines.hpp"
#include "output/mat5_writer.hpp"
#include "output/parallel_deflate.hpp"

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;
using vexil::output::ByteSource;

double since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// The first `limit` bytes of another source.
class Prefix final : public ByteSource {
 public:
  Prefix(const ByteSource& s, std::uint64_t limit) : s_(s), n_(std::min(limit, s.size())) {}
  std::uint64_t size() const override { return n_; }
  void read(std::uint64_t off, std::size_t len, std::byte* out) const override { s_.read(off, len, out); }

 private:
  const ByteSource& s_;
  std::uint64_t n_;
};

std::pair<std::uint64_t, double> compress(const ByteSource& src, const vexil::output::DeflateOptions& o) {
  std::uint64_t produced = 0;
  const auto t0 = Clock::now();
  vexil::output::parallel_zlib(
      src, [&](const std::uint8_t*, std::size_t n) { produced += n; }, o);
  return {produced, since(t0)};
}

}  // namespace

std::vector<std::string> compare_deflate_methods(const MappedCube& cube, std::uint64_t sample_bytes) {
  namespace out = vexil::output;
  std::vector<std::string> lines;
  const auto element = out::mat5_element_source(cube.view(), "data");
  const Prefix sample(*element, sample_bytes);
  const double mb = static_cast<double>(sample.size()) / 1e6;
  // What the writer passes, so that the default is measured as it runs.
  const std::uint64_t plane_bytes = out::mat5_plane_bytes(cube.view());

  const Zlib6 z = zlib6_stream(sample);
  const std::uint64_t ref = z.compressed;
  {
    std::vector<std::byte> buf(4u << 20);
    const auto t0 = Clock::now();
    for (std::uint64_t off = 0; off < sample.size(); off += buf.size())
      sample.read(off, static_cast<std::size_t>(std::min<std::uint64_t>(buf.size(), sample.size() - off)), buf.data());
    lines.push_back(fmt::format("column-major gather only      {:8.1f} MB/s", mb / since(t0)));
  }
  lines.push_back(fmt::format("zlib level 6, one stream      {:8.1f} MB/s  size 1.0000  compressed/raw {:.3f}",
                              mb / z.seconds, z.ratio()));
  std::vector<std::pair<out::DeflateMethod, int>> methods;
  methods.push_back({out::DeflateMethod::Auto, -1});
  if (out::isal_available())
    for (int l = 1; l <= 3; ++l) methods.push_back({out::DeflateMethod::Isal, l});
  for (int l : {1, 2, 3, 4}) methods.push_back({out::DeflateMethod::Zlib, l});
  for (auto [method, level] : methods) {
    out::DeflateOptions o;
    o.threads = 1;
    o.method = method;
    o.level = level;
    o.plane_bytes = plane_bytes;
    const auto [n, s] = compress(sample, o);
    lines.push_back(
        fmt::format("{:<29} {:8.1f} MB/s  size {:.4f}  compressed/raw {:.3f}",
                    (method == out::DeflateMethod::Auto ? "writer default: " : "") + out::describe_method(o), mb / s,
                    static_cast<double>(n) / static_cast<double>(ref),
                    static_cast<double>(n) / static_cast<double>(sample.size())));
  }
  std::string scan = "writer default, whole payload, MB/s by threads:";
  for (int t = 1; t <= out::resolve_threads(0); ++t) {
    out::DeflateOptions o;
    o.threads = t;
    o.plane_bytes = plane_bytes;
    const auto [n, s] = compress(*element, o);
    scan += fmt::format("  {}: {:.0f}", t, static_cast<double>(element->size()) / 1e6 / s);
  }
  lines.push_back(scan);
  return lines;
}

}  // namespace bench
