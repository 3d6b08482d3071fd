// vexil/array.hpp — the n-d array every reader returns and every writer takes.
//
// Element type, shape, byte strides and shared storage. Transpose, window and
// squeeze are O(1) views over the same storage; consumers read through the
// strides. Storage is an owned buffer, a memory map, or a buffer owned by a
// reader library (released by its deleter).
//
// An array may be deferred: a reader of compressed or chunked files returns
// an array whose type and shape are known from the file's headers and whose
// pixels are read when first needed, by a PixelSource. window() of a deferred
// array stays deferred, so a crop reads only its window. The first call that
// needs the pixels (data(), strides(), transpose() ...) reads them once for
// every copy of the array; materialize() does the same with threads, progress
// and cancellation of the caller's choosing. A read error is thrown from the
// call that triggered the read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "vexil/dtype.hpp"

namespace vexil {

using Shape = std::vector<std::int64_t>;
using Strides = std::vector<std::int64_t>;  // in bytes

class NDArray;

// How a deferred array's pixels are read.
struct ReadControl {
  int threads = 0;  // 0: the CPUs this process may use
  // (bytes read, bytes in all), after each block; may throw to stop the read.
  std::function<void(std::uint64_t done, std::uint64_t total)> progress = {};
  // When set and true, the read stops with CancelledError.
  const std::atomic<bool>* cancel = nullptr;
};

// The reader behind a deferred array.
class PixelSource {
 public:
  virtual ~PixelSource() = default;
  // Rows [y0, y1) and columns [x0, x1) of the first two axes, every other
  // axis whole: an array of the deferred array's type and of shape
  // (y1 - y0, x1 - x0, rest...), laid out as the source finds best.
  virtual NDArray read(std::int64_t y0, std::int64_t y1, std::int64_t x0, std::int64_t x1,
                       const ReadControl& control) const = 0;
  // Bands one decoding step covers, for a (height, width, bands) source
  // whose blocks or chunks each hold fewer than all bands: read_bands() can
  // then read a few bands without decoding the rest. 0 (the default): every
  // read decodes all bands.
  virtual std::int64_t band_step() const { return 0; }
  // As read(), but only bands [b0, b1) of the third axis: shape (y1 - y0,
  // x1 - x0, b1 - b0). Called only when band_step() > 0, with b0 a multiple
  // of it. `into`, when not null, holds room for that many elements and
  // receives them in column-major order (first axis fastest); the result is
  // then a view of it. Safe to call from several threads at once.
  virtual NDArray read_bands(std::int64_t y0, std::int64_t y1, std::int64_t x0, std::int64_t x1, std::int64_t b0,
                             std::int64_t b1, const ReadControl& control, std::byte* into) const;
};

class NDArray {
 public:
  // A 0-d float64 array holding nothing useful; exists so arrays can be
  // default-constructed members.
  NDArray();

  // Owned, C-contiguous, uninitialised storage. Throws std::bad_alloc or
  // vexil::BadInputError when the byte count overflows.
  static NDArray allocate(DType dtype, Shape shape);
  // Owned, C-contiguous storage filled with zeros.
  static NDArray zeros(DType dtype, Shape shape);
  // A view over foreign storage; `keep_alive` owns whatever `data` points into.
  static NDArray view(DType dtype, Shape shape, Strides strides, std::byte* data, std::shared_ptr<void> keep_alive);
  // Pixels read by `source` when first needed; `shape` has at least two axes.
  static NDArray deferred(DType dtype, Shape shape, std::shared_ptr<const PixelSource> source);
  // C-contiguous strides for a shape.
  static Strides c_strides(const Shape& shape, std::size_t itemsize);
  static Strides f_strides(const Shape& shape, std::size_t itemsize);  // first axis fastest
  // Product of the extents; throws vexil::BadInputError on overflow of int64.
  static std::int64_t checked_size(const Shape& shape);

  DType dtype() const { return dtype_; }
  const Shape& shape() const { return shape_; }
  const Strides& strides() const { return resolved().strides_; }
  int ndim() const { return static_cast<int>(shape_.size()); }
  std::int64_t size() const;     // number of elements
  std::uint64_t nbytes() const;  // size() * itemsize
  std::size_t itemsize() const { return vexil::itemsize(dtype_); }
  bool empty() const { return size() == 0; }
  bool is_c_contiguous() const;

  // True until a deferred array's pixels have been read.
  bool is_deferred() const;
  // The same array with its pixels in memory (this array when they are).
  NDArray materialize(const ReadControl& control = {}) const;
  // For consumers that stream a cube band group by band group: when this is
  // a (height, width, bands) deferred array not read yet whose source reads
  // bands separately, the bands one step covers (see PixelSource); else 0.
  std::int64_t band_step() const;
  // Bands [b0, b1) of such an array, read now and not kept; b0 a multiple
  // of band_step(). With `into`, into that buffer in column-major order (see
  // PixelSource::read_bands). Safe to call from several threads at once.
  NDArray read_bands(std::int64_t b0, std::int64_t b1, const ReadControl& control = {},
                     std::byte* into = nullptr) const;

  // Pointer to element (0, ..., 0).
  const std::byte* data() const { return resolved().data_; }
  std::byte* mutable_data() { return resolved().data_; }
  const std::shared_ptr<void>& keep_alive() const { return resolved().keep_alive_; }

  // Byte offset of an element from data().
  std::int64_t offset_of(const std::int64_t* index) const;

  // Axes permuted: result axis i is this array's axis axes[i].
  NDArray transpose(const std::vector<int>& axes) const;
  // Rows [y0, y1) and columns [x0, x1) of the first two axes; the bounds
  // must already lie within the extents (0 <= y0 <= y1 <= shape[0] ...).
  NDArray window(std::int64_t y0, std::int64_t y1, std::int64_t x0, std::int64_t x1) const;
  // All axes of length 1 removed.
  NDArray squeeze() const;
  // Same shape and values, C-contiguous and owned (a copy unless already so
  // and `force` is false).
  NDArray contiguous(bool force = false) const;

  // Element access for tests and small arrays.
  template <class T>
  T at(std::initializer_list<std::int64_t> index) const {
    std::vector<std::int64_t> idx(index);
    T v;
    std::memcpy(&v, data() + offset_of(idx.data()), sizeof(T));
    return v;
  }

 private:
  struct Deferred;
  // This array, or for a deferred one its pixels in memory (read now if needed).
  const NDArray& resolved() const { return deferred_ ? resolve_deferred(ReadControl{}) : *this; }
  const NDArray& resolve_deferred(const ReadControl& control) const;

  DType dtype_ = DType::Float64;
  Shape shape_;
  Strides strides_;
  std::byte* data_ = nullptr;
  std::shared_ptr<void> keep_alive_;
  std::shared_ptr<Deferred> deferred_;
};

// Calls f(const std::byte* element) for every element in C (row-major) order.
template <class F>
void for_each_element(const NDArray& a, F&& f) {
  const int nd = a.ndim();
  if (a.size() == 0) return;
  if (nd == 0) {
    f(a.data());
    return;
  }
  std::vector<std::int64_t> idx(nd, 0);
  const auto& shape = a.shape();
  const auto& strides = a.strides();
  const std::int64_t inner = shape[nd - 1];
  const std::int64_t inner_stride = strides[nd - 1];
  for (;;) {
    const std::byte* row = a.data() + a.offset_of(idx.data());
    for (std::int64_t i = 0; i < inner; ++i) f(row + i * inner_stride);
    int d = nd - 2;
    for (; d >= 0; --d) {
      if (++idx[d] < shape[d]) break;
      idx[d] = 0;
    }
    if (d < 0) return;
  }
}

// The shape written as Python writes a tuple of integers: (145, 145, 200), (145,), ().
std::string shape_str(const Shape& shape);

}  // namespace vexil
