#include "formats/detect.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "io/file.hpp"
#include "formats/envi/envi_pairing.hpp"
#include "formats/libraries.hpp"
#include "vexil/errors.hpp"
#include "io/paths.hpp"
#include "text/utf8.hpp"

namespace vexil::formats {

namespace {

// The format keys of every listed image format, sorted: "envi, hdf5, tiff".
std::string supported_list() {
  std::vector<std::string_view> keys;
  for (const Format* f : all_formats())
    if (!f->image_extensions.empty() && !f->unlisted) keys.push_back(f->key);
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  std::string out;
  for (const auto& k : keys) {
    if (!out.empty()) out += ", ";
    out += k;
  }
  return out;
}

bool starts_with(const unsigned char* p, std::size_t n, std::string_view sig) {
  return n >= sig.size() && std::memcmp(p, sig.data(), sig.size()) == 0;
}

constexpr std::string_view kHdf5Signature{"\x89HDF\r\n\x1a\n", 8};

const Format* format_keyed(std::string_view key) {
  const Format* f = format_by_key(key);
  return f && f->read_image ? f : nullptr;
}

// "file.mat:name": a single colon naming a MAT-file variable, when the
// whole text is not itself a file.
const Format* mat_with_variable(const std::string& clean) {
  const auto colon = clean.rfind(':');
  if (colon == std::string::npos || colon == 0 || io::isfile(clean)) return nullptr;
  const std::string ext = text::lower(io::splitext(clean.substr(0, colon)).second);
  const Format* f = format_for_image_extension(ext);
  return f && f->key == "mat" ? f : nullptr;
}

}  // namespace

Content sniff_content(const std::string& path) {
  // A FIFO does not make detection wait.
  const io::Fd file = io::open_for_reading(path);
  const int fd = file.fd;
  if (fd < 0) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? Content::Directory : Content::Unreadable;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) return Content::Unreadable;
  if (S_ISDIR(st.st_mode)) return Content::Directory;
  if (!S_ISREG(st.st_mode)) return Content::Unreadable;

  unsigned char head[128] = {};
  const std::size_t n = io::read_at(fd, head, sizeof head, 0);
  if (starts_with(head, n, {"II*\0", 4}) || starts_with(head, n, {"MM\0*", 4}) || starts_with(head, n, {"II+\0", 4}) ||
      starts_with(head, n, {"MM\0+", 4}))
    return Content::Tiff;
  if (starts_with(head, n, {"CDF\x01", 4}) || starts_with(head, n, {"CDF\x02", 4}) ||
      starts_with(head, n, {"CDF\x05", 4}))
    return Content::NetCdf3;
  if (starts_with(head, n, {"\x0e\x03\x13\x01", 4})) return Content::Hdf4;
  // A MAT-file's text header, then its version (0x0100 Level 5, 0x0200
  // 7.3) in the byte order of its endian mark.
  if (n == 128 && starts_with(head, n, "MATLAB")) {
    const bool little = head[126] == 'I' && head[127] == 'M', big = head[126] == 'M' && head[127] == 'I';
    const unsigned version = little ? head[124] | head[125] << 8 : head[125] | head[124] << 8;
    if ((little || big) && (version == 0x0100 || version == 0x0200)) return Content::Mat;
  }
  // HDF5 behind a user block: at 0, 512, 1024, 2048 ...
  const auto size = static_cast<std::uint64_t>(st.st_size);
  for (std::uint64_t at = 0; at + kHdf5Signature.size() <= size; at = at ? at * 2 : 512) {
    unsigned char sig[8];
    if (io::read_at(fd, sig, sizeof sig, at) == sizeof sig && starts_with(sig, sizeof sig, kHdf5Signature))
      return Content::Hdf5;
  }
  return Content::Unknown;
}

DatasetPath split_dataset_specifier(const std::string& path) {
  DatasetPath out;
  const bool url_like = path.find("://") != std::string::npos;
  const auto colon_slash = url_like ? std::string::npos : path.rfind(":/");
  // A ":/" that is only the tail of "::/" belongs to the "::" form:
  // cube.h5::/grp/x names the file cube.h5 and the dataset /grp/x.
  const bool tail_of_double = colon_slash != std::string::npos && colon_slash > 0 && path[colon_slash - 1] == ':';
  if (colon_slash != std::string::npos && !tail_of_double) {
    out.file = path.substr(0, colon_slash);
    out.dataset = path.substr(colon_slash + 2);
    out.has_dataset = true;
    return out;
  }
  if (const auto dd = path.rfind("::"); dd != std::string::npos) {
    out.file = path.substr(0, dd);
    out.dataset = path.substr(dd + 2);
    out.has_dataset = true;
    return out;
  }
  out.file = path;
  return out;
}

std::string strip_dataset_specifier(const std::string& path) { return split_dataset_specifier(path).file; }

const Format& detect_format(const std::string& path) {
  const std::string clean = strip_dataset_specifier(path);
  std::string ext = text::lower(io::splitext(clean).second);
  if (ext == ".nc") ext = ".h5";
  if (const Format* f = format_for_image_extension(ext)) {
    if (f->key == "envi") return *f;  // the ENVI reader names a directory given as a header itself
    const Content content = sniff_content(clean);
    if (content == Content::Directory) throw BadInputError(clean + " is a directory, not a file.");
    // NetCDF-3 and HDF4 share their extensions with HDF5 (.nc, .hdf).
    if (f->key == "hdf5" && (content == Content::NetCdf3 || content == Content::Hdf4))
      if (const Format* g = format_keyed(content == Content::Hdf4 ? "hdf4" : "netcdf3")) return *g;
    return *f;
  }
  if (const Format* f = mat_with_variable(clean)) return *f;

  const Content content = sniff_content(clean);
  const Format* by_content = nullptr;
  switch (content) {
    case Content::Tiff: by_content = format_keyed("tiff"); break;
    case Content::Hdf5: by_content = format_keyed("hdf5"); break;
    case Content::Mat: by_content = format_keyed("mat"); break;
    case Content::Directory: throw BadInputError(clean + " is a directory, not a file.");
    // Read where a format for them is registered; named otherwise.
    case Content::NetCdf3:
      if ((by_content = format_keyed("netcdf3"))) break;
      throw UnsupportedFormatError(clean +
                                   " is a NetCDF-3 file, which is not supported: convert it to NetCDF-4 "
                                   "(nccopy -k nc4) and name it .nc.");
    case Content::Hdf4:
      if ((by_content = format_keyed("hdf4"))) break;
      throw UnsupportedFormatError(clean +
                                   " is an HDF4 file, which is not supported: convert it to HDF5 "
                                   "(h4toh5) or GeoTIFF (gdal_translate).");
    case Content::Unreadable:
    case Content::Unknown: break;
  }
  if (by_content) return *by_content;
  // A data file whose ENVI header lies beside it (AVIRIS-NG "..._img").
  if (content == Content::Unknown && envi::find_header(clean)) {
    if (const Format* f = format_keyed("envi")) return *f;
  }
  throw UnsupportedFormatError("Unrecognised file extension '" + ext + "'. Supported: " + supported_list());
}

LoadResult read_image_as(const Format& format, const std::string& path, const ReadOptions& options) {
  if (!format.library.empty()) require_library(format.library);
  return format.read_image(path, options);
}

}  // namespace vexil::formats
