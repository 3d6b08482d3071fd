#include "formats/envi/envi_data.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <fmt/format.h>

#include "io/file.hpp"
#include "core/byte_order.hpp"
#include "io/mapped_file.hpp"
#include "vexil/errors.hpp"

namespace vexil::formats::envi {

namespace {

std::size_t swap_unit(DType t) {
  if (t == DType::Complex64) return 4;
  if (t == DType::Complex128) return 8;
  return itemsize(t);
}

}  // namespace

Strides cube_strides(const Layout& lay) {
  const auto item = static_cast<std::int64_t>(itemsize(lay.dtype));
  const std::int64_t L = lay.lines, S = lay.samples, B = lay.bands;
  switch (lay.interleave) {
    case Interleave::BIL: return {B * S * item, item, S * item};
    case Interleave::BIP: return {S * B * item, B * item, item};
    case Interleave::BSQ: break;
  }
  return {S * item, item, L * S * item};
}

NDArray read_cube(const std::string& data_path, const Layout& lay) {
  // A FIFO does not make this wait; it is refused below.
  const io::Fd f = io::open_for_reading(data_path);
  if (f.fd < 0) {
    const int err = errno;
    if (err == ENOENT) throw NotFoundError(fmt::format("Cannot find ENVI data file: {}", data_path));
    throw ReadError(fmt::format("Cannot open ENVI data file {}: {}", data_path, std::strerror(err)));
  }
  struct stat st {};
  if (::fstat(f.fd, &st) != 0)
    throw ReadError(fmt::format("Cannot read ENVI data file {}: {}", data_path, std::strerror(errno)));
  if (!S_ISREG(st.st_mode)) throw BadInputError(fmt::format("ENVI data file {} is not a regular file.", data_path));

  const std::uint64_t file_size = static_cast<std::uint64_t>(st.st_size);
  std::uint64_t needed = 0;
  if (__builtin_add_overflow(lay.header_offset, lay.data_bytes, &needed) || needed > file_size)
    throw BadInputError(
        fmt::format("ENVI data file {} is too short: the header describes {} bytes of data after a header offset of "
                    "{} bytes ({} bytes in all), but the file holds {} bytes.",
                    data_path, lay.data_bytes, lay.header_offset, lay.header_offset + lay.data_bytes, file_size));

  Shape shape{lay.lines, lay.samples, lay.bands};
  if (lay.data_bytes == 0) return NDArray::allocate(lay.dtype, std::move(shape));

  const Strides strides = cube_strides(lay);
  const std::size_t unit = swap_unit(lay.dtype);
  const std::size_t len = static_cast<std::size_t>(lay.data_bytes);

  const bool swap = lay.big_endian && unit > 1;
  if (!swap) {
    // The header offset need not be aligned to the element size, which is
    // fine because array readers copy elements with memcpy rather than
    // dereferencing typed pointers. A mapping survives the file shrinking
    // while it is read (see io/mapped_file.hpp); the saving step checks it.
    if (auto mapping = io::MappedFile::map(f.fd, data_path, lay.header_offset, len)) {
      mapping->advise_sequential();
      auto* first = const_cast<std::byte*>(mapping->data());
      return NDArray::view(lay.dtype, std::move(shape), strides, first, std::move(mapping));
    }
    // Some file systems cannot map files; read them instead.
  }

  // Owned copy (in native order when swapped). It keeps the file's layout,
  // so the view strides stay those of the interleave.
  void* buf = std::malloc(len);
  if (!buf) throw BadInputError(fmt::format("Cannot allocate {} bytes to read the ENVI data of {}.", len, data_path));
  std::shared_ptr<void> owner(buf, [](void* p) { std::free(p); });
  auto* dst = static_cast<std::byte*>(buf);
  std::size_t got = 0;
  while (got < len) {
    const std::size_t chunk = std::min<std::size_t>(len - got, std::size_t{1} << 30);
    const ssize_t n = ::pread(f.fd, dst + got, chunk, static_cast<off_t>(lay.header_offset + got));
    if (n < 0) {
      if (errno == EINTR) continue;
      throw ReadError(fmt::format("Cannot read ENVI data file {}: {}", data_path, std::strerror(errno)));
    }
    if (n == 0)
      throw BadInputError(fmt::format("ENVI data file {} became shorter while it was being read.", data_path));
    got += static_cast<std::size_t>(n);
  }
  if (swap) core::copy_swapped(dst, dst, len, unit);
  return NDArray::view(lay.dtype, std::move(shape), strides, dst, std::move(owner));
}

}  // namespace vexil::formats::envi
