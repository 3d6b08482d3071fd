#include "libs/gdal_util.hpp"

#include "core/memory.hpp"
#include "text/utf8.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <limits>
#include <mutex>

#include <fmt/format.h>

#include "vexil/errors.hpp"

#include <cpl_conv.h>
#include <cpl_error.h>
#include <cpl_string.h>
#include <gdal_version.h>
#include <ogr_srs_api.h>

namespace vexil::libs {

namespace gdal {

namespace {

void register_all_drivers() {
  static std::once_flag once;
  std::call_once(once, [] {
    ErrorCapture quiet;
    GDALAllRegister();
  });
}

// Registering all of GDAL's drivers costs a run about 60 ms and 7 MB of
// library pages; a file whose drivers are known registers only those. Weak,
// so a GDAL built without one of them falls back to registering everything.
extern "C" {
__attribute__((weak)) void GDALRegister_GTiff();
__attribute__((weak)) void GDALRegister_PNG();
__attribute__((weak)) void GDALRegister_JPEG();
__attribute__((weak)) void GDALRegister_GIF();
__attribute__((weak)) void GDALRegister_netCDF();
__attribute__((weak)) void GDALRegister_HDF4();
__attribute__((weak)) void GDALRegister_HDF4Image();
}

struct KnownDriver {
  std::string_view name;
  void (*first)();
  void (*second)();  // a companion the driver opens its parts with
};

// Registers the named drivers; false when one of them cannot be registered
// alone. GDAL's register functions skip a driver already there.
bool register_drivers(const char* const* names) {
  const KnownDriver known[] = {
      {"GTiff", GDALRegister_GTiff, nullptr},   {"PNG", GDALRegister_PNG, nullptr},
      {"JPEG", GDALRegister_JPEG, nullptr},     {"GIF", GDALRegister_GIF, nullptr},
      {"netCDF", GDALRegister_netCDF, nullptr}, {"HDF4", GDALRegister_HDF4, GDALRegister_HDF4Image},
  };
  static std::mutex mu;
  std::lock_guard lock(mu);
  for (; *names; ++names) {
    const KnownDriver* k =
        std::find_if(std::begin(known), std::end(known), [&](const KnownDriver& d) { return d.name == *names; });
    if (k == std::end(known) || !k->first) return false;
    ErrorCapture quiet;
    k->first();
    if (k->second) k->second();
  }
  return true;
}

// The named drivers, or all of them for a null list.
void register_drivers_for(const char* const* drivers) {
  if (!drivers || !register_drivers(drivers)) register_all_drivers();
}

}  // namespace

ErrorCapture::ErrorCapture() {
  CPLPushErrorHandlerEx(&ErrorCapture::handler, this);
  CPLErrorReset();
}

ErrorCapture::~ErrorCapture() { CPLPopErrorHandler(); }

void ErrorCapture::handler(CPLErr cls, CPLErrorNum, const char* msg) {
  auto* self = static_cast<ErrorCapture*>(CPLGetErrorHandlerUserData());
  if (!self || cls < CE_Failure) return;
  self->failed_ = true;
  self->last_ = msg ? msg : "";
}

std::string ErrorCapture::message(std::string_view fallback) const {
  if (failed_ && !last_.empty()) return text::utf8_or_latin1(last_);
  return std::string(fallback);
}

void ErrorCapture::clear() {
  failed_ = false;
  last_.clear();
}

void DatasetCloser::operator()(void* ds) const {
  if (!ds) return;
  ErrorCapture quiet;
  GDALClose(static_cast<GDALDatasetH>(ds));
}

ScopedConfig::ScopedConfig(const char* key, const char* value) : key_(key) {
  if (const char* old = CPLGetThreadLocalConfigOption(key, nullptr)) old_ = old;
  CPLSetThreadLocalConfigOption(key, value);
}

ScopedConfig::~ScopedConfig() { CPLSetThreadLocalConfigOption(key_.c_str(), old_ ? old_->c_str() : nullptr); }

namespace {

// GDAL's open failure as one line naming the file.
[[noreturn]] void throw_open_error(const ErrorCapture& errors, const std::string& path) {
  std::string msg = errors.message(fmt::format("'{}' could not be opened", path));
  // GDAL 3.6 quotes the name as `name'; the reader's users see 'name'.
  if (msg.starts_with('`') && msg.find("' not recognized as") != std::string::npos) msg[0] = '\'';
  if (msg.find(path) == std::string::npos) msg = fmt::format("{}: {}", path, msg);
  throw ReadError(msg);
}

// GDAL would wait forever on a FIFO with no writer, and says a directory is
// "not recognized as a supported file format".
void check_openable(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) throw ReadError(fmt::format("'{}' is a directory, not a file", path));
  if (!S_ISREG(st.st_mode)) throw ReadError(fmt::format("'{}' is not a regular file", path));
}

}  // namespace

Dataset open_raster(const std::string& path, const char* const* drivers, const char* const* open_options) {
  check_openable(path);
  // Uncompressed GeoTIFFs are then read through a file mapping instead of
  // block by block; GDAL falls back by itself where the layout does not
  // allow it. The driver takes it at open time. (No GDAL_NUM_THREADS: its
  // worker threads would print errors past our thread-local handler.)
  const ScopedConfig mapped("GTIFF_VIRTUAL_MEM_IO", "IF_ENOUGH_RAM");
  const auto open = [&] {
    return GDALOpenEx(path.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY | GDAL_OF_VERBOSE_ERROR, drivers, open_options,
                      nullptr);
  };
  if (!drivers) {
    // Any driver may open the file, but nearly always it is a TIFF: try
    // GeoTIFF's driver alone first. Whatever it refuses is opened (or
    // refused) by every driver, in GDAL's own order and words.
    static const char* const kTiff[] = {"GTiff", nullptr};
    if (register_drivers(kTiff)) {
      ErrorCapture first_try;
      if (GDALDatasetH ds = open()) return Dataset(ds);
    }
    register_all_drivers();
  } else {
    register_drivers_for(drivers);
  }
  ErrorCapture errors;
  GDALDatasetH ds = open();
  if (!ds) throw_open_error(errors, path);
  return Dataset(ds);
}

Dataset open_multidim(const std::string& path, const char* const* drivers) {
  check_openable(path);
  register_drivers_for(drivers);
  ErrorCapture errors;
  GDALDatasetH ds = GDALOpenEx(path.c_str(), GDAL_OF_MULTIDIM_RASTER | GDAL_OF_READONLY | GDAL_OF_VERBOSE_ERROR,
                               drivers, nullptr, nullptr);
  if (!ds) throw_open_error(errors, path);
  return Dataset(ds);
}

std::optional<BandType> type_of(GDALDataType t) {
  switch (static_cast<int>(t)) {
    case GDT_Byte: return BandType{DType::UInt8, GDT_Byte, "uint8"};
#if GDAL_VERSION_NUM >= GDAL_COMPUTE_VERSION(3, 7, 0)
    case GDT_Int8: return BandType{DType::Int8, GDT_Int8, "int8"};
#endif
    case GDT_UInt16: return BandType{DType::UInt16, GDT_UInt16, "uint16"};
    case GDT_Int16: return BandType{DType::Int16, GDT_Int16, "int16"};
    case GDT_UInt32: return BandType{DType::UInt32, GDT_UInt32, "uint32"};
    case GDT_Int32: return BandType{DType::Int32, GDT_Int32, "int32"};
    case GDT_UInt64: return BandType{DType::UInt64, GDT_UInt64, "uint64"};
    case GDT_Int64: return BandType{DType::Int64, GDT_Int64, "int64"};
    case GDT_Float32: return BandType{DType::Float32, GDT_Float32, "float32"};
    case GDT_Float64: return BandType{DType::Float64, GDT_Float64, "float64"};
    // No complex integer array type exists: complex int16 fits complex64
    // exactly, complex int32 needs complex128 to stay exact.
    case GDT_CInt16: return BandType{DType::Complex64, GDT_CFloat32, "complex_int16"};
    case GDT_CInt32: return BandType{DType::Complex128, GDT_CFloat64, "complex_int32"};
    case GDT_CFloat32: return BandType{DType::Complex64, GDT_CFloat32, "complex64"};
    case GDT_CFloat64: return BandType{DType::Complex128, GDT_CFloat64, "complex128"};
    default: break;
  }
  return std::nullopt;
}

BandType band_type(GDALRasterBandH band, const std::string& path) {
  const GDALDataType t = GDALGetRasterDataType(band);
  if (t == GDT_Byte) {
    const char* pt = GDALGetMetadataItem(band, "PIXELTYPE", "IMAGE_STRUCTURE");
    if (pt && std::string_view(pt).starts_with("SIGNEDBYTE")) return {DType::Int8, GDT_Byte, "int8"};
  }
  if (const auto bt = type_of(t)) return *bt;
  const char* name = GDALGetDataTypeName(t);
  throw ReadError(fmt::format("'{}': unsupported raster data type {}", path, name ? name : "unknown"));
}

std::optional<CrsTexts> dataset_crs(GDALDatasetH ds) {
  ErrorCapture quiet;
  OGRSpatialReferenceH srs = GDALGetSpatialRef(ds);
  const char* proj = GDALGetProjectionRef(ds);
  if (!srs || !proj || !*proj) return std::nullopt;
  return crs_texts(srs);
}

std::optional<CrsTexts> crs_texts(OGRSpatialReferenceH srs) {
  ErrorCapture quiet;
  if (!srs) return std::nullopt;
  CrsTexts out;
  char* wkt = nullptr;
  if (OSRExportToWktEx(srs, &wkt, nullptr) == OGRERR_NONE && wkt) out.wkt = wkt;
  CPLFree(wkt);
  if (out.wkt.empty()) return std::nullopt;

  // The CRS is named by its best authority match: EPSG before OGC before
  // ESRI, each the first (most confident) one of at least 70 %.
  OGRSpatialReferenceH clone = OSRClone(srs);
  int n = 0;
  int* confidence = nullptr;
  OGRSpatialReferenceH* matches = clone ? OSRFindMatches(clone, nullptr, &n, &confidence) : nullptr;
  std::optional<std::string> by_auth[3];
  static constexpr const char* kAuthorities[3] = {"EPSG", "OGC", "ESRI"};
  for (int i = 0; matches && i < n; ++i) {
    const char* code = OSRGetAuthorityCode(matches[i], nullptr);
    const char* auth = OSRGetAuthorityName(matches[i], nullptr);
    if (!code || !auth || !confidence || confidence[i] < 70) continue;
    for (int k = 0; k < 3; ++k) {
      if (!by_auth[k] && std::string_view(auth) == kAuthorities[k]) by_auth[k] = fmt::format("{}:{}", auth, code);
    }
  }
  if (matches) OSRFreeSRSArray(matches);
  CPLFree(confidence);
  if (clone) OSRDestroySpatialReference(clone);

  out.to_string = out.wkt;
  for (auto& s : by_auth) {
    if (s) {
      out.to_string = *s;
      break;
    }
  }
  out.wkt = text::utf8_or_latin1(out.wkt);
  out.to_string = text::utf8_or_latin1(out.to_string);
  return out;
}

std::optional<std::string> metadata_item(GDALMajorObjectH object, const char* key, const char* domain) {
  ErrorCapture quiet;
  const char* v = GDALGetMetadataItem(object, key, domain);
  if (!v) return std::nullopt;
  return std::string(v);
}

std::uint64_t check_raster_size(GDALDatasetH ds, std::size_t band_count, const BandType& type,
                                const std::string& path) {
  const int width = GDALGetRasterXSize(ds);
  const int height = GDALGetRasterYSize(ds);
  if (width < 0 || height < 0 || band_count == 0)
    throw ReadError(fmt::format("'{}': invalid raster size {} x {}", path, width, height));
  const auto item = static_cast<std::uint64_t>(GDALGetDataTypeSizeBytes(type.buffer_type));
  if (item != itemsize(type.dtype)) throw ReadError(fmt::format("'{}': internal type size mismatch", path));

  std::uint64_t bytes = 0;
  const auto nb = static_cast<std::uint64_t>(band_count);
  if (__builtin_mul_overflow(static_cast<std::uint64_t>(width), static_cast<std::uint64_t>(height), &bytes) ||
      __builtin_mul_overflow(bytes, nb, &bytes) || __builtin_mul_overflow(bytes, item, &bytes))
    throw BadInputError(
        fmt::format("'{}': raster of {} x {} x {} values is too large", path, height, width, band_count));
  core::check_fits_in_memory(
      bytes, fmt::format("'{}' ({} x {} x {} {})", path, height, width, band_count, dtype_name(type.dtype)));
  // A header lying about the size must not reserve gigabytes for a file of a
  // few hundred bytes: uncompressed TIFF data is stored whole (1-bit samples
  // widen 8 times into bytes), and no codec expands data by more than 2^20.
  if (VSIStatBufL st; VSIStatL(path.c_str(), &st) == 0 && st.st_size >= 0) {
    ErrorCapture quiet;
    const char* driver = GDALGetDriverShortName(GDALGetDatasetDriver(ds));
    const bool raw =
        driver && std::string_view(driver) == "GTiff" && !GDALGetMetadataItem(ds, "COMPRESSION", "IMAGE_STRUCTURE");
    const std::uint64_t file_bytes = static_cast<std::uint64_t>(st.st_size);
    if (bytes / (raw ? 8 : std::uint64_t{1} << 20) > file_bytes)
      throw BadInputError(
          fmt::format("'{}': the header describes {} x {} x {} values ({} bytes), far more than the "
                      "{} bytes of the file hold: it is truncated or corrupt",
                      path, height, width, band_count, bytes, file_bytes));
  }
  return bytes;
}

NDArray read_interleaved(GDALDatasetH ds, const std::vector<int>& bands, const BandType& type,
                         const std::string& path) {
  const std::uint64_t bytes = check_raster_size(ds, bands.size(), type, path);
  const int width = GDALGetRasterXSize(ds);
  const int height = GDALGetRasterYSize(ds);
  const auto item = static_cast<std::uint64_t>(GDALGetDataTypeSizeBytes(type.buffer_type));
  const auto nb = static_cast<std::uint64_t>(bands.size());

  NDArray out = NDArray::allocate(type.dtype, {height, width, static_cast<std::int64_t>(bands.size())});
  if (bytes == 0) return out;

  std::vector<int> band_map(bands);
  const auto pixel = static_cast<GSpacing>(item * nb);
  const auto line = pixel * width;
  const ScopedConfig mapped("GTIFF_VIRTUAL_MEM_IO", "IF_ENOUGH_RAM");
  ErrorCapture errors;
  const CPLErr err = GDALDatasetRasterIOEx(ds, GF_Read, 0, 0, width, height, out.mutable_data(), width, height,
                                           type.buffer_type, static_cast<int>(bands.size()), band_map.data(), pixel,
                                           line, static_cast<GSpacing>(item), nullptr);
  // A decoder that reports a failure but carries on has still lost pixels.
  if (err != CE_None || errors.failed()) {
    std::string msg = errors.message("reading failed");
    if (msg.find(path) == std::string::npos) msg = fmt::format("{}: {}", path, msg);
    throw ReadError(fmt::format("Read or write failed. {}", msg));
  }
  return out;
}

}  // namespace gdal

}  // namespace vexil::libs
