// PNG, JPEG and BMP label maps. Values are the stored ones: palette indices
// (never expanded), raw 1/2/4-bit grey levels (1-bit as bool), 16-bit
// samples as uint16. BMP goes through our own decoder, everything else
// through GDAL.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "core/memory.hpp"
#include "io/file.hpp"
#include "vexil/errors.hpp"
#include "formats/libraries.hpp"
#include "formats/gdal_module.hpp"
#include "formats/image/bmp_decoder.hpp"
#include "formats/image/image_format.hpp"

namespace vexil::formats::image {

namespace {

[[noreturn]] void os_error(int err, const std::string& path) {
  const std::string msg = fmt::format("[Errno {}] {}: '{}'", err, std::strerror(err), path);
  if (err == ENOENT) throw NotFoundError(msg);
  throw ReadError(msg);
}

}  // namespace

NDArray read_image_file(const std::string& path) {
  // A FIFO does not make this wait; it is refused below.
  io::Fd f = io::open_for_reading(path);
  if (f.fd < 0) os_error(errno, path);
  struct stat st;
  if (::fstat(f.fd, &st) != 0) os_error(errno, path);
  if (S_ISDIR(st.st_mode)) os_error(EISDIR, path);
  if (!S_ISREG(st.st_mode)) throw ReadError(fmt::format("cannot identify image file '{}': not a regular file", path));

  std::uint8_t magic[2] = {0, 0};
  const bool has_magic = st.st_size >= 2 && io::read_at(f.fd, magic, 2, 0) == 2;
  if (has_magic && is_bmp(magic)) {
    const auto size = static_cast<std::uint64_t>(st.st_size);
    core::check_fits_in_memory(size, fmt::format("'{}'", path));
    std::vector<std::uint8_t> bytes(size);
    bytes[0] = magic[0];
    bytes[1] = magic[1];
    if (io::read_at(f.fd, bytes.data() + 2, size - 2, 2) != size - 2)
      throw ReadError(fmt::format("'{}': image file is truncated", path));
    return decode_bmp(bytes, path);
  }
  f.close();

  require_library("gdal");
  return gdal_module::read_image(path);
}

LoadResult load_image_labels(const std::string& path, const ReadOptions&) {
  LoadResult result;
  result.data = read_image_file(path);
  result.meta["_source_format"] = "image";
  if (result.data.ndim() == 3)
    result.meta["_note"] = "Ground truth loaded as RGB image. You may need to map RGB values to class labels manually.";
  return result;
}

namespace {
constexpr std::string_view kExtensions[] = {".png", ".jpg", ".jpeg", ".bmp"};
}  // namespace

// BMP is decoded here; PNG and JPEG check for GDAL themselves.
const Format kFormat{"image", {}, kExtensions, "", nullptr, &load_image_labels};

}  // namespace vexil::formats::image
