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
#include "formats/image/bmp_decoder.hpp"
#include "formats/image/image_format.hpp"
#include "libs/gdal_util.hpp"

namespace vexil::formats::image {

namespace {

[[noreturn]] void os_error(int err, const std::string& path) {
  const std::string msg = fmt::format("[Errno {}] {}: '{}'", err, std::strerror(err), path);
  if (err == ENOENT) throw NotFoundError(msg);
  throw ReadError(msg);
}

#ifdef VEXIL_HAVE_GDAL
libs::gdal::Dataset open_image(const std::string& path) {
  static const char* const kDrivers[] = {"PNG", "JPEG", "GIF", nullptr};
  try {
    return libs::gdal::open_raster(path, kDrivers);
  } catch (const ReadError& e) {
    const std::string_view msg = e.what();
    if (msg.find("not recognized as a supported file format") != std::string_view::npos)
      throw ReadError(fmt::format("cannot identify image file '{}'", path));
    throw ReadError(fmt::format("cannot identify image file '{}': {}", path, msg));
  }
}

NDArray read_with_gdal(const std::string& path) {
  // libjpeg's complaints about truncated data are errors, not warnings
  // with grey pixels.
  const libs::gdal::ScopedConfig strict("GDAL_ERROR_ON_LIBJPEG_WARNING", "YES");
  libs::gdal::Dataset ds = open_image(path);
  std::optional<libs::gdal::ScopedConfig> cmyk;
  {
    const char* space = GDALGetMetadataItem(libs::gdal::handle(ds), "SOURCE_COLOR_SPACE", "IMAGE_STRUCTURE");
    if (space && (std::string_view(space) == "CMYK" || std::string_view(space) == "YCCK")) {
      // GDAL converts CMYK JPEGs to RGB by default; read the stored inks.
      ds.reset();
      cmyk.emplace("GDAL_JPEG_TO_RGB", "NO");
      ds = open_image(path);
    }
  }
  const GDALDatasetH h = libs::gdal::handle(ds);
  const int count = GDALGetRasterCount(h);
  if (count < 1) throw ReadError(fmt::format("cannot identify image file '{}': no raster bands", path));

  GDALRasterBandH first = GDALGetRasterBand(h, 1);
  const GDALDataType t = GDALGetRasterDataType(first);
  std::vector<int> bands;
  for (int i = 1; i <= count; ++i) {
    if (GDALGetRasterDataType(GDALGetRasterBand(h, i)) != t)
      throw ReadError(fmt::format("'{}': channels of different sample types", path));
    bands.push_back(i);
  }
  libs::gdal::BandType type{DType::UInt8, GDT_Byte, "uint8"};
  if (t == GDT_UInt16) {
    type = {DType::UInt16, GDT_UInt16, "uint16"};
  } else if (t != GDT_Byte) {
    throw ReadError(fmt::format("'{}': unsupported sample type {}", path, GDALGetDataTypeName(t)));
  }

  NDArray cube = libs::gdal::read_interleaved(h, bands, type, path);
  const auto height = cube.shape()[0], width = cube.shape()[1];
  auto* data = cube.mutable_data();
  const auto n = static_cast<std::size_t>(cube.size());

  const GDALColorInterp ci = GDALGetRasterColorInterpretation(first);
  const char* driver = GDALGetDriverShortName(GDALGetDatasetDriver(h));
  if (count == 4 && ci == GCI_CyanBand && driver && std::string_view(driver) == "JPEG") {
    // Adobe CMYK is stored inverted; every Adobe-aware reader flips it back.
    for (std::size_t i = 0; i < n; ++i)
      data[i] = std::byte{static_cast<std::uint8_t>(255 - std::to_integer<int>(data[i]))};
  }
  if (count > 1) return cube;

  DType dtype = cube.dtype();
  const char* nbits = GDALGetMetadataItem(first, "NBITS", "IMAGE_STRUCTURE");
  if (ci != GCI_PaletteIndex && t == GDT_Byte && nbits && std::string_view(nbits) == "1") {
    for (std::size_t i = 0; i < n; ++i) data[i] = std::byte{data[i] != std::byte{0}};
    dtype = DType::Bool;
  }
  return NDArray::view(dtype, {height, width}, {cube.strides()[0], cube.strides()[1]}, data, cube.keep_alive());
}
#endif

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
#ifdef VEXIL_HAVE_GDAL
  return read_with_gdal(path);
#else
  throw ReadError("PNG and JPEG input needs GDAL, which this build does not include");
#endif
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
