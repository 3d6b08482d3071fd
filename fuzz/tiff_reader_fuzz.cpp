// The TIFF loader end to end: the input is written as a file, loaded, and
// every pixel is decoded band group by band group where the file allows,
// then on two threads, then a window on one. Covers the
// block table checks, the mapped view and the deflate blocks decoded from
// the file; GDAL and libtiff underneath are not instrumented.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "formats/tiff/tiff_format.hpp"
#include "fuzz_files.hpp"
#include "vexil/errors.hpp"

namespace {

const std::string& input_path() {
  static const std::string path = vexil::fuzz::make_scratch_dir("tiff-fuzz") + "/cube.tif";
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vexil::fuzz::put_file(input_path(), data, size);
  try {
    const vexil::NDArray cube = vexil::formats::tiff::load_tiff(input_path()).data;
    // Band by band, as the writer streams band-interleaved cubes.
    if (const std::int64_t step = cube.band_step(); step > 0) {
      std::vector<std::byte> room;
      for (std::int64_t b = 0; b < cube.shape()[2]; b += step) {
        const std::int64_t e = std::min(b + step, cube.shape()[2]);
        room.resize(static_cast<std::size_t>(cube.shape()[0] * cube.shape()[1] * (e - b)) * cube.itemsize());
        cube.read_bands(b, e, {.threads = 1}, b % 2 ? room.data() : nullptr);
      }
    }
    const vexil::NDArray all = cube.materialize({.threads = 2});
    volatile std::uint8_t sink = 0;
    for (std::size_t i = 0; i < all.nbytes(); i += 61) sink = sink ^ std::to_integer<std::uint8_t>(all.data()[i]);
    const auto& s = cube.shape();
    if (s.size() >= 2 && s[0] > 2 && s[1] > 2) cube.window(1, s[0] - 1, 1, s[1] - 1).materialize({.threads = 1});
  } catch (const vexil::Error&) {
  }
  return 0;
}
