// The spatial crop: bounds check and its message, the slicing of image and
// ground truth, and that results are views of the inputs.
#include "spatial/crop.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "vexil/errors.hpp"

using namespace vexil;
using vexil::CropValue;
using vexil::CropWindow;
using vexil::spatial::apply_crop;

namespace {

CropValue cv(std::int64_t v) { return {std::to_string(v), v}; }
CropValue huge(const std::string& text) { return {text, std::nullopt}; }
CropWindow win(std::int64_t y, std::int64_t x, std::int64_t h, std::int64_t w) { return {cv(y), cv(x), cv(h), cv(w)}; }

// Image (H, W, 3) holding 1000*row + 10*col + band.
NDArray image(std::int64_t H, std::int64_t W) {
  NDArray a = NDArray::allocate(DType::Int32, {H, W, 3});
  auto* p = reinterpret_cast<std::int32_t*>(a.mutable_data());
  for (std::int64_t r = 0; r < H; ++r)
    for (std::int64_t c = 0; c < W; ++c)
      for (int b = 0; b < 3; ++b) *p++ = static_cast<std::int32_t>(1000 * r + 10 * c + b);
  return a;
}

NDArray labels(std::int64_t H, std::int64_t W) {
  NDArray a = NDArray::allocate(DType::UInt16, {H, W});
  auto* p = reinterpret_cast<std::uint16_t*>(a.mutable_data());
  for (std::int64_t i = 0; i < H * W; ++i) p[i] = static_cast<std::uint16_t>(i);
  return a;
}

std::string error_of(const NDArray& data, const CropWindow& w) {
  try {
    apply_crop(data, std::nullopt, w);
  } catch (const BadInputError& e) {
    return e.what();
  }
  return "no error";
}

}  // namespace

TEST(Crop, WindowInsideAndAtTheEdgeKeepsValuesAndSharesStorage) {
  const NDArray img = image(10, 8);
  const NDArray gt = labels(10, 8);
  auto [d, g] = apply_crop(img, gt, win(2, 3, 4, 5));
  EXPECT_EQ(shape_str(d.shape()), "(4, 5, 3)");
  ASSERT_TRUE(g);
  EXPECT_EQ(shape_str(g->shape()), "(4, 5)");
  for (std::int64_t r = 0; r < 4; ++r)
    for (std::int64_t c = 0; c < 5; ++c) {
      EXPECT_EQ(d.at<std::int32_t>({r, c, 2}), 1000 * (r + 2) + 10 * (c + 3) + 2);
      EXPECT_EQ(g->at<std::uint16_t>({r, c}), (r + 2) * 8 + (c + 3));
    }
  EXPECT_EQ(d.keep_alive(), img.keep_alive());
  EXPECT_EQ(g->keep_alive(), gt.keep_alive());

  auto [full, fg] = apply_crop(img, gt, win(0, 0, 10, 8));
  EXPECT_EQ(full.shape(), img.shape());
  EXPECT_EQ(full.data(), img.data());
  EXPECT_EQ(fg->data(), gt.data());

  auto [corner, cg] = apply_crop(img, std::nullopt, win(9, 7, 1, 1));
  EXPECT_FALSE(cg);
  EXPECT_EQ(corner.at<std::int32_t>({0, 0, 1}), 9071);
}

TEST(Crop, OutOfBoundsWindowsFailWithTheWindowAndBoundsInTheMessage) {
  const NDArray img = image(10, 8);
  EXPECT_EQ(error_of(img, win(0, 0, 11, 8)), "Crop region (0, 0, 11, 8) exceeds image bounds (10, 8)");
  EXPECT_EQ(error_of(img, win(0, 1, 10, 8)), "Crop region (0, 1, 10, 8) exceeds image bounds (10, 8)");
  EXPECT_EQ(error_of(img, win(-1, 0, 2, 2)), "Crop region (-1, 0, 2, 2) exceeds image bounds (10, 8)");
  EXPECT_EQ(error_of(img, win(0, -3, 2, 2)), "Crop region (0, -3, 2, 2) exceeds image bounds (10, 8)");
  // Negative sizes are refused the same way, even where slicing would accept them.
  EXPECT_EQ(error_of(img, win(0, 0, -1, 8)), "Crop region (0, 0, -1, 8) exceeds image bounds (10, 8)");
  EXPECT_EQ(error_of(img, win(5, 0, 2, -5)), "Crop region (5, 0, 2, -5) exceeds image bounds (10, 8)");
  // Sums that overflow 64 bits are still compared exactly.
  const std::int64_t big = INT64_MAX;
  EXPECT_EQ(error_of(img, win(big, 0, big, 1)),
            "Crop region (9223372036854775807, 0, 9223372036854775807, 1) exceeds image bounds (10, 8)");
  EXPECT_EQ(error_of(img, win(1, 0, big, 1)),
            "Crop region (1, 0, 9223372036854775807, 1) exceeds image bounds (10, 8)");
  // Values beyond 64 bits: a huge position cancelled by a huge negative size still fails.
  const CropWindow cancel{huge("100000000000000000000"), cv(0), huge("-99999999999999999995"), cv(1)};
  EXPECT_EQ(error_of(img, cancel),
            "Crop region (100000000000000000000, 0, -99999999999999999995, 1) exceeds image bounds (10, 8)");
  const CropWindow neg{cv(0), huge("-18446744073709551616"), cv(1), cv(1)};
  EXPECT_EQ(error_of(img, neg), "Crop region (0, -18446744073709551616, 1, 1) exceeds image bounds (10, 8)");

  const NDArray flat = NDArray::zeros(DType::UInt8, {5});
  EXPECT_THROW(apply_crop(flat, std::nullopt, win(0, 0, 1, 1)), BadInputError);
}

TEST(Crop, ZeroSizesGiveEmptyAxes) {
  const NDArray img = image(10, 8);
  const NDArray gt = labels(10, 8);
  auto [d, g] = apply_crop(img, gt, win(0, 0, 0, 0));
  EXPECT_EQ(shape_str(d.shape()), "(0, 0, 3)");
  EXPECT_EQ(shape_str(g->shape()), "(0, 0)");
  auto [e, eg] = apply_crop(img, gt, win(10, 2, 0, 6));
  EXPECT_EQ(shape_str(e.shape()), "(0, 6, 3)");
  EXPECT_EQ(shape_str(eg->shape()), "(0, 6)");
  EXPECT_EQ(e.size(), 0);
}

TEST(Crop, GroundTruthIsClampedToItsOwnExtent) {
  const NDArray img = image(10, 8);
  // Smaller than the window: the axes are shortened, not refused.
  auto [d, g] = apply_crop(img, labels(6, 5), win(4, 3, 5, 4));
  EXPECT_EQ(shape_str(d.shape()), "(5, 4, 3)");
  EXPECT_EQ(shape_str(g->shape()), "(2, 2)");
  EXPECT_EQ(g->at<std::uint16_t>({0, 0}), 4 * 5 + 3);
  EXPECT_EQ(g->at<std::uint16_t>({1, 1}), 5 * 5 + 4);
  // Entirely past it: empty.
  auto [d2, g2] = apply_crop(img, labels(3, 3), win(5, 5, 2, 2));
  EXPECT_EQ(shape_str(g2->shape()), "(0, 0)");
  // A 1-d label vector is cut along its one axis; a 0-d one comes back as is.
  auto [d3, g3] = apply_crop(img, labels(1, 9).squeeze(), win(2, 0, 3, 8));
  ASSERT_EQ(shape_str(g3->shape()), "(3,)");
  EXPECT_EQ(g3->at<std::uint16_t>({0}), 2);
  auto [d4, g4] = apply_crop(img, labels(1, 1).squeeze(), win(2, 0, 3, 8));
  EXPECT_EQ(g4->ndim(), 0);
}

TEST(Crop, ViewsOfViewsStillAddressTheRightElements) {
  // A band-first cube turned to (H, W, bands) is a strided view; crop it again.
  NDArray chw = NDArray::allocate(DType::Int32, {3, 10, 8});
  auto* p = reinterpret_cast<std::int32_t*>(chw.mutable_data());
  for (std::int64_t b = 0; b < 3; ++b)
    for (std::int64_t r = 0; r < 10; ++r)
      for (std::int64_t c = 0; c < 8; ++c) *p++ = static_cast<std::int32_t>(1000 * r + 10 * c + b);
  const NDArray hwc = chw.transpose({1, 2, 0});
  auto [once, g1] = apply_crop(hwc, std::nullopt, win(1, 1, 8, 6));
  auto [twice, g2] = apply_crop(once, std::nullopt, win(2, 3, 2, 3));
  EXPECT_EQ(shape_str(twice.shape()), "(2, 3, 3)");
  EXPECT_EQ(twice.at<std::int32_t>({1, 2, 1}), 1000 * 4 + 10 * 6 + 1);
  EXPECT_EQ(twice.keep_alive(), chw.keep_alive());
}
