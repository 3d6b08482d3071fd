#include "spatial/crop.hpp"

#include <algorithm>

#include "vexil/errors.hpp"

namespace vexil::spatial {
namespace {

// The slice of one axis of length n with stride 1: a negative
// bound counts from the end, then both are clamped to [0, n]; the result is
// empty when the end does not lie past the start.
std::pair<std::int64_t, std::int64_t> slice_bounds(__int128 start, __int128 stop, std::int64_t n) {
  const auto norm = [n](__int128 b) -> std::int64_t {
    if (b < 0) b += n;
    return static_cast<std::int64_t>(std::clamp<__int128>(b, 0, n));
  };
  const std::int64_t s = norm(start), e = norm(stop);
  return {s, std::max(s, e)};
}

// The window cut from an array of any rank: axes 0 and 1 where they exist;
// a 0-d array comes back unchanged.
NDArray cut(const NDArray& a, __int128 y, __int128 h, __int128 x, __int128 w) {
  if (a.ndim() >= 2) {
    const auto [y0, y1] = slice_bounds(y, y + h, a.shape()[0]);
    const auto [x0, x1] = slice_bounds(x, x + w, a.shape()[1]);
    return a.window(y0, y1, x0, x1);
  }
  if (a.ndim() == 1) {
    const auto [y0, y1] = slice_bounds(y, y + h, a.shape()[0]);
    NDArray base = a;
    std::byte* p = base.mutable_data();
    if (y1 > y0) p += y0 * a.strides()[0];
    return NDArray::view(a.dtype(), {y1 - y0}, a.strides(), p, a.keep_alive());
  }
  return a;
}

}  // namespace

std::pair<NDArray, std::optional<NDArray>> apply_crop(const NDArray& data, const std::optional<NDArray>& gt,
                                                      const CropWindow& crop) {
  if (data.ndim() < 2)
    throw BadInputError("Crop needs an image with at least two dimensions (height, width), got shape " +
                        shape_str(data.shape()));
  const std::int64_t H = data.shape()[0], W = data.shape()[1];

  // A value outside int64 always fails: a huge negative one is a negative
  // position or size, a huge positive one ends past the image whatever the
  // other (non-negative) value is. Otherwise the sums are exact in 128 bits.
  const bool fits = crop.y.value && crop.x.value && crop.height.value && crop.width.value;
  bool outside = !fits;
  __int128 y = 0, x = 0, h = 0, w = 0;
  if (fits) {
    y = *crop.y.value;
    x = *crop.x.value;
    h = *crop.height.value;
    w = *crop.width.value;
    outside = y < 0 || x < 0 || y + h > H || x + w > W || h < 0 || w < 0;
  }
  if (outside)
    throw BadInputError("Crop region (" + crop.y.text + ", " + crop.x.text + ", " + crop.height.text + ", " +
                        crop.width.text + ") exceeds image bounds (" + std::to_string(H) + ", " + std::to_string(W) +
                        ")");

  std::optional<NDArray> gt_out;
  if (gt) gt_out = cut(*gt, y, h, x, w);
  return {data.window(static_cast<std::int64_t>(y), static_cast<std::int64_t>(y + h), static_cast<std::int64_t>(x),
                      static_cast<std::int64_t>(x + w)),
          std::move(gt_out)};
}

}  // namespace vexil::spatial
