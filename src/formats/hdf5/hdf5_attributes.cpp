#include "formats/hdf5/hdf5_attributes.hpp"

#include "text/text_format.hpp"
#include "text/utf8.hpp"

namespace vexil::formats::hdf5 {}  // namespace vexil::formats::hdf5

#ifdef VEXIL_HAVE_HDF5

#include <cmath>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

#include <fmt/format.h>

#include "libs/hdf5_handles.hpp"

namespace vexil::formats::hdf5 {
namespace {

using libs::hdf5::Handle;
using libs::hdf5::member_name;
using libs::hdf5::native_int;

// Attributes are small by nature (HDF5 keeps most within 64 KiB); one
// claiming more than this is described, not read, so that a damaged header
// cannot make the sidecar huge.
constexpr std::uint64_t kMaxAttributeBytes = 64ull << 20;
constexpr std::uint64_t kMaxAttributeElements = 1ull << 20;
constexpr int kMaxTypeDepth = 32;

struct Unsupported : std::runtime_error {
  using std::runtime_error::runtime_error;
};

hid_t native_bitfield(std::size_t size) {
  switch (size) {
    case 1: return H5T_NATIVE_B8;
    case 2: return H5T_NATIVE_B16;
    case 4: return H5T_NATIVE_B32;
    case 8: return H5T_NATIVE_B64;
    default: return H5I_INVALID_HID;
  }
}

Handle copy_type(hid_t t) { return libs::hdf5::type_handle(H5Tcopy(t), "cannot copy an HDF5 datatype"); }

// The in-memory type the attribute is read as: native integers, doubles for
// every float, the file's own string/reference/opaque types, and compound,
// array and sequence types built from those.
Handle mem_type_for(hid_t ftype, int depth = 0) {
  if (depth > kMaxTypeDepth) throw Unsupported("datatype nested too deeply");
  const H5T_class_t cls = H5Tget_class(ftype);
  const std::size_t size = H5Tget_size(ftype);
  switch (cls) {
    case H5T_INTEGER: {
      hid_t n = native_int(size, H5Tget_sign(ftype) == H5T_SGN_2);
      if (n < 0) throw Unsupported(fmt::format("{}-byte integer", size));
      return copy_type(n);
    }
    case H5T_FLOAT: return copy_type(H5T_NATIVE_DOUBLE);
    case H5T_BITFIELD: {
      hid_t n = native_bitfield(size);
      if (n < 0) throw Unsupported(fmt::format("{}-byte bitfield", size));
      return copy_type(n);
    }
    case H5T_STRING: {
      Handle t = copy_type(ftype);
      // Space padding converted away, NULs stripped later.
      if (H5Tis_variable_str(ftype) <= 0 && H5Tset_strpad(t.get(), H5T_STR_NULLPAD) < 0)
        libs::hdf5::throw_io("cannot set string padding");
      return t;
    }
    case H5T_OPAQUE:
    case H5T_REFERENCE: return copy_type(ftype);
    case H5T_ENUM: return libs::hdf5::type_handle(H5Tget_native_type(ftype, H5T_DIR_ASCEND), "cannot map an enum type");
    case H5T_COMPOUND: {
      const int n = H5Tget_nmembers(ftype);
      if (n < 0) libs::hdf5::throw_io("cannot read a compound type");
      std::vector<Handle> members;
      std::vector<std::string> names;
      std::size_t total = 0;
      for (int i = 0; i < n; ++i) {
        Handle mt =
            libs::hdf5::type_handle(H5Tget_member_type(ftype, static_cast<unsigned>(i)), "cannot read a member type");
        char* name = H5Tget_member_name(ftype, static_cast<unsigned>(i));
        if (!name) libs::hdf5::throw_io("cannot read a member name");
        names.emplace_back(name);
        H5free_memory(name);
        members.push_back(mem_type_for(mt.get(), depth + 1));
        total += H5Tget_size(members.back().get());
      }
      Handle c = libs::hdf5::type_handle(H5Tcreate(H5T_COMPOUND, total ? total : 1), "cannot build a compound type");
      std::size_t off = 0;
      for (int i = 0; i < n; ++i) {
        if (H5Tinsert(c.get(), names[i].c_str(), off, members[i].get()) < 0)
          libs::hdf5::throw_io("cannot build a compound type");
        off += H5Tget_size(members[i].get());
      }
      return c;
    }
    case H5T_ARRAY: {
      const int nd = H5Tget_array_ndims(ftype);
      if (nd < 0 || nd > H5S_MAX_RANK) libs::hdf5::throw_io("cannot read an array type");
      std::vector<hsize_t> dims(static_cast<std::size_t>(nd) + 1);
      H5Tget_array_dims2(ftype, dims.data());
      Handle base = libs::hdf5::type_handle(H5Tget_super(ftype), "cannot read an array type");
      Handle mbase = mem_type_for(base.get(), depth + 1);
      return libs::hdf5::type_handle(H5Tarray_create2(mbase.get(), static_cast<unsigned>(nd), dims.data()),
                                     "cannot build an array type");
    }
    case H5T_VLEN: {
      Handle base = libs::hdf5::type_handle(H5Tget_super(ftype), "cannot read a sequence type");
      Handle mbase = mem_type_for(base.get(), depth + 1);
      return libs::hdf5::type_handle(H5Tvlen_create(mbase.get()), "cannot build a sequence type");
    }
    default: throw Unsupported("datatype with no JSON form");
  }
}

bool is_complex_pair(hid_t mem) {
  if (H5Tget_nmembers(mem) != 2) return false;
  const std::string a = member_name(mem, 0), b = member_name(mem, 1);
  if (!((a == "r" && b == "i") || (a == "real" && b == "imag"))) return false;
  for (unsigned i = 0; i < 2; ++i) {
    Handle mt(H5Tget_member_type(mem, i), H5Tclose);
    if (!mt || H5Tget_class(mt.get()) != H5T_FLOAT) return false;
  }
  return true;
}

std::int64_t load_signed(const std::byte* p, std::size_t size) {
  switch (size) {
    case 1: {
      std::int8_t v;
      std::memcpy(&v, p, 1);
      return v;
    }
    case 2: {
      std::int16_t v;
      std::memcpy(&v, p, 2);
      return v;
    }
    case 4: {
      std::int32_t v;
      std::memcpy(&v, p, 4);
      return v;
    }
    default: {
      std::int64_t v;
      std::memcpy(&v, p, 8);
      return v;
    }
  }
}

std::uint64_t load_unsigned(const std::byte* p, std::size_t size) {
  switch (size) {
    case 1: {
      std::uint8_t v;
      std::memcpy(&v, p, 1);
      return v;
    }
    case 2: {
      std::uint16_t v;
      std::memcpy(&v, p, 2);
      return v;
    }
    case 4: {
      std::uint32_t v;
      std::memcpy(&v, p, 4);
      return v;
    }
    default: {
      std::uint64_t v;
      std::memcpy(&v, p, 8);
      return v;
    }
  }
}

Metadata decode(hid_t mem, const std::byte* p);

// Elements laid out C-contiguously under `dims`, as nested lists.
Metadata nest(hid_t elem, const std::vector<hsize_t>& dims, std::size_t level, const std::byte*& p,
              std::size_t elem_size) {
  Metadata list = Metadata::array();
  for (hsize_t i = 0; i < dims[level]; ++i) {
    if (level + 1 == dims.size()) {
      list.push_back(decode(elem, p));
      p += elem_size;
    } else {
      list.push_back(nest(elem, dims, level + 1, p, elem_size));
    }
  }
  return list;
}

Metadata decode(hid_t mem, const std::byte* p) {
  const std::size_t size = H5Tget_size(mem);
  switch (H5Tget_class(mem)) {
    case H5T_INTEGER:
      if (H5Tget_sign(mem) == H5T_SGN_2) return load_signed(p, size);
      return load_unsigned(p, size);
    case H5T_BITFIELD: return load_unsigned(p, size);
    case H5T_FLOAT: {
      double v;
      std::memcpy(&v, p, sizeof v);
      return v;
    }
    case H5T_STRING: {
      if (H5Tis_variable_str(mem) > 0) {
        const char* s;
        std::memcpy(&s, p, sizeof s);
        return text::replace_invalid_utf8(s ? std::string_view(s) : std::string_view());
      }
      std::string_view s(reinterpret_cast<const char*>(p), size);
      while (!s.empty() && s.back() == '\0') s.remove_suffix(1);
      return text::replace_invalid_utf8(s);
    }
    case H5T_ENUM: {
      Handle base(H5Tget_super(mem), H5Tclose);
      const std::size_t bsize = base ? H5Tget_size(base.get()) : size;
      const bool is_signed = base && H5Tget_sign(base.get()) == H5T_SGN_2;
      const std::int64_t sv = is_signed ? load_signed(p, bsize) : 0;
      const std::uint64_t uv = is_signed ? 0 : load_unsigned(p, bsize);
      // The common boolean enum: exactly FALSE=0 and TRUE=1.
      if (H5Tget_nmembers(mem) == 2) {
        bool ok = true;
        for (unsigned i = 0; i < 2 && ok; ++i) {
          const std::string name = member_name(mem, i);
          std::vector<std::byte> value(bsize);
          if (H5Tget_member_value(mem, i, value.data()) < 0) ok = false;
          const std::uint64_t v = is_signed ? static_cast<std::uint64_t>(load_signed(value.data(), bsize))
                                            : load_unsigned(value.data(), bsize);
          ok = ok && ((name == "FALSE" && v == 0) || (name == "TRUE" && v == 1));
        }
        if (ok && (is_signed ? (sv == 0 || sv == 1) : uv <= 1)) return is_signed ? sv == 1 : uv == 1;
      }
      if (is_signed) return sv;
      return uv;
    }
    case H5T_COMPOUND: {
      const int n = H5Tget_nmembers(mem);
      if (n == 2 && is_complex_pair(mem)) {
        double re, im;
        std::memcpy(&re, p + H5Tget_member_offset(mem, 0), sizeof re);
        std::memcpy(&im, p + H5Tget_member_offset(mem, 1), sizeof im);
        return text::complex_repr(re, im);
      }
      Metadata list = Metadata::array();
      for (int i = 0; i < n; ++i) {
        Handle mt(H5Tget_member_type(mem, static_cast<unsigned>(i)), H5Tclose);
        if (!mt) throw Unsupported("unreadable compound member");
        list.push_back(decode(mt.get(), p + H5Tget_member_offset(mem, static_cast<unsigned>(i))));
      }
      return list;
    }
    case H5T_ARRAY: {
      const int nd = H5Tget_array_ndims(mem);
      std::vector<hsize_t> dims(static_cast<std::size_t>(nd > 0 ? nd : 0));
      if (nd > 0) H5Tget_array_dims2(mem, dims.data());
      Handle base(H5Tget_super(mem), H5Tclose);
      if (!base) throw Unsupported("unreadable array type");
      if (dims.empty()) return decode(base.get(), p);
      const std::byte* q = p;
      return nest(base.get(), dims, 0, q, H5Tget_size(base.get()));
    }
    case H5T_VLEN: {
      hvl_t v;
      std::memcpy(&v, p, sizeof v);
      Handle base(H5Tget_super(mem), H5Tclose);
      if (!base) throw Unsupported("unreadable sequence type");
      Metadata list = Metadata::array();
      const std::size_t bsize = H5Tget_size(base.get());
      const auto* q = static_cast<const std::byte*>(v.p);
      for (std::size_t i = 0; q && i < v.len; ++i) list.push_back(decode(base.get(), q + i * bsize));
      return list;
    }
    case H5T_REFERENCE:
      return H5Tequal(mem, H5T_STD_REF_OBJ) > 0 ? "<HDF5 object reference>" : "<HDF5 region reference>";
    case H5T_OPAQUE: return fmt::format("<opaque {} bytes>", size);
    default: return "<HDF5 value with no JSON form>";
  }
}

// NumPy's dtype text for the type of an empty attribute: '<f4', '|S5', 'O'.
std::string numpy_dtype_text(hid_t t) {
  const std::size_t size = H5Tget_size(t);
  const char order = size == 1 ? '|' : (H5Tget_order(t) == H5T_ORDER_BE ? '>' : '<');
  switch (H5Tget_class(t)) {
    case H5T_INTEGER: return fmt::format("'{}{}{}'", order, H5Tget_sign(t) == H5T_SGN_2 ? 'i' : 'u', size);
    case H5T_FLOAT: return fmt::format("'{}f{}'", order, size);
    case H5T_BITFIELD: return fmt::format("'{}u{}'", order, size);
    case H5T_STRING: return H5Tis_variable_str(t) > 0 ? "'O'" : fmt::format("'S{}'", size);
    case H5T_ENUM: return "'bool'";
    default: return fmt::format("'V{}'", size);
  }
}

Metadata read_value(hid_t attr) {
  Handle space = libs::hdf5::space_handle(H5Aget_space(attr), "cannot read the attribute's dataspace");
  Handle ftype = libs::hdf5::type_handle(H5Aget_type(attr), "cannot read the attribute's datatype");
  const H5S_class_t scls = H5Sget_simple_extent_type(space.get());
  if (scls == H5S_NULL && libs::hdf5::sane_type(ftype.get()))
    return "Empty(dtype=dtype(" + numpy_dtype_text(ftype.get()) + "))";
  if (scls != H5S_SCALAR && scls != H5S_SIMPLE) libs::hdf5::throw_io("unknown dataspace");
  const int rank = H5Sget_simple_extent_ndims(space.get());
  if (rank < 0) libs::hdf5::throw_io("cannot read the attribute's dataspace");
  std::vector<hsize_t> dims(static_cast<std::size_t>(rank));
  if (rank > 0) H5Sget_simple_extent_dims(space.get(), dims.data(), nullptr);

  if (!libs::hdf5::sane_type(ftype.get())) {
    H5Eclear2(H5E_DEFAULT);
    throw Unsupported("damaged datatype");
  }
  Handle mem = mem_type_for(ftype.get());
  const std::size_t msize = H5Tget_size(mem.get());
  std::uint64_t bytes = msize, count = 1;
  for (hsize_t d : dims) {
    if (__builtin_mul_overflow(bytes, static_cast<std::uint64_t>(d), &bytes)) bytes = UINT64_MAX;
    if (__builtin_mul_overflow(count, static_cast<std::uint64_t>(d), &count)) count = UINT64_MAX;
  }
  if (bytes > kMaxAttributeBytes || count > kMaxAttributeElements)
    return fmt::format("<attribute of {} elements ({} bytes), not read>", count, bytes);

  std::vector<std::byte> buf(bytes ? bytes : 1);
  if (H5Aread(attr, mem.get(), buf.data()) < 0) libs::hdf5::throw_io("cannot read the attribute");
  struct Reclaim {
    hid_t mem, space;
    void* buf;
    ~Reclaim() { H5Dvlen_reclaim(mem, space, H5P_DEFAULT, buf); }
  } reclaim{mem.get(), space.get(), buf.data()};

  if (scls == H5S_SCALAR) return decode(mem.get(), buf.data());
  const std::byte* p = buf.data();
  return nest(mem.get(), dims, 0, p, msize);
}

}  // namespace

Metadata attribute_value(hid_t attr) {
  try {
    return read_value(attr);
  } catch (const Unsupported& e) {
    return fmt::format("<unsupported HDF5 attribute: {}>", e.what());
  } catch (const std::exception& e) {
    return fmt::format("<unreadable HDF5 attribute: {}>", e.what());
  }
}

Metadata read_attributes(hid_t obj) {
  Metadata out = Metadata::object();
  bool tracked = false;
  {
    hid_t plist = H5I_INVALID_HID;
    const H5I_type_t kind = H5Iget_type(obj);
    if (kind == H5I_DATASET)
      plist = H5Dget_create_plist(obj);
    else if (kind == H5I_GROUP)
      plist = H5Gget_create_plist(obj);
    if (plist >= 0) {
      Handle pl(plist, H5Pclose);
      unsigned flags = 0;
      if (H5Pget_attr_creation_order(pl.get(), &flags) >= 0) tracked = (flags & H5P_CRT_ORDER_TRACKED) != 0;
    }
    H5Eclear2(H5E_DEFAULT);
  }
  struct Ctx {
    Metadata* out;
  } ctx{&out};
  auto cb = [](hid_t loc, const char* name, const H5A_info_t*, void* data) -> herr_t {
    auto* c = static_cast<Ctx*>(data);
    try {
      const std::string key = text::replace_invalid_utf8(name);
      hid_t a = H5Aopen(loc, name, H5P_DEFAULT);
      if (a < 0) {
        (*c->out)[key] = "<unreadable HDF5 attribute: " + libs::hdf5::error_text("cannot open it") + ">";
        return 0;
      }
      Handle attr(a, H5Aclose);
      (*c->out)[key] = attribute_value(attr.get());
    } catch (...) {
      return -1;  // out of memory or similar: stop the iteration
    }
    return 0;
  };
  hsize_t idx = 0;
  herr_t rc = H5Aiterate2(obj, tracked ? H5_INDEX_CRT_ORDER : H5_INDEX_NAME, H5_ITER_INC, &idx, cb, &ctx);
  if (rc < 0 && tracked) {
    // Creation order tracked but not indexed for dense storage: name order is what remains.
    H5Eclear2(H5E_DEFAULT);
    out = Metadata::object();
    idx = 0;
    rc = H5Aiterate2(obj, H5_INDEX_NAME, H5_ITER_INC, &idx, cb, &ctx);
  }
  if (rc < 0) libs::hdf5::throw_io("cannot list the attributes");
  return out;
}

}  // namespace vexil::formats::hdf5

#endif  // VEXIL_HAVE_HDF5
