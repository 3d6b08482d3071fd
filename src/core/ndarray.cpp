#include "vexil/array.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <stdexcept>

#include "vexil/errors.hpp"

namespace vexil {

NDArray::NDArray() = default;

// The reader and window of a deferred array, and its pixels once read. Every
// copy of the array shares one, so the pixels are read once.
struct NDArray::Deferred {
  std::shared_ptr<const PixelSource> source;
  std::int64_t y0, y1, x0, x1;  // window in the source's first two axes
  std::mutex mu;
  bool done = false;
  NDArray pixels;
};

NDArray NDArray::deferred(DType dtype, Shape shape, std::shared_ptr<const PixelSource> source) {
  if (shape.size() < 2) throw std::invalid_argument("deferred: an array needs two axes to be deferred");
  checked_size(shape);
  NDArray a;
  a.dtype_ = dtype;
  a.deferred_ = std::make_shared<Deferred>();
  a.deferred_->source = std::move(source);
  a.deferred_->y0 = 0;
  a.deferred_->y1 = shape[0];
  a.deferred_->x0 = 0;
  a.deferred_->x1 = shape[1];
  a.shape_ = std::move(shape);
  return a;
}

bool NDArray::is_deferred() const {
  if (!deferred_) return false;
  std::lock_guard lock(deferred_->mu);
  return !deferred_->done;
}

const NDArray& NDArray::resolve_deferred(const ReadControl& control) const {
  Deferred& d = *deferred_;
  std::lock_guard lock(d.mu);
  if (!d.done) {
    NDArray px = d.source->read(d.y0, d.y1, d.x0, d.x1, control);
    if (px.dtype_ != dtype_ || px.shape_ != shape_ || px.deferred_)
      throw std::logic_error("a pixel source returned an array of another type or shape");
    d.pixels = std::move(px);
    d.done = true;
  }
  return d.pixels;
}

NDArray NDArray::materialize(const ReadControl& control) const { return deferred_ ? resolve_deferred(control) : *this; }

NDArray PixelSource::read_bands(std::int64_t, std::int64_t, std::int64_t, std::int64_t, std::int64_t, std::int64_t,
                                const ReadControl&, std::byte*) const {
  throw std::logic_error("this pixel source reads every band at once");
}

std::int64_t NDArray::band_step() const {
  if (shape_.size() != 3 || !is_deferred()) return 0;
  return std::max<std::int64_t>(deferred_->source->band_step(), 0);
}

NDArray NDArray::read_bands(std::int64_t b0, std::int64_t b1, const ReadControl& control, std::byte* into) const {
  const std::int64_t step = band_step();
  if (step <= 0 || b0 < 0 || b0 > b1 || b1 > shape_[2] || b0 % step != 0)
    throw std::logic_error("read_bands: not a band range this array can read");
  const Deferred& d = *deferred_;
  NDArray px = d.source->read_bands(d.y0, d.y1, d.x0, d.x1, b0, b1, control, into);
  if (px.dtype_ != dtype_ || px.shape_ != Shape{shape_[0], shape_[1], b1 - b0} || px.deferred_)
    throw std::logic_error("a pixel source returned an array of another type or shape");
  return px;
}

namespace {

// The product of the non-zero axes: an empty array whose
// other axes overflow is refused too, so no stride or size product of an
// array can overflow later.
std::int64_t nonzero_product(const Shape& shape) {
  std::int64_t n = 1;
  for (auto e : shape) {
    if (e < 0) throw BadInputError("negative dimensions are not allowed");
    if (e != 0 && __builtin_mul_overflow(n, e, &n))
      throw BadInputError("array is too big: its element count overflows");
  }
  return n;
}

}  // namespace

std::int64_t NDArray::checked_size(const Shape& shape) {
  const std::int64_t n = nonzero_product(shape);
  return std::find(shape.begin(), shape.end(), 0) != shape.end() ? 0 : n;
}

namespace {

// The stride after an axis of length `len`. Only an empty array (whose
// strides address nothing) can overflow here, so overflow becomes 0.
std::int64_t next_step(std::int64_t step, std::int64_t len) {
  std::int64_t out;
  return __builtin_mul_overflow(step, std::max<std::int64_t>(len, 1), &out) ? 0 : out;
}

}  // namespace

Strides NDArray::c_strides(const Shape& shape, std::size_t item) {
  Strides s(shape.size());
  std::int64_t step = static_cast<std::int64_t>(item);
  for (std::size_t i = shape.size(); i-- > 0;) {
    s[i] = step;
    step = next_step(step, shape[i]);
  }
  return s;
}

Strides NDArray::f_strides(const Shape& shape, std::size_t item) {
  Strides s(shape.size());
  std::int64_t step = static_cast<std::int64_t>(item);
  for (std::size_t i = 0; i < shape.size(); ++i) {
    s[i] = step;
    step = next_step(step, shape[i]);
  }
  return s;
}

namespace {

// Storage for `bytes` (at least one). A large block is mapped on its own and
// asked for huge pages where the system allows: first touching fresh memory
// 4 KiB page by page costs about 2.7 s per GiB on a virtual machine, against
// 0.1 s in huge pages, and whoever allocates a large array writes all of it.
// `zeroed` says whether the block is known to hold zeros.
std::shared_ptr<void> allocate_block(std::size_t bytes, bool& zeroed) {
  constexpr std::size_t kHugeFrom = std::size_t{8} << 20;
  zeroed = false;
  if (bytes >= kHugeFrom) {
    void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p != MAP_FAILED) {
#ifdef MADV_HUGEPAGE
      ::madvise(p, bytes, MADV_HUGEPAGE);
#endif
      zeroed = true;
      return std::shared_ptr<void>(p, [bytes](void* q) { ::munmap(q, bytes); });
    }
  }
  // malloc, not new[]: untouched pages of a large buffer cost nothing until written.
  void* p = std::malloc(std::max<std::size_t>(bytes, 1));
  if (!p) throw std::bad_alloc();
  return std::shared_ptr<void>(p, [](void* q) { std::free(q); });
}

NDArray allocate_array(DType dtype, Shape shape, bool& zeroed) {
  const std::int64_t n = NDArray::checked_size(shape);
  std::int64_t bytes = 0;
  if (__builtin_mul_overflow(nonzero_product(shape), static_cast<std::int64_t>(vexil::itemsize(dtype)), &bytes))
    throw BadInputError("array is too big: its byte count overflows");
  bytes = n == 0 ? 0 : bytes;
  std::shared_ptr<void> block = allocate_block(static_cast<std::size_t>(bytes), zeroed);
  auto* data = static_cast<std::byte*>(block.get());
  Strides strides = NDArray::c_strides(shape, vexil::itemsize(dtype));
  return NDArray::view(dtype, std::move(shape), std::move(strides), data, std::move(block));
}

}  // namespace

NDArray NDArray::allocate(DType dtype, Shape shape) {
  bool zeroed = false;
  return allocate_array(dtype, std::move(shape), zeroed);
}

NDArray NDArray::zeros(DType dtype, Shape shape) {
  bool zeroed = false;
  NDArray a = allocate_array(dtype, std::move(shape), zeroed);
  if (!zeroed) std::memset(a.mutable_data(), 0, a.nbytes());
  return a;
}

NDArray NDArray::view(DType dtype, Shape shape, Strides strides, std::byte* data, std::shared_ptr<void> keep_alive) {
  if (shape.size() != strides.size()) throw std::invalid_argument("shape and strides differ in length");
  NDArray a;
  a.dtype_ = dtype;
  a.shape_ = std::move(shape);
  a.strides_ = std::move(strides);
  a.data_ = data;
  a.keep_alive_ = std::move(keep_alive);
  return a;
}

std::int64_t NDArray::size() const {
  // An empty array's other axes may multiply past 64 bits.
  if (std::find(shape_.begin(), shape_.end(), 0) != shape_.end()) return 0;
  std::int64_t n = 1;
  for (auto e : shape_) n *= e;
  return n;
}

std::uint64_t NDArray::nbytes() const { return static_cast<std::uint64_t>(size()) * vexil::itemsize(dtype_); }

bool NDArray::is_c_contiguous() const {
  if (deferred_) return resolved().is_c_contiguous();
  std::int64_t step = static_cast<std::int64_t>(itemsize());
  for (std::size_t i = shape_.size(); i-- > 0;) {
    if (shape_[i] != 1 && strides_[i] != step) return false;
    if (__builtin_mul_overflow(step, shape_[i], &step)) return size() == 0;
  }
  return true;
}

std::int64_t NDArray::offset_of(const std::int64_t* index) const {
  if (deferred_) return resolved().offset_of(index);
  std::int64_t off = 0;
  for (std::size_t i = 0; i < shape_.size(); ++i) off += index[i] * strides_[i];
  return off;
}

NDArray NDArray::transpose(const std::vector<int>& axes) const {
  if (deferred_) return resolved().transpose(axes);
  if (axes.size() != shape_.size()) throw std::invalid_argument("transpose: axes do not match the array");
  NDArray a = *this;
  std::vector<bool> seen(axes.size(), false);
  for (std::size_t i = 0; i < axes.size(); ++i) {
    const int ax = axes[i];
    if (ax < 0 || ax >= ndim() || seen[ax]) throw std::invalid_argument("transpose: invalid axes");
    seen[ax] = true;
    a.shape_[i] = shape_[ax];
    a.strides_[i] = strides_[ax];
  }
  return a;
}

NDArray NDArray::window(std::int64_t y0, std::int64_t y1, std::int64_t x0, std::int64_t x1) const {
  if (ndim() < 2) throw std::invalid_argument("window: the array has fewer than two axes");
  if (y0 < 0 || y1 < y0 || y1 > shape_[0] || x0 < 0 || x1 < x0 || x1 > shape_[1])
    throw std::invalid_argument("window: bounds outside the array");
  if (deferred_) {
    {
      std::lock_guard lock(deferred_->mu);
      if (!deferred_->done) {
        // Still unread: the window narrows what will be read.
        NDArray a = deferred(dtype_, shape_, deferred_->source);
        a.shape_[0] = y1 - y0;
        a.shape_[1] = x1 - x0;
        a.deferred_->y0 = deferred_->y0 + y0;
        a.deferred_->y1 = deferred_->y0 + y1;
        a.deferred_->x0 = deferred_->x0 + x0;
        a.deferred_->x1 = deferred_->x0 + x1;
        return a;
      }
    }
    return resolved().window(y0, y1, x0, x1);
  }
  NDArray a = *this;
  a.shape_[0] = y1 - y0;
  a.shape_[1] = x1 - x0;
  // An empty window keeps a valid base pointer: nothing is ever read through it.
  if (a.shape_[0] > 0 && a.shape_[1] > 0) a.data_ = data_ + y0 * strides_[0] + x0 * strides_[1];
  return a;
}

NDArray NDArray::squeeze() const {
  if (deferred_) return resolved().squeeze();
  NDArray a = *this;
  a.shape_.clear();
  a.strides_.clear();
  for (std::size_t i = 0; i < shape_.size(); ++i) {
    if (shape_[i] == 1) continue;
    a.shape_.push_back(shape_[i]);
    a.strides_.push_back(strides_[i]);
  }
  return a;
}

NDArray NDArray::contiguous(bool force) const {
  if (deferred_) return resolved().contiguous(force);
  if (!force && is_c_contiguous()) return *this;
  NDArray out = allocate(dtype_, shape_);
  std::byte* dst = out.data_;
  const std::size_t item = itemsize();
  for_each_element(*this, [&](const std::byte* src) {
    std::memcpy(dst, src, item);
    dst += item;
  });
  return out;
}

std::string shape_str(const Shape& shape) {
  std::string s = "(";
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (i) s += ", ";
    s += std::to_string(shape[i]);
  }
  if (shape.size() == 1) s += ",";
  s += ")";
  return s;
}

}  // namespace vexil
