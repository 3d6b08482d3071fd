// HDF5 image loader: one dataset of the file, named after the path's dataset
// specifier or chosen as the largest, read whole with one H5Dread.
#include <string>

#include "core/memory.hpp"
#include "text/utf8.hpp"
#include "vexil/errors.hpp"
#include "formats/hdf5/hdf5_format.hpp"

#ifdef VEXIL_HAVE_HDF5

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include <fmt/format.h>

#include "io/paths.hpp"
#include "text/text_format.hpp"
#include "formats/detect.hpp"
#include "libs/hdf5_handles.hpp"
#include "formats/hdf5/hdf5_attributes.hpp"

namespace vexil::formats::hdf5 {
namespace {

using libs::hdf5::Handle;
using libs::hdf5::native_int;

struct DatasetInfo {
  std::string name;             // as the visit reports it, made valid UTF-8
  std::string raw_name;         // as stored, for opening
  std::vector<hsize_t> dims;    // empty for scalar and null dataspaces
  bool null_space = false;
};

Handle open_file(const std::string& path) {
  struct stat st;
  // HDF5's own text for a folder is a multi-line read diagnostic.
  if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
    throw ReadError("[Errno 21] Unable to open file (is a directory: '" + path + "')");
  Handle fapl = libs::hdf5::checked(H5Pcreate(H5P_FILE_ACCESS), H5Pclose, "Cannot create file access properties");
  // Reading only: a file system without lock support must not stop the run.
  H5Pset_file_locking(fapl.get(), true, true);
  hid_t f = H5Fopen(path.c_str(), H5F_ACC_RDONLY, fapl.get());
  if (f >= 0) return Handle(f, H5Fclose);
  std::string msg = libs::hdf5::error_text("Unable to open file");
  if (::stat(path.c_str(), &st) != 0 && errno == ENOENT) throw NotFoundError("[Errno 2] " + msg);
  throw ReadError(msg);
}

// Every dataset of the file in visit order: by name, depth first,
// each object once.
std::vector<DatasetInfo> visit_datasets(hid_t file) {
  struct Ctx {
    std::vector<DatasetInfo> list;
    std::string error;
  } ctx;
  auto cb = [](hid_t root, const char* name, const H5O_info_t* info, void* data) -> herr_t {
    auto* c = static_cast<Ctx*>(data);
    if (std::strcmp(name, ".") == 0 || info->type != H5O_TYPE_DATASET) return 0;
    try {
      DatasetInfo d;
      d.raw_name = name;
      d.name = text::replace_invalid_utf8(name);
      hid_t ds = H5Dopen2(root, name, H5P_DEFAULT);
      if (ds < 0) {
        c->error = fmt::format("Cannot open dataset '{}': {}", d.name, libs::hdf5::error_text("unknown error"));
        return -1;
      }
      Handle dsh(ds, H5Dclose);
      Handle space = libs::hdf5::space_handle(H5Dget_space(ds), "cannot read a dataspace");
      const H5S_class_t cls = H5Sget_simple_extent_type(space.get());
      if (cls == H5S_NULL) {
        d.null_space = true;
      } else if (cls == H5S_SIMPLE) {
        const int rank = H5Sget_simple_extent_ndims(space.get());
        if (rank < 0) libs::hdf5::throw_io("cannot read a dataspace");
        d.dims.resize(static_cast<std::size_t>(rank));
        if (rank > 0 && H5Sget_simple_extent_dims(space.get(), d.dims.data(), nullptr) < 0)
          libs::hdf5::throw_io("cannot read a dataspace");
      } else if (cls != H5S_SCALAR) {
        libs::hdf5::throw_io("unknown dataspace");
      }
      c->list.push_back(std::move(d));
    } catch (const std::exception& e) {
      c->error = fmt::format("Cannot read dataset '{}': {}", text::replace_invalid_utf8(name), e.what());
      return -1;
    }
    return 0;
  };
  if (H5Ovisit2(file, H5_INDEX_NAME, H5_ITER_INC, cb, &ctx, H5O_INFO_BASIC) < 0) {
    if (!ctx.error.empty()) {
      H5Eclear2(H5E_DEFAULT);
      throw ReadError(ctx.error);
    }
    libs::hdf5::throw_io("Cannot list the objects of the file");
  }
  return ctx.list;
}

// Whether the file holds `name`: every part but the last must be a group reached
// through an existing link; the last part needs only a link (even dangling).
bool contains(hid_t file, const std::string& name) {
  if (name.empty()) return false;
  std::vector<std::string> parts;
  for (std::size_t pos = 0; pos <= name.size();) {
    std::size_t next = name.find('/', pos);
    if (next == std::string::npos) next = name.size();
    if (next > pos) parts.push_back(name.substr(pos, next - pos));
    pos = next + 1;
  }
  if (parts.empty()) return true;
  Handle current = libs::hdf5::checked(H5Gopen2(file, "/", H5P_DEFAULT), H5Gclose, "cannot open the root group");
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const std::string& part = parts[i];
    if (part == ".") continue;
    if (H5Lexists(current.get(), part.c_str(), H5P_DEFAULT) <= 0) {
      H5Eclear2(H5E_DEFAULT);
      return false;
    }
    if (i + 1 == parts.size()) return true;
    if (H5Oexists_by_name(current.get(), part.c_str(), H5P_DEFAULT) <= 0) {
      H5Eclear2(H5E_DEFAULT);
      return false;
    }
    hid_t obj = H5Oopen(current.get(), part.c_str(), H5P_DEFAULT);
    if (obj < 0) {
      H5Eclear2(H5E_DEFAULT);
      return false;
    }
    Handle objh(obj, H5Oclose);
    H5O_info_t info;
    if (H5Oget_info2(obj, &info, H5O_INFO_BASIC) < 0 || info.type != H5O_TYPE_GROUP) {
      H5Eclear2(H5E_DEFAULT);
      return false;
    }
    current = std::move(objh);
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
        char* m = H5Tget_member_name(t, static_cast<unsigned>(i));
        if (i) s += ", ";
        s += m ? text::replace_invalid_utf8(m) : "?";
        if (m) H5free_memory(m);
      }
      return s + "}";
    }
    default: return "unknown";
  }
}

DType int_dtype(std::size_t size, bool is_signed) {
  switch (size) {
    case 1: return is_signed ? DType::Int8 : DType::UInt8;
    case 2: return is_signed ? DType::Int16 : DType::UInt16;
    case 4: return is_signed ? DType::Int32 : DType::UInt32;
    default: return is_signed ? DType::Int64 : DType::UInt64;
  }
}

Handle copy_type(hid_t t) { return libs::hdf5::type_handle(H5Tcopy(t), "cannot copy a datatype"); }

// How a dataset's elements are read: the memory type HDF5 converts into and
// the array's element type. Boolean enums are read as their base integers
// and narrowed afterwards.
struct ReadPlan {
  DType dtype = DType::UInt8;
  Handle mem;
  std::size_t mem_size = 0;
  bool bool_enum = false;
  bool bool_enum_signed = false;
};

std::string member_name(hid_t t, unsigned i) {
  char* p = H5Tget_member_name(t, i);
  if (!p) return {};
  std::string s(p);
  H5free_memory(p);
  return s;
}

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

ReadPlan plan_read(hid_t ftype, const std::string& key, const std::string& path) {
  ReadPlan p;
  if (!libs::hdf5::sane_type(ftype)) {
    H5Eclear2(H5E_DEFAULT);
    throw BadInputError(fmt::format("Dataset '{}' in {} has a damaged datatype", key, path));
  }
  const std::size_t size = H5Tget_size(ftype);
  auto refuse = [&]() -> ReadPlan {
    throw BadInputError(fmt::format(
        "Dataset '{}' in {} holds {} values, which cannot be read as an image "
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
      hid_t n = size == 1 ? H5T_NATIVE_B8 : size == 2 ? H5T_NATIVE_B16 : size == 4 ? H5T_NATIVE_B32
                : size == 8 ? H5T_NATIVE_B64 : H5I_INVALID_HID;
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
    default:
      return refuse();
  }
  p.mem_size = H5Tget_size(p.mem.get());
  return p;
}

NDArray read_dataset(hid_t file, hid_t ds, const std::string& key, const std::string& path) {
  Handle space = libs::hdf5::space_handle(H5Dget_space(ds), "Cannot read the dataset's dataspace");
  const H5S_class_t cls = H5Sget_simple_extent_type(space.get());
  if (cls == H5S_NULL)
    throw BadInputError(fmt::format("Dataset '{}' in {} is empty (null dataspace): it holds no data", key, path));
  Shape shape;
  if (cls == H5S_SIMPLE) {
    const int rank = H5Sget_simple_extent_ndims(space.get());
    if (rank < 0) libs::hdf5::throw_io("Cannot read the dataset's dataspace");
    std::vector<hsize_t> dims(static_cast<std::size_t>(rank));
    if (rank > 0) H5Sget_simple_extent_dims(space.get(), dims.data(), nullptr);
    for (hsize_t d : dims) {
      if (d > static_cast<hsize_t>(INT64_MAX))
        throw BadInputError(fmt::format("Dataset '{}' in {} has an impossible extent {}", key, path, d));
      shape.push_back(static_cast<std::int64_t>(d));
    }
  }
  Handle ftype = libs::hdf5::type_handle(H5Dget_type(ds), "Cannot read the dataset's datatype");
  ReadPlan plan = plan_read(ftype.get(), key, path);

  std::int64_t n = 0;
  try {
    n = NDArray::checked_size(shape);
  } catch (const BadInputError&) {
    throw BadInputError(fmt::format("Dataset '{}' in {} is too large: its element count overflows", key, path));
  }
  std::uint64_t read_bytes = 0, file_bytes = 0;
  if (__builtin_mul_overflow(static_cast<std::uint64_t>(n), plan.mem_size, &read_bytes) ||
      __builtin_mul_overflow(static_cast<std::uint64_t>(n), H5Tget_size(ftype.get()), &file_bytes))
    throw BadInputError(fmt::format("Dataset '{}' in {} is too large: its byte count overflows", key, path));

  // A contiguous dataset's data lies in one block of the file: if that block
  // runs past the end, the file is truncated or the header is corrupt.
  {
    Handle dcpl = libs::hdf5::checked(H5Dget_create_plist(ds), H5Pclose, "Cannot read the dataset's properties");
    if (H5Pget_layout(dcpl.get()) == H5D_CONTIGUOUS && H5Pget_external_count(dcpl.get()) == 0) {
      const haddr_t addr = H5Dget_offset(ds);
      hsize_t fsize = 0;
      if (addr != HADDR_UNDEF && H5Fget_filesize(file, &fsize) >= 0 &&
          (addr > fsize || file_bytes > fsize - addr))
        throw BadInputError(fmt::format(
            "Dataset '{}' in {} claims {} bytes at offset {}, but the file has only {} bytes "
            "(truncated or corrupt)",
            key, path, file_bytes, addr, fsize));
    }
    H5Eclear2(H5E_DEFAULT);
  }
  std::uint64_t need = read_bytes;
  if (plan.bool_enum && plan.mem_size > 1) need += static_cast<std::uint64_t>(n);
  const std::uint64_t phys = core::physical_memory();
  if (need > phys)
    throw BadInputError(fmt::format(
        "Dataset '{}' in {} needs {} bytes in memory (shape {}), more than this machine has ({} bytes)", key,
        path, need, shape_str(shape), phys));

  NDArray raw = NDArray::allocate(plan.bool_enum ? int_dtype(plan.mem_size, plan.bool_enum_signed) : plan.dtype,
                                  shape);
  if (n > 0 && H5Dread(ds, plan.mem.get(), H5S_ALL, H5S_ALL, H5P_DEFAULT, raw.mutable_data()) < 0)
    libs::hdf5::throw_io("Unable to read the dataset");
  if (!plan.bool_enum) return raw;

  // Narrow the boolean enum to one byte per element; any other stored
  // value is not a boolean and would be silently changed, so refuse it.
  NDArray out = plan.mem_size == 1 ? raw : NDArray::allocate(DType::Bool, shape);
  const std::byte* src = raw.data();
  auto* dst = reinterpret_cast<unsigned char*>(out.mutable_data());
  for (std::int64_t i = 0; i < n; ++i) {
    std::uint64_t v = 0;
    std::memcpy(&v, src + i * plan.mem_size, plan.mem_size);  // native little-endian: low bytes first
    if (v > 1)
      throw BadInputError(fmt::format("Dataset '{}' in {} is boolean but holds a value other than FALSE and TRUE",
                                   key, path));
    dst[i] = static_cast<unsigned char>(v);
  }
  return NDArray::view(DType::Bool, shape, NDArray::c_strides(shape, 1), out.mutable_data(), out.keep_alive());
}

std::vector<std::string> names_of(const std::vector<DatasetInfo>& list) {
  std::vector<std::string> names;
  names.reserve(list.size());
  for (const auto& d : list) names.push_back(d.name);
  return names;
}

}  // namespace

LoadResult load_hdf5(const std::string& path_arg, const ReadOptions&) {
  libs::hdf5::silence_errors();

  const DatasetPath split = split_dataset_specifier(path_arg);
  const std::string& path = split.file;
  std::string dataset_key = split.dataset;
  const bool named = split.has_dataset && !dataset_key.empty();

  LoadResult result;
  Metadata& meta = result.meta;

  Handle file = open_file(path);
  const std::vector<DatasetInfo> datasets = visit_datasets(file.get());

  Metadata available = Metadata::object();
  for (const auto& d : datasets) {
    Metadata dims = Metadata::array();
    for (hsize_t e : d.dims) dims.push_back(static_cast<std::uint64_t>(e));
    available[d.name] = std::move(dims);
  }
  meta["available_datasets"] = std::move(available);

  std::string open_name;
  if (named) {
    if (!contains(file.get(), dataset_key))
      throw MissingKeyError(fmt::format("Dataset '{}' not found in {}.\nAvailable datasets: {}", dataset_key, path,
                                 text::str_list_repr(names_of(datasets))));
    open_name = dataset_key;
  } else {
    const DatasetInfo* best = nullptr;
    unsigned __int128 best_count = 0;
    for (const auto& d : datasets) {
      if (d.null_space) continue;  // holds nothing to read
      unsigned __int128 count = 1;
      for (hsize_t e : d.dims) {
        count *= e;
        if (count > (static_cast<unsigned __int128>(1) << 100)) count = static_cast<unsigned __int128>(1) << 100;
      }
      if (!best || count > best_count) {
        best = &d;
        best_count = count;
      }
    }
    if (!best) throw BadInputError("No datasets found in " + path);
    dataset_key = best->name;
    open_name = best->raw_name;
  }

  hid_t obj = H5Oopen(file.get(), open_name.c_str(), H5P_DEFAULT);
  if (obj < 0) throw MissingKeyError(libs::hdf5::error_text("Unable to open object"));
  Handle ds(obj, H5Oclose);
  const H5I_type_t kind = H5Iget_type(obj);
  if (kind != H5I_DATASET)
    throw BadInputError(fmt::format("'{}' in {} is a {}, not a dataset.\nAvailable datasets: {}", dataset_key, path,
                                 kind == H5I_GROUP ? "group" : "named datatype",
                                 text::str_list_repr(names_of(datasets))));

  NDArray data = read_dataset(file.get(), ds.get(), dataset_key, path);
  meta["dataset_used"] = dataset_key;

  Metadata ds_attrs = read_attributes(ds.get());
  if (!ds_attrs.empty()) meta["dataset_attrs"] = std::move(ds_attrs);
  {
    Handle root = libs::hdf5::checked(H5Gopen2(file.get(), "/", H5P_DEFAULT), H5Gclose, "Cannot open the root group");
    Metadata file_attrs = read_attributes(root.get());
    if (!file_attrs.empty()) meta["file_attrs"] = std::move(file_attrs);
  }
  ds.reset();
  file.reset();
  H5Eclear2(H5E_DEFAULT);

  if (data.ndim() == 3) {
    const auto& s = data.shape();
    if (s[0] < s[1] && s[0] < s[2]) {
      data = data.transpose({1, 2, 0});
      meta["_transposed"] = "CHW \u2192 HWC";
    }
  }
  meta["_source_format"] = "HDF5";
  meta["_source_file"] = io::abspath(path);
  result.data = std::move(data);
  return result;
}

}  // namespace vexil::formats::hdf5

#else  // !VEXIL_HAVE_HDF5

namespace vexil::formats::hdf5 {

LoadResult load_hdf5(const std::string&, const ReadOptions&) {
  throw ReadError("HDF5 support is not built into this program");
}

}  // namespace vexil::formats::hdf5

#endif

namespace vexil::formats::hdf5 {
namespace {
constexpr std::string_view kExtensions[] = {".h5", ".hdf5", ".he5", ".hdf"};
}  // namespace

const Format kFormat{"hdf5", kExtensions, {}, "hdf5", &load_hdf5, nullptr};

}  // namespace vexil::formats::hdf5
