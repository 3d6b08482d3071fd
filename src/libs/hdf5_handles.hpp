// Small helpers over the HDF5 C API, for the reader and the MAT 7.3 writer:
// owned handles that always close, and error texts taken from HDF5's error
// stack (its automatic printing is off).
#pragma once

#ifdef VEXIL_HAVE_HDF5

#include <hdf5.h>

#include <cstddef>
#include <string>
#include <utility>

#include "vexil/errors.hpp"

namespace vexil::libs::hdf5 {

// Turns off HDF5's printing of its error stack to stderr; idempotent.
inline void silence_errors() { H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr); }

// Keeps HDF5 from printing its error stack while in scope, then restores
// whatever printing the process had (library users may want theirs).
class QuietErrors {
 public:
  QuietErrors() {
    H5Eget_auto2(H5E_DEFAULT, &func_, &data_);
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
  }
  ~QuietErrors() { H5Eset_auto2(H5E_DEFAULT, func_, data_); }
  QuietErrors(const QuietErrors&) = delete;
  QuietErrors& operator=(const QuietErrors&) = delete;

 private:
  H5E_auto2_t func_ = nullptr;
  void* data_ = nullptr;
};

// The descriptions at both ends of the current error stack: `inner` where
// the error was detected, `outer` the API call that failed. Clears the stack.
struct ErrorEnds {
  std::string inner, outer;
  bool any = false;
};
inline ErrorEnds error_stack_ends() {
  ErrorEnds ends;
  // Upward walk: entry 0 is where the error was detected, the last is the API call.
  H5Ewalk2(
      H5E_DEFAULT, H5E_WALK_UPWARD,
      [](unsigned n, const H5E_error2_t* e, void* data) -> herr_t {
        auto* d = static_cast<ErrorEnds*>(data);
        std::string desc = e->desc ? e->desc : "";
        if (n == 0) d->inner = desc;
        d->outer = desc;
        d->any = true;
        return 0;
      },
      &ends);
  H5Eclear2(H5E_DEFAULT);
  return ends;
}

// The current error stack as one line:
// "<Outermost description> (<innermost description>)", e.g.
// "Unable to open file (file signature not found)". Empty when the stack is.
inline std::string error_stack_text() {
  const ErrorEnds ends = error_stack_ends();
  if (!ends.any) return {};
  std::string outer = ends.outer;
  if (!outer.empty() && outer[0] >= 'a' && outer[0] <= 'z') outer[0] = static_cast<char>(outer[0] - 'a' + 'A');
  if (ends.inner.empty() || ends.inner == ends.outer) return outer;
  return outer + " (" + ends.inner + ")";
}

// The error stack's text, or `fallback` when HDF5 recorded nothing.
inline std::string error_text(const std::string& fallback) {
  std::string s = error_stack_text();
  return s.empty() ? fallback : s;
}

[[noreturn]] inline void throw_io(const std::string& fallback) { throw ReadError(error_text(fallback)); }

// An HDF5 identifier closed by its own close function when the owner goes.
class Handle {
 public:
  using Closer = herr_t (*)(hid_t);
  Handle() = default;
  Handle(hid_t id, Closer close) : id_(id), close_(close) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  Handle(Handle&& o) noexcept : id_(std::exchange(o.id_, H5I_INVALID_HID)), close_(o.close_) {}
  Handle& operator=(Handle&& o) noexcept {
    if (this != &o) {
      reset();
      id_ = std::exchange(o.id_, H5I_INVALID_HID);
      close_ = o.close_;
    }
    return *this;
  }
  ~Handle() { reset(); }

  // Closes now; false when HDF5 reports a failure (for a file: its last flush).
  bool reset() {
    bool ok = true;
    if (id_ >= 0 && close_) ok = close_(id_) >= 0;
    id_ = H5I_INVALID_HID;
    return ok;
  }
  hid_t get() const { return id_; }
  explicit operator bool() const { return id_ >= 0; }

 private:
  hid_t id_ = H5I_INVALID_HID;
  Closer close_ = nullptr;
};

// Wraps a freshly returned identifier; a negative one throws ReadError with
// HDF5's message (or `what` when the stack is empty).
inline Handle checked(hid_t id, Handle::Closer close, const std::string& what) {
  if (id < 0) throw_io(what);
  return Handle(id, close);
}
inline Handle type_handle(hid_t id, const std::string& what) { return checked(id, H5Tclose, what); }
inline Handle space_handle(hid_t id, const std::string& what) { return checked(id, H5Sclose, what); }

// Whether a datatype read from a file is self-consistent. HDF5 trusts what
// it decoded; a damaged enum whose base is larger than the enum, say, makes
// H5Tget_native_type copy past its buffers. Checked before any conversion.
inline bool sane_type(hid_t t, int depth = 0) {
  if (depth > 32) return false;
  const std::size_t size = H5Tget_size(t);
  switch (H5Tget_class(t)) {
    case H5T_INTEGER:
    case H5T_FLOAT:
    case H5T_BITFIELD: return size >= 1 && size <= 16;
    case H5T_STRING: return H5Tis_variable_str(t) > 0 || size >= 1;
    case H5T_OPAQUE:
    case H5T_REFERENCE:
    case H5T_TIME: return size >= 1;
    case H5T_ENUM: {
      Handle base(H5Tget_super(t), H5Tclose);
      const int n = H5Tget_nmembers(t);
      return base && H5Tget_class(base.get()) == H5T_INTEGER && H5Tget_size(base.get()) == size && size >= 1 &&
             size <= 8 && n >= 0 && n <= (1 << 20);
    }
    case H5T_VLEN: {
      Handle base(H5Tget_super(t), H5Tclose);
      return base && sane_type(base.get(), depth + 1);
    }
    case H5T_ARRAY: {
      Handle base(H5Tget_super(t), H5Tclose);
      const int nd = H5Tget_array_ndims(t);
      if (!base || nd < 1 || nd > H5S_MAX_RANK || !sane_type(base.get(), depth + 1)) return false;
      hsize_t dims[H5S_MAX_RANK];
      if (H5Tget_array_dims2(t, dims) < 0) return false;
      unsigned __int128 total = H5Tget_size(base.get());
      for (int i = 0; i < nd; ++i) total *= dims[i];
      return total == size;
    }
    case H5T_COMPOUND: {
      const int n = H5Tget_nmembers(t);
      if (n < 0 || n > (1 << 16)) return false;
      for (int i = 0; i < n; ++i) {
        Handle m(H5Tget_member_type(t, static_cast<unsigned>(i)), H5Tclose);
        if (!m || !sane_type(m.get(), depth + 1)) return false;
        const std::size_t off = H5Tget_member_offset(t, static_cast<unsigned>(i));
        const std::size_t msize = H5Tget_size(m.get());
        if (off > size || msize > size - off) return false;
      }
      return true;
    }
    default: return false;
  }
}

// The native integer type of a stored integer's width and sign; invalid for other widths.
// A compound or enum member's name (empty when HDF5 has none).
inline std::string member_name(hid_t t, unsigned i) {
  char* p = H5Tget_member_name(t, i);
  if (!p) return {};
  std::string s(p);
  H5free_memory(p);
  return s;
}

inline hid_t native_int(std::size_t size, bool is_signed) {
  switch (size) {
    case 1: return is_signed ? H5T_NATIVE_INT8 : H5T_NATIVE_UINT8;
    case 2: return is_signed ? H5T_NATIVE_INT16 : H5T_NATIVE_UINT16;
    case 4: return is_signed ? H5T_NATIVE_INT32 : H5T_NATIVE_UINT32;
    case 8: return is_signed ? H5T_NATIVE_INT64 : H5T_NATIVE_UINT64;
    default: return H5I_INVALID_HID;
  }
}

}  // namespace vexil::libs::hdf5

#endif  // VEXIL_HAVE_HDF5
