// The benchmark's cubes: ENVI BSQ files written by the scene generator
// (make_cubes.py through bench_cubes.py, run with the system Python) into a
// cache folder, generated only when missing, and mapped read-only when the
// benchmark needs their bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "vexil/array.hpp"

namespace bench {

struct CubeRequest {
  std::string size;     // generator size: s8, m64, l256, xl1g
  std::string variant;  // u16, u16-h, u16-x4, u16-x8, f32, f32-mN (see bench_cubes.py)
  unsigned seed = 0;
};

struct Cube {
  CubeRequest request;
  std::int64_t lines = 0, samples = 0, bands = 0;
  vexil::DType dtype = vexil::DType::UInt16;  // UInt16 or Float32
  std::string hdr, img;                       // the BSQ pair in the cache
  std::vector<double> wavelengths;            // from the header, nm

  std::size_t item() const { return dtype == vexil::DType::UInt16 ? 2 : 4; }
  std::uint64_t bytes() const { return static_cast<std::uint64_t>(lines * samples * bands) * item(); }
  std::string type_name() const { return dtype == vexil::DType::UInt16 ? "uint16" : "float32"; }
  // "1024x640x200 uint16 u16 (l256)"
  std::string label() const;
};

// Sizes the generator knows, in its own order; the generator's default run
// seeds each with the base seed plus this index.
const std::vector<std::string>& generator_sizes();
unsigned size_seed(const std::string& size, unsigned base_seed);

struct GeneratorSetup {
  std::string python;     // Debian's interpreter, with NumPy and SciPy
  std::string script;     // bench_cubes.py
  std::string generator;  // make_cubes.py
  std::string cache_dir;
};

// Returns the cubes in request order, running the generator once per size
// and seed for those the cache lacks. Throws std::runtime_error when the
// generator fails or leaves a cube unreadable.
std::vector<Cube> acquire_cubes(const GeneratorSetup& setup, const std::vector<CubeRequest>& requests);

// The BSQ data mapped read-only, and the (lines, samples, bands) view the
// converter's writer would see.
class MappedCube {
 public:
  explicit MappedCube(const Cube& cube);
  ~MappedCube();
  MappedCube(const MappedCube&) = delete;
  MappedCube& operator=(const MappedCube&) = delete;

  const std::byte* data() const { return data_; }
  const vexil::NDArray& view() const { return view_; }

 private:
  std::byte* data_ = nullptr;
  std::size_t length_ = 0;
  vexil::NDArray view_;
};

}  // namespace bench
