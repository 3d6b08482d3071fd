// The closing report of a conversion.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/job.hpp"
#include "vexil/metadata.hpp"
#include "vexil/array.hpp"

namespace vexil::conversion {

// The value range of a cube whose pieces are handed over as they are
// written (see output::ValueTap), so that the report need not read the cube
// again. Pieces may come from several threads at once, each once; the
// report uses the tally only if they held every element of the cube.
class RangeTally {
 public:
  // `meta` gives the declared fill value, left out of the range as usual.
  RangeTally(DType dtype, std::int64_t elements, const Metadata& meta);
  ~RangeTally();
  RangeTally(const RangeTally&) = delete;
  RangeTally& operator=(const RangeTally&) = delete;
  void add(const NDArray& piece);

  struct Impl;
  Impl* impl() const { return impl_.get(); }

 private:
  std::unique_ptr<Impl> impl_;
};

// Hands the report's lines to the job's reporter. The files are written
// already, so nothing here fails the run: what cannot be computed is said.
void print_summary(const core::Job& job, const NDArray& data, const std::optional<NDArray>& gt, const Metadata& meta,
                   const std::optional<Metadata>& gt_meta, const std::string& out_dir, double elapsed,
                   const std::string& data_key, const std::string& gt_key, RangeTally* tally = nullptr);

}  // namespace vexil::conversion
