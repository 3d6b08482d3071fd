#include "cubes.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

#include <fmt/format.h>

#include "process.hpp"

namespace fs = std::filesystem;

namespace bench {

namespace {

std::string trim(const std::string& s) {
  const auto a = s.find_first_not_of(" \t\r\n");
  if (a == std::string::npos) return "";
  return s.substr(a, s.find_last_not_of(" \t\r\n") - a + 1);
}

std::string stem_of(const GeneratorSetup& setup, const CubeRequest& r) {
  return (fs::path(setup.cache_dir) / fmt::format("{}_s{}_{}", r.size, r.seed, r.variant)).string();
}

// The header fields the benchmark needs; the generator writes each on one
// line, the brace lists included.
Cube read_cube(const CubeRequest& request, const std::string& stem) {
  Cube c;
  c.request = request;
  c.hdr = stem + ".hdr";
  c.img = stem + ".img";
  std::ifstream in(c.hdr);
  if (!in) throw std::runtime_error("cannot read " + c.hdr);
  std::map<std::string, std::string> fields;
  for (std::string line; std::getline(in, line);) {
    const auto eq = line.find('=');
    if (eq != std::string::npos) fields[trim(line.substr(0, eq))] = trim(line.substr(eq + 1));
  }
  try {
    c.lines = std::stoll(fields.at("lines"));
    c.samples = std::stoll(fields.at("samples"));
    c.bands = std::stoll(fields.at("bands"));
    const int type = std::stoi(fields.at("data type"));
    if (type != 12 && type != 4) throw std::runtime_error("data type " + std::to_string(type));
    c.dtype = type == 12 ? vexil::DType::UInt16 : vexil::DType::Float32;
    if (fields.count("interleave") && fields["interleave"] != "bsq") throw std::runtime_error("not BSQ");
  } catch (const std::exception& e) {
    throw std::runtime_error("unexpected header " + c.hdr + ": " + e.what());
  }
  if (auto it = fields.find("wavelength"); it != fields.end()) {
    std::string list = it->second;
    std::replace(list.begin(), list.end(), '{', ' ');
    std::replace(list.begin(), list.end(), '}', ' ');
    std::replace(list.begin(), list.end(), ',', ' ');
    std::istringstream ss(list);
    for (double v; ss >> v;) c.wavelengths.push_back(v);
  }
  std::error_code ec;
  const auto size = fs::file_size(c.img, ec);
  if (ec || size != c.bytes())
    throw std::runtime_error(fmt::format("{} holds {} bytes, the header asks for {}", c.img, ec ? 0 : size, c.bytes()));
  return c;
}

bool cached(const std::string& stem) { return fs::exists(stem + ".hdr") && fs::exists(stem + ".img"); }

}  // namespace

std::string Cube::label() const {
  return fmt::format("{}x{}x{} {} {} ({})", lines, samples, bands, type_name(), request.variant, request.size);
}

const std::vector<std::string>& generator_sizes() {
  static const std::vector<std::string> sizes{"s8", "m64", "l256", "xl1g"};
  return sizes;
}

unsigned size_seed(const std::string& size, unsigned base_seed) {
  const auto& s = generator_sizes();
  const auto it = std::find(s.begin(), s.end(), size);
  if (it == s.end()) throw std::invalid_argument("unknown cube size " + size);
  return base_seed + static_cast<unsigned>(it - s.begin());
}

std::vector<Cube> acquire_cubes(const GeneratorSetup& setup, const std::vector<CubeRequest>& requests) {
  fs::create_directories(setup.cache_dir);
  // One generator run per (size, seed): the scene is made once and every
  // missing variant of it written from that.
  std::map<std::pair<std::string, unsigned>, std::vector<std::string>> missing;
  for (const auto& r : requests) {
    auto& v = missing[{r.size, r.seed}];
    if (!cached(stem_of(setup, r)) && std::find(v.begin(), v.end(), r.variant) == v.end()) v.push_back(r.variant);
  }
  for (const auto& [key, variants] : missing) {
    if (variants.empty()) continue;
    std::string list;
    for (const auto& v : variants) list += (list.empty() ? "" : ",") + v;
    fmt::print(stderr, "[cubes] generating {} seed {}: {}\n", key.first, key.second, list);
    const std::vector<std::string> argv{setup.python, setup.script, "--out",       setup.cache_dir,
                                        "--size",     key.first,    "--seed",      std::to_string(key.second),
                                        "--variants", list,         "--generator", setup.generator};
    const RunResult r = run_process(argv);
    if (!r.ok())
      throw std::runtime_error(
          fmt::format("cube generator failed (status {}): {}\n{}{}", r.status, shell_line(argv), r.out, r.err));
    fmt::print(stderr, "[cubes] {:.1f} s\n", r.wall);
  }
  std::vector<Cube> cubes;
  for (const auto& r : requests) cubes.push_back(read_cube(r, stem_of(setup, r)));
  return cubes;
}

MappedCube::MappedCube(const Cube& c) {
  const int fd = ::open(c.img.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("cannot open " + c.img);
  length_ = c.bytes();
  void* p = ::mmap(nullptr, length_, PROT_READ, MAP_SHARED, fd, 0);
  ::close(fd);
  if (p == MAP_FAILED) throw std::runtime_error("cannot map " + c.img);
  data_ = static_cast<std::byte*>(p);
  const std::int64_t s = static_cast<std::int64_t>(c.item());
  // BSQ: band planes of lines x samples.
  view_ = vexil::NDArray::view(c.dtype, {c.lines, c.samples, c.bands}, {c.samples * s, s, c.lines * c.samples * s},
                               data_, nullptr);
}

MappedCube::~MappedCube() {
  if (data_) ::munmap(data_, length_);
}

}  // namespace bench
