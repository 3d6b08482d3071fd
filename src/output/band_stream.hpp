// The column-major bytes of a deferred (height, width, bands) cube whose
// source reads bands separately (band-interleaved TIFF blocks, HDF5 chunks
// of a few bands), read a band group at a time as the writer asks for them.
// No buffer of the whole cube is ever held: only the groups that blocks in
// flight need, each decoded once by the first worker that needs it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>

#include "vexil/array.hpp"

namespace vexil::output {

// What a stream throws when its source fails to read: the source's own
// exception, kept apart so that callers can tell it from a failed write.
struct BandReadFailure : std::exception {
  explicit BandReadFailure(std::exception_ptr e) : error(std::move(e)) {}
  const char* what() const noexcept override { return "reading a band group failed"; }
  std::exception_ptr error;
};

// How a cube is streamed: how many workers read it (the writer's; 0: the
// CPUs this process may use).
struct StreamBands {
  int threads = 0;
};

class BandStream {
 public:
  // `cube` must have band_step() > 0 and a real (not complex) type.
  BandStream(const NDArray& cube, StreamBands how);
  ~BandStream();

  // Elements [e0, e1) in column-major order into out.
  void gather(std::int64_t e0, std::int64_t e1, std::byte* out) const;

  std::int64_t group_bands() const;

  // For tests: the target bytes of a group and the groups held at most (0
  // restores the defaults). Affects streams constructed afterwards.
  static void set_tuning_for_testing(std::int64_t group_bytes, int max_groups);
  // Band groups decoded by all streams so far, re-reads included.
  static std::uint64_t groups_decoded_for_testing();

 private:
  struct Cache;
  std::shared_ptr<Cache> cache_;
};

}  // namespace vexil::output
