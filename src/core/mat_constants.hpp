// MAT-file Level 5 codes shared by the writer and the ground-truth reader:
// data element types (mi*), array classes (mx*) and array flags.
#pragma once

#include <cstdint>

namespace vexil::core::mat {

// Data element types of a tag's first word.
constexpr std::uint32_t miINT8 = 1, miUINT8 = 2, miINT16 = 3, miUINT16 = 4, miINT32 = 5, miUINT32 = 6, miSINGLE = 7,
                        miDOUBLE = 9, miINT64 = 12, miUINT64 = 13, miMATRIX = 14, miCOMPRESSED = 15;

// Array classes of a matrix's flags word (low byte).
constexpr std::uint32_t mxDOUBLE = 6, mxSINGLE = 7, mxINT8 = 8, mxUINT8 = 9, mxINT16 = 10, mxUINT16 = 11, mxINT32 = 12,
                        mxUINT32 = 13, mxINT64 = 14, mxUINT64 = 15;

// Array flags, in the flags word's second byte.
constexpr std::uint32_t kFlagComplex = 0x08, kFlagGlobal = 0x04, kFlagLogical = 0x02;

}  // namespace vexil::core::mat
