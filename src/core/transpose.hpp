// Transposing blocks of fixed-size elements: the step that turns row-major
// band planes (and the band runs of pixel-interleaved cubes) into the
// column-major order a MAT-file stores, in the writer's gather and in the
// readers that decode blocks straight into that order.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vexil::core {

// Element (r, c) of a rows x cols block, whose rows hold `cols` contiguous
// elements of `item` bytes `src_stride` bytes apart, is copied to
// out + c * out_stride + r * item. Works through small tiles in a local
// buffer, so neither side is walked with a large stride, and uses vector
// shuffles for 1-, 2- and 4-byte elements where the CPU has them. Pointers
// need no alignment.
void transpose(const std::byte* src, std::int64_t src_stride, std::int64_t rows, std::int64_t cols, std::size_t item,
               std::byte* out, std::int64_t out_stride);

}  // namespace vexil::core
