// What a reader returns, and what it is given besides the path.
#pragma once

#include <string>
#include <vector>

#include "core/job.hpp"
#include "vexil/array.hpp"
#include "vexil/layout.hpp"
#include "vexil/metadata.hpp"

namespace vexil::formats {

// The array and its metadata dictionary, in the dictionary's final key order.
struct LoadResult {
  NDArray data;
  Metadata meta = Metadata::object();
  // Files read besides the path given (a header's data file, a side file),
  // so that no output of the run can replace one of them.
  std::vector<std::string> files = {};
};

struct ReadOptions {
  // Threads, progress and cancellation of the run; null: a silent job.
  const core::Job* job = nullptr;
  // The stored axis order the caller forces (HDF5-based containers only).
  Layout layout = Layout::Auto;
};

// Reads an image cube as (height, width, bands) from the path as typed.
using ImageReader = LoadResult (*)(const std::string& path, const ReadOptions& options);
// Reads a label map; the metadata holds the reader's own entries, which the
// ground-truth loader merges after "_source_file".
using LabelReader = LoadResult (*)(const std::string& path, const ReadOptions& options);

}  // namespace vexil::formats
