// Spatial crop of the image and (optionally) the ground truth.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "core/ndarray.hpp"

namespace vexil::convert::internal {

// One crop value as typed: Python integers are unbounded, so the exact
// decimal text is kept beside the value when it fits in 64 bits.
struct CropValue {
  std::string text;                   // canonical decimal, e.g. "-5", "99999999999999999999999"
  std::optional<std::int64_t> value;  // empty when outside int64
};
struct CropWindow {
  CropValue y, x, h, w;
};

std::pair<NDArray, std::optional<NDArray>> apply_crop(const NDArray& data,
                                                      const std::optional<NDArray>& gt,
                                                      const CropWindow& crop);

}  // namespace vexil::convert::internal
