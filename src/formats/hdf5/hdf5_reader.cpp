// HDF5 image and label loader: one dataset of the file (or the 2-D bands the
// file marks as one raster), named after the path's dataset specifier or
// chosen as the largest, delivered as (height, width, bands) in the order
// the file says it is stored, with what the file declares about its bands.
#include <string>

#include "core/memory.hpp"
#include "formats/hdf5/hdf5_format.hpp"
#include "formats/hdf5/hdf5_signature.hpp"
#include "text/utf8.hpp"
#include "vexil/errors.hpp"

#ifdef VEXIL_HAVE_HDF5

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include <fmt/format.h>

#include "formats/band_facts.hpp"
#include "formats/detect.hpp"
#include "formats/hdf5/hdf5_attributes.hpp"
#include "formats/hdf5/hdf5_layout.hpp"
#include "formats/hdf5/hdf5_storage.hpp"
#include "formats/products/product_table.hpp"
#include "formats/products/product_values.hpp"
#include "io/paths.hpp"
#include "libs/hdf5_handles.hpp"
#include "text/text_format.hpp"

namespace vexil::formats::hdf5 {
namespace {

using libs::hdf5::Handle;

enum class Purpose { Image, Labels, Mat73Image };

struct DatasetInfo {
  std::string name;           // as the visit reports it, made valid UTF-8
  std::string raw_name;       // as stored, for opening
  std::vector<hsize_t> dims;  // empty for scalar and null dataspaces
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
  if (foreign_container(path)) throw UnsupportedFormatError(*not_hdf5_reason(path));
  if (auto reason = not_hdf5_reason(path)) throw BadInputError(*reason);
  // An HDF5 file HDF5 cannot open: say which file, and what HDF5 found.
  std::uint64_t eof = 0, stored_eof = 0;
  const auto at = msg.find("truncated file: eof = ");
  if (at != std::string::npos &&
      std::sscanf(msg.c_str() + at, "truncated file: eof = %" SCNu64 ", sblock->base_addr = %*u, stored_eof = %" SCNu64,
                  &eof, &stored_eof) == 2)
    throw BadInputError(
        fmt::format("{} is truncated: it holds {} bytes, its HDF5 header says {}", path, eof, stored_eof));
  throw ReadError(fmt::format("Cannot open {} as HDF5: {}", path, msg));
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

std::vector<std::string> names_of(const std::vector<DatasetInfo>& list) {
  std::vector<std::string> names;
  names.reserve(list.size());
  for (const auto& d : list) names.push_back(d.name);
  return names;
}

unsigned __int128 element_count(const std::vector<hsize_t>& dims) {
  unsigned __int128 count = 1;
  for (hsize_t e : dims) {
    count *= e;
    if (count > (static_cast<unsigned __int128>(1) << 100)) count = static_cast<unsigned __int128>(1) << 100;
  }
  return count;
}

Shape shape_of(const std::vector<hsize_t>& dims) { return Shape(dims.begin(), dims.end()); }

// A dataset opened by name; an invalid handle (errors cleared) when it cannot be.
Handle try_open_dataset(hid_t file, const std::string& name) {
  hid_t ds = H5Dopen2(file, name.c_str(), H5P_DEFAULT);
  if (ds < 0) {
    H5Eclear2(H5E_DEFAULT);
    return {};
  }
  return Handle(ds, H5Dclose);
}

// A small dataset's values (band tables, coordinates): at most a million elements.
std::optional<NDArray> small_dataset(hid_t file, const std::string& name, const std::string& path) {
  Handle ds = try_open_dataset(file, name);
  if (!ds) return std::nullopt;
  try {
    auto reader = std::make_shared<DatasetReader>(std::move(ds), name, path);
    if (NDArray::checked_size(reader->shape()) > (1 << 20)) return std::nullopt;
    const std::vector<int> identity = [&] {
      std::vector<int> p(reader->shape().size());
      for (std::size_t i = 0; i < p.size(); ++i) p[i] = static_cast<int>(i);
      return p;
    }();
    NDArray a = dataset_array(reader, identity, ReadControl{1});
    return a.materialize(ReadControl{1});
  } catch (const Error&) {
    H5Eclear2(H5E_DEFAULT);
    return std::nullopt;
  }
}

std::optional<Metadata> object_attributes(hid_t file, const std::string& name) {
  hid_t obj = H5Oopen(file, name.c_str(), H5P_DEFAULT);
  if (obj < 0) {
    H5Eclear2(H5E_DEFAULT);
    return std::nullopt;
  }
  Handle h(obj, H5Oclose);
  return read_attributes(obj);
}

std::optional<Metadata> one_attribute(hid_t file, const std::string& object, const char* attr) {
  if (H5Aexists_by_name(file, object.c_str(), attr, H5P_DEFAULT) <= 0) {
    H5Eclear2(H5E_DEFAULT);
    return std::nullopt;
  }
  hid_t a = H5Aopen_by_name(file, object.c_str(), attr, H5P_DEFAULT, H5P_DEFAULT);
  if (a < 0) {
    H5Eclear2(H5E_DEFAULT);
    return std::nullopt;
  }
  Handle h(a, H5Aclose);
  return attribute_value(a);
}

// --- dimension scales -------------------------------------------------------

struct Dimension {
  std::string path;                // the scale dataset, from the root ("/y")
  std::vector<std::string> names;  // its base name and its NAME attribute
  bool coordinate = false;         // a real variable (values), not only a netCDF dimension
};

// The dimension scales attached to each axis (DIMENSION_LIST); an axis without
// one gets an empty entry. Damaged lists are ignored.
std::vector<Dimension> dimensions(hid_t ds, std::size_t rank) {
  std::vector<Dimension> dims(rank);
  if (rank == 0 || H5Aexists(ds, "DIMENSION_LIST") <= 0) {
    H5Eclear2(H5E_DEFAULT);
    return dims;
  }
  hid_t a = H5Aopen(ds, "DIMENSION_LIST", H5P_DEFAULT);
  if (a < 0) {
    H5Eclear2(H5E_DEFAULT);
    return dims;
  }
  Handle attr(a, H5Aclose);
  Handle ftype(H5Aget_type(a), H5Tclose);
  Handle space(H5Aget_space(a), H5Sclose);
  if (!ftype || !space || H5Tget_class(ftype.get()) != H5T_VLEN ||
      H5Sget_simple_extent_npoints(space.get()) != static_cast<hssize_t>(rank)) {
    H5Eclear2(H5E_DEFAULT);
    return dims;
  }
  Handle base(H5Tget_super(ftype.get()), H5Tclose);
  if (!base || H5Tget_class(base.get()) != H5T_REFERENCE || H5Tequal(base.get(), H5T_STD_REF_OBJ) <= 0) {
    H5Eclear2(H5E_DEFAULT);
    return dims;
  }
  Handle mem(H5Tvlen_create(H5T_STD_REF_OBJ), H5Tclose);
  std::vector<hvl_t> lists(rank);
  if (!mem || H5Aread(a, mem.get(), lists.data()) < 0) {
    H5Eclear2(H5E_DEFAULT);
    return dims;
  }
  for (std::size_t i = 0; i < rank; ++i) {
    if (lists[i].len == 0 || !lists[i].p) continue;
    hobj_ref_t ref = static_cast<hobj_ref_t*>(lists[i].p)[0];
    hid_t obj = H5Rdereference2(ds, H5P_DEFAULT, H5R_OBJECT, &ref);
    if (obj < 0) continue;
    Handle o(obj, H5Oclose);
    char buf[1024] = {};
    const ssize_t n = H5Iget_name(obj, buf, sizeof buf);
    if (n > 0) {
      dims[i].path = buf;
      const std::string_view base_name = products::base_name(dims[i].path);
      if (!base_name.empty()) dims[i].names.emplace_back(base_name);
    }
    dims[i].coordinate = true;
    if (H5Aexists(obj, "NAME") > 0) {
      hid_t na = H5Aopen(obj, "NAME", H5P_DEFAULT);
      if (na >= 0) {
        Handle nah(na, H5Aclose);
        const Metadata v = attribute_value(na);
        if (v.is_string()) {
          const std::string s = v.get<std::string>();
          // netCDF-4 marks a dimension without a variable of its own this way.
          if (s.starts_with("This is a netCDF dimension but not a netCDF variable"))
            dims[i].coordinate = false;
          else if (!s.empty())
            dims[i].names.push_back(s);
        }
      }
    }
  }
  H5Dvlen_reclaim(mem.get(), space.get(), H5P_DEFAULT, lists.data());
  H5Eclear2(H5E_DEFAULT);
  return dims;
}

// --- 2-D datasets that the file marks as the bands of one raster ---------------

struct Stack {
  std::vector<const DatasetInfo*> members;  // in band order
  bool gdal = false;                        // GDAL's Band1 ... BandN
};

std::string parent_of(const std::string& name) {
  const auto slash = name.rfind('/');
  return slash == std::string::npos ? std::string() : name.substr(0, slash);
}

// N of a dataset named BandN (N >= 1), else 0.
long band_number(std::string_view base) {
  if (!base.starts_with("Band") || base.size() == 4 || base.size() > 12) return 0;
  long n = 0;
  for (char c : base.substr(4)) {
    if (c < '0' || c > '9') return 0;
    n = n * 10 + (c - '0');
  }
  return base[4] == '0' ? 0 : n;
}

bool same_type(hid_t file, const DatasetInfo& a, const DatasetInfo& b) {
  Handle da = try_open_dataset(file, a.raw_name), db = try_open_dataset(file, b.raw_name);
  if (!da || !db) return false;
  Handle ta(H5Dget_type(da.get()), H5Tclose), tb(H5Dget_type(db.get()), H5Tclose);
  const bool same = ta && tb && H5Tequal(ta.get(), tb.get()) > 0;
  H5Eclear2(H5E_DEFAULT);
  return same;
}

std::vector<Stack> find_stacks(hid_t file, const std::vector<DatasetInfo>& datasets, const Metadata& file_attrs) {
  std::vector<Stack> stacks;
  const bool gdal_file = file_attrs.is_object() && file_attrs.contains("GDAL");
  std::map<std::string, std::map<long, const DatasetInfo*>> numbered;  // parent -> N -> dataset
  std::map<std::pair<std::string, std::vector<hsize_t>>, std::vector<std::pair<double, const DatasetInfo*>>> by_wl;
  for (const auto& d : datasets) {
    if (d.null_space || d.dims.size() != 2) continue;
    const std::string_view base = products::base_name(d.name);
    if (const long n = band_number(base)) {
      numbered[parent_of(d.name)][n] = &d;
      continue;
    }
    if (auto wl = one_attribute(file, d.raw_name, "wavelength")) {
      if (auto w = products::number(*wl)) by_wl[{parent_of(d.name), d.dims}].emplace_back(*w, &d);
    }
  }
  for (const auto& [parent, bands] : numbered) {
    Stack s;
    s.gdal = true;
    for (long n = 1;; ++n) {
      const auto it = bands.find(n);
      if (it == bands.end()) break;
      if (!s.members.empty() &&
          (it->second->dims != s.members.front()->dims || !same_type(file, *s.members.front(), *it->second)))
        break;
      s.members.push_back(it->second);
    }
    if (s.members.empty()) continue;
    // One band alone is a GDAL raster only when the file says GDAL wrote it.
    if (s.members.size() == 1) {
      auto ln = one_attribute(file, s.members.front()->raw_name, "long_name");
      const bool gdal_band = ln && ln->is_string() && ln->get<std::string>().starts_with("GDAL Band Number");
      if (!gdal_file && !gdal_band) continue;
    }
    stacks.push_back(std::move(s));
  }
  for (auto& [key, list] : by_wl) {
    if (list.size() < 2) continue;
    std::stable_sort(list.begin(), list.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    Stack s;
    for (const auto& [w, d] : list) {
      if (!s.members.empty() && !same_type(file, *s.members.front(), *d)) {
        s.members.clear();
        break;
      }
      s.members.push_back(d);
    }
    if (s.members.size() >= 2) stacks.push_back(std::move(s));
  }
  return stacks;
}

// Rows of GDAL's netCDF are stored bottom-up (y ascending) unless its y
// coordinate says otherwise (WRITE_BOTTOMUP=NO writes y descending).
bool rows_bottom_up(hid_t file, const Stack& stack, const Metadata& file_attrs, const std::string& path) {
  const DatasetInfo& first = *stack.members.front();
  const bool gdal_file = file_attrs.is_object() && file_attrs.contains("GDAL");
  auto ln = one_attribute(file, first.raw_name, "long_name");
  const bool gdal_band = ln && ln->is_string() && ln->get<std::string>().starts_with("GDAL Band Number");
  if (!gdal_file && !gdal_band) return false;
  Handle ds = try_open_dataset(file, first.raw_name);
  if (!ds) return true;
  const std::vector<Dimension> dims = dimensions(ds.get(), 2);
  if (!dims[0].coordinate || dims[0].path.empty()) return true;
  auto y = small_dataset(file, dims[0].path, path);
  if (!y) return true;
  auto values = products::numbers(*y);
  if (!values || values->size() < 2) return true;
  return !(values->front() > values->back());
}

// --- band facts -------------------------------------------------------------

// A declared value as stored: the number, or the first of a list.
std::optional<Metadata> declared_number(const Metadata* v) {
  if (!v) return std::nullopt;
  if (v->is_number()) return *v;
  if (v->is_array() && !v->empty() && (*v)[0].is_number()) return (*v)[0];
  return std::nullopt;
}

const Metadata* attr_of(const Metadata& attrs, const char* key) { return products::member(&attrs, key); }

// Fill value and scale from a variable's netCDF/CF attributes.
void value_facts(const Metadata& attrs, BandFacts& facts) {
  if (auto f = declared_number(attr_of(attrs, "_FillValue")))
    facts.fill_value = *f;
  else if (auto m = declared_number(attr_of(attrs, "missing_value")))
    facts.fill_value = *m;
  auto sf = declared_number(attr_of(attrs, "scale_factor"));
  auto ao = declared_number(attr_of(attrs, "add_offset"));
  if (sf || ao)
    facts.scale = Metadata{{"gain", sf ? *sf : Metadata(1.0)},
                           {"offset", ao ? *ao : Metadata(0.0)},
                           {"apply", "value = gain * DN + offset"}};
}

std::optional<std::string> text_attr(const Metadata& attrs, std::initializer_list<const char*> keys) {
  for (const char* k : keys)
    if (const Metadata* v = attr_of(attrs, k); v && v->is_string()) return v->get<std::string>();
  return std::nullopt;
}

// Keeps only facts that describe `bands` bands.
void fit_to_bands(BandFacts& f, std::int64_t bands) {
  const auto n = static_cast<std::size_t>(std::max<std::int64_t>(bands, 0));
  if (f.wavelength && f.wavelength->size() != n) f.wavelength.reset();
  if (f.fwhm && f.fwhm->size() != n) f.fwhm.reset();
  if (f.bad_bands &&
      std::any_of(f.bad_bands->begin(), f.bad_bands->end(), [&](std::int64_t i) { return i < 0 || i >= bands; }))
    f.bad_bands.reset();
  if (!f.wavelength) f.wavelength_units.reset();
}

bool is_wavelength_name(std::string_view n) {
  std::string s(n);
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s.find("wavelength") != std::string::npos;
}

// The product's facts, completed by what the file itself declares.
BandFacts merged(const BandFacts& product, const BandFacts& file) {
  BandFacts out = product;
  const bool from_file = take_missing_facts(out, file);
  const bool from_product = product.wavelength || product.fwhm || product.bad_bands || product.wavelength_units ||
                            product.fill_value || product.scale;
  if (!from_product)
    out.source = file.source;
  else if (from_file)
    out.source = product.source + ", " + file.source;
  return out;
}

// --- the load ---------------------------------------------------------------

struct Chosen {
  std::string key;       // as named or as the visit reported it
  std::string raw_name;  // for opening
  const Stack* stack = nullptr;
};

std::string relative(const std::string& name) { return std::string(products::relative_name(name)); }

std::string style_warning(const core::Job& job, const std::string& text) {
  return "  " + job.palette().yellow + "\u26a0 " + text + job.palette().reset;
}

bool matlab_numeric_class(const Metadata& attrs) {
  const Metadata* c = attr_of(attrs, "MATLAB_class");
  if (!c || !c->is_string()) return false;
  static const char* const kNumeric[] = {"double", "single", "int8",  "uint8",  "int16",  "uint16",
                                         "int32",  "uint32", "int64", "uint64", "logical"};
  const std::string s = c->get<std::string>();
  return std::any_of(std::begin(kNumeric), std::end(kNumeric), [&](const char* k) { return s == k; });
}

LoadResult load_impl(const std::string& path, const std::optional<std::string>& named_key, Purpose purpose,
                     const ReadOptions& options) {
  libs::hdf5::silence_errors();
  const core::Job& job = core::job_or_silent(options.job);
  const Layout requested = purpose == Purpose::Labels ? Layout::Auto : options.layout;

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
  Metadata file_attrs;
  {
    Handle root = libs::hdf5::checked(H5Gopen2(file.get(), "/", H5P_DEFAULT), H5Gclose, "Cannot open the root group");
    file_attrs = read_attributes(root.get());
  }
  const bool mat_file = is_mat73_file(path);

  // What a known product says about the file.
  Metadata probe = Metadata::object();
  probe["file_attrs"] = file_attrs;
  products::ProductInput in;
  in.path = path;
  in.container = "hdf5";
  in.meta = &probe;
  for (const auto& d : datasets) in.datasets.emplace_back(d.name, shape_of(d.dims));
  in.read_dataset = [&](const std::string& name) { return small_dataset(file.get(), name, path); };
  in.read_attributes = [&](const std::string& name) { return object_attributes(file.get(), name); };
  const products::Product* product = purpose == Purpose::Image ? products::find_product(in) : nullptr;

  // --- which dataset ---
  Chosen chosen;
  std::vector<Stack> stacks;
  if (named_key) {
    if (!contains(file.get(), *named_key))
      throw MissingKeyError(fmt::format("Dataset '{}' not found in {}.\nAvailable datasets: {}", *named_key, path,
                                        text::str_list_repr(names_of(datasets))));
    chosen.key = chosen.raw_name = *named_key;
  } else if (purpose == Purpose::Mat73Image) {
    // MATLAB variables are the root's numeric datasets.
    const DatasetInfo* best = nullptr;
    for (const auto& d : datasets) {
      if (d.null_space || d.name.find('/') != std::string::npos) continue;
      auto attrs = object_attributes(file.get(), d.raw_name);
      if (!attrs || !matlab_numeric_class(*attrs)) continue;
      if (!best || element_count(d.dims) > element_count(best->dims)) best = &d;
    }
    if (!best) throw BadInputError("No numeric variable found in " + path);
    chosen.key = best->name;
    chosen.raw_name = best->raw_name;
  } else {
    std::optional<std::string> preferred = product && product->cube_dataset ? product->cube_dataset(in) : std::nullopt;
    const DatasetInfo* by_product = nullptr;
    if (preferred)
      for (const auto& d : datasets)
        if (relative(d.name) == relative(*preferred) && !d.null_space) by_product = &d;
    if (by_product) {
      chosen.key = by_product->name;
      chosen.raw_name = by_product->raw_name;
    } else {
      stacks = find_stacks(file.get(), datasets, file_attrs);
      std::map<const DatasetInfo*, const Stack*> member_of;
      for (const auto& s : stacks)
        for (const DatasetInfo* m : s.members) member_of[m] = &s;
      const DatasetInfo* best = nullptr;
      const Stack* best_stack = nullptr;
      unsigned __int128 best_count = 0;
      std::vector<const Stack*> seen;
      for (const auto& d : datasets) {
        if (d.null_space) continue;  // holds nothing to read
        unsigned __int128 count = element_count(d.dims);
        const Stack* s = nullptr;
        if (auto it = member_of.find(&d); it != member_of.end()) {
          s = it->second;
          if (std::find(seen.begin(), seen.end(), s) != seen.end()) continue;
          seen.push_back(s);
          count *= s->members.size();
        }
        if (!best || count > best_count) {
          best = &d;
          best_stack = s;
          best_count = count;
        }
      }
      if (!best) throw BadInputError("No datasets found in " + path);
      chosen.key = best->name;
      chosen.raw_name = best->raw_name;
      chosen.stack = best_stack;
    }
  }

  NDArray data;
  Metadata ds_attrs = Metadata::object();
  std::optional<AxisOrder> order;
  BandFacts product_facts, file_facts;
  bool flipped = false;
  std::vector<std::string> used;  // datasets the array comes from
  Shape stored_shape;
  const ReadControl eager = job.read_control("reading " + io::basename(path));

  if (chosen.stack) {
    const Stack& st = *chosen.stack;
    const Shape band_shape = shape_of(st.members.front()->dims);
    if (requested != Layout::Auto)
      throw UsageError(fmt::format(
          "argument --layout: {} does not fit '{}' of shape {}: its bands are {} 2-D datasets, not one cube",
          layout_name(requested), st.members.front()->name, shape_str(band_shape), st.members.size()));
    std::vector<std::shared_ptr<const DatasetReader>> readers;
    Metadata band_attrs = Metadata::array();
    std::vector<double> wl, fw;
    for (const DatasetInfo* m : st.members) {
      Handle ds = try_open_dataset(file.get(), m->raw_name);
      if (!ds) libs::hdf5::throw_io(fmt::format("Cannot open dataset '{}' in {}", m->name, path));
      Metadata attrs = read_attributes(ds.get());
      if (auto w = products::number(attrs.value("wavelength", Metadata()))) wl.push_back(*w);
      if (auto f = products::number(attrs.value("fwhm", Metadata()))) fw.push_back(*f);
      band_attrs.push_back(attrs);
      readers.push_back(std::make_shared<DatasetReader>(std::move(ds), m->name, path));
      used.push_back(m->name);
    }
    flipped = rows_bottom_up(file.get(), st, file_attrs, path);
    data = stacked_array(std::move(readers), flipped);
    meta["available_datasets"] = std::move(available);
    meta["dataset_used"] = st.members.size() == 1 ? used.front() : used.front() + " \u2026 " + used.back();
    meta["bands_from"] = used;
    meta["band_attrs"] = std::move(band_attrs);
    if (!file_attrs.empty()) meta["file_attrs"] = file_attrs;
    if (flipped) meta["rows_stored"] = "bottom-up";
    file_facts.source = "band attributes";
    if (wl.size() == st.members.size()) file_facts.wavelength = wl;
    if (fw.size() == st.members.size()) file_facts.fwhm = fw;
    value_facts(meta["band_attrs"][0], file_facts);
    if (const auto u = text_attr(meta["band_attrs"][0], {"wavelength_units", "wavelength units"}))
      file_facts.wavelength_units = *u;
  } else {
    hid_t obj = H5Oopen(file.get(), chosen.raw_name.c_str(), H5P_DEFAULT);
    if (obj < 0) throw MissingKeyError(libs::hdf5::error_text("Unable to open object"));
    Handle ds(obj, H5Oclose);
    const H5I_type_t kind = H5Iget_type(obj);
    if (kind != H5I_DATASET)
      throw BadInputError(fmt::format("'{}' in {} is a {}, not a dataset.\nAvailable datasets: {}", chosen.key, path,
                                      kind == H5I_GROUP ? "group" : "named datatype",
                                      text::str_list_repr(names_of(datasets))));
    ds_attrs = read_attributes(obj);
    auto reader = std::make_shared<DatasetReader>(std::move(ds), chosen.key, path);
    const Shape stored = reader->shape();
    stored_shape = stored;
    const std::vector<Dimension> dims = dimensions(reader->id(), stored.size());

    AxisEvidence ev;
    ev.shape = stored;
    for (const auto& d : dims) ev.dim_names.push_back(d.names);
    ev.mat73 = mat_file || ds_attrs.contains("MATLAB_class");
    if (product && product->stored_layout) {
      ev.product_layout = product->stored_layout(in, relative(chosen.key));
      ev.product_name = product->name;
    }
    for (const char* k : {"wavelength", "wavelengths"})
      if (const Metadata* w = attr_of(ds_attrs, k))
        if (auto v = products::numbers(*w); v && !ev.wavelength_count)
          ev.wavelength_count = static_cast<std::int64_t>(v->size());
    order = decide_axes(ev, requested, chosen.key);
    data = dataset_array(reader, order->perm, eager);
    used.push_back(chosen.key);

    meta["available_datasets"] = std::move(available);
    meta["dataset_used"] = chosen.key;
    if (!ds_attrs.empty()) meta["dataset_attrs"] = ds_attrs;
    if (!file_attrs.empty()) meta["file_attrs"] = file_attrs;
    if (product) meta["product"] = std::string(product->name);
    if (!order->stored.empty()) {
      meta["stored_layout"] = order->stored;
      meta["layout_source"] = order->source;
    }
    if (!order->identity()) {
      meta["_transposed"] = stored.size() <= 3 && !order->stored.empty() ? transposed_text(order->stored)
                                                                         : std::string("axes reversed (column-major)");
    }

    // What the product and the file declare about the bands.
    if (product && product->describe) product->describe(in, relative(chosen.key), product_facts);
    value_facts(ds_attrs, file_facts);
    if (stored.size() == 3) {
      const int band_axis = order->perm[2];
      const Dimension& bd = dims[static_cast<std::size_t>(band_axis)];
      const bool wl_scale = bd.coordinate && std::any_of(bd.names.begin(), bd.names.end(), is_wavelength_name);
      if (wl_scale) {
        if (auto a = small_dataset(file.get(), bd.path, path)) file_facts.wavelength = products::numbers(*a);
        if (auto attrs = object_attributes(file.get(), bd.path))
          if (auto u = text_attr(*attrs, {"units"})) file_facts.wavelength_units = *u;
        file_facts.source = "dimension scale '" + std::string(products::base_name(bd.path)) + "'";
      }
      if (!file_facts.wavelength) {
        for (const char* k : {"wavelength", "wavelengths"})
          if (const Metadata* w = attr_of(ds_attrs, k); w && !file_facts.wavelength)
            file_facts.wavelength = products::numbers(*w);
        if (file_facts.wavelength) {
          file_facts.source = "dataset attributes";
          if (auto u = text_attr(ds_attrs, {"wavelength_units", "wavelength units"})) file_facts.wavelength_units = *u;
        }
      }
      if (const Metadata* f = attr_of(ds_attrs, "fwhm")) file_facts.fwhm = products::numbers(*f);
    }
    if (file_facts.source.empty()) file_facts.source = "dataset attributes";
  }

  const std::int64_t bands = data.ndim() == 3 ? data.shape()[2] : -1;
  for (BandFacts* f : {&product_facts, &file_facts}) {
    if (bands < 0) {
      f->wavelength.reset();
      f->fwhm.reset();
      f->bad_bands.reset();
      f->wavelength_units.reset();
    } else {
      fit_to_bands(*f, bands);
    }
  }
  if (purpose != Purpose::Labels) add_band_facts(meta, merged(product_facts, file_facts));
  file.reset();
  H5Eclear2(H5E_DEFAULT);

  if (purpose == Purpose::Image && order && order->size_rule_moved)
    job.line(style_warning(job, fmt::format("Axis order of '{}' {} guessed from its sizes: bands first, turned to {}; "
                                            "--layout hwb keeps it as stored",
                                            chosen.key, shape_str(stored_shape), shape_str(data.shape()))));

  // Rasters of the same size the automatic choice left behind.
  if (purpose == Purpose::Image && !named_key && data.ndim() >= 2) {
    const std::int64_t h = data.shape()[0], w = data.shape()[1];
    std::vector<std::string> others;
    for (const auto& d : datasets) {
      if (std::find(used.begin(), used.end(), d.name) != used.end() || d.null_space) continue;
      bool same = false;
      if (d.dims.size() >= 3) {
        for (std::size_t i = 0; i < d.dims.size() && !same; ++i)
          for (std::size_t j = 0; j < d.dims.size() && !same; ++j)
            same = i != j && d.dims[i] == static_cast<hsize_t>(h) && d.dims[j] == static_cast<hsize_t>(w);
      } else if (d.dims.size() == 2) {
        const bool in_stack = std::any_of(stacks.begin(), stacks.end(), [&](const Stack& s) {
          return std::find(s.members.begin(), s.members.end(), &d) != s.members.end();
        });
        same = in_stack && static_cast<std::int64_t>(d.dims[0]) == h && static_cast<std::int64_t>(d.dims[1]) == w;
      }
      if (same) others.push_back("'" + d.name + "' " + shape_str(shape_of(d.dims)));
    }
    if (!others.empty()) {
      std::string list;
      for (const auto& o : others) list += (list.empty() ? "" : ", ") + o;
      job.line(style_warning(job, "Also in this file, not converted: " + list + "; name one with --img " +
                                      io::basename(path) + "::DATASET"));
    }
  }

  meta["_source_format"] = "HDF5";
  meta["_source_file"] = io::abspath(path);
  result.data = std::move(data);
  return result;
}

}  // namespace

LoadResult load_hdf5(const std::string& path_arg, const ReadOptions& options) {
  const DatasetPath split = split_dataset_specifier(path_arg);
  std::optional<std::string> named;
  if (split.has_dataset && !split.dataset.empty()) named = split.dataset;
  return load_impl(split.file, named, Purpose::Image, options);
}

LoadResult load_hdf5_labels(const std::string& path_arg, const ReadOptions& options) {
  const DatasetPath split = split_dataset_specifier(path_arg);
  std::optional<std::string> named;
  if (split.has_dataset && !split.dataset.empty()) named = split.dataset;
  LoadResult full = load_impl(split.file, named, Purpose::Labels, options);
  LoadResult out;
  out.data = full.data.materialize(core::job_or_silent(options.job).read_control("reading " + io::basename(split.file)))
                 .squeeze();
  for (const char* k : {"dataset_used", "bands_from", "dataset_attrs", "stored_layout", "layout_source", "_transposed",
                        "rows_stored", "_source_format", "_source_file"})
    if (full.meta.contains(k)) out.meta[k] = full.meta[k];
  return out;
}

LoadResult load_mat73_image(const std::string& path, const std::string& variable, const ReadOptions& options) {
  std::optional<std::string> named;
  if (!variable.empty()) named = variable;
  LoadResult r = load_impl(path, named, Purpose::Mat73Image, options);
  Metadata out = Metadata::object();
  for (auto it = r.meta.begin(); it != r.meta.end(); ++it) {
    out[it.key()] = it.value();
    if (it.key() == "dataset_used") out["mat_key"] = it.value();
  }
  out["_source_format"] = "MAT";
  r.meta = std::move(out);
  return r;
}

}  // namespace vexil::formats::hdf5

#else  // !VEXIL_HAVE_HDF5

namespace vexil::formats::hdf5 {

LoadResult load_hdf5(const std::string&, const ReadOptions&) {
  throw ReadError("HDF5 support is not built into this program");
}
LoadResult load_hdf5_labels(const std::string&, const ReadOptions&) {
  throw ReadError("HDF5 support is not built into this program");
}
LoadResult load_mat73_image(const std::string&, const std::string&, const ReadOptions&) {
  throw MissingDependencyError("hdf5", "libhdf5-dev");
}

}  // namespace vexil::formats::hdf5

#endif

namespace vexil::formats::hdf5 {
namespace {
constexpr std::string_view kExtensions[] = {".h5", ".hdf5", ".he5", ".hdf"};
constexpr std::string_view kLabelExtensions[] = {".h5", ".hdf5", ".he5", ".hdf", ".nc"};
}  // namespace

const Format kFormat{"hdf5", kExtensions, kLabelExtensions, "hdf5", &load_hdf5, &load_hdf5_labels};

}  // namespace vexil::formats::hdf5
