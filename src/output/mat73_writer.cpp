#include "output/mat73_writer.hpp"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <memory>

#include <fmt/format.h>

#include "vexil/errors.hpp"
#include "output/atomic_file.hpp"
#include "output/column_gather.hpp"

#ifdef VEXIL_HAVE_HDF5
#include "libs/hdf5_handles.hpp"
#endif

namespace vexil::output {
namespace {

constexpr std::size_t kUserBlockBytes = 512;
constexpr std::size_t kDefaultChunkBytes = std::size_t{4} << 20;
// HDF5 stores a chunk's compressed size in 32 bits; stay far below that.
constexpr std::size_t kMaxChunkBytes = std::size_t{256} << 20;
// Band planes smaller than this are grouped into one chunk. Kept at HDF5's
// default chunk cache size, so a reader going band by band inflates each
// grouped chunk once rather than once per band.
constexpr std::size_t kGroupBytes = std::size_t{1} << 20;

// The array as MATLAB sees it: at least two dimensions; the unit axes
// MATLAB adds have stride 0.
struct MatlabLayout {
  std::vector<std::int64_t> dims;
  std::vector<std::int64_t> strides;
};

MatlabLayout matlab_layout(const NDArray& a) {
  MatlabLayout m;
  if (a.ndim() == 0) {
    m.dims = {1, 1};
    m.strides = {0, 0};
  } else if (a.ndim() == 1) {
    // A 1-d array is a row; an empty one is 0x0, as the Level 5 writer has it.
    m.dims = a.shape()[0] == 0 ? std::vector<std::int64_t>{0, 0} : std::vector<std::int64_t>{1, a.shape()[0]};
    m.strides = {0, a.strides()[0]};
  } else {
    m.dims = a.shape();
    m.strides = a.strides();
  }
  return m;
}

std::size_t resolve_chunk_cap(const Mat73Options& o) {
  const std::size_t cap = o.chunk_bytes == 0 ? kDefaultChunkBytes : o.chunk_bytes;
  return std::min(cap, kMaxChunkBytes);
}

// Chunk extents for dataset dims in HDF5 (reversed) order. The last two axes
// are one band plane (MATLAB's rows and columns): a chunk holds a whole plane
// when it fits, else an even split of it; planes are grouped along the next
// axis only while the group stays small.
std::vector<std::uint64_t> chunk_dims_for(const std::vector<std::uint64_t>& hdims, std::size_t item, std::size_t cap) {
  const std::size_t n = hdims.size();
  std::vector<std::uint64_t> chunk(n, 1);
  std::uint64_t inner = item;
  for (std::size_t k = n; k-- > 0;) {
    const std::uint64_t limit = std::max<std::uint64_t>(item, k + 2 >= n ? cap : std::min(cap, kGroupBytes));
    const std::uint64_t d = hdims[k];
    if (d <= limit / inner) {
      chunk[k] = d;
      inner *= d;
      continue;
    }
    const std::uint64_t most = std::max<std::uint64_t>(1, limit / inner);
    const std::uint64_t pieces = (d + most - 1) / most;
    chunk[k] = (d + pieces - 1) / pieces;
    break;
  }
  return chunk;
}

// What the chunk workers need: the dataset's geometry over the source array.
struct ChunkPlan {
  int n = 0;
  std::size_t item = 0;
  bool logical = false;
  const std::byte* base = nullptr;
  std::vector<std::uint64_t> hdims;    // HDF5 order
  std::vector<std::int64_t> hstrides;  // source byte strides in HDF5 order
  std::vector<std::uint64_t> chunk;
  std::vector<std::uint64_t> grid;  // chunks per axis
  std::uint64_t nchunks = 1;
  std::size_t chunk_bytes = 0;  // uncompressed bytes of a full chunk
  // Every chunk is one run of the column-major data (whole inner axes, one
  // partial axis, single steps outside), so it can be read through the
  // shared column gatherer, which gathers pixel-interleaved cubes band group
  // by band group. It splits complex elements, so those keep the own walk.
  std::shared_ptr<const ColumnGather> columns;

  // Element coordinates of a chunk's first element.
  void start_of(std::uint64_t index, std::uint64_t* start) const {
    for (int k = n; k-- > 0;) {
      start[k] = (index % grid[k]) * chunk[k];
      index /= grid[k];
    }
  }
};

ChunkPlan make_plan(const NDArray& a, const MatlabLayout& m, const Mat73Options& o) {
  ChunkPlan p;
  p.n = static_cast<int>(m.dims.size());
  p.item = a.itemsize();
  p.logical = a.dtype() == DType::Bool;
  p.base = a.data();
  for (int k = 0; k < p.n; ++k) {
    p.hdims.push_back(static_cast<std::uint64_t>(m.dims[p.n - 1 - k]));
    p.hstrides.push_back(m.strides[p.n - 1 - k]);
  }
  p.chunk = chunk_dims_for(p.hdims, p.item, resolve_chunk_cap(o));
  p.chunk_bytes = p.item;
  for (int k = 0; k < p.n; ++k) {
    p.grid.push_back((p.hdims[k] + p.chunk[k] - 1) / p.chunk[k]);
    p.nchunks *= p.grid.back();
    p.chunk_bytes *= p.chunk[k];
  }
  return p;
}

#ifdef VEXIL_HAVE_HDF5
bool chunks_are_runs(const ChunkPlan& p) {
  int k = p.n - 1;
  while (k >= 0 && p.chunk[k] == p.hdims[k]) --k;
  for (int j = k - 1; j >= 0; --j)
    if (p.chunk[j] != 1) return false;
  return true;
}
#endif

void check_name(std::string_view name) {
  if (name.empty()) throw BadInputError("a MAT-file variable needs a name");
  if (name.find('/') != std::string_view::npos || name.find('\0') != std::string_view::npos || name == ".")
    throw BadInputError(fmt::format("'{}' cannot name a MAT-file 7.3 variable", name));
}

#ifdef VEXIL_HAVE_HDF5

using libs::hdf5::Handle;

std::string_view matlab_class(DType t) {
  switch (t) {
    case DType::Bool: return "logical";
    case DType::Int8: return "int8";
    case DType::UInt8: return "uint8";
    case DType::Int16: return "int16";
    case DType::UInt16: return "uint16";
    case DType::Int32: return "int32";
    case DType::UInt32: return "uint32";
    case DType::Int64: return "int64";
    case DType::UInt64: return "uint64";
    case DType::Float32:
    case DType::Complex64: return "single";
    case DType::Float64:
    case DType::Complex128: break;
  }
  return "double";
}

// The defaults favour speed: the arrays written here are the largest ones.
DeflateSetup resolve_setup(const Mat73Options& o) {
  DeflateSetup s = resolve_deflate(o.method, o.level, 1, 1);
  s.adaptive = false;
  return s;
}

// Copies a rows x cols plane (dst row length `dst_cols` elements). When the
// source columns are not adjacent, rows are taken in tiles so each source
// cache line read serves the whole tile.
template <std::size_t N>
void copy_plane(const std::byte* src, std::int64_t srow, std::int64_t scol, std::int64_t rows, std::int64_t cols,
                std::byte* dst, std::int64_t dst_cols) {
  const std::int64_t drow = dst_cols * static_cast<std::int64_t>(N);
  if (scol == static_cast<std::int64_t>(N)) {
    for (std::int64_t r = 0; r < rows; ++r)
      std::memcpy(dst + r * drow, src + r * srow, static_cast<std::size_t>(cols) * N);
    return;
  }
  constexpr std::int64_t kTile = 16;
  for (std::int64_t r0 = 0; r0 < rows; r0 += kTile) {
    const std::int64_t rn = std::min(kTile, rows - r0);
    const std::byte* s0 = src + r0 * srow;
    std::byte* d0 = dst + r0 * drow;
    for (std::int64_t c = 0; c < cols; ++c) {
      const std::byte* s = s0 + c * scol;
      std::byte* d = d0 + c * static_cast<std::int64_t>(N);
      for (std::int64_t r = 0; r < rn; ++r) std::memcpy(d + r * drow, s + r * srow, N);
    }
  }
}

void copy_plane_any(std::size_t item, const std::byte* src, std::int64_t srow, std::int64_t scol, std::int64_t rows,
                    std::int64_t cols, std::byte* dst, std::int64_t dst_cols) {
  switch (item) {
    case 1: return copy_plane<1>(src, srow, scol, rows, cols, dst, dst_cols);
    case 2: return copy_plane<2>(src, srow, scol, rows, cols, dst, dst_cols);
    case 4: return copy_plane<4>(src, srow, scol, rows, cols, dst, dst_cols);
    case 8: return copy_plane<8>(src, srow, scol, rows, cols, dst, dst_cols);
    default: return copy_plane<16>(src, srow, scol, rows, cols, dst, dst_cols);
  }
}

// MATLAB's logical holds 0 or 1 only, whatever byte a bool arrived as.
void normalise_logical(std::byte* data, std::size_t len) {
  auto* b = reinterpret_cast<unsigned char*>(data);
  for (std::size_t i = 0; i < len; ++i) b[i] = b[i] != 0;
}

// Fills `out` (chunk_bytes) with chunk `index` in HDF5 C order, which is the
// column-major order of the MATLAB array; the part of an edge chunk beyond
// the dataset is zero, as direct chunk writes need whole chunks. Returns the
// bytes of the array the chunk holds.
std::size_t gather_chunk(const ChunkPlan& p, std::uint64_t index, std::byte* out) {
  const int n = p.n;
  std::vector<std::uint64_t> start(n);
  std::vector<std::int64_t> ext(n);
  p.start_of(index, start.data());
  if (p.columns) {
    std::uint64_t first = 0, count = 1;
    for (int k = 0; k < n; ++k) {
      first = first * p.hdims[k] + start[k];
      count *= std::min(p.chunk[k], p.hdims[k] - start[k]);
    }
    const std::size_t len = static_cast<std::size_t>(count) * p.item;
    p.columns->read(first * p.item, len, out);
    std::memset(out + len, 0, p.chunk_bytes - len);
    if (p.logical) normalise_logical(out, len);
    return len;
  }
  bool edge = false;
  std::size_t len = p.item;
  const std::byte* src0 = p.base;
  for (int k = 0; k < n; ++k) {
    ext[k] = static_cast<std::int64_t>(std::min(p.chunk[k], p.hdims[k] - start[k]));
    edge = edge || static_cast<std::uint64_t>(ext[k]) < p.chunk[k];
    src0 += static_cast<std::int64_t>(start[k]) * p.hstrides[k];
    len *= static_cast<std::size_t>(ext[k]);
  }
  if (edge) std::memset(out, 0, p.chunk_bytes);

  // Element stride of each chunk axis inside the chunk buffer.
  std::vector<std::int64_t> dstep(n);
  std::int64_t step = 1;
  for (int k = n; k-- > 0;) {
    dstep[k] = step;
    step *= static_cast<std::int64_t>(p.chunk[k]);
  }
  const int outer = n - 2;
  std::vector<std::int64_t> idx(outer, 0);
  for (;;) {
    const std::byte* src = src0;
    std::int64_t dst = 0;
    for (int k = 0; k < outer; ++k) {
      src += idx[k] * p.hstrides[k];
      dst += idx[k] * dstep[k];
    }
    copy_plane_any(p.item, src, p.hstrides[n - 2], p.hstrides[n - 1], ext[n - 2], ext[n - 1],
                   out + dst * static_cast<std::int64_t>(p.item), static_cast<std::int64_t>(p.chunk[n - 1]));
    int k = outer - 1;
    for (; k >= 0; --k) {
      if (++idx[k] < ext[k]) break;
      idx[k] = 0;
    }
    if (k < 0) break;
  }
  if (p.logical) normalise_logical(out, p.chunk_bytes);
  return len;
}

// "Tue Dec  8 04:06:48 2026", as C's asctime writes it, in English whatever the locale.
std::string created_on(std::time_t now) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::tm tm{};
  localtime_r(&now, &tm);
  return fmt::format("{} {} {:2d} {:02d}:{:02d}:{:02d} {}", kDays[tm.tm_wday % 7], kMonths[tm.tm_mon % 12], tm.tm_mday,
                     tm.tm_hour, tm.tm_min, tm.tm_sec, tm.tm_year + 1900);
}

std::vector<unsigned char> user_block() {
  std::vector<unsigned char> block(kUserBlockBytes, 0);
  const std::string text = fmt::format("MATLAB 7.3 MAT-file, Platform: GLNXA64, Created on: {} HDF5 schema 1.00 .",
                                       created_on(std::time(nullptr)));
  std::memset(block.data(), ' ', 116);
  std::memcpy(block.data(), text.data(), std::min<std::size_t>(text.size(), 116));
  // Bytes 116..123 (subsystem data offset) stay zero; version 0x0200 and the
  // endian indicator follow as MATLAB writes them on little-endian hosts.
  block[124] = 0x00;
  block[125] = 0x02;
  block[126] = 'I';
  block[127] = 'M';
  return block;
}

[[noreturn]] void hdf5_failed(const std::string& path, std::string_view what) {
  const std::string detail = libs::hdf5::error_stack_ends().inner;
  throw WriteError(fmt::format("cannot write '{}': HDF5 could not {}{}", path, what,
                               detail.empty() ? std::string() : fmt::format(" ({})", detail)));
}

hid_t element_type(DType t) {
  switch (t) {
    case DType::Bool:
    case DType::UInt8: return H5T_NATIVE_UINT8;
    case DType::Int8: return H5T_NATIVE_INT8;
    case DType::Int16: return H5T_NATIVE_INT16;
    case DType::UInt16: return H5T_NATIVE_UINT16;
    case DType::Int32: return H5T_NATIVE_INT32;
    case DType::UInt32: return H5T_NATIVE_UINT32;
    case DType::Int64: return H5T_NATIVE_INT64;
    case DType::UInt64: return H5T_NATIVE_UINT64;
    case DType::Float32:
    case DType::Complex64: return H5T_NATIVE_FLOAT;
    case DType::Float64:
    case DType::Complex128: break;
  }
  return H5T_NATIVE_DOUBLE;
}

void add_class_attribute(hid_t obj, std::string_view cls, const std::string& path) {
  // Fixed-length ASCII of exactly the text's length, as MATLAB stores it.
  Handle type(H5Tcopy(H5T_C_S1), H5Tclose);
  if (!type || H5Tset_size(type.get(), cls.size()) < 0) hdf5_failed(path, "create a string type");
  Handle space(H5Screate(H5S_SCALAR), H5Sclose);
  Handle attr(H5Acreate2(obj, "MATLAB_class", type.get(), space.get(), H5P_DEFAULT, H5P_DEFAULT), H5Aclose);
  if (!attr || H5Awrite(attr.get(), type.get(), cls.data()) < 0) hdf5_failed(path, "write the MATLAB_class attribute");
}

template <class T>
void add_scalar_attribute(hid_t obj, const char* name, hid_t type, T value, const std::string& path) {
  Handle space(H5Screate(H5S_SCALAR), H5Sclose);
  Handle attr(H5Acreate2(obj, name, type, space.get(), H5P_DEFAULT, H5P_DEFAULT), H5Aclose);
  if (!attr || H5Awrite(attr.get(), type, &value) < 0) hdf5_failed(path, fmt::format("write the {} attribute", name));
}

// Gathers, deflates and stores every chunk: compressed on the workers,
// written on this thread in chunk order (HDF5 is not thread-safe).
void write_chunks(hid_t dset, const ChunkPlan& plan, const Mat73Options& options, const std::string& path) {
  std::uint64_t total = plan.item;
  for (auto d : plan.hdims) total *= d;
  std::uint64_t done = 0;
  compress_in_order(
      options.threads, plan.nchunks, resolve_setup(options), Framing::Zlib,
      [&](std::uint64_t index, DeflateWorker& w, CompressedChunk& out) {
        w.input.reserve(plan.chunk_bytes);
        out.raw_len = gather_chunk(plan, index, reinterpret_cast<std::byte*>(w.input.data.get()));
        w.deflater.compress(nullptr, 0, w.input.data.get(), plan.chunk_bytes, true, out.bytes);
      },
      [&](std::uint64_t index, const CompressedChunk& c) {
        std::vector<std::uint64_t> start(plan.n);
        plan.start_of(index, start.data());
        const std::vector<hsize_t> offset(start.begin(), start.end());
        if (H5Dwrite_chunk(dset, H5P_DEFAULT, 0, offset.data(), c.bytes.size, c.bytes.data.get()) < 0)
          hdf5_failed(path, "write a chunk");
        done += c.raw_len;
        if (options.progress) options.progress(done, total);
      });
}

void write_hdf5_body(const std::string& tmp, const std::string& path, std::string_view name, const NDArray& array,
                     const Mat73Options& options) {
  const MatlabLayout m = matlab_layout(array);
  const std::string key(name);

  Handle fcpl(H5Pcreate(H5P_FILE_CREATE), H5Pclose);
  if (!fcpl || H5Pset_userblock(fcpl.get(), kUserBlockBytes) < 0) hdf5_failed(path, "reserve the MAT-file header");
  Handle fapl(H5Pcreate(H5P_FILE_ACCESS), H5Pclose);
  if (!fapl || H5Pset_fclose_degree(fapl.get(), H5F_CLOSE_STRONG) < 0) hdf5_failed(path, "set up file access");
  Handle file(H5Fcreate(tmp.c_str(), H5F_ACC_TRUNC, fcpl.get(), fapl.get()), H5Fclose);
  if (!file) hdf5_failed(path, "create the file");

  if (array.empty()) {
    // MATLAB keeps an empty array as its dimensions, flagged MATLAB_empty.
    std::vector<std::uint64_t> dims(m.dims.begin(), m.dims.end());
    const hsize_t rank = dims.size();
    Handle space(H5Screate_simple(1, &rank, nullptr), H5Sclose);
    Handle dset(
        H5Dcreate2(file.get(), key.c_str(), H5T_NATIVE_UINT64, space.get(), H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT),
        H5Dclose);
    if (!dset) hdf5_failed(path, fmt::format("create the dataset '{}'", key));
    if (H5Dwrite(dset.get(), H5T_NATIVE_UINT64, H5S_ALL, H5S_ALL, H5P_DEFAULT, dims.data()) < 0)
      hdf5_failed(path, "write the dimensions of an empty array");
    add_class_attribute(dset.get(), matlab_class(array.dtype()), path);
    add_scalar_attribute<std::uint8_t>(dset.get(), "MATLAB_empty", H5T_NATIVE_UINT8, 1, path);
    if (array.dtype() == DType::Bool)
      add_scalar_attribute<std::int32_t>(dset.get(), "MATLAB_int_decode", H5T_NATIVE_INT32, 1, path);
    if (!dset.reset()) hdf5_failed(path, "close the dataset");
    if (!file.reset()) hdf5_failed(path, "finish the file");
    return;
  }

  ChunkPlan plan = make_plan(array, m, options);
  // Measured on a 256 MiB uint16 cube: the own tiled walk costs half the
  // CPU of the shared gatherer on band-sequential views, while the shared
  // gatherer's band groups win on pixel-interleaved ones.
  const bool pixel_interleaved =
      plan.n == 3 && plan.hstrides[0] == static_cast<std::int64_t>(plan.item) && plan.hdims[0] >= 4;
  if (pixel_interleaved && !is_complex(array.dtype()) && chunks_are_runs(plan))
    plan.columns = std::make_shared<ColumnGather>(array);
  const DeflateSetup setup = resolve_setup(options);

  const hid_t component = element_type(array.dtype());
  const bool complex = is_complex(array.dtype());
  Handle compound(complex ? H5Tcreate(H5T_COMPOUND, array.itemsize()) : -1, H5Tclose);
  hid_t type = component;
  if (complex) {
    const std::size_t half = array.itemsize() / 2;
    if (!compound || H5Tinsert(compound.get(), "real", 0, component) < 0 ||
        H5Tinsert(compound.get(), "imag", half, component) < 0)
      hdf5_failed(path, "create the complex type");
    type = compound.get();
  }

  std::vector<hsize_t> hdims(plan.hdims.begin(), plan.hdims.end());
  std::vector<hsize_t> chunk(plan.chunk.begin(), plan.chunk.end());
  Handle space(H5Screate_simple(plan.n, hdims.data(), nullptr), H5Sclose);
  if (!space) hdf5_failed(path, "create the dataspace");
  Handle dcpl(H5Pcreate(H5P_DATASET_CREATE), H5Pclose);
  if (!dcpl || H5Pset_chunk(dcpl.get(), plan.n, chunk.data()) < 0 ||
      H5Pset_deflate(dcpl.get(), static_cast<unsigned>(setup.level)) < 0 ||
      H5Pset_fill_time(dcpl.get(), H5D_FILL_TIME_NEVER) < 0)
    hdf5_failed(path, "set up chunked deflate storage");
  Handle dset(H5Dcreate2(file.get(), key.c_str(), type, space.get(), H5P_DEFAULT, dcpl.get(), H5P_DEFAULT), H5Dclose);
  if (!dset) hdf5_failed(path, fmt::format("create the dataset '{}'", key));
  add_class_attribute(dset.get(), matlab_class(array.dtype()), path);
  if (array.dtype() == DType::Bool)
    add_scalar_attribute<std::int32_t>(dset.get(), "MATLAB_int_decode", H5T_NATIVE_INT32, 1, path);

  write_chunks(dset.get(), plan, options, path);

  if (!dset.reset()) hdf5_failed(path, "close the dataset");
  if (!file.reset()) hdf5_failed(path, "finish the file");
}

#endif  // VEXIL_HAVE_HDF5

}  // namespace

bool mat73_available() {
#ifdef VEXIL_HAVE_HDF5
  return true;
#else
  return false;
#endif
}

std::vector<std::uint64_t> mat73_chunk_dims(const NDArray& array, const Mat73Options& options) {
  if (array.empty()) return {};
  return make_plan(array, matlab_layout(array), options).chunk;
}

void write_mat73(const std::string& path, std::string_view name, const NDArray& array, const Mat73Options& options) {
  AtomicFile out(path);
  write_mat73(out, name, array, options);
  out.commit();
}

void write_mat73(AtomicFile& out, std::string_view name, const NDArray& array, const Mat73Options& options) {
  check_name(name);
  const std::string& path = out.final_path();
#ifdef VEXIL_HAVE_HDF5
  // HDF5 rewrites the (empty) temporary file through its own descriptor; the
  // header goes into the user block it leaves free once HDF5 is done.
  {
    libs::hdf5::QuietErrors quiet;
    write_hdf5_body(out.temp_path(), path, name, array, options);
  }
  const auto block = user_block();
  out.write_at(0, block.data(), block.size());
#else
  (void)out;
  (void)array;
  (void)options;
  throw WriteError(
      fmt::format("cannot write '{}': MAT-file 7.3 output needs HDF5, and this build has none "
                  "(install libhdf5-dev and rebuild)",
                  path));
#endif
}

}  // namespace vexil::output
