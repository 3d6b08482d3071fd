#include "formats/tiff/tiff_pixels.hpp"

#ifdef VEXIL_HAVE_GDAL
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>

#include <fmt/format.h>

#include "vexil/errors.hpp"

namespace vexil::formats::tiff {
namespace {

std::atomic<std::uint64_t> g_blocks_read{0};

// ---------------------------------------------------------------- threads

// Runs fn(i, worker) for i in [0, n) on `threads` threads, the calling one
// being worker 0. The first exception stops items not yet begun and is
// rethrown once every thread has finished.
void parallel_for(std::size_t n, int threads, const std::function<void(std::size_t, int)>& fn) {
  const int workers = static_cast<int>(std::clamp<std::size_t>(n, 1, static_cast<std::size_t>(std::max(threads, 1))));
  std::atomic<std::size_t> next{0};
  std::atomic<bool> stop{false};
  std::exception_ptr first;
  std::mutex mu;
  auto work = [&](int worker) {
    for (;;) {
      if (stop.load(std::memory_order_relaxed)) return;
      const std::size_t i = next.fetch_add(1);
      if (i >= n) return;
      try {
        fn(i, worker);
      } catch (...) {
        std::lock_guard lock(mu);
        if (!first) first = std::current_exception();
        stop = true;
        return;
      }
    }
  };
  std::vector<std::thread> pool;
  for (int w = 1; w < workers; ++w) {
    try {
      pool.emplace_back(work, w);
    } catch (const std::system_error&) {
      break;  // fewer threads: the caller still does the work
    }
  }
  work(0);
  for (auto& t : pool) t.join();
  if (first) std::rethrow_exception(first);
}

// ---------------------------------------------------------------- layout

struct Grid {
  int width = 0, height = 0;
  int bw = 0, bh = 0;  // block size
  int nx = 0, ny = 0;  // blocks across and down
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
          throw ReadError(fmt::format("'{}' is truncated or corrupt: its image data runs to byte {}, past the end "
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

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

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
      if (static_cast<std::int64_t>(runs.plane_start[p] - runs.plane_start[p - 1]) != band_stride)
        return std::nullopt;
  }
  const std::uint64_t low = *std::min_element(runs.plane_start.begin(), runs.plane_start.end());
  const std::uint64_t high = *std::max_element(runs.plane_start.begin(), runs.plane_start.end()) +
                             static_cast<std::uint64_t>(g.height - 1) * row_stride +
                             static_cast<std::uint64_t>(g.width) * pixel_bytes;

  Fd f;
  f.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (f.fd < 0) return std::nullopt;
  struct stat st {};
  if (::fstat(f.fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<std::uint64_t>(st.st_size) < high)
    return std::nullopt;
  const auto page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
  const std::uint64_t map_start = low / page * page;
  const std::size_t map_len = static_cast<std::size_t>(high - map_start);
  void* m = ::mmap(nullptr, map_len, PROT_READ, MAP_PRIVATE, f.fd, static_cast<off_t>(map_start));
  if (m == MAP_FAILED) return std::nullopt;
  std::shared_ptr<void> mapping(m, [map_len](void* p) { ::munmap(p, map_len); });
  auto* first = static_cast<std::byte*>(m) + (runs.plane_start[0] - map_start);
  const Strides strides = contig ? Strides{row_stride, pixel_bytes, static_cast<std::int64_t>(item)}
                                 : Strides{row_stride, static_cast<std::int64_t>(item), band_stride};
  NDArray view = NDArray::view(type.dtype, {g.height, g.width, bands}, strides, first, std::move(mapping));
  // The first and last rows must read as GDAL decodes them, or the layout
  // was not understood and GDAL reads the file instead.
  const bool same = row_matches(ds, view, 0, type) && row_matches(ds, view, g.height - 1, type);
  GDALFlushCache(ds);
  if (!same) return std::nullopt;
  ::madvise(m, map_len, MADV_SEQUENTIAL);
  return view;
}

// ---------------------------------------------------------------- deferred

struct Part {
  std::string open_name;
  int bands = 0;
  int first_band = 0;  // index of its first band in the cube
  bool contig = false;  // its bands are read together, block by block
  Grid grid;
};

// One RasterIO call: a block rectangle of one part, either all its bands
// (contig) or one band.
struct Task {
  std::size_t part;
  int band;  // -1: every band of the part
  int bx, by0, by1;  // block column, block rows [by0, by1)
};

class BlockSource final : public PixelSource {
 public:
  BlockSource(std::string path, std::vector<Part> parts, libs::gdal::BandType type, int bands, bool bip)
      : path_(std::move(path)), parts_(std::move(parts)), type_(type), bands_(bands), bip_(bip) {}

  NDArray read(std::int64_t y0, std::int64_t y1, std::int64_t x0, std::int64_t x1,
               const ReadControl& control) const override {
    const std::int64_t h = y1 - y0, w = x1 - x0;
    const std::size_t item = itemsize(type_.dtype);
    NDArray out = bip_ ? NDArray::allocate(type_.dtype, {h, w, bands_})
                       : NDArray::allocate(type_.dtype, {bands_, h, w}).transpose({1, 2, 0});
    if (h == 0 || w == 0 || bands_ == 0) return out;

    const std::vector<Task> tasks = plan(y0, y1, x0, x1);
    const std::uint64_t total = out.nbytes();
    std::atomic<std::uint64_t> done{0};
    const int threads = control.threads > 0 ? control.threads
                                            : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    // One dataset per worker and part: GDAL handles are not shared by threads.
    std::vector<std::vector<libs::gdal::Dataset>> handles(static_cast<std::size_t>(std::max(threads, 1)));
    for (auto& row : handles) row.resize(parts_.size());
    std::byte* base = out.mutable_data();
    const Strides strides = out.strides();

    parallel_for(tasks.size(), threads, [&](std::size_t i, int worker) {
      if (control.cancel && control.cancel->load(std::memory_order_relaxed)) throw CancelledError();
      const Task& t = tasks[i];
      const Part& part = parts_[t.part];
      libs::gdal::Dataset& ds = handles[static_cast<std::size_t>(worker)][t.part];
      if (!ds) ds = libs::gdal::open_raster(part.open_name);
      const GDALDatasetH hds = libs::gdal::handle(ds);
      const Grid& g = part.grid;
      const std::int64_t ty0 = std::max<std::int64_t>(y0, static_cast<std::int64_t>(t.by0) * g.bh);
      const std::int64_t ty1 = std::min<std::int64_t>(y1, static_cast<std::int64_t>(t.by1) * g.bh);
      const std::int64_t tx0 = std::max<std::int64_t>(x0, static_cast<std::int64_t>(t.bx) * g.bw);
      const std::int64_t tx1 = std::min<std::int64_t>(x1, static_cast<std::int64_t>(t.bx + 1) * g.bw);
      const int tw = static_cast<int>(tx1 - tx0), th = static_cast<int>(ty1 - ty0);
      const int first = t.band < 0 ? 0 : t.band;
      const int count = t.band < 0 ? part.bands : 1;
      std::byte* dst = base + (ty0 - y0) * strides[0] + (tx0 - x0) * strides[1] +
                       static_cast<std::int64_t>(part.first_band + first) * strides[2];
      std::vector<int> band_map(static_cast<std::size_t>(count));
      for (int k = 0; k < count; ++k) band_map[static_cast<std::size_t>(k)] = first + k + 1;

      libs::gdal::ErrorCapture errors;
      const CPLErr err =
          GDALDatasetRasterIOEx(hds, GF_Read, static_cast<int>(tx0), static_cast<int>(ty0), tw, th, dst, tw, th,
                                type_.buffer_type, count, band_map.data(), strides[1], strides[0], strides[2], nullptr);
      // The blocks were copied out: keeping them cached would only hold memory.
      GDALFlushCache(hds);
      g_blocks_read.fetch_add(static_cast<std::uint64_t>(t.by1 - t.by0));
      // A decoder that reports a failure but carries on has still lost pixels.
      if (err != CE_None || errors.failed()) {
        std::string msg = errors.message("reading failed");
        if (msg.find(path_) == std::string::npos) msg = fmt::format("{}: {}", path_, msg);
        throw ReadError(fmt::format("Read or write failed. {}", msg));
      }
      const std::uint64_t now =
          done.fetch_add(static_cast<std::uint64_t>(tw) * th * count * item) + static_cast<std::uint64_t>(tw) * th * count * item;
      // Progress goes out from the calling thread only: reporters need not be thread-safe.
      if (worker == 0 && control.progress) control.progress(now, total);
    });
    if (control.progress) control.progress(total, total);
    return out;
  }

 private:
  // The block rectangles that cover the window, a few block rows each so
  // that one call moves about a megabyte.
  std::vector<Task> plan(std::int64_t y0, std::int64_t y1, std::int64_t x0, std::int64_t x1) const {
    std::vector<Task> tasks;
    const std::size_t item = itemsize(type_.dtype);
    for (std::size_t p = 0; p < parts_.size(); ++p) {
      const Part& part = parts_[p];
      const Grid& g = part.grid;
      const int by_first = static_cast<int>(y0 / g.bh), by_last = static_cast<int>((y1 - 1) / g.bh);
      const int bx_first = static_cast<int>(x0 / g.bw), bx_last = static_cast<int>((x1 - 1) / g.bw);
      const std::uint64_t row_bytes = static_cast<std::uint64_t>(std::min<std::int64_t>(g.bw, x1 - x0)) *
                                      g.bh * item * (part.contig ? part.bands : 1);
      const int group = static_cast<int>(std::clamp<std::uint64_t>((std::uint64_t{1} << 20) / std::max<std::uint64_t>(row_bytes, 1), 1, 1 << 16));
      const int band_tasks = part.contig ? 1 : part.bands;
      for (int b = 0; b < band_tasks; ++b)
        for (int bx = bx_first; bx <= bx_last; ++bx)
          for (int by = by_first; by <= by_last; by += group)
            tasks.push_back({p, part.contig ? -1 : b, bx, by, std::min(by + group, by_last + 1)});
    }
    return tasks;
  }

  std::string path_;
  std::vector<Part> parts_;
  libs::gdal::BandType type_;
  int bands_;
  bool bip_;
};

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
    next_band += p.bands;
    if (i == 0) {
      p.grid = grid;
      p.contig = pixel_interleaved(first);
    } else {
      const libs::gdal::Dataset ds = libs::gdal::open_raster(p.open_name);
      const GDALDatasetH h = libs::gdal::handle(ds);
      p.grid = grid_of(h);
      p.contig = pixel_interleaved(h);
      if (is_gtiff(h)) scan_blocks(h, path, p.grid, file_size);
    }
    deferred_parts.push_back(std::move(p));
  }
  const bool bip = deferred_parts.size() == 1 && deferred_parts[0].contig;
  auto source = std::make_shared<BlockSource>(path, std::move(deferred_parts), type, bands, bip);
  return NDArray::deferred(type.dtype, {grid.height, grid.width, bands}, std::move(source));
}

}  // namespace vexil::formats::tiff
#endif
