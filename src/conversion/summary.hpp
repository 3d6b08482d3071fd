// The closing report of a conversion.
#pragma once

#include <optional>
#include <string>

#include "core/job.hpp"
#include "vexil/metadata.hpp"
#include "vexil/array.hpp"

namespace vexil::conversion {

// Hands the report's lines to the job's reporter. The files are written
// already, so nothing here fails the run: what cannot be computed is said.
void print_summary(const core::Job& job, const NDArray& data, const std::optional<NDArray>& gt, const Metadata& meta,
                   const std::optional<Metadata>& gt_meta, const std::string& out_dir, double elapsed,
                   const std::string& data_key, const std::string& gt_key);

}  // namespace vexil::conversion
