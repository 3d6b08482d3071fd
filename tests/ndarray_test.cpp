#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <numeric>

#include "vexil/errors.hpp"
#include "vexil/array.hpp"

using vexil::DType;
using vexil::NDArray;
using vexil::Shape;

namespace {

// A (2, 3, 4) uint16 array holding 0..23 in C order.
NDArray arange_234() {
  NDArray a = NDArray::allocate(DType::UInt16, {2, 3, 4});
  auto* p = reinterpret_cast<std::uint16_t*>(a.mutable_data());
  std::iota(p, p + 24, 0);
  return a;
}

}  // namespace

TEST(NDArray, ShapeStridesAndSizes) {
  NDArray a = arange_234();
  EXPECT_EQ(a.ndim(), 3);
  EXPECT_EQ(a.size(), 24);
  EXPECT_EQ(a.nbytes(), 48u);
  EXPECT_EQ(a.strides(), (vexil::Strides{24, 8, 2}));
  EXPECT_TRUE(a.is_c_contiguous());
  EXPECT_EQ(a.at<std::uint16_t>({1, 2, 3}), 23);
}

TEST(NDArray, TransposeIsAViewWithPermutedAxes) {
  NDArray a = arange_234();
  NDArray t = a.transpose({1, 2, 0});  // (3, 4, 2)
  EXPECT_EQ(t.shape(), (vexil::Shape{3, 4, 2}));
  EXPECT_EQ(t.data(), a.data());
  EXPECT_FALSE(t.is_c_contiguous());
  for (std::int64_t i = 0; i < 2; ++i)
    for (std::int64_t j = 0; j < 3; ++j)
      for (std::int64_t k = 0; k < 4; ++k) EXPECT_EQ(t.at<std::uint16_t>({j, k, i}), a.at<std::uint16_t>({i, j, k}));
  EXPECT_THROW(a.transpose({0, 0, 1}), std::invalid_argument);
}

TEST(NDArray, WindowAndContiguousCopy) {
  NDArray a = NDArray::allocate(DType::Int32, {5, 6, 2});
  auto* p = reinterpret_cast<std::int32_t*>(a.mutable_data());
  std::iota(p, p + 60, 0);
  NDArray w = a.window(1, 4, 2, 5);  // (3, 3, 2)
  EXPECT_EQ(w.shape(), (vexil::Shape{3, 3, 2}));
  EXPECT_EQ(w.at<std::int32_t>({0, 0, 1}), a.at<std::int32_t>({1, 2, 1}));
  NDArray c = w.contiguous();
  EXPECT_TRUE(c.is_c_contiguous());
  EXPECT_NE(c.data(), w.data());
  for (std::int64_t i = 0; i < 3; ++i)
    for (std::int64_t j = 0; j < 3; ++j)
      EXPECT_EQ(c.at<std::int32_t>({i, j, 0}), a.at<std::int32_t>({i + 1, j + 2, 0}));
  // Empty windows are valid and hold nothing.
  EXPECT_EQ(a.window(2, 2, 0, 6).size(), 0);
  EXPECT_THROW(a.window(0, 6, 0, 1), std::invalid_argument);
}

TEST(NDArray, SqueezeDropsOnlyUnitAxes) {
  NDArray a = NDArray::zeros(DType::Float32, {1, 50, 1});
  EXPECT_EQ(a.squeeze().shape(), (vexil::Shape{50}));
  NDArray b = NDArray::zeros(DType::UInt8, {1, 1});
  EXPECT_EQ(b.squeeze().ndim(), 0);
  EXPECT_EQ(b.squeeze().size(), 1);
}

TEST(NDArray, ForEachElementVisitsInRowMajorOrder) {
  NDArray t = arange_234().transpose({2, 0, 1});  // (4, 2, 3)
  std::vector<std::uint16_t> seen;
  vexil::for_each_element(t, [&](const std::byte* e) {
    std::uint16_t v;
    std::memcpy(&v, e, 2);
    seen.push_back(v);
  });
  ASSERT_EQ(seen.size(), 24u);
  // Element (k, i, j) of the transpose is i*12 + j*4 + k of the original.
  EXPECT_EQ(seen[0], 0);
  EXPECT_EQ(seen[1], 4);
  EXPECT_EQ(seen[3], 12);
  EXPECT_EQ(seen[6], 1);
}

TEST(NDArray, SizesThatOverflowAreRefusedBeforeAllocating) {
  EXPECT_THROW(NDArray::allocate(DType::UInt8, {1LL << 40, 1LL << 40}), vexil::BadInputError);
  EXPECT_THROW(NDArray::allocate(DType::Float64, {1LL << 31, 1LL << 31}), vexil::BadInputError);
  EXPECT_THROW(NDArray::checked_size({-1, 3}), vexil::BadInputError);
  // Empty arrays too, as NumPy refuses them: their other axes must multiply
  // within 64 bits, bytes included, or strides and sizes would overflow.
  EXPECT_THROW(NDArray::checked_size({1LL << 62, 0, 1LL << 62}), vexil::BadInputError);
  EXPECT_THROW(NDArray::allocate(DType::Float64, {0, 1LL << 31, 1LL << 31}), vexil::BadInputError);
  EXPECT_EQ(NDArray::checked_size({1LL << 31, 0, 1LL << 31}), 0);
  for (const Shape& shape : {Shape{0, 1LL << 29, 1LL << 29}, Shape{1LL << 29, 1LL << 29, 0}}) {
    NDArray empty = NDArray::allocate(DType::Float64, shape);
    EXPECT_EQ(empty.size(), 0);
    EXPECT_EQ(empty.nbytes(), 0u);
    if (shape[0] == 0) {
      EXPECT_TRUE(empty.is_c_contiguous());
    }
    EXPECT_EQ(NDArray::f_strides(shape, 8)[0], 8);
  }
}

// Large arrays get their own mapping, small ones come from the heap: both
// must be writable to the end, outlive the first handle, and zeros() must
// hold zeros even where memory freed just before is handed out again.
TEST(NDArray, OwnedStorageSmallAndLarge) {
  for (const std::int64_t n : {std::int64_t{1000}, std::int64_t{3} << 20, std::int64_t{5} << 20}) {
    SCOPED_TRACE(n);
    NDArray copy;
    {
      NDArray a = NDArray::allocate(DType::UInt32, {n, 1});
      auto* p = reinterpret_cast<std::uint32_t*>(a.mutable_data());
      for (std::int64_t i = 0; i < n; ++i) p[i] = 0xFFFFFFFFu - static_cast<std::uint32_t>(i);
      copy = a;
    }
    EXPECT_EQ(copy.at<std::uint32_t>({n - 1, 0}), 0xFFFFFFFFu - static_cast<std::uint32_t>(n - 1));
    copy = NDArray();
    NDArray z = NDArray::zeros(DType::UInt32, {n, 1});
    const auto* q = reinterpret_cast<const std::uint32_t*>(z.data());
    EXPECT_EQ(std::count(q, q + n, 0u), n);
  }
}

TEST(NDArray, ShapeText) {
  EXPECT_EQ(vexil::shape_str({145, 145, 200}), "(145, 145, 200)");
  EXPECT_EQ(vexil::shape_str({145}), "(145,)");
  EXPECT_EQ(vexil::shape_str({}), "()");
}

namespace {

// Serves a (rows, cols, 2) uint16 cube whose value is 100 * row + col (band 0)
// and counts what it was asked to read.
class CountingSource final : public vexil::PixelSource {
 public:
  mutable int reads = 0;
  mutable std::int64_t last[4] = {};
  mutable bool fail_next = false;
  vexil::NDArray read(std::int64_t y0, std::int64_t y1, std::int64_t x0, std::int64_t x1,
                      const vexil::ReadControl&) const override {
    ++reads;
    last[0] = y0, last[1] = y1, last[2] = x0, last[3] = x1;
    if (fail_next) {
      fail_next = false;
      throw vexil::ReadError("block 3 is corrupt");
    }
    vexil::NDArray a = vexil::NDArray::allocate(vexil::DType::UInt16, {y1 - y0, x1 - x0, 2});
    for (std::int64_t r = y0; r < y1; ++r)
      for (std::int64_t c = x0; c < x1; ++c)
        for (std::int64_t b = 0; b < 2; ++b) {
          const auto v = static_cast<std::uint16_t>(100 * r + c + 10000 * b);
          std::memcpy(a.mutable_data() + a.offset_of(std::vector<std::int64_t>{r - y0, c - x0, b}.data()), &v, 2);
        }
    return a;
  }
};

}  // namespace

TEST(DeferredArray, ReadsOnceOnFirstUseAndAWindowReadsOnlyItself) {
  auto src = std::make_shared<CountingSource>();
  const vexil::NDArray cube = vexil::NDArray::deferred(vexil::DType::UInt16, {40, 30, 2}, src);
  EXPECT_TRUE(cube.is_deferred());
  EXPECT_EQ(cube.shape(), (vexil::Shape{40, 30, 2}));
  EXPECT_EQ(cube.nbytes(), 40u * 30 * 2 * 2);
  EXPECT_EQ(src->reads, 0);  // shape and size need no pixels

  // A window of a window, still unread: only the final window is read.
  const vexil::NDArray w = cube.window(5, 25, 3, 23).window(2, 12, 4, 9);
  EXPECT_EQ(w.shape(), (vexil::Shape{10, 5, 2}));
  EXPECT_EQ(src->reads, 0);
  EXPECT_EQ(w.at<std::uint16_t>({0, 0, 0}), 100 * 7 + 7);
  EXPECT_EQ(w.at<std::uint16_t>({9, 4, 1}), 10000 + 100 * 16 + 11);
  EXPECT_EQ(src->reads, 1);
  EXPECT_EQ(std::vector<std::int64_t>(src->last, src->last + 4), (std::vector<std::int64_t>{7, 17, 7, 12}));
  const vexil::NDArray copy = w;
  (void)copy.data();
  EXPECT_EQ(src->reads, 1);  // copies share the pixels
  EXPECT_FALSE(copy.is_deferred());

  // Once read, a window is a view of what was read.
  const vexil::NDArray whole = cube.materialize();
  EXPECT_EQ(src->reads, 2);
  EXPECT_EQ(cube.window(1, 2, 1, 2).at<std::uint16_t>({0, 0, 0}), 101);
  EXPECT_EQ(src->reads, 2);
  EXPECT_EQ(whole.transpose({2, 0, 1}).at<std::uint16_t>({1, 3, 4}), 10000 + 304);
}

TEST(DeferredArray, AReadErrorReachesTheCallerAndALaterUseRetries) {
  auto src = std::make_shared<CountingSource>();
  src->fail_next = true;
  const vexil::NDArray cube = vexil::NDArray::deferred(vexil::DType::UInt16, {4, 3, 2}, src);
  EXPECT_THROW(cube.materialize(), vexil::ReadError);
  EXPECT_TRUE(cube.is_deferred());
  EXPECT_EQ(cube.at<std::uint16_t>({3, 2, 0}), 302);
  EXPECT_EQ(src->reads, 2);
}
