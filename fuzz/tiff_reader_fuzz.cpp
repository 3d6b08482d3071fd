// The TIFF loader end to end: the input is written as a file, loaded, and
// every pixel is decoded on two threads, then a window on one. Covers the
// block table checks, the mapped view and the deflate blocks decoded from
// the file; GDAL and libtiff underneath are not instrumented.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>

#include "formats/tiff/tiff_format.hpp"
#include "vexil/errors.hpp"

namespace {

const std::string& input_path() {
  static const std::string path = [] {
    char tmpl[] = "/dev/shm/tiff-fuzz-XXXXXX";
    if (!mkdtemp(tmpl)) std::abort();
    return std::string(tmpl) + "/cube.tif";
  }();
  return path;
}

void put(const std::string& path, const std::uint8_t* p, std::size_t n) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) std::abort();
  while (n > 0) {
    const ssize_t w = write(fd, p, n);
    if (w <= 0) std::abort();
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  put(input_path(), data, size);
  try {
    const vexil::NDArray cube = vexil::formats::tiff::load_tiff(input_path()).data;
    const vexil::NDArray all = cube.materialize({.threads = 2});
    volatile std::uint8_t sink = 0;
    for (std::size_t i = 0; i < all.nbytes(); i += 61) sink = sink ^ std::to_integer<std::uint8_t>(all.data()[i]);
    const auto& s = cube.shape();
    if (s.size() >= 2 && s[0] > 2 && s[1] > 2) cube.window(1, s[0] - 1, 1, s[1] - 1).materialize({.threads = 1});
  } catch (const vexil::Error&) {
  }
  return 0;
}
