#include "formats/tiff/tiff_pixels.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

#include <fmt/format.h>

#include "io/file.hpp"
#include "core/cpu_budget.hpp"
#include "core/worker_pool.hpp"
#include "core/inflater.hpp"
#include "core/memory.hpp"
#include "io/mapped_file.hpp"
#include "core/transpose.hpp"
#include "vexil/errors.hpp"

#ifdef VEXIL_HAVE_LIBTIFF
#include <tiffio.h>
#endif

namespace vexil::formats::tiff {
namespace {

std::atomic<std::uint64_t> g_blocks_read{0};

// ---------------------------------------------------------------- layout

struct Grid {
  int width = 0, height = 0;
  int bw = 0, bh = 0;  // block size
  int nx = 0, ny = 0;  // blocks across and down
  bool tiled = false;  // as libtiff reads it; GDAL's grid does not say
};

Grid grid_of(GDALDatasetH ds) {
  Grid g;
  g.width = GDALGetRasterXSize(ds);
  g.height = GDALGetRasterYSize(ds);
  GDALGetBlockSize(GDALGetRasterBand(ds, 1), &g.bw, &g.bh);
  if (g.bw <= 0) g.bw = std::max(g.width, 1);
  if (g.bh <= 0) g.bh = 1;
  g.nx = (g.width + g.bw - 1) / g.bw;
  g.ny = (g.height + g.bh - 1) / g.bh;
  return g;
}

bool is_gtiff(GDALDatasetH ds) {
  const GDALDriverH d = GDALGetDatasetDriver(ds);
  const char* name = d ? GDALGetDriverShortName(d) : nullptr;
  return name && std::string_view(name) == "GTiff";
}

// All bands of a block are stored together (pixel interleave).
bool pixel_interleaved(GDALDatasetH ds) {
  if (GDALGetRasterCount(ds) < 2) return false;
  const auto v = libs::gdal::metadata_item(ds, "INTERLEAVE", "IMAGE_STRUCTURE");
  return v && *v == "PIXEL";
}

std::optional<std::uint64_t> block_field(GDALRasterBandH band, const char* what, int bx, int by) {
  char key[64];
  std::snprintf(key, sizeof key, "%s_%d_%d", what, bx, by);
  const char* v = GDALGetMetadataItem(band, key, "TIFF");
  if (!v) return std::nullopt;
  std::uint64_t out = 0;
  const std::string_view s(v);
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return out;
}

std::uint64_t file_size_of(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || st.st_size < 0) return 0;
  return static_cast<std::uint64_t>(st.st_size);
}

// Where each stored plane (all bands of a pixel-interleaved file, else one
// band) lies, when every block is present and the blocks of a plane follow
// each other in the file.
struct Runs {
  bool contiguous = true;
  std::vector<std::uint64_t> plane_start;  // offset of the plane's first block
  std::uint64_t block_bytes = 0;
};

// Reads the block table of a GTiff dataset. Throws when a block runs past
// the end of the file: a truncated file is refused before it is read.
Runs scan_blocks(GDALDatasetH ds, const std::string& path, const Grid& g, std::uint64_t file_size) {
  Runs runs;
  const int planes = pixel_interleaved(ds) ? 1 : GDALGetRasterCount(ds);
  const std::uint64_t blocks = static_cast<std::uint64_t>(planes) * g.nx * g.ny;
  // A table this long would take longer to scan than it could save.
  if (blocks > (std::uint64_t{1} << 22)) {
    runs.contiguous = false;
    return runs;
  }
  libs::gdal::ErrorCapture quiet;
  for (int p = 0; p < planes; ++p) {
    GDALRasterBandH band = GDALGetRasterBand(ds, p + 1);
    std::optional<std::uint64_t> first;
    for (int by = 0; by < g.ny; ++by) {
      for (int bx = 0; bx < g.nx; ++bx) {
        const auto off = block_field(band, "BLOCK_OFFSET", bx, by);
        const auto size = block_field(band, "BLOCK_SIZE", bx, by);
        if (!off || !size) {  // a sparse block: GDAL fills it in
          runs.contiguous = false;
          continue;
        }
        if (*off > file_size || *size > file_size - *off)
          throw ReadError(
              fmt::format("'{}' is truncated or corrupt: its image data runs to byte {}, past the end "
                          "of the file ({} bytes)",
                          path, *off + *size, file_size));
        if (bx == 0 && by == 0) {
          first = *off;
          if (p == 0) runs.block_bytes = *size;
        }
        if (!first || g.nx != 1 || *off != *first + static_cast<std::uint64_t>(by) * runs.block_bytes)
          runs.contiguous = false;
      }
    }
    runs.plane_start.push_back(first.value_or(0));
  }
  return runs;
}

bool little_endian_file(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  char head[2] = {0, 0};
  const bool ok = std::fread(head, 1, 2, f) == 2;
  std::fclose(f);
  return ok && head[0] == 'I' && head[1] == 'I';
}

// ---------------------------------------------------------------- mapped

// Reads row y of every band through GDAL, pixel-interleaved.
bool row_matches(GDALDatasetH ds, const NDArray& view, int y, const libs::gdal::BandType& type) {
  const int width = static_cast<int>(view.shape()[1]);
  const int bands = static_cast<int>(view.shape()[2]);
  const std::size_t item = view.itemsize();
  std::vector<std::byte> row(static_cast<std::size_t>(width) * bands * item);
  libs::gdal::ErrorCapture errors;
  if (GDALDatasetRasterIOEx(ds, GF_Read, 0, y, width, 1, row.data(), width, 1, type.buffer_type, bands, nullptr,
                            static_cast<GSpacing>(bands * item), static_cast<GSpacing>(row.size()),
                            static_cast<GSpacing>(item), nullptr) != CE_None ||
      errors.failed())
    return false;
  const std::byte* base = view.data() + y * view.strides()[0];
  for (int x = 0; x < width; ++x)
    for (int b = 0; b < bands; ++b)
      if (std::memcmp(base + x * view.strides()[1] + b * view.strides()[2],
                      row.data() + (static_cast<std::size_t>(x) * bands + b) * item, item) != 0)
        return false;
  return true;
}

// The whole raster as a view over a read-only mapping of the file, when it is
// stored uncompressed, in the machine's byte order, in one run per plane
// (one block across, blocks in order) with planes evenly spaced.
std::optional<NDArray> map_raster(const std::string& path, GDALDatasetH ds, const Grid& g, const Runs& runs,
                                  const libs::gdal::BandType& type) {
  libs::gdal::ErrorCapture quiet;
  const int bands = GDALGetRasterCount(ds);
  if (!runs.contiguous || runs.plane_start.empty() || g.width == 0 || g.height == 0) return std::nullopt;
  if (libs::gdal::metadata_item(ds, "COMPRESSION", "IMAGE_STRUCTURE")) return std::nullopt;
  // Sub-byte samples, colour-space conversions and complex integers are
  // decoded values, not the stored bytes.
  GDALRasterBandH band1 = GDALGetRasterBand(ds, 1);
  if (libs::gdal::metadata_item(band1, "NBITS", "IMAGE_STRUCTURE")) return std::nullopt;
  if (libs::gdal::metadata_item(ds, "SOURCE_COLOR_SPACE", "IMAGE_STRUCTURE")) return std::nullopt;
  if (GDALGetRasterDataType(band1) != type.buffer_type) return std::nullopt;
  const std::size_t item = itemsize(type.dtype);
  const std::size_t unit = type.dtype == DType::Complex64 ? 4 : type.dtype == DType::Complex128 ? 8 : item;
  if (unit > 1 && (std::endian::native != std::endian::little || !little_endian_file(path))) return std::nullopt;

  const bool contig = pixel_interleaved(ds);
  const std::int64_t pixel_bytes = static_cast<std::int64_t>(item) * (contig ? bands : 1);
  const std::int64_t row_stride = static_cast<std::int64_t>(g.bw) * pixel_bytes;
  if (runs.block_bytes != static_cast<std::uint64_t>(row_stride) * g.bh) return std::nullopt;
  std::int64_t band_stride = static_cast<std::int64_t>(item);
  if (!contig && bands > 1) {
    band_stride = static_cast<std::int64_t>(runs.plane_start[1]) - static_cast<std::int64_t>(runs.plane_start[0]);
    for (std::size_t p = 2; p < runs.plane_start.size(); ++p)
      if (static_cast<std::int64_t>(runs.plane_start[p] - runs.plane_start[p - 1]) != band_stride) return std::nullopt;
  }
  const std::uint64_t low = *std::min_element(runs.plane_start.begin(), runs.plane_start.end());
  const std::uint64_t high = *std::max_element(runs.plane_start.begin(), runs.plane_start.end()) +
                             static_cast<std::uint64_t>(g.height - 1) * row_stride +
                             static_cast<std::uint64_t>(g.width) * pixel_bytes;

  const io::Fd f = io::open_for_reading(path);
  if (f.fd < 0) return std::nullopt;
  struct stat st {};
  if (::fstat(f.fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<std::uint64_t>(st.st_size) < high)
    return std::nullopt;
  // Survives the file shrinking while it is read (io/mapped_file.hpp); the
  // saving step checks it.
  std::shared_ptr<io::MappedFile> mapping = io::MappedFile::map(f.fd, path, low, static_cast<std::size_t>(high - low));
  if (!mapping) return std::nullopt;
  auto* first = const_cast<std::byte*>(mapping->data()) + (runs.plane_start[0] - low);
  const Strides strides = contig ? Strides{row_stride, pixel_bytes, static_cast<std::int64_t>(item)}
                                 : Strides{row_stride, static_cast<std::int64_t>(item), band_stride};
  NDArray view = NDArray::view(type.dtype, {g.height, g.width, bands}, strides, first, mapping);
  // The first and last rows must read as GDAL decodes them, or the layout
  // was not understood and GDAL reads the file instead.
  const bool same = row_matches(ds, view, 0, type) && row_matches(ds, view, g.height - 1, type);
  GDALFlushCache(ds);
  if (!same) return std::nullopt;
  mapping->advise_sequential();
  return view;
}

// ---------------------------------------------------------------- libtiff

// Decoding a block through libtiff directly (GDAL's own TIFF engine) moves
// each block once; GDAL's RasterIO on a pixel-interleaved file copies every
// band of every block through its block cache, three times the work. Used
// where libtiff's decoded samples are exactly what GDAL returns: whole-byte
// integer or float samples, lossless codecs, grey, RGB or palette
// photometry.
#ifdef VEXIL_HAVE_LIBTIFF

// Collects libtiff's messages for one handle instead of printing them.
struct TiffMessages {
  std::string last_error;
  static int on_error(TIFF*, void* user, const char* module, const char* fmt, va_list ap) {
    auto* self = static_cast<TiffMessages*>(user);
    char buf[512];
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    self->last_error = module && *module ? fmt::format("{}: {}", module, buf) : std::string(buf);
    return 1;
  }
  static int on_warning(TIFF*, void*, const char*, const char*, va_list) { return 1; }
};

struct TiffHandle {
  TIFF* tif = nullptr;
  std::unique_ptr<TiffMessages> messages = std::make_unique<TiffMessages>();
  TiffHandle() = default;
  TiffHandle(TiffHandle&&) = default;
  TiffHandle& operator=(TiffHandle&& o) noexcept {
    std::swap(tif, o.tif);
    std::swap(messages, o.messages);
    return *this;
  }
  ~TiffHandle() {
    if (tif) TIFFClose(tif);
  }
};

// Opens `path` at IFD `dir` without a file mapping (a file that shrinks
// while it is read must fail with an error, not a signal).
TiffHandle open_tiff(const std::string& path, int dir) {
  TiffHandle h;
  TIFFOpenOptions* opts = TIFFOpenOptionsAlloc();
  TIFFOpenOptionsSetErrorHandlerExtR(opts, &TiffMessages::on_error, h.messages.get());
  TIFFOpenOptionsSetWarningHandlerExtR(opts, &TiffMessages::on_warning, h.messages.get());
  h.tif = TIFFOpenExt(path.c_str(), "rm", opts);
  TIFFOpenOptionsFree(opts);
  if (h.tif && dir > 0 && !TIFFSetDirectory(h.tif, static_cast<tdir_t>(dir))) {
    TIFFClose(h.tif);
    h.tif = nullptr;
  }
  return h;
}

bool lossless_codec(std::uint16_t c) {
  switch (c) {
    case COMPRESSION_NONE:
    case COMPRESSION_LZW:
    case COMPRESSION_ADOBE_DEFLATE:
    case COMPRESSION_DEFLATE:
    case COMPRESSION_PACKBITS:
    case COMPRESSION_LZMA:
    case COMPRESSION_ZSTD: return TIFFIsCODECConfigured(c) != 0;
    default: return false;
  }
}

// The block grid libtiff will decode, when its samples are GDAL's values.
std::optional<Grid> libtiff_grid(const std::string& path, int dir, int bands, const libs::gdal::BandType& type,
                                 bool& contig, bool& direct_deflate) {
  if (type.dtype == DType::Complex64 || type.dtype == DType::Complex128) return std::nullopt;
  TiffHandle h = open_tiff(path, dir);
  if (!h.tif) return std::nullopt;
  std::uint16_t compression = 0, photometric = 0, bits = 0, format = SAMPLEFORMAT_UINT, spp = 0, planar = 0,
                predictor = PREDICTOR_NONE;
  std::uint32_t width = 0, height = 0;
  TIFFGetFieldDefaulted(h.tif, TIFFTAG_COMPRESSION, &compression);
  if (!TIFFGetField(h.tif, TIFFTAG_PHOTOMETRIC, &photometric)) return std::nullopt;
  TIFFGetFieldDefaulted(h.tif, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(h.tif, TIFFTAG_SAMPLEFORMAT, &format);
  TIFFGetFieldDefaulted(h.tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
  TIFFGetFieldDefaulted(h.tif, TIFFTAG_PLANARCONFIG, &planar);
  TIFFGetFieldDefaulted(h.tif, TIFFTAG_PREDICTOR, &predictor);
  TIFFGetField(h.tif, TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetField(h.tif, TIFFTAG_IMAGELENGTH, &height);
  if (!lossless_codec(compression)) return std::nullopt;
  if (photometric != PHOTOMETRIC_MINISBLACK && photometric != PHOTOMETRIC_RGB && photometric != PHOTOMETRIC_PALETTE)
    return std::nullopt;
  if (bits != 8 * itemsize(type.dtype) || spp != bands) return std::nullopt;
  const bool is_float = type.dtype == DType::Float32 || type.dtype == DType::Float64;
  const bool is_signed = type.dtype == DType::Int8 || type.dtype == DType::Int16 || type.dtype == DType::Int32 ||
                         type.dtype == DType::Int64;
  const std::uint16_t want = is_float ? SAMPLEFORMAT_IEEEFP : is_signed ? SAMPLEFORMAT_INT : SAMPLEFORMAT_UINT;
  // An 8-bit file marked signed only by GDAL's PIXELTYPE has the same bytes.
  if (format != want && !(bits == 8 && format == SAMPLEFORMAT_UINT && type.dtype == DType::Int8)) return std::nullopt;

  Grid g;
  g.width = static_cast<int>(width);
  g.height = static_cast<int>(height);
  g.tiled = TIFFIsTiled(h.tif) != 0;
  if (g.tiled) {
    std::uint32_t tw = 0, th = 0;
    TIFFGetField(h.tif, TIFFTAG_TILEWIDTH, &tw);
    TIFFGetField(h.tif, TIFFTAG_TILELENGTH, &th);
    g.bw = static_cast<int>(tw);
    g.bh = static_cast<int>(th);
  } else {
    std::uint32_t rows = 0;
    TIFFGetFieldDefaulted(h.tif, TIFFTAG_ROWSPERSTRIP, &rows);
    g.bw = static_cast<int>(width);
    g.bh = static_cast<int>(std::min<std::uint32_t>(rows, std::max<std::uint32_t>(height, 1)));
  }
  if (g.bw <= 0 || g.bh <= 0) return std::nullopt;
  g.nx = (g.width + g.bw - 1) / g.bw;
  g.ny = (g.height + g.bh - 1) / g.bh;
  contig = planar == PLANARCONFIG_CONTIG && spp > 1;
  direct_deflate = (compression == COMPRESSION_ADOBE_DEFLATE || compression == COMPRESSION_DEFLATE) &&
                   predictor == PREDICTOR_NONE && !TIFFIsByteSwapped(h.tif);
  return g;
}
#endif

// The IFD a GDAL name opens: "GTIFF_DIR:<n>:<file>" is IFD n - 1, a plain
// file name IFD 0.
int ifd_of(const std::string& open_name) {
  if (!open_name.starts_with("GTIFF_DIR:")) return 0;
  int n = 0;
  const char* p = open_name.c_str() + 10;
  const auto [end, ec] = std::from_chars(p, open_name.c_str() + open_name.size(), n);
  if (ec != std::errc() || *end != ':' || n < 1) return -1;
  return n - 1;
}

// ---------------------------------------------------------------- deferred

struct Part {
  std::string open_name;
  int bands = 0;
  int first_band = 0;           // index of its first band in the cube
  bool contig = false;          // its bands are stored together, block by block
  bool libtiff = false;         // decoded by libtiff, else by GDAL
  bool direct_deflate = false;  // libtiff's blocks are plain deflate streams we decode ourselves
  int ifd = 0;
  Grid grid;
};

// A run of blocks in one block column of one part: all its bands (contig)
// or one band.
struct Task {
  std::size_t part;
  int band;          // -1: every band of the part
  int bx, by0, by1;  // block column, block rows [by0, by1)
};

// What one worker keeps between tasks.
struct Worker {
  std::vector<libs::gdal::Dataset> datasets;  // per part
#ifdef VEXIL_HAVE_LIBTIFF
  std::vector<TiffHandle> tiffs;  // per part
#endif
  std::vector<std::byte> block;
  // Deflate blocks decoded here: compressed bytes read, rows decoded.
  std::vector<std::uint8_t> input, rows;
  core::Inflater inflater;
};

// Copies `rows` rows of `cols` pixels of `bands` samples from a packed
// buffer into the strided output.
void scatter(const std::byte* src, std::int64_t src_row, std::byte* dst, const Strides& s, std::int64_t rows,
             std::int64_t cols, int bands, std::size_t item) {
  const auto sz = static_cast<std::int64_t>(item);
  if (s[0] == sz && rows > 1) {
    // Rows fastest, as the MAT-file stores them: each column's rows x bands
    // (or the block's rows x columns, for one band) turned over in tiles.
    if (bands == 1) return core::transpose(src, src_row, rows, cols, item, dst, s[1]);
    for (std::int64_t x = 0; x < cols; ++x)
      core::transpose(src + x * bands * sz, src_row, rows, bands, item, dst + x * s[1], s[2]);
    return;
  }
  const bool packed = s[1] == sz * bands && (bands == 1 || s[2] == sz);
  for (std::int64_t y = 0; y < rows; ++y) {
    const std::byte* in = src + y * src_row;
    std::byte* out = dst + y * s[0];
    if (packed) {
      std::memcpy(out, in, static_cast<std::size_t>(cols) * bands * item);
      continue;
    }
    for (std::int64_t x = 0; x < cols; ++x)
      for (int b = 0; b < bands; ++b)
        std::memcpy(out + x * s[1] + b * s[2], in + (x * bands + b) * static_cast<std::int64_t>(item), item);
  }
}

class BlockSource final : public PixelSource {
 public:
  BlockSource(std::string path, std::vector<Part> parts, libs::gdal::BandType type, int bands)
      : path_(std::move(path)), parts_(std::move(parts)), type_(type), bands_(bands) {}

  NDArray read(std::int64_t y0, std::int64_t y1, std::int64_t x0, std::int64_t x1,
               const ReadControl& control) const override {
    return read_range(y0, y1, x0, x1, 0, bands_, control);
  }

  // Band-interleaved files decode each band's blocks on their own.
  std::int64_t band_step() const override {
    const bool separate = std::none_of(parts_.begin(), parts_.end(), [](const Part& p) { return p.contig; });
    return separate && !large_strips() ? 1 : 0;
  }

  NDArray read_bands(std::int64_t y0, std::int64_t y1, std::int64_t x0, std::int64_t x1, std::int64_t b0,
                     std::int64_t b1, const ReadControl& control, std::byte* into) const override {
    return read_range(y0, y1, x0, x1, b0, b1, control, into);
  }

 private:
  NDArray read_range(std::int64_t y0, std::int64_t y1, std::int64_t x0, std::int64_t x1, std::int64_t b0,
                     std::int64_t b1, const ReadControl& control, std::byte* into = nullptr) const {
    const std::int64_t h = y1 - y0, w = x1 - x0, nb = b1 - b0;
    // Decoded straight into the order a MAT-file stores (rows fastest, then
    // columns, then bands): the writer then copies runs instead of
    // transposing a cube it would read from memory again. Rows get there
    // through a buffer; strips too large for one keep the stored order,
    // where a whole strip lands in place.
    const std::size_t item = itemsize(type_.dtype);
    NDArray out = into ? NDArray::view(type_.dtype, {nb, w, h}, NDArray::c_strides({nb, w, h}, item), into, nullptr)
                             .transpose({2, 1, 0})
                  : !large_strips() ? NDArray::allocate(type_.dtype, {nb, w, h}).transpose({2, 1, 0})
                  : pixel_order()   ? NDArray::allocate(type_.dtype, {h, w, nb})
                                    : NDArray::allocate(type_.dtype, {nb, h, w}).transpose({1, 2, 0});
    if (h == 0 || w == 0 || nb == 0) return out;

    const std::vector<Task> tasks = plan(y0, y1, x0, x1, b0, b1);
    const std::uint64_t total = out.nbytes();
    std::atomic<std::uint64_t> done{0};
    core::WorkerPool pool(core::resolve_workers(control.threads));
    // Handles are per worker: neither GDAL nor libtiff handles may be shared
    // by threads. They are kept for the next read: a cube streamed a few
    // bands at a time would otherwise open its file for every read.
    Workers workers(this, nb < bands_);
    take_workers(workers, static_cast<std::size_t>(pool.workers()));
    const Window win{y0, y1, x0, x1, b0, out.mutable_data(), out.strides()};

    pool.for_each(tasks.size(), [&](std::size_t i, int worker) {
      if (control.cancel && control.cancel->load(std::memory_order_relaxed)) throw CancelledError();
      const std::uint64_t moved = run(tasks[i], win, *workers.list[static_cast<std::size_t>(worker)]);
      const std::uint64_t now = done.fetch_add(moved) + moved;
      // Progress goes out from the calling thread only: reporters need not be thread-safe.
      if (worker == 0 && control.progress) control.progress(now, total);
    });
    if (control.progress) control.progress(total, total);
    return out;
  }

  // Workers lent to one read. A read of a few bands gives them back for the
  // next; a whole read, done once, lets them go with their buffers.
  struct Workers {
    const BlockSource* owner;
    bool keep;
    std::vector<std::unique_ptr<Worker>> list;
    Workers(const BlockSource* o, bool k) : owner(o), keep(k) {}
    Workers(const Workers&) = delete;
    ~Workers() {
      if (!keep) return;
      std::lock_guard lock(owner->idle_mu_);
      for (auto& w : list) owner->idle_.push_back(std::move(w));
    }
  };

  void take_workers(Workers& w, std::size_t n) const {
    {
      std::lock_guard lock(idle_mu_);
      while (w.list.size() < n && !idle_.empty()) {
        w.list.push_back(std::move(idle_.back()));
        idle_.pop_back();
      }
    }
    while (w.list.size() < n) {
      auto wk = std::make_unique<Worker>();
      wk->datasets.resize(parts_.size());
#ifdef VEXIL_HAVE_LIBTIFF
      wk->tiffs.resize(parts_.size());
#endif
      w.list.push_back(std::move(wk));
    }
  }

  struct Window {
    std::int64_t y0, y1, x0, x1;
    std::int64_t b0;  // cube band at the window's band 0
    std::byte* base;
    Strides strides;
  };

  // Reads one task's blocks into the window; returns the bytes placed.
  std::uint64_t run(const Task& t, const Window& win, Worker& wk) const {
    const Part& part = parts_[t.part];
    const Grid& g = part.grid;
    const std::size_t item = itemsize(type_.dtype);
    const std::int64_t ty0 = std::max<std::int64_t>(win.y0, static_cast<std::int64_t>(t.by0) * g.bh);
    const std::int64_t ty1 = std::min<std::int64_t>(win.y1, static_cast<std::int64_t>(t.by1) * g.bh);
    const std::int64_t tx0 = std::max<std::int64_t>(win.x0, static_cast<std::int64_t>(t.bx) * g.bw);
    const std::int64_t tx1 = std::min<std::int64_t>(win.x1, static_cast<std::int64_t>(t.bx + 1) * g.bw);
    const int first = t.band < 0 ? 0 : t.band;
    const int count = t.band < 0 ? part.bands : 1;
    std::byte* dst = win.base + (ty0 - win.y0) * win.strides[0] + (tx0 - win.x0) * win.strides[1] +
                     (part.first_band + first - win.b0) * win.strides[2];
    g_blocks_read.fetch_add(static_cast<std::uint64_t>(t.by1 - t.by0));
#ifdef VEXIL_HAVE_LIBTIFF
    if (part.libtiff) {
      TiffHandle& th = wk.tiffs[t.part];
      if (!th.tif) {
        th = open_tiff(path_, part.ifd);
        if (!th.tif) fail(th.messages->last_error);
      }
      const std::int64_t pixel = static_cast<std::int64_t>(item) * count;
      const std::int64_t block_row = static_cast<std::int64_t>(g.bw) * pixel;
      const bool tiled = g.tiled;
      // A strip whose rows the window holds whole, full width, lands in
      // place: no scratch copy (a file stored as one strip would need a
      // cube-sized one).
      const bool packed_rows =
          !tiled && tx0 == 0 && tx1 == g.width && win.strides[0] == block_row &&
          (count == 1 || (win.strides[1] == pixel && win.strides[2] == static_cast<std::int64_t>(item)));
      const std::int64_t col_offset = (tx0 - static_cast<std::int64_t>(t.bx) * g.bw) * pixel;
      const auto sample = static_cast<std::uint16_t>(t.band < 0 ? 0 : t.band);
      // Copies image rows [a, b) into the window from decoded block rows
      // whose first is image row `first` and lies at `src`.
      const RowPlacer place = [&](const std::byte* src, std::int64_t first, std::int64_t a, std::int64_t b) {
        scatter(src + (a - first) * block_row + col_offset, block_row, dst + (a - ty0) * win.strides[0], win.strides,
                b - a, tx1 - tx0, count, item);
      };
      for (int by = t.by0; by < t.by1; ++by) {
        BlockRows blk;
        blk.row0 = static_cast<std::int64_t>(by) * g.bh;
        blk.r0 = std::max(ty0, blk.row0);
        blk.r1 = std::min(ty1, blk.row0 + g.bh);
        blk.stream_rows = tiled ? g.bh : std::min<std::int64_t>(g.bh, g.height - blk.row0);
        blk.block_row = block_row;
        blk.strile = tiled ? TIFFComputeTile(th.tif, static_cast<std::uint32_t>(t.bx) * g.bw,
                                             static_cast<std::uint32_t>(blk.row0), 0, sample)
                           : TIFFComputeStrip(th.tif, static_cast<std::uint32_t>(blk.row0), sample);
        // Anything our decoder refuses goes to libtiff, which names the fault.
        if (part.direct_deflate && inflate_block(blk, th, wk, place)) continue;
        const std::int64_t rows = blk.r1 - blk.row0;
        if (!tiled && packed_rows && blk.r0 == blk.row0 && rows == blk.stream_rows) {
          const tmsize_t got = TIFFReadEncodedStrip(th.tif, blk.strile, dst + (blk.r0 - ty0) * win.strides[0],
                                                    static_cast<tmsize_t>(rows * block_row));
          if (got < rows * block_row)
            fail(th.messages->last_error.empty() ? std::string("a strip could not be decoded")
                                                 : th.messages->last_error);
          continue;
        }
        // Only the rows the window needs: libtiff stops decoding there, and a
        // block taller than its image reserves no more than the image holds.
        wk.block.resize(static_cast<std::size_t>(block_row * rows));
        const auto size = static_cast<tmsize_t>(wk.block.size());
        const tmsize_t got = tiled ? TIFFReadEncodedTile(th.tif, blk.strile, wk.block.data(), size)
                                   : TIFFReadEncodedStrip(th.tif, blk.strile, wk.block.data(), size);
        if (got < rows * block_row)
          fail(th.messages->last_error.empty() ? std::string("a block could not be decoded") : th.messages->last_error);
        place(wk.block.data(), blk.row0, blk.r0, blk.r1);
      }
      return static_cast<std::uint64_t>(tx1 - tx0) * (ty1 - ty0) * count * item;
    }
#endif
    libs::gdal::Dataset& ds = wk.datasets[t.part];
    if (!ds) ds = libs::gdal::open_raster(part.open_name);
    const GDALDatasetH hds = libs::gdal::handle(ds);
    const int tw = static_cast<int>(tx1 - tx0), th = static_cast<int>(ty1 - ty0);
    std::vector<int> band_map(static_cast<std::size_t>(count));
    for (int k = 0; k < count; ++k) band_map[static_cast<std::size_t>(k)] = first + k + 1;
    libs::gdal::ErrorCapture errors;
    const CPLErr err = GDALDatasetRasterIOEx(hds, GF_Read, static_cast<int>(tx0), static_cast<int>(ty0), tw, th, dst,
                                             tw, th, type_.buffer_type, count, band_map.data(), win.strides[1],
                                             win.strides[0], win.strides[2], nullptr);
    // The blocks were copied out: keeping them cached would only hold memory.
    GDALFlushCache(hds);
    // A decoder that reports a failure but carries on has still lost pixels.
    if (err != CE_None || errors.failed()) fail(errors.message("reading failed"));
    return static_cast<std::uint64_t>(tw) * th * count * item;
  }

#ifdef VEXIL_HAVE_LIBTIFF
  // One block of a task: libtiff's tile or strip number, its first image
  // row, the image rows [r0, r1) the window takes from it, the rows its data
  // holds and the bytes of one of them.
  struct BlockRows {
    std::uint32_t strile = 0;
    std::int64_t row0 = 0, r0 = 0, r1 = 0, stream_rows = 0, block_row = 0;
  };
  using RowPlacer = std::function<void(const std::byte* src, std::int64_t first, std::int64_t a, std::int64_t b)>;

  // Decodes a block that is a deflate stream without predictor from the
  // file, a few rows at a time, handing the rows to `place`. libtiff would
  // hold the whole block twice, compressed and decoded: for a 256 x 256 tile
  // of 200 bands, 45 MB per worker. False when the stream is not valid or
  // cannot be read; rows already placed are then written again.
  bool inflate_block(const BlockRows& blk, TiffHandle& th, Worker& wk, const RowPlacer& place) const {
    constexpr std::size_t kPiece = std::size_t{256} << 10;
    const std::int64_t block_row = blk.block_row;
    const std::uint64_t offset = TIFFGetStrileOffset(th.tif, blk.strile);
    const std::uint64_t size = TIFFGetStrileByteCount(th.tif, blk.strile);
    const int fd = TIFFFileno(th.tif);
    if (size == 0 || fd < 0 || block_row <= 0) return false;

    // Rows go out in batches of about 2 MiB (one row at least), enough rows
    // to be turned over in tiles rather than one element at a time. A whole
    // number of 64-byte lines of each output column per batch: a line
    // filled in two batches is fetched from memory twice.
    constexpr std::int64_t kBatchBytes = std::int64_t{2} << 20;
    const std::int64_t line_rows = 64 / static_cast<std::int64_t>(itemsize(type_.dtype));
    std::int64_t batch = kBatchBytes / block_row;
    if (batch >= line_rows / 2) batch = std::max(line_rows, batch - batch % line_rows);
    batch = std::clamp<std::int64_t>(batch, 1, std::max<std::int64_t>(1, blk.stream_rows));
    wk.rows.resize(static_cast<std::size_t>(batch * block_row));
    wk.input.resize(kPiece);
    wk.inflater.reset();
    std::uint64_t read = 0;
    std::size_t in_at = 0, in_have = 0;
    bool ended = false;
    // Decodes into out[0, len) until it is full or the stream ends; `made`
    // says how far it got. False when the data cannot be read or decoded.
    auto pull = [&](std::uint8_t* out, std::size_t len, std::size_t& made) {
      made = 0;
      while (made < len && !ended) {
        if (in_at == in_have) {
          if (read == size) return false;
          const ssize_t got = ::pread(fd, wk.input.data(), std::min<std::uint64_t>(kPiece, size - read),
                                      static_cast<off_t>(offset + read));
          if (got <= 0) return false;
          read += static_cast<std::uint64_t>(got);
          in_at = 0;
          in_have = static_cast<std::size_t>(got);
        }
        std::size_t used = 0, got = 0;
        const auto st = wk.inflater.decode(wk.input.data() + in_at, in_have - in_at, used, out + made, len - made, got);
        in_at += used;
        made += got;
        if (st == core::Inflater::Status::Error) return false;
        ended = st == core::Inflater::Status::End;
        if (!ended && used == 0 && got == 0 && in_at < in_have) return false;
      }
      return true;
    };
    for (std::int64_t row = blk.row0; row < blk.r1;) {
      const std::int64_t n = std::min(batch, blk.r1 - row);
      const auto want = static_cast<std::size_t>(n * block_row);
      std::size_t made = 0;
      if (!pull(wk.rows.data(), want, made) || made < want) return false;
      if (const std::int64_t a = std::max(row, blk.r0); a < row + n)
        place(reinterpret_cast<const std::byte*>(wk.rows.data()), row, a, row + n);
      row += n;
    }
    // A block read to its last row is read to its end too, so the stream's
    // checksum is checked: damage inside a stored block decodes without error.
    if (blk.r1 - blk.row0 == blk.stream_rows && !ended) {
      std::uint8_t extra = 0;
      std::size_t made = 0;
      if (!pull(&extra, 1, made) || made != 0 || !ended) return false;
    }
    return true;
  }
#endif

  // Strips that libtiff decodes whole, each larger than a buffer of rows
  // should be (a file stored as a few strips).
  bool large_strips() const {
    constexpr std::uint64_t kLargeStrip = std::uint64_t{16} << 20;
    const auto item = static_cast<std::uint64_t>(itemsize(type_.dtype));
    return std::any_of(parts_.begin(), parts_.end(), [&](const Part& p) {
      const std::uint64_t samples = p.contig ? static_cast<std::uint64_t>(p.bands) : 1;
      return p.libtiff && !p.direct_deflate && !p.grid.tiled &&
             static_cast<std::uint64_t>(p.grid.bw) * static_cast<std::uint64_t>(p.grid.bh) * samples * item >
                 kLargeStrip;
    });
  }
  bool pixel_order() const { return parts_.size() == 1 && parts_[0].contig; }

  [[noreturn]] void fail(std::string msg) const {
    if (msg.find(path_) == std::string::npos) msg = fmt::format("{}: {}", path_, msg);
    throw ReadError(fmt::format("Read or write failed. {}", msg));
  }

  // The block runs that cover the window and bands [b0, b1), a few block
  // rows each so that one task moves about a megabyte.
  std::vector<Task> plan(std::int64_t y0, std::int64_t y1, std::int64_t x0, std::int64_t x1, std::int64_t b0,
                         std::int64_t b1) const {
    std::vector<Task> tasks;
    const std::size_t item = itemsize(type_.dtype);
    for (std::size_t p = 0; p < parts_.size(); ++p) {
      const Part& part = parts_[p];
      // Bands stored together are read together: such a part only whole.
      const std::int64_t first = part.first_band, end = first + part.bands;
      if (part.contig ? first < b0 || end > b1 : end <= b0 || first >= b1) continue;
      const Grid& g = part.grid;
      const int by_first = static_cast<int>(y0 / g.bh), by_last = static_cast<int>((y1 - 1) / g.bh);
      const int bx_first = static_cast<int>(x0 / g.bw), bx_last = static_cast<int>((x1 - 1) / g.bw);
      const std::uint64_t block_bytes = static_cast<std::uint64_t>(g.bw) * g.bh * item * (part.contig ? part.bands : 1);
      const int group = static_cast<int>(
          std::clamp<std::uint64_t>((std::uint64_t{1} << 20) / std::max<std::uint64_t>(block_bytes, 1), 1, 1 << 16));
      const int band_tasks = part.contig ? 1 : part.bands;
      for (int b = 0; b < band_tasks; ++b) {
        if (!part.contig && (first + b < b0 || first + b >= b1)) continue;
        for (int bx = bx_first; bx <= bx_last; ++bx)
          for (int by = by_first; by <= by_last; by += group)
            tasks.push_back({p, part.contig ? -1 : b, bx, by, std::min(by + group, by_last + 1)});
      }
    }
    return tasks;
  }

  std::string path_;
  std::vector<Part> parts_;
  libs::gdal::BandType type_;
  int bands_;
  mutable std::mutex idle_mu_;
  mutable std::vector<std::unique_ptr<Worker>> idle_;
};

// GDAL decodes a block whole into its block cache: one far larger than its
// image, and than a quarter of this machine's memory, would reserve
// gigabytes for a file of a few bytes (65535 x 65535 tiles over a 19 x 17
// image). libtiff's own path decodes only the rows a window needs.
void check_block_size(const std::string& path, const Part& p, const libs::gdal::BandType& type) {
  const Grid& g = p.grid;
  const auto item = static_cast<std::uint64_t>(itemsize(type.dtype));
  const std::uint64_t samples = p.contig ? static_cast<std::uint64_t>(p.bands) : 1;
  const std::uint64_t block = static_cast<std::uint64_t>(g.bw) * static_cast<std::uint64_t>(g.bh) * samples * item;
  const std::uint64_t image =
      static_cast<std::uint64_t>(g.width) * static_cast<std::uint64_t>(g.height) * samples * item;
  if (block / 4 > image && block > core::physical_memory() / 4)
    throw BadInputError(fmt::format("'{}': its blocks of {} x {} pixels are far larger than the {} x {} image", path,
                                    g.bw, g.bh, g.width, g.height));
}

}  // namespace

std::uint64_t blocks_read_for_testing() { return g_blocks_read.load(); }

NDArray tiff_cube(const std::string& path, GDALDatasetH first, const std::vector<RasterPart>& parts,
                  const libs::gdal::BandType& type) {
  int bands = 0;
  for (const auto& p : parts) bands += p.bands;
  libs::gdal::check_raster_size(first, static_cast<std::size_t>(bands), type, path);

  const Grid grid = grid_of(first);
  const bool gtiff = is_gtiff(first);
  const std::uint64_t file_size = file_size_of(path);
  if (parts.size() == 1 && gtiff) {
    const Runs runs = scan_blocks(first, path, grid, file_size);
    if (auto view = map_raster(path, first, grid, runs, type)) return *view;
  }

  std::vector<Part> deferred_parts;
  int next_band = 0;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    Part p;
    p.open_name = parts[i].open_name;
    p.bands = parts[i].bands;
    p.first_band = next_band;
    p.ifd = ifd_of(p.open_name);
    next_band += p.bands;
    libs::gdal::Dataset page;
    GDALDatasetH h = first;
    if (i > 0) {
      page = libs::gdal::open_raster(p.open_name);
      h = libs::gdal::handle(page);
      if (is_gtiff(h)) scan_blocks(h, path, grid_of(h), file_size);
    }
    p.grid = grid_of(h);
    p.contig = pixel_interleaved(h);
#ifdef VEXIL_HAVE_LIBTIFF
    if (is_gtiff(h) && p.ifd >= 0) {
      bool contig = false, direct = false;
      if (const auto g = libtiff_grid(path, p.ifd, p.bands, type, contig, direct)) {
        p.grid = *g;
        p.contig = contig;
        p.libtiff = true;
        p.direct_deflate = direct;
      }
    }
#endif
    check_block_size(path, p, type);
    deferred_parts.push_back(std::move(p));
  }
  auto source = std::make_shared<BlockSource>(path, std::move(deferred_parts), type, bands);
  return NDArray::deferred(type.dtype, {grid.height, grid.width, bands}, std::move(source));
}

}  // namespace vexil::formats::tiff
