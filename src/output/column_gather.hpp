// Reads an array's elements in column-major (Fortran) order straight from
// its strided view, in any range, without copying the array first.
// Adjacent axes that are already laid out together are merged, and the
// strided part is copied in cache-sized tiles. For pixel-interleaved cubes,
// whose bands are contiguous but slowest in column-major order, groups of
// band planes are gathered together into a small shared cache so each
// pixel's bytes are read from memory once per group, not once per band.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "output/band_stream.hpp"
#include "vexil/array.hpp"

namespace vexil::io {
class MappedFile;
}

namespace vexil::output {

class ColumnGather {
 public:
  // `part` selects the real (0) or imaginary (1) half of complex elements;
  // other types have only part 0. With `stream`, a deferred cube whose
  // source reads bands separately is streamed band group by band group (see
  // BandStream); any other deferred array is read whole.
  explicit ColumnGather(const NDArray& array, int part = 0, const StreamBands* stream = nullptr);

  std::size_t itemsize() const { return item_; }
  std::uint64_t size_bytes() const { return static_cast<std::uint64_t>(count_) * item_; }
  // Fills out with bytes [offset, offset + len) of the column-major data.
  void read(std::uint64_t offset, std::size_t len, std::byte* out) const;

  // For tests: the band-group cache's byte budget and tile width in pixels
  // (0 restores the defaults). Affects gathers constructed afterwards.
  static void set_group_tuning_for_testing(std::int64_t budget_bytes, std::int64_t tile_pixels);
  bool uses_band_groups() const { return groups_ != nullptr; }
  // For tests: band-group tiles allocated so far, and tiles per group.
  std::size_t band_group_tiles() const;
  std::size_t tiles_per_band_group() const;

 private:
  void gather_elements(std::int64_t e0, std::int64_t e1, std::byte* out) const;
  void gather_direct(std::int64_t e0, std::int64_t e1, std::byte* out) const;
  // `rows` runs of `row_bytes`, `stride` apart from src, for reading: read
  // from the file into a per-thread buffer when the array is a mapped file's
  // view and that pays (the stride to use is returned in `stride`), else src.
  const std::byte* staged(const std::byte* src, std::int64_t rows, std::int64_t& stride, std::int64_t row_bytes) const;

  struct BandGroups;

  const std::byte* base_ = nullptr;
  std::size_t item_ = 1;
  std::int64_t count_ = 0;
  std::vector<std::int64_t> dims_;     // column-major: dims_[0] varies fastest
  std::vector<std::int64_t> strides_;  // bytes
  std::shared_ptr<void> keep_alive_;
  const io::MappedFile* file_ = nullptr;  // the storage, when a mapped file (kept by keep_alive_)
  std::shared_ptr<BandGroups> groups_;    // null unless pixel-interleaved
  std::shared_ptr<BandStream> stream_;    // set when streamed from a deferred cube
};

}  // namespace vexil::output
