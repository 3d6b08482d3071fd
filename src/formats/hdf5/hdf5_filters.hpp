// HDF5 filter pipelines: which filters a dataset uses, whether this program
// can read them (LZF is registered with HDF5 here, from liblzf), and the
// decoding of raw chunks for the filters we undo ourselves, so that chunks
// can be decoded on many threads while HDF5 itself only reads bytes.
#pragma once

#ifdef VEXIL_HAVE_HDF5

#include <hdf5.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/uninit_vector.hpp"

namespace vexil::formats::hdf5 {

constexpr H5Z_filter_t kLzfFilter = 32000;

struct FilterStep {
  H5Z_filter_t id = 0;
  std::string name;  // as the pipeline message stores it (may be empty)
  std::vector<unsigned> cd_values;
};

// The pipeline of a dataset's creation properties, in the order the
// filters were applied when writing.
std::vector<FilterStep> read_pipeline(hid_t dcpl);

// "deflate", "lzf", "blosc" ...: a filter's usual name, else the name the
// file stores, else "unknown".
std::string filter_name(const FilterStep& step);

// Makes sure HDF5 can apply every filter of the pipeline: LZF is registered
// on first use (when built with liblzf); any filter still unavailable throws
// BadInputError naming the file, the dataset and the filter by name and number.
void require_filters(const std::vector<FilterStep>& pipeline, const std::string& key, const std::string& path);

// Whether decode_chunk() undoes this pipeline by itself: deflate, shuffle
// and LZF in any order, with at most one compressor.
bool pipeline_decodable(const std::vector<FilterStep>& pipeline);

// Undoes the pipeline on one raw chunk (filters whose bit is set in
// `filter_mask` were skipped when the chunk was written). On success `raw`
// holds exactly `chunk_bytes` decoded bytes; false when the chunk does not
// decode to that size (the caller then lets HDF5 read it, which reports the
// damage in its own words). `scratch` is working space kept between calls.
using ChunkBytes = core::UninitVector<std::byte>;
bool decode_chunk(const std::vector<FilterStep>& pipeline, unsigned filter_mask, ChunkBytes& raw, ChunkBytes& scratch,
                  std::size_t chunk_bytes);

}  // namespace vexil::formats::hdf5

#endif  // VEXIL_HAVE_HDF5
