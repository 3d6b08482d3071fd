// The closing report of a conversion.
#pragma once

#include <optional>
#include <string>

#include "core/metadata.hpp"
#include "core/ndarray.hpp"

namespace vexil::convert::internal {

void print_summary(const NDArray& data, const std::optional<NDArray>& gt, const Metadata& meta,
                   const std::optional<Metadata>& gt_meta, const std::string& out_dir,
                   double elapsed, const std::string& data_key, const std::string& gt_key);

}  // namespace vexil::convert::internal
