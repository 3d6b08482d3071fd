// Refusing allocations the machine cannot hold, before a hostile header
// makes us try.
#pragma once

#include <cstdint>
#include <string_view>

#include "vexil/array.hpp"

namespace vexil::core {

// Bytes of physical memory; UINT64_MAX when the system does not say.
std::uint64_t physical_memory();

// Throws BadInputError "<what>: the data would need N bytes, more than this
// machine's memory (M bytes)" when `bytes` exceeds physical memory.
void check_fits_in_memory(std::uint64_t bytes, std::string_view what);

// An uninitialised C-contiguous array for a decoder to fill. A large one is
// backed by huge pages where the system allows: first touching fresh memory
// page by page costs seconds per gigabyte, and decoders touch all of it.
NDArray fresh_array(DType dtype, const Shape& shape);

}  // namespace vexil::core
