#include "formats/hdf5/hdf5_signature.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include <fmt/format.h>

#include "formats/hdf5/hdf5_format.hpp"

namespace vexil::formats::hdf5 {
namespace {

constexpr unsigned char kHdf5Signature[8] = {0x89, 'H', 'D', 'F', '\r', '\n', 0x1a, '\n'};

struct File {
  int fd = -1;
  explicit File(const std::string& path) : fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)) {}
  ~File() {
    if (fd >= 0) ::close(fd);
  }
  // Bytes [offset, offset + n) or fewer at the end of the file.
  std::size_t read_at(std::uint64_t offset, unsigned char* buf, std::size_t n) const {
    std::size_t got = 0;
    while (got < n) {
      const ssize_t r = ::pread(fd, buf + got, n - got, static_cast<off_t>(offset + got));
      if (r <= 0) break;
      got += static_cast<std::size_t>(r);
    }
    return got;
  }
};

bool regular_size(const File& f, std::uint64_t& size) {
  struct stat st {};
  if (f.fd < 0 || ::fstat(f.fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  size = static_cast<std::uint64_t>(st.st_size);
  return true;
}

}  // namespace

std::optional<std::string> foreign_container(const std::string& path) {
  File f(path);
  unsigned char head[4] = {};
  if (f.fd < 0 || f.read_at(0, head, 4) != 4) return std::nullopt;
  if (head[0] == 'C' && head[1] == 'D' && head[2] == 'F') {
    if (head[3] == 1) return "NetCDF-3 (classic)";
    if (head[3] == 2) return "NetCDF-3 (64-bit offset)";
    if (head[3] == 5) return "NetCDF-3 (64-bit data)";
  }
  if (head[0] == 0x0e && head[1] == 0x03 && head[2] == 0x13 && head[3] == 0x01) return "HDF4";
  return std::nullopt;
}

bool is_mat73_file(const std::string& path) {
  File f(path);
  unsigned char head[19] = {};
  if (f.fd < 0 || f.read_at(0, head, sizeof head) != sizeof head) return false;
  if (std::memcmp(head, "MATLAB 7.3 MAT-file", sizeof head) != 0) return false;
  unsigned char sig[8] = {};
  return f.read_at(512, sig, 8) == 8 && std::memcmp(sig, kHdf5Signature, 8) == 0;
}

std::optional<std::uint64_t> hdf5_signature_offset(const std::string& path) {
  File f(path);
  std::uint64_t size = 0;
  if (!regular_size(f, size)) return std::nullopt;
  // HDF5 looks at 0, then 512 and every power of two above it.
  for (std::uint64_t off = 0; off + 8 <= size; off = off == 0 ? 512 : off * 2) {
    unsigned char sig[8] = {};
    if (f.read_at(off, sig, 8) == 8 && std::memcmp(sig, kHdf5Signature, 8) == 0) return off;
  }
  return std::nullopt;
}

std::optional<std::string> not_hdf5_reason(const std::string& path) {
  if (auto kind = foreign_container(path)) {
    const bool netcdf3 = kind->starts_with("NetCDF-3");
    return fmt::format("{} is {} {} file, which this program cannot read{}", path, netcdf3 ? "a" : "an", *kind,
                       netcdf3 ? " (netCDF-4 files can be read; nccopy -k nc4 converts it)"
                               : " (HDF5 files can be read; h4toh5 converts it)");
  }
  File f(path);
  std::uint64_t size = 0;
  if (!regular_size(f, size)) return std::nullopt;
  if (size == 0) return fmt::format("{} is empty, not an HDF5 file", path);
  if (hdf5_signature_offset(path)) return std::nullopt;
  return fmt::format("{} is not an HDF5 file (it has no HDF5 signature)", path);
}

}  // namespace vexil::formats::hdf5
