// The saving steps of a run: output folder, data.mat, gt.mat, metadata.json,
// each confirmed by one console line.
#pragma once

#include <optional>
#include <string>

#include "core/metadata.hpp"
#include "core/ndarray.hpp"

namespace vexil::convert::internal {

struct SaveInputs {
  const std::string& out_dir;
  const std::string& data_key;
  const std::string& gt_key;
  const NDArray& data;
  const std::optional<NDArray>& gt;
  const Metadata& meta;
  const std::optional<Metadata>& gt_meta;
};

// Checks that everything can be written (size limits) before any folder is
// created; throws ValueError otherwise.
void check_outputs_writable(const SaveInputs& in);
void save_outputs(const SaveInputs& in);

}  // namespace vexil::convert::internal
