#include "formats/hdf5/hdf5_signature.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include <fmt/format.h>

#include "io/file.hpp"
#include "formats/hdf5/hdf5_format.hpp"

namespace vexil::formats::hdf5 {
namespace {

constexpr unsigned char kHdf5Signature[8] = {0x89, 'H', 'D', 'F', '\r', '\n', 0x1a, '\n'};

bool regular_size(const io::Fd& f, std::uint64_t& size) {
  struct stat st {};
  if (f.fd < 0 || ::fstat(f.fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  size = static_cast<std::uint64_t>(st.st_size);
  return true;
}

}  // namespace

std::optional<std::string> foreign_container(const std::string& path) {
  const io::Fd f = io::open_for_reading(path);
  unsigned char head[4] = {};
  if (f.fd < 0 || io::read_at(f.fd, head, 4, 0) != 4) return std::nullopt;
  if (head[0] == 'C' && head[1] == 'D' && head[2] == 'F') {
    if (head[3] == 1) return "NetCDF-3 (classic)";
    if (head[3] == 2) return "NetCDF-3 (64-bit offset)";
    if (head[3] == 5) return "NetCDF-3 (64-bit data)";
  }
  if (head[0] == 0x0e && head[1] == 0x03 && head[2] == 0x13 && head[3] == 0x01) return "HDF4";
  return std::nullopt;
}

bool is_mat73_file(const std::string& path) {
  const io::Fd f = io::open_for_reading(path);
  unsigned char head[19] = {};
  if (f.fd < 0 || io::read_at(f.fd, head, sizeof head, 0) != sizeof head) return false;
  if (std::memcmp(head, "MATLAB 7.3 MAT-file", sizeof head) != 0) return false;
  unsigned char sig[8] = {};
  return io::read_at(f.fd, sig, 8, 512) == 8 && std::memcmp(sig, kHdf5Signature, 8) == 0;
}

std::optional<std::uint64_t> hdf5_signature_offset(const std::string& path) {
  const io::Fd f = io::open_for_reading(path);
  std::uint64_t size = 0;
  if (!regular_size(f, size)) return std::nullopt;
  // HDF5 looks at 0, then 512 and every power of two above it.
  for (std::uint64_t off = 0; off + 8 <= size; off = off == 0 ? 512 : off * 2) {
    unsigned char sig[8] = {};
    if (io::read_at(f.fd, sig, 8, off) == 8 && std::memcmp(sig, kHdf5Signature, 8) == 0) return off;
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
  const io::Fd f = io::open_for_reading(path);
  std::uint64_t size = 0;
  if (!regular_size(f, size)) return std::nullopt;
  if (size == 0) return fmt::format("{} is empty, not an HDF5 file", path);
  if (hdf5_signature_offset(path)) return std::nullopt;
  return fmt::format("{} is not an HDF5 file (it has no HDF5 signature)", path);
}

}  // namespace vexil::formats::hdf5
