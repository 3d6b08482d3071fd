// The elements of one HDF5 dataset, read without a copy of the whole file:
//  - contiguous, unfiltered data stored exactly as it is used is a view over
//    a read-only mapping of the file;
//  - other contiguous data in the other byte order is copied out of the
//    mapping and swapped when the pixels are needed;
//  - chunked data with deflate/shuffle/LZF is read chunk by chunk (raw bytes
//    through HDF5, decoding on every thread the read may use), only the
//    chunks a window touches;
//  - everything else goes through HDF5 hyperslab reads of the window.
// Every path gives the values one H5Dread of the whole dataset gives.
#pragma once

#ifdef VEXIL_HAVE_HDF5

#include <hdf5.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "formats/hdf5/hdf5_filters.hpp"
#include "io/file.hpp"
#include "io/mapped_file.hpp"
#include "libs/hdf5_handles.hpp"
#include "vexil/array.hpp"

namespace vexil::formats::hdf5 {

// How a dataset's elements are read: the memory type HDF5 converts into and
// the array's element type. Boolean enums are read as their base integers
// and narrowed afterwards.
struct ReadPlan {
  DType dtype = DType::UInt8;
  libs::hdf5::Handle mem;
  std::size_t mem_size = 0;
  bool bool_enum = false;
  bool bool_enum_signed = false;
};

// Refuses (BadInputError naming the dataset and file) what cannot become an
// array: strings, references, unknown compounds ...
ReadPlan plan_read(hid_t file_type, const std::string& key, const std::string& path);

// A read of one window: where progress goes, how many threads it may use,
// whether it was cancelled.
class ReadProgress {
 public:
  ReadProgress(const ReadControl& control, std::uint64_t total);
  int threads() const { return threads_; }
  // Adds bytes delivered; reports about once per megabyte and at the end.
  void add(std::uint64_t bytes);
  // Throws CancelledError once the caller has asked to stop.
  void check_cancel() const;

 private:
  const ReadControl& control_;
  std::uint64_t total_, done_ = 0, reported_ = 0;
  int threads_;
};

class DatasetReader {
 public:
  // Validates the dataset (type, filters, stored extent against the file
  // size) without reading elements. `ds` stays open with the reader.
  DatasetReader(libs::hdf5::Handle ds, std::string key, std::string path);
  ~DatasetReader();
  DatasetReader(const DatasetReader&) = delete;
  DatasetReader& operator=(const DatasetReader&) = delete;

  const Shape& shape() const { return shape_; }  // as stored
  DType dtype() const { return plan_.dtype; }
  const std::string& key() const { return key_; }
  const std::string& path() const { return path_; }
  hid_t id() const { return ds_.get(); }

  // Elements lo[d] <= i < hi[d] of every stored axis d, in C order of that
  // box, as dtype() elements, into dst.
  void read_box(const std::vector<std::int64_t>& lo, const std::vector<std::int64_t>& hi, std::byte* dst,
                ReadProgress& progress) const;

  // Whether read_box_strided() can be used: chunks decoded here and used as
  // stored (no byte swap or conversion).
  bool places_strided() const { return chunked_fast_ && copy_ == Copy::Identical && !plan_.bool_enum; }
  // As read_box(), but element (i_0, i_1, ...) of the box goes to
  // dst + sum((i_d - lo[d]) * dst_strides[d]), strides in bytes.
  void read_box_strided(const std::vector<std::int64_t>& lo, const std::vector<std::int64_t>& hi, std::byte* dst,
                        const std::vector<std::int64_t>& dst_strides, ReadProgress& progress) const;

  // The whole dataset as a view over the file's mapping, when its bytes are
  // used as stored; null otherwise.
  std::optional<NDArray> mapped_whole() const;

  // How the elements will be read, for tests and the sidecar:
  // "mapped", "mapped, byte-swapped", "chunks", "hyperslabs".
  std::string access() const;

  // Chunk extents per stored axis when chunks are decoded here; else empty.
  const std::vector<std::int64_t>& chunk() const { return chunk_; }
  // Chunks read raw so far by this reader (tests check that a crop reads
  // only the chunks it needs).
  std::uint64_t chunks_read() const { return chunks_read_; }

 private:
  enum class Copy { Identical, Swap, Convert };
  void read_mapped(const std::vector<std::int64_t>& lo, const std::vector<std::int64_t>& hi, std::byte* dst,
                   ReadProgress& progress) const;
  // Into a C-ordered box, or with `dst_strides` as read_box_strided().
  void read_chunks(const std::vector<std::int64_t>& lo, const std::vector<std::int64_t>& hi, std::byte* dst,
                   ReadProgress& progress, const std::vector<std::int64_t>* dst_strides = nullptr) const;
  void read_hyperslabs(const std::vector<std::int64_t>& lo, const std::vector<std::int64_t>& hi, std::byte* dst,
                       ReadProgress& progress) const;
  // Region [rlo, rhi) of the box [lo, hi) read by HDF5 into its place in dst.
  void read_region(const std::vector<std::int64_t>& lo, const std::vector<std::int64_t>& hi,
                   const std::vector<std::int64_t>& rlo, const std::vector<std::int64_t>& rhi, std::byte* dst) const;
  [[noreturn]] void fail_read() const;
  // Under hdf5_mu_: whether raw chunks can be read from the file at the
  // places HDF5 gives, outside the library. Decided once, by reading the
  // first chunk asked about both ways.
  bool direct_reads(const hsize_t* offset, haddr_t addr, hsize_t size) const;

  libs::hdf5::Handle ds_;
  std::string key_, path_;
  Shape shape_;
  ReadPlan plan_;
  Copy copy_ = Copy::Convert;
  std::size_t swap_unit_ = 1;
  // Contiguous data: the mapping of the bytes.
  std::shared_ptr<io::MappedFile> mapping_;
  const std::byte* mapped_ = nullptr;
  // Chunked data decoded here.
  bool chunked_fast_ = false;
  std::vector<std::int64_t> chunk_;
  std::vector<FilterStep> pipeline_;
  std::vector<std::byte> fill_;  // one element, memory type
  mutable std::uint64_t chunks_read_ = 0;
  // direct_reads(): 0 not yet known, 1 yes, -1 no; the file, and what to add
  // to HDF5's places.
  mutable int direct_state_ = 0;
  mutable std::unique_ptr<io::Fd> direct_fd_;
  mutable hsize_t direct_base_ = 0;
  // Guards every HDF5 call on this dataset: the library is not thread-safe,
  // and band groups of one cube may be read by several threads at once.
  mutable std::mutex hdf5_mu_;
};

// An array of (height, width, ...) over a dataset: delivered axis i is the
// stored axis perm[i]. A mapped dataset gives a view; otherwise pixels are
// read when first needed, only within the window asked for. Datasets of
// fewer than two axes are read at once.
NDArray dataset_array(std::shared_ptr<const DatasetReader> reader, const std::vector<int>& perm,
                      const ReadControl& eager_control);

// 2-D datasets of one shape and type stacked as the bands of a (height,
// width, bands) cube, in the order given; `flip_rows` puts rows stored
// bottom-up right side up. Pixels are read when first needed.
NDArray stacked_array(std::vector<std::shared_ptr<const DatasetReader>> bands, bool flip_rows);

}  // namespace vexil::formats::hdf5

#endif  // VEXIL_HAVE_HDF5
