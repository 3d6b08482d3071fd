// Refusing allocations the machine cannot hold, before a hostile header
// makes us try.
#pragma once

#include <cstdint>
#include <string_view>

namespace vexil::core {

// Bytes of physical memory; UINT64_MAX when the system does not say.
std::uint64_t physical_memory();

// Throws BadInputError "<what>: the data would need N bytes, more than this
// machine's memory (M bytes)" when `bytes` exceeds physical memory.
void check_fits_in_memory(std::uint64_t bytes, std::string_view what);

}  // namespace vexil::core
