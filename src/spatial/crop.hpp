// Spatial crop of the image and (optionally) the ground truth.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "vexil/array.hpp"
#include "vexil/convert.hpp"

namespace vexil::spatial {

std::pair<NDArray, std::optional<NDArray>> apply_crop(const NDArray& data, const std::optional<NDArray>& gt,
                                                      const CropWindow& crop);

}  // namespace vexil::spatial
