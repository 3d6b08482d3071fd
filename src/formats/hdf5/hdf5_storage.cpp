#include "formats/hdf5/hdf5_storage.hpp"

#ifdef VEXIL_HAVE_HDF5

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <mutex>
#include <stdexcept>

#include <fmt/format.h>

#include "io/file.hpp"
#include "core/byte_order.hpp"
#include "core/cpu_budget.hpp"
#include "core/memory.hpp"
#include "core/transpose.hpp"
#include "io/mapped_file.hpp"
#include "core/worker_pool.hpp"
#include "vexil/errors.hpp"

namespace vexil::formats::hdf5 {

using libs::hdf5::Handle;
using libs::hdf5::member_name;
using libs::hdf5::native_int;

namespace {

DType int_dtype(std::size_t size, bool is_signed) {
  switch (size) {
    case 1: return is_signed ? DType::Int8 : DType::UInt8;
    case 2: return is_signed ? DType::Int16 : DType::UInt16;
    case 4: return is_signed ? DType::Int32 : DType::UInt32;
    default: return is_signed ? DType::Int64 : DType::UInt64;
  }
}

Handle copy_type(hid_t t) { return libs::hdf5::type_handle(H5Tcopy(t), "cannot copy a datatype"); }

// The common boolean: an enum of exactly FALSE=0 and TRUE=1. `t` is the native
// form of the enum, so member values are in this machine's byte order.
bool is_bool_enum(hid_t t) {
  if (H5Tget_nmembers(t) != 2) return false;
  const std::size_t size = H5Tget_size(t);
  if (size == 0 || size > 8) return false;
  for (unsigned i = 0; i < 2; ++i) {
    std::uint64_t v = 0;
    if (H5Tget_member_value(t, i, &v) < 0) return false;
    if (size < 8) v &= (std::uint64_t{1} << (8 * size)) - 1;
    const std::string name = member_name(t, i);
    if (!((name == "FALSE" && v == 0) || (name == "TRUE" && v == 1))) return false;
  }
  return true;
}

std::string type_text(hid_t t) {
  const std::size_t size = H5Tget_size(t);
  switch (H5Tget_class(t)) {
    case H5T_INTEGER: return fmt::format("{}-byte integer", size);
    case H5T_FLOAT: return fmt::format("{}-byte float", size);
    case H5T_STRING: return H5Tis_variable_str(t) > 0 ? "variable-length string" : "fixed-length string";
    case H5T_BITFIELD: return fmt::format("{}-byte bitfield", size);
    case H5T_OPAQUE: return "opaque";
    case H5T_REFERENCE: return "reference";
    case H5T_ENUM: return "enum";
    case H5T_VLEN: return "variable-length sequence";
    case H5T_ARRAY: return "array";
    case H5T_TIME: return "time";
    case H5T_COMPOUND: {
      std::string s = "compound {";
      const int n = H5Tget_nmembers(t);
      for (int i = 0; i < n; ++i) {
        if (i) s += ", ";
        const std::string m = member_name(t, static_cast<unsigned>(i));
        s += m.empty() ? "?" : m;
      }
      return s + "}";
    }
    default: return "unknown";
  }
}

Strides byte_strides(const std::vector<std::int64_t>& extents, std::size_t item) {
  return NDArray::c_strides(Shape(extents.begin(), extents.end()), item);
}

// Calls run(src_offset, dst_offset, bytes) for every innermost run of the
// region [rlo, rhi), where the source is a C-ordered block of `src_ext`
// starting at `src_origin` and the destination one of `dst_ext` at `dst_origin`.
template <class F>
void for_each_run(const std::vector<std::int64_t>& rlo, const std::vector<std::int64_t>& rhi,
                  const std::vector<std::int64_t>& src_origin, const std::vector<std::int64_t>& src_ext,
                  const std::vector<std::int64_t>& dst_origin, const std::vector<std::int64_t>& dst_ext,
                  std::size_t item, F&& run) {
  const std::size_t nd = rlo.size();
  for (std::size_t d = 0; d < nd; ++d)
    if (rhi[d] <= rlo[d]) return;
  const Strides ss = byte_strides(src_ext, item), ds = byte_strides(dst_ext, item);
  if (nd == 0) {
    run(0, 0, item);
    return;
  }
  const std::size_t last = nd - 1;
  const std::int64_t run_bytes = (rhi[last] - rlo[last]) * static_cast<std::int64_t>(item);
  std::vector<std::int64_t> idx(rlo.begin(), rlo.end());
  for (;;) {
    std::int64_t so = 0, doff = 0;
    for (std::size_t d = 0; d < nd; ++d) {
      so += (idx[d] - src_origin[d]) * ss[d];
      doff += (idx[d] - dst_origin[d]) * ds[d];
    }
    run(so, doff, run_bytes);
    std::size_t d = last;
    for (;;) {
      if (d == 0) return;
      --d;
      if (++idx[d] < rhi[d]) break;
      idx[d] = rlo[d];
    }
  }
}

// Copies region [rlo, rhi) from a C-ordered block of `src_ext` starting at
// `src_origin` to element (i_0, i_1, ...) at dst + sum((i_d - lo[d]) * ds[d]).
// When the destination's fastest axis is not the source's, the region goes
// through tiled transposes of those two axes.
void place_strided(const std::byte* src, const std::vector<std::int64_t>& src_origin,
                   const std::vector<std::int64_t>& src_ext, const std::vector<std::int64_t>& rlo,
                   const std::vector<std::int64_t>& rhi, const std::vector<std::int64_t>& lo, std::byte* dst,
                   const std::vector<std::int64_t>& ds, std::size_t item) {
  const std::size_t nd = rlo.size();
  for (std::size_t d = 0; d < nd; ++d)
    if (rhi[d] <= rlo[d]) return;
  if (nd == 0) {
    std::memcpy(dst, src, item);
    return;
  }
  const Strides ss = byte_strides(src_ext, item);
  const std::size_t last = nd - 1;
  std::size_t fast = last;
  for (std::size_t d = 0; d < nd; ++d)
    if (ds[d] == static_cast<std::int64_t>(item)) fast = d;
  std::vector<std::int64_t> idx(rlo.begin(), rlo.end());
  for (;;) {
    std::int64_t so = 0, doff = 0;
    for (std::size_t d = 0; d < nd; ++d) {
      so += (idx[d] - src_origin[d]) * ss[d];
      doff += (idx[d] - lo[d]) * ds[d];
    }
    const std::int64_t n = rhi[last] - rlo[last];
    if (fast != last) {
      core::transpose(src + so, ss[fast], rhi[fast] - rlo[fast], n, item, dst + doff, ds[last]);
    } else if (ds[last] == static_cast<std::int64_t>(item)) {
      std::memcpy(dst + doff, src + so, static_cast<std::size_t>(n) * item);
    } else {
      for (std::int64_t k = 0; k < n; ++k)
        std::memcpy(dst + doff + k * ds[last], src + so + k * static_cast<std::int64_t>(item), item);
    }
    // Next position over every axis but the last (and the transposed one).
    std::size_t d = last;
    for (;;) {
      if (d == 0) return;
      --d;
      if (d == fast && fast != last) continue;
      if (++idx[d] < rhi[d]) break;
      idx[d] = rlo[d];
    }
  }
}

std::int64_t product(const std::vector<std::int64_t>& v) {
  std::int64_t n = 1;
  for (auto e : v) n *= e;
  return n;
}

std::vector<std::int64_t> extents(const std::vector<std::int64_t>& lo, const std::vector<std::int64_t>& hi) {
  std::vector<std::int64_t> e(lo.size());
  for (std::size_t d = 0; d < lo.size(); ++d) e[d] = hi[d] - lo[d];
  return e;
}

}  // namespace

ReadPlan plan_read(hid_t ftype, const std::string& key, const std::string& path) {
  ReadPlan p;
  if (!libs::hdf5::sane_type(ftype)) {
    H5Eclear2(H5E_DEFAULT);
    throw BadInputError(fmt::format("Dataset '{}' in {} has a damaged datatype", key, path));
  }
  const std::size_t size = H5Tget_size(ftype);
  auto refuse = [&]() -> ReadPlan {
    throw BadInputError(
        fmt::format("Dataset '{}' in {} holds {} values, which cannot be read as an image "
                    "(integers, floats, complex numbers and booleans can)",
                    key, path, type_text(ftype)));
  };
  switch (H5Tget_class(ftype)) {
    case H5T_INTEGER: {
      const bool sgn = H5Tget_sign(ftype) == H5T_SGN_2;
      hid_t n = native_int(size, sgn);
      if (n < 0) return refuse();
      p.dtype = int_dtype(size, sgn);
      p.mem = copy_type(n);
      break;
    }
    case H5T_FLOAT:
      // float16 has no MAT-file class; widening to float32 is exact.
      if (size == 2 || size == 4) {
        p.dtype = DType::Float32;
        p.mem = copy_type(H5T_NATIVE_FLOAT);
      } else if (size == 8) {
        p.dtype = DType::Float64;
        p.mem = copy_type(H5T_NATIVE_DOUBLE);
      } else {
        return refuse();
      }
      break;
    case H5T_BITFIELD: {
      hid_t n = size == 1   ? H5T_NATIVE_B8
                : size == 2 ? H5T_NATIVE_B16
                : size == 4 ? H5T_NATIVE_B32
                : size == 8 ? H5T_NATIVE_B64
                            : H5I_INVALID_HID;
      if (n < 0) return refuse();
      p.dtype = int_dtype(size, false);
      p.mem = copy_type(n);
      break;
    }
    case H5T_ENUM: {
      Handle base = libs::hdf5::type_handle(H5Tget_super(ftype), "cannot read an enum type");
      const std::size_t bsize = H5Tget_size(base.get());
      const bool sgn = H5Tget_sign(base.get()) == H5T_SGN_2;
      if (native_int(bsize, sgn) < 0) return refuse();
      // Enums convert only to enums: read into the native form of the same enum.
      p.mem = libs::hdf5::type_handle(H5Tget_native_type(ftype, H5T_DIR_ASCEND), "cannot map an enum type");
      if (H5Tget_size(p.mem.get()) != bsize) return refuse();
      if (is_bool_enum(p.mem.get())) {
        p.dtype = DType::Bool;
        p.bool_enum = true;
        p.bool_enum_signed = sgn;
      } else {
        p.dtype = int_dtype(bsize, sgn);
      }
      break;
    }
    case H5T_COMPOUND: {
      if (H5Tget_nmembers(ftype) != 2) return refuse();
      const std::string a = member_name(ftype, 0), b = member_name(ftype, 1);
      if (!((a == "r" && b == "i") || (a == "real" && b == "imag"))) return refuse();
      std::size_t part = 0;
      for (unsigned i = 0; i < 2; ++i) {
        Handle mt = libs::hdf5::type_handle(H5Tget_member_type(ftype, i), "cannot read a member type");
        const std::size_t s = H5Tget_size(mt.get());
        if (H5Tget_class(mt.get()) != H5T_FLOAT || (s != 4 && s != 8) || (part && s != part)) return refuse();
        part = s;
      }
      p.dtype = part == 4 ? DType::Complex64 : DType::Complex128;
      p.mem = libs::hdf5::type_handle(H5Tcreate(H5T_COMPOUND, 2 * part), "cannot build a complex type");
      hid_t f = part == 4 ? H5T_NATIVE_FLOAT : H5T_NATIVE_DOUBLE;
      if (H5Tinsert(p.mem.get(), a.c_str(), 0, f) < 0 || H5Tinsert(p.mem.get(), b.c_str(), part, f) < 0)
        libs::hdf5::throw_io("cannot build a complex type");
      break;
    }
    default: return refuse();
  }
  p.mem_size = H5Tget_size(p.mem.get());
  return p;
}

// ---------------------------------------------------------------------------

ReadProgress::ReadProgress(const ReadControl& control, std::uint64_t total)
    : control_(control), total_(total), threads_(core::resolve_workers(control.threads)) {}

void ReadProgress::add(std::uint64_t bytes) {
  done_ += bytes;
  if (!control_.progress) return;
  if (done_ >= total_ || done_ - reported_ >= (1u << 20)) {
    reported_ = done_;
    control_.progress(std::min(done_, total_), total_);
  }
}

void ReadProgress::check_cancel() const {
  if (control_.cancel && control_.cancel->load(std::memory_order_relaxed)) throw CancelledError();
}

// ---------------------------------------------------------------------------

DatasetReader::DatasetReader(Handle ds, std::string key, std::string path)
    : ds_(std::move(ds)), key_(std::move(key)), path_(std::move(path)) {
  Handle space = libs::hdf5::space_handle(H5Dget_space(ds_.get()), "Cannot read the dataset's dataspace");
  const H5S_class_t cls = H5Sget_simple_extent_type(space.get());
  if (cls == H5S_NULL)
    throw BadInputError(fmt::format("Dataset '{}' in {} is empty (null dataspace): it holds no data", key_, path_));
  if (cls == H5S_SIMPLE) {
    const int rank = H5Sget_simple_extent_ndims(space.get());
    if (rank < 0) libs::hdf5::throw_io("Cannot read the dataset's dataspace");
    std::vector<hsize_t> dims(static_cast<std::size_t>(rank));
    if (rank > 0) H5Sget_simple_extent_dims(space.get(), dims.data(), nullptr);
    for (hsize_t d : dims) {
      if (d > static_cast<hsize_t>(INT64_MAX))
        throw BadInputError(fmt::format("Dataset '{}' in {} has an impossible extent {}", key_, path_, d));
      shape_.push_back(static_cast<std::int64_t>(d));
    }
  }
  Handle ftype = libs::hdf5::type_handle(H5Dget_type(ds_.get()), "Cannot read the dataset's datatype");
  plan_ = plan_read(ftype.get(), key_, path_);

  std::int64_t n = 0;
  try {
    n = NDArray::checked_size(shape_);
  } catch (const BadInputError&) {
    throw BadInputError(fmt::format("Dataset '{}' in {} is too large: its element count overflows", key_, path_));
  }
  const std::size_t file_item = H5Tget_size(ftype.get());
  std::uint64_t read_bytes = 0, file_bytes = 0;
  if (__builtin_mul_overflow(static_cast<std::uint64_t>(n), plan_.mem_size, &read_bytes) ||
      __builtin_mul_overflow(static_cast<std::uint64_t>(n), file_item, &file_bytes))
    throw BadInputError(fmt::format("Dataset '{}' in {} is too large: its byte count overflows", key_, path_));

  // Elements usable exactly as stored, or after a byte swap.
  if (!plan_.bool_enum) {
    if (H5Tequal(ftype.get(), plan_.mem.get()) > 0) {
      copy_ = Copy::Identical;
    } else {
      const H5T_class_t c = H5Tget_class(ftype.get());
      if ((c == H5T_INTEGER || c == H5T_FLOAT || c == H5T_BITFIELD) && file_item == plan_.mem_size &&
          H5Tget_order(ftype.get()) == H5T_ORDER_BE) {
        Handle le = copy_type(ftype.get());
        if (H5Tset_order(le.get(), H5T_ORDER_LE) >= 0 && H5Tequal(le.get(), plan_.mem.get()) > 0) {
          copy_ = Copy::Swap;
          swap_unit_ = file_item;
        }
      }
    }
  }
  H5Eclear2(H5E_DEFAULT);

  Handle dcpl = libs::hdf5::checked(H5Dget_create_plist(ds_.get()), H5Pclose, "Cannot read the dataset's properties");
  pipeline_ = read_pipeline(dcpl.get());
  require_filters(pipeline_, key_, path_);
  const H5D_layout_t layout = H5Pget_layout(dcpl.get());

  if (layout == H5D_CONTIGUOUS && H5Pget_external_count(dcpl.get()) == 0) {
    // A contiguous dataset's data lies in one block of the file: if that block
    // runs past the end, the file is truncated or the header is corrupt.
    const haddr_t addr = H5Dget_offset(ds_.get());
    hsize_t fsize = 0;
    const Handle file(H5Iget_file_id(ds_.get()), H5Fclose);
    if (addr != HADDR_UNDEF && file && H5Fget_filesize(file.get(), &fsize) >= 0 &&
        (addr > fsize || file_bytes > fsize - addr))
      throw BadInputError(
          fmt::format("Dataset '{}' in {} claims {} bytes at offset {}, but the file has only {} bytes "
                      "(truncated or corrupt)",
                      key_, path_, file_bytes, addr, fsize));
    if (addr != HADDR_UNDEF && file_bytes > 0 && copy_ != Copy::Convert && pipeline_.empty()) {
      const io::Fd file = io::open_for_reading(path_);
      const int fd = file.fd;
      struct stat st {};
      if (fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
          static_cast<std::uint64_t>(st.st_size) >= addr + file_bytes) {
        // Survives the file shrinking while it is read (io/mapped_file.hpp).
        if (auto m = io::MappedFile::map(fd, path_, addr, static_cast<std::size_t>(file_bytes))) {
          mapped_ = m->data();
          mapping_ = std::move(m);
        }
      }
    }
  } else if (layout == H5D_CHUNKED && copy_ != Copy::Convert && pipeline_decodable(pipeline_)) {
    const int rank = static_cast<int>(shape_.size());
    std::vector<hsize_t> cdims(static_cast<std::size_t>(rank));
    if (rank > 0 && H5Pget_chunk(dcpl.get(), rank, cdims.data()) == rank) {
      chunk_.assign(cdims.begin(), cdims.end());
      std::uint64_t cbytes = plan_.mem_size;
      bool ok = true;
      for (auto c : chunk_) ok = ok && c > 0 && !__builtin_mul_overflow(cbytes, static_cast<std::uint64_t>(c), &cbytes);
      fill_.resize(plan_.mem_size);
      ok =
          ok && cbytes <= (std::uint64_t{1} << 32) && H5Pget_fill_value(dcpl.get(), plan_.mem.get(), fill_.data()) >= 0;
      chunked_fast_ = ok;
    }
  }
  H5Eclear2(H5E_DEFAULT);
}

DatasetReader::~DatasetReader() = default;

std::string DatasetReader::access() const {
  if (mapped_) return copy_ == Copy::Identical ? "mapped" : "mapped, byte-swapped";
  if (chunked_fast_) return "chunks";
  return "hyperslabs";
}

std::optional<NDArray> DatasetReader::mapped_whole() const {
  if (!mapped_ || copy_ != Copy::Identical) return std::nullopt;
  return NDArray::view(plan_.dtype, shape_, NDArray::c_strides(shape_, plan_.mem_size), const_cast<std::byte*>(mapped_),
                       mapping_);
}

bool DatasetReader::direct_reads(const hsize_t* offset, haddr_t addr, hsize_t size) const {
  if (direct_state_ != 0) return direct_state_ > 0;
  direct_state_ = -1;
  std::unique_ptr<io::Fd> fd(new io::Fd(io::open_for_reading(path_)));
  if (fd->fd < 0) return false;
  ChunkBytes by_hdf5(static_cast<std::size_t>(size)), by_place(static_cast<std::size_t>(size));
  std::uint32_t filters = 0;
  if (H5Dread_chunk(ds_.get(), H5P_DEFAULT, offset, &filters, by_hdf5.data()) < 0) return false;
  // The places may or may not count a user block before the HDF5 data.
  hsize_t userblock = 0;
  if (const Handle file(H5Iget_file_id(ds_.get()), H5Fclose); file) {
    const Handle fcpl(H5Fget_create_plist(file.get()), H5Pclose);
    if (fcpl && H5Pget_userblock(fcpl.get(), &userblock) < 0) userblock = 0;
  }
  for (const hsize_t base : {hsize_t{0}, userblock}) {
    if (::pread(fd->fd, by_place.data(), by_place.size(), static_cast<off_t>(addr + base)) ==
            static_cast<ssize_t>(by_place.size()) &&
        std::memcmp(by_place.data(), by_hdf5.data(), by_place.size()) == 0) {
      direct_base_ = base;
      direct_fd_ = std::move(fd);
      direct_state_ = 1;
      return true;
    }
    if (userblock == 0) break;
  }
  return false;
}

void DatasetReader::fail_read() const {
  throw ReadError(fmt::format("Cannot read dataset '{}' in {}: {}", key_, path_,
                              libs::hdf5::error_text("Unable to read the dataset")));
}

void DatasetReader::read_box(const std::vector<std::int64_t>& lo, const std::vector<std::int64_t>& hi, std::byte* dst,
                             ReadProgress& progress) const {
  const std::vector<std::int64_t> ext = extents(lo, hi);
  if (product(ext) == 0) return;
  if (mapped_) return read_mapped(lo, hi, dst, progress);
  if (chunked_fast_) return read_chunks(lo, hi, dst, progress);
  read_hyperslabs(lo, hi, dst, progress);
}

void DatasetReader::read_mapped(const std::vector<std::int64_t>& lo, const std::vector<std::int64_t>& hi,
                                std::byte* dst, ReadProgress& progress) const {
  const std::size_t item = plan_.mem_size;
  const std::vector<std::int64_t> ext = extents(lo, hi);
  const std::vector<std::int64_t> origin(shape_.size(), 0);
  const std::vector<std::int64_t> whole(shape_.begin(), shape_.end());
  // Slabs along the first axis, so progress and cancellation come often.
  const std::int64_t row_bytes =
      product(ext) / std::max<std::int64_t>(ext.empty() ? 1 : ext[0], 1) * static_cast<std::int64_t>(item);
  const std::int64_t rows_per_step =
      ext.empty() ? 1 : std::max<std::int64_t>(1, (8 << 20) / std::max<std::int64_t>(row_bytes, 1));
  std::vector<std::int64_t> slo = lo, shi = hi;
  const std::int64_t first = ext.empty() ? 0 : lo[0], end = ext.empty() ? 1 : hi[0];
  for (std::int64_t r = first; r < end; r += rows_per_step) {
    progress.check_cancel();
    if (!ext.empty()) {
      slo[0] = r;
      shi[0] = std::min(end, r + rows_per_step);
    }
    std::uint64_t bytes = 0;
    for_each_run(slo, shi, origin, whole, lo, ext, item, [&](std::int64_t so, std::int64_t doff, std::int64_t n) {
      if (copy_ == Copy::Swap)
        core::copy_swapped(dst + doff, mapped_ + so, static_cast<std::size_t>(n), swap_unit_);
      else
        std::memcpy(dst + doff, mapped_ + so, static_cast<std::size_t>(n));
      bytes += static_cast<std::uint64_t>(n);
    });
    progress.add(bytes);
  }
  mapping_->check();
}

void DatasetReader::read_region(const std::vector<std::int64_t>& lo, const std::vector<std::int64_t>& hi,
                                const std::vector<std::int64_t>& rlo, const std::vector<std::int64_t>& rhi,
                                std::byte* dst) const {
  std::lock_guard lock(hdf5_mu_);
  const std::size_t nd = shape_.size();
  Handle fspace = libs::hdf5::space_handle(H5Dget_space(ds_.get()), "Cannot read the dataset's dataspace");
  Handle mspace;
  if (nd == 0) {
    mspace = libs::hdf5::space_handle(H5Screate(H5S_SCALAR), "Cannot create a dataspace");
  } else {
    std::vector<hsize_t> fstart(nd), count(nd), mdims(nd), mstart(nd);
    for (std::size_t d = 0; d < nd; ++d) {
      fstart[d] = static_cast<hsize_t>(rlo[d]);
      count[d] = static_cast<hsize_t>(rhi[d] - rlo[d]);
      mdims[d] = static_cast<hsize_t>(hi[d] - lo[d]);
      mstart[d] = static_cast<hsize_t>(rlo[d] - lo[d]);
    }
    mspace = libs::hdf5::space_handle(H5Screate_simple(static_cast<int>(nd), mdims.data(), nullptr),
                                      "Cannot create a dataspace");
    if (H5Sselect_hyperslab(fspace.get(), H5S_SELECT_SET, fstart.data(), nullptr, count.data(), nullptr) < 0 ||
        H5Sselect_hyperslab(mspace.get(), H5S_SELECT_SET, mstart.data(), nullptr, count.data(), nullptr) < 0)
      fail_read();
  }
  if (!plan_.bool_enum) {
    if (H5Dread(ds_.get(), plan_.mem.get(), mspace.get(), fspace.get(), H5P_DEFAULT, dst) < 0) fail_read();
    return;
  }
  // Booleans: the base integers of the region, narrowed to one byte each; a
  // value other than 0 and 1 is not a boolean and would be silently changed.
  const std::vector<std::int64_t> rext = extents(rlo, rhi);
  const std::int64_t n = product(rext);
  std::vector<std::byte> tmp(static_cast<std::size_t>(n) * plan_.mem_size);
  Handle tspace;
  if (nd == 0) {
    tspace = libs::hdf5::space_handle(H5Screate(H5S_SCALAR), "Cannot create a dataspace");
  } else {
    std::vector<hsize_t> tdims(rext.begin(), rext.end());
    tspace = libs::hdf5::space_handle(H5Screate_simple(static_cast<int>(nd), tdims.data(), nullptr),
                                      "Cannot create a dataspace");
  }
  if (H5Dread(ds_.get(), plan_.mem.get(), tspace.get(), fspace.get(), H5P_DEFAULT, tmp.data()) < 0) fail_read();
  for (std::int64_t i = 0; i < n; ++i) {
    std::uint64_t v = 0;
    std::memcpy(&v, tmp.data() + i * static_cast<std::int64_t>(plan_.mem_size), plan_.mem_size);
    if (v > 1)
      throw BadInputError(
          fmt::format("Dataset '{}' in {} is boolean but holds a value other than FALSE and TRUE", key_, path_));
    tmp[static_cast<std::size_t>(i)] = static_cast<std::byte>(v);
  }
  for_each_run(rlo, rhi, rlo, rext, lo, extents(lo, hi), 1, [&](std::int64_t so, std::int64_t doff, std::int64_t len) {
    std::memcpy(dst + doff, tmp.data() + so, static_cast<std::size_t>(len));
  });
}

void DatasetReader::read_hyperslabs(const std::vector<std::int64_t>& lo, const std::vector<std::int64_t>& hi,
                                    std::byte* dst, ReadProgress& progress) const {
  const std::vector<std::int64_t> ext = extents(lo, hi);
  const std::uint64_t item = plan_.dtype == DType::Bool ? 1 : plan_.mem_size;
  if (shape_.empty()) {
    read_region(lo, hi, lo, hi, dst);
    progress.add(item);
    return;
  }
  const std::uint64_t row_bytes = static_cast<std::uint64_t>(product(ext) / ext[0]) * item;
  const std::int64_t step =
      static_cast<std::int64_t>(std::max<std::uint64_t>(1, (16u << 20) / std::max<std::uint64_t>(row_bytes, 1)));
  std::vector<std::int64_t> rlo = lo, rhi = hi;
  for (std::int64_t r = lo[0]; r < hi[0]; r += step) {
    progress.check_cancel();
    rlo[0] = r;
    rhi[0] = std::min(hi[0], r + step);
    read_region(lo, hi, rlo, rhi, dst);
    progress.add(static_cast<std::uint64_t>(rhi[0] - rlo[0]) * row_bytes);
  }
}

void DatasetReader::read_box_strided(const std::vector<std::int64_t>& lo, const std::vector<std::int64_t>& hi,
                                     std::byte* dst, const std::vector<std::int64_t>& dst_strides,
                                     ReadProgress& progress) const {
  if (!places_strided()) throw std::logic_error("read_box_strided: this dataset is not read by chunks");
  if (product(extents(lo, hi)) == 0) return;
  read_chunks(lo, hi, dst, progress, &dst_strides);
}

void DatasetReader::read_chunks(const std::vector<std::int64_t>& lo, const std::vector<std::int64_t>& hi,
                                std::byte* dst, ReadProgress& progress,
                                const std::vector<std::int64_t>* dst_strides) const {
  const std::size_t nd = shape_.size();
  const std::size_t item = plan_.mem_size;
  const std::vector<std::int64_t> box_ext = extents(lo, hi);
  std::size_t chunk_bytes = item;
  for (auto c : chunk_) chunk_bytes *= static_cast<std::size_t>(c);

  // The chunks the box touches, by their first element.
  std::vector<std::int64_t> cfirst(nd), clast(nd);
  std::uint64_t nchunks = 1;
  for (std::size_t d = 0; d < nd; ++d) {
    cfirst[d] = lo[d] / chunk_[d];
    clast[d] = (hi[d] - 1) / chunk_[d];
    nchunks *= static_cast<std::uint64_t>(clast[d] - cfirst[d] + 1);
  }

  struct Task {
    std::vector<std::int64_t> origin;
    ChunkBytes* raw = nullptr;  // the worker's, reused chunk after chunk
    unsigned mask = 0;
    bool allocated = false;
  };
  std::mutex& mu = hdf5_mu_;                         // guards `undecoded` too
  std::vector<std::vector<std::int64_t>> undecoded;  // chunks left to HDF5
  std::atomic<std::uint64_t> delivered{0};

  auto region_of = [&](const std::vector<std::int64_t>& origin, std::vector<std::int64_t>& rlo,
                       std::vector<std::int64_t>& rhi) {
    for (std::size_t d = 0; d < nd; ++d) {
      rlo[d] = std::max(lo[d], origin[d]);
      rhi[d] = std::min(hi[d], origin[d] + chunk_[d]);
    }
  };
  auto process = [&](Task& t, ChunkBytes& scratch) {
    std::vector<std::int64_t> rlo(nd), rhi(nd);
    region_of(t.origin, rlo, rhi);
    std::uint64_t bytes = 0;
    if (dst_strides && !t.allocated) {
      const std::vector<std::int64_t> ext = extents(rlo, rhi);
      const auto n = static_cast<std::size_t>(product(ext));
      std::vector<std::byte> fill(n * item);
      for (std::size_t k = 0; k < n; ++k) std::memcpy(fill.data() + k * item, fill_.data(), item);
      place_strided(fill.data(), rlo, ext, rlo, rhi, lo, dst, *dst_strides, item);
      bytes = n * item;
    } else if (!t.allocated) {
      // Never written: the dataset's fill value, as HDF5 reads it.
      for_each_run(rlo, rhi, t.origin, chunk_, lo, box_ext, item, [&](std::int64_t, std::int64_t doff, std::int64_t n) {
        for (std::int64_t k = 0; k < n; k += static_cast<std::int64_t>(item))
          std::memcpy(dst + doff + k, fill_.data(), item);
        bytes += static_cast<std::uint64_t>(n);
      });
    } else if (!decode_chunk(pipeline_, t.mask, *t.raw, scratch, chunk_bytes)) {
      std::lock_guard lock(mu);
      undecoded.push_back(t.origin);
      return;
    } else if (dst_strides) {
      place_strided(t.raw->data(), t.origin, chunk_, rlo, rhi, lo, dst, *dst_strides, item);
      bytes = static_cast<std::uint64_t>(product(extents(rlo, rhi))) * item;
    } else {
      const std::byte* src = t.raw->data();
      for_each_run(rlo, rhi, t.origin, chunk_, lo, box_ext, item,
                   [&](std::int64_t so, std::int64_t doff, std::int64_t n) {
                     if (copy_ == Copy::Swap)
                       core::copy_swapped(dst + doff, src + so, static_cast<std::size_t>(n), swap_unit_);
                     else
                       std::memcpy(dst + doff, src + so, static_cast<std::size_t>(n));
                     bytes += static_cast<std::uint64_t>(n);
                   });
    }
    delivered.fetch_add(bytes, std::memory_order_relaxed);
  };

  std::uint64_t reported = 0;
  auto report = [&] {
    const std::uint64_t now = delivered.load(std::memory_order_relaxed);
    if (now > reported) {
      progress.add(now - reported);
      reported = now;
    }
  };

  // Chunks are taken in batches of about 4 MiB of raw data. Their places in
  // the file are looked up in one hold of the lock; where the file can be
  // read by those places (direct_reads()), the raw bytes are then read
  // outside HDF5, neighbours in one read: tiny chunks (one row of a band
  // each, as GDAL's netCDF writer makes them) otherwise cost two HDF5 calls
  // and a system call each, all under the lock. Chunks are decoded on every
  // worker; progress and cancellation go through the calling thread (worker 0).
  //
  // H5Dget_chunk_info_by_coord, the one call that gives a chunk's place,
  // walks the chunk index from its start in HDF5 1.10: over a dataset of
  // many chunks, calling it for each costs the square of their number
  // (1.8 s for 16384 chunks). Such datasets have their chunks looked up by
  // size and read by HDF5 instead.
  constexpr std::uint64_t kIndexWalkChunks = 2048;
  std::uint64_t dataset_chunks = 1;
  for (std::size_t d = 0; d < nd; ++d)
    if (__builtin_mul_overflow(dataset_chunks, static_cast<std::uint64_t>((shape_[d] + chunk_[d] - 1) / chunk_[d]),
                               &dataset_chunks))
      dataset_chunks = UINT64_MAX;
  const bool walk_index = dataset_chunks <= kIndexWalkChunks;
  const std::uint64_t per_batch = std::clamp<std::uint64_t>((std::uint64_t{4} << 20) / chunk_bytes, 1, 4096);
  const std::uint64_t nbatches = (nchunks + per_batch - 1) / per_batch;
  core::WorkerPool pool(
      static_cast<int>(std::min<std::uint64_t>(static_cast<std::uint64_t>(progress.threads()), nbatches)));
  std::vector<ChunkBytes> raws(static_cast<std::size_t>(pool.workers())), scratch(raws.size()), runs(raws.size());
  std::vector<std::int64_t> span(nd);
  for (std::size_t d = 0; d < nd; ++d) span[d] = clast[d] - cfirst[d] + 1;
  // A chunk of the batch, once looked up: where it lies in the file, and
  // how its bytes are had.
  enum class Get { Fill, Direct, Hdf5, Later };
  struct Found {
    Task task;
    std::vector<hsize_t> offset;
    haddr_t addr = HADDR_UNDEF;
    hsize_t size = 0;
    Get get = Get::Fill;
  };
  pool.for_each(static_cast<std::size_t>(nbatches), [&](std::size_t batch, int w) {
    if (w == 0) progress.check_cancel();
    const std::uint64_t k0 = batch * per_batch, k1 = std::min(nchunks, k0 + per_batch);
    ChunkBytes& raw = raws[static_cast<std::size_t>(w)];
    std::vector<Found> found(static_cast<std::size_t>(k1 - k0));
    {
      std::lock_guard lock(mu);
      for (std::uint64_t k = k0; k < k1; ++k) {
        Found& f = found[static_cast<std::size_t>(k - k0)];
        f.task.raw = &raw;
        f.task.origin.resize(nd);
        f.offset.resize(nd);
        for (std::size_t d = nd, rest = static_cast<std::size_t>(k); d-- > 0;) {
          const auto n = static_cast<std::size_t>(span[d]);
          f.task.origin[d] = (cfirst[d] + static_cast<std::int64_t>(rest % n)) * chunk_[d];
          f.offset[d] = static_cast<hsize_t>(f.task.origin[d]);
          rest /= n;
        }
        unsigned mask = 0;
        if (walk_index) {
          if (H5Dget_chunk_info_by_coord(ds_.get(), f.offset.data(), &mask, &f.addr, &f.size) < 0) fail_read();
          if (f.addr == HADDR_UNDEF) continue;
        } else if (H5Dget_chunk_storage_size(ds_.get(), f.offset.data(), &f.size) < 0) {
          // Never written, or damage: the slow lookup tells which.
          if (H5Dget_chunk_info_by_coord(ds_.get(), f.offset.data(), &mask, &f.addr, &f.size) < 0 ||
              f.addr != HADDR_UNDEF)
            fail_read();
          continue;
        }
        // A raw size far beyond the chunk's is damage; HDF5 reports it below.
        if (f.size == 0 || f.size > 2 * static_cast<hsize_t>(chunk_bytes) + (1u << 20)) {
          undecoded.push_back(f.task.origin);
          f.get = Get::Later;
          continue;
        }
        f.task.mask = mask;
        f.task.allocated = true;
        f.get = walk_index && direct_reads(f.offset.data(), f.addr, f.size) ? Get::Direct : Get::Hdf5;
        ++chunks_read_;
      }
    }
    // Runs of chunks that lie close together in the file, read at once.
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < found.size(); ++i)
      if (found[i].get == Get::Direct) order.push_back(i);
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return found[a].addr < found[b].addr; });
    constexpr std::uint64_t kGap = 64u << 10, kRun = 8u << 20;
    ChunkBytes& run = runs[static_cast<std::size_t>(w)];
    for (std::size_t j = 0; j < order.size();) {
      // The run starting at chunk order[j]: neighbours within kGap, up to kRun.
      const std::uint64_t run_start = found[order[j]].addr;
      std::uint64_t run_end = run_start + found[order[j]].size;
      std::size_t e = j + 1;
      while (e < order.size() && found[order[e]].addr <= run_end + kGap &&
             found[order[e]].addr + found[order[e]].size - run_start <= kRun) {
        run_end = std::max<std::uint64_t>(run_end, found[order[e]].addr + found[order[e]].size);
        ++e;
      }
      run.resize(static_cast<std::size_t>(run_end - run_start));
      const ssize_t got = ::pread(direct_fd_->fd, run.data(), run.size(), static_cast<off_t>(run_start + direct_base_));
      const bool run_ok = got == static_cast<ssize_t>(run.size());
      for (; j < e; ++j) {
        Found& f = found[order[j]];
        if (!run_ok) {  // the file changed or ends early: HDF5 says how
          std::lock_guard lock(mu);
          undecoded.push_back(f.task.origin);
          continue;
        }
        raw.resize(static_cast<std::size_t>(f.size));
        std::memcpy(raw.data(), run.data() + (f.addr - run_start), raw.size());
        process(f.task, scratch[static_cast<std::size_t>(w)]);
      }
    }
    for (Found& f : found) {
      if (f.get == Get::Direct || f.get == Get::Later) continue;
      if (f.get == Get::Hdf5) {
        std::lock_guard lock(mu);
        raw.resize(static_cast<std::size_t>(f.size));
        std::uint32_t filters = 0;
        if (H5Dread_chunk(ds_.get(), H5P_DEFAULT, f.offset.data(), &filters, raw.data()) < 0) fail_read();
        f.task.mask = filters;
      }
      process(f.task, scratch[static_cast<std::size_t>(w)]);
    }
    if (w == 0) report();
  });
  report();

  // Chunks we could not decode: HDF5 reads them (or says what is wrong).
  std::vector<std::int64_t> rlo(nd), rhi(nd);
  for (const auto& origin : undecoded) {
    progress.check_cancel();
    region_of(origin, rlo, rhi);
    if (dst_strides) {
      const std::vector<std::int64_t> ext = extents(rlo, rhi);
      std::vector<std::byte> tmp(static_cast<std::size_t>(product(ext)) * item);
      read_region(rlo, rhi, rlo, rhi, tmp.data());
      place_strided(tmp.data(), rlo, ext, rlo, rhi, lo, dst, *dst_strides, item);
    } else {
      read_region(lo, hi, rlo, rhi, dst);
    }
    progress.add(static_cast<std::uint64_t>(product(extents(rlo, rhi))) * item);
  }
}

// ---------------------------------------------------------------------------

namespace {

void check_window_fits(const std::string& key, const std::string& path, DType dtype, const Shape& shape) {
  std::uint64_t bytes = itemsize(dtype);
  for (auto e : shape) {
    if (__builtin_mul_overflow(bytes, static_cast<std::uint64_t>(e), &bytes)) bytes = UINT64_MAX;
  }
  const std::uint64_t phys = core::physical_memory();
  if (bytes > phys)
    throw BadInputError(
        fmt::format("Dataset '{}' in {} needs {} bytes in memory (shape {}), more than this machine has ({} bytes)",
                    key, path, bytes, shape_str(shape), phys));
}

class DatasetSource final : public PixelSource {
 public:
  DatasetSource(std::shared_ptr<const DatasetReader> reader, std::vector<int> perm)
      : reader_(std::move(reader)), perm_(std::move(perm)) {}

  NDArray read(std::int64_t y0, std::int64_t y1, std::int64_t x0, std::int64_t x1,
               const ReadControl& control) const override {
    return read_range(y0, y1, x0, x1, 0, band_extent(), control);
  }

  // Chunks that hold a few bands each, decoded here, can be read band group
  // by band group.
  std::int64_t band_step() const override {
    const auto& chunk = reader_->chunk();
    if (perm_.size() != 3 || !reader_->places_strided() || chunk.size() != 3) return 0;
    const std::int64_t step = chunk[static_cast<std::size_t>(perm_[2])];
    return step < band_extent() ? step : 0;
  }

  NDArray read_bands(std::int64_t y0, std::int64_t y1, std::int64_t x0, std::int64_t x1, std::int64_t b0,
                     std::int64_t b1, const ReadControl& control, std::byte* into) const override {
    return read_range(y0, y1, x0, x1, b0, b1, control, into);
  }

 private:
  std::int64_t band_extent() const {
    return perm_.size() > 2 ? reader_->shape()[static_cast<std::size_t>(perm_[2])] : 1;
  }

  NDArray read_range(std::int64_t y0, std::int64_t y1, std::int64_t x0, std::int64_t x1, std::int64_t b0,
                     std::int64_t b1, const ReadControl& control, std::byte* into = nullptr) const {
    const Shape& stored = reader_->shape();
    std::vector<std::int64_t> lo(stored.size(), 0), hi(stored.begin(), stored.end());
    lo[static_cast<std::size_t>(perm_[0])] = y0;
    hi[static_cast<std::size_t>(perm_[0])] = y1;
    lo[static_cast<std::size_t>(perm_[1])] = x0;
    hi[static_cast<std::size_t>(perm_[1])] = x1;
    if (perm_.size() > 2) {
      lo[static_cast<std::size_t>(perm_[2])] = b0;
      hi[static_cast<std::size_t>(perm_[2])] = b1;
    }
    const Shape box = extents(lo, hi);
    check_window_fits(reader_->key(), reader_->path(), reader_->dtype(), box);
    if (reader_->places_strided()) {
      // Decoded chunks land straight in the order a MAT-file stores (first
      // delivered axis fastest): the writer then copies runs instead of
      // transposing a cube it would read from memory again.
      const std::size_t nd = box.size();
      Shape reversed(nd);
      std::vector<int> back(nd);
      for (std::size_t i = 0; i < nd; ++i) {
        reversed[i] = box[static_cast<std::size_t>(perm_[nd - 1 - i])];
        back[i] = static_cast<int>(nd - 1 - i);
      }
      NDArray out = into ? NDArray::view(reader_->dtype(), reversed,
                                         NDArray::c_strides(reversed, itemsize(reader_->dtype())), into, nullptr)
                               .transpose(back)
                         : NDArray::allocate(reader_->dtype(), reversed).transpose(back);
      std::vector<std::int64_t> dst_strides(nd);
      for (std::size_t i = 0; i < nd; ++i) dst_strides[static_cast<std::size_t>(perm_[i])] = out.strides()[i];
      ReadProgress progress(control, out.nbytes());
      reader_->read_box_strided(lo, hi, out.mutable_data(), dst_strides, progress);
      return out;
    }
    NDArray out = NDArray::allocate(reader_->dtype(), box);
    ReadProgress progress(control, out.nbytes());
    reader_->read_box(lo, hi, out.mutable_data(), progress);
    return out.transpose(perm_);
  }

  std::shared_ptr<const DatasetReader> reader_;
  std::vector<int> perm_;
};

class StackSource final : public PixelSource {
 public:
  StackSource(std::vector<std::shared_ptr<const DatasetReader>> bands, bool flip)
      : bands_(std::move(bands)), flip_(flip) {}

  NDArray read(std::int64_t y0, std::int64_t y1, std::int64_t x0, std::int64_t x1,
               const ReadControl& control) const override {
    return read_bands(y0, y1, x0, x1, 0, static_cast<std::int64_t>(bands_.size()), control, nullptr);
  }

  // Each band is its own dataset, so a writer can take the cube band by
  // band without a buffer of all of it. Two bands are then read at once
  // from different threads, which only a thread-safe HDF5 allows. Bands
  // land in column-major order, as the MAT-file stores them, whole reads too.
  std::int64_t band_step() const override { return threadsafe_library() ? 1 : 0; }

  NDArray read_bands(std::int64_t y0, std::int64_t y1, std::int64_t x0, std::int64_t x1, std::int64_t b0,
                     std::int64_t b1, const ReadControl& control, std::byte* into) const override {
    const std::int64_t h = y1 - y0, w = x1 - x0, n = b1 - b0;
    const std::int64_t rows = bands_.front()->shape()[0];
    check_window_fits(bands_.front()->key(), bands_.front()->path(), bands_.front()->dtype(), Shape{h, w, n});
    const DType dtype = bands_.front()->dtype();
    const std::size_t item = itemsize(dtype);
    // Column-major (h, w, n): rows fastest, as the MAT-file stores them.
    const Shape reversed{n, w, h};
    NDArray out = into ? NDArray::view(dtype, reversed, NDArray::c_strides(reversed, item), into, nullptr)
                       : NDArray::allocate(dtype, reversed);
    ReadProgress progress(control, out.nbytes());
    const auto row_bytes = static_cast<std::int64_t>(item) * w;
    std::vector<std::byte> plane(static_cast<std::size_t>(row_bytes * h));
    const std::vector<std::int64_t> lo{flip_ ? rows - y1 : y0, x0}, hi{flip_ ? rows - y0 : y1, x1};
    for (std::int64_t k = b0; k < b1; ++k) {
      bands_[static_cast<std::size_t>(k)]->read_box(lo, hi, plane.data(), progress);
      if (h == 0 || w == 0) continue;
      // Rows stored bottom-up are walked from the last.
      const std::byte* first = flip_ ? plane.data() + (h - 1) * row_bytes : plane.data();
      core::transpose(first, flip_ ? -row_bytes : row_bytes, h, w, item, out.mutable_data() + (k - b0) * h * row_bytes,
                      h * static_cast<std::int64_t>(item));
    }
    return out.transpose({2, 1, 0});
  }

 private:
  static bool threadsafe_library() {
    hbool_t safe = 0;
    return H5is_library_threadsafe(&safe) >= 0 && safe;
  }

  std::vector<std::shared_ptr<const DatasetReader>> bands_;
  bool flip_;
};

}  // namespace

NDArray dataset_array(std::shared_ptr<const DatasetReader> reader, const std::vector<int>& perm,
                      const ReadControl& eager_control) {
  if (auto whole = reader->mapped_whole()) return whole->transpose(perm);
  const Shape& stored = reader->shape();
  if (stored.size() < 2 || NDArray::checked_size(stored) == 0) {
    Shape shape = stored;
    check_window_fits(reader->key(), reader->path(), reader->dtype(), shape);
    NDArray out = NDArray::allocate(reader->dtype(), shape);
    ReadProgress progress(eager_control, out.nbytes());
    reader->read_box(std::vector<std::int64_t>(stored.size(), 0),
                     std::vector<std::int64_t>(stored.begin(), stored.end()), out.mutable_data(), progress);
    return out.transpose(perm);
  }
  Shape delivered(stored.size());
  for (std::size_t i = 0; i < perm.size(); ++i) delivered[i] = stored[static_cast<std::size_t>(perm[i])];
  const DType dtype = reader->dtype();
  return NDArray::deferred(dtype, std::move(delivered), std::make_shared<DatasetSource>(std::move(reader), perm));
}

NDArray stacked_array(std::vector<std::shared_ptr<const DatasetReader>> bands, bool flip_rows) {
  const Shape& s = bands.front()->shape();
  Shape shape{s[0], s[1], static_cast<std::int64_t>(bands.size())};
  const DType dtype = bands.front()->dtype();
  return NDArray::deferred(dtype, std::move(shape), std::make_shared<StackSource>(std::move(bands), flip_rows));
}

}  // namespace vexil::formats::hdf5

#endif  // VEXIL_HAVE_HDF5
