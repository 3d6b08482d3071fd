// The saving steps of a run: output folder, data.mat, gt.mat, metadata.json,
// each confirmed by one console line.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "core/job.hpp"
#include "output/mat5_writer.hpp"
#include "vexil/convert.hpp"
#include "vexil/metadata.hpp"
#include "vexil/array.hpp"

namespace vexil::output {

// The largest miMATRIX element (bytes after its tag) a Level 5 variable holds.
inline constexpr std::uint64_t kMat5VariableLimit = std::numeric_limits<std::uint32_t>::max();

struct SaveInputs {
  const std::string& out_dir;
  const std::string& data_key;
  const std::string& gt_key;
  const NDArray& data;
  const std::optional<NDArray>& gt;
  const Metadata& meta;
  const std::optional<Metadata>& gt_meta;
  // An array whose Level 5 element would exceed this many bytes (or with an
  // extent beyond int32) is written as MAT-file 7.3 instead. Lowered by tests.
  std::uint64_t mat5_limit = kMat5VariableLimit;
  // When set, receives the sidecar's content.
  Metadata* sidecar_out = nullptr;
  // Sees every element of data once as it is written to a Level 5 file
  // (Mat5Options::value_tap).
  ValueTap data_tap = {};
};

// True when `data` is written band group by band group straight from its
// source, never held whole: a deferred cube whose source reads bands
// separately, written as MAT-file Level 5.
bool streams_bands(const NDArray& data, const std::string& key, std::uint64_t mat5_limit = kMat5VariableLimit);

// True when `array` goes to MAT-file 7.3 rather than Level 5. Throws
// BadInputError for a variable name no MAT-file can hold.
bool needs_mat73(const NDArray& array, const std::string& key, std::uint64_t mat5_limit = kMat5VariableLimit);

// Checks that everything can be written before any folder is created: the
// variable names, and HDF5 being built in when an array needs MAT-file 7.3;
// throws BadInputError otherwise.
void check_outputs_writable(const SaveInputs& in);

// Throws WriteError, with the reason, when the output folder cannot be
// created or written (a file in its place, no permission); creates nothing.
void check_out_dir(const std::string& out_dir);

// The files a run writes into `out_dir`, in writing order.
std::vector<std::string> output_paths(const std::string& out_dir, bool with_gt);
// Creates the folder, writes every file under a temporary name, then renames
// them into place together; reports each through the job. On failure no
// file of the folder has changed.
std::vector<WrittenFile> save_outputs(const SaveInputs& in, const core::Job& job);

}  // namespace vexil::output
