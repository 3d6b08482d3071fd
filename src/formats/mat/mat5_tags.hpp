// Level 5 MAT-file element tags, and a check of the matrix heads inside one
// top-level element. matio trusts every head it lists (nested cells and
// struct fields included) and allocates what the head declares, so the
// ground-truth loader walks them first and refuses a lie before matio sees it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/mat_constants.hpp"

namespace vexil::formats::mat {

using core::mat::miINT8, core::mat::miUINT8, core::mat::miINT16, core::mat::miUINT16, core::mat::miINT32,
    core::mat::miUINT32, core::mat::miSINGLE, core::mat::miDOUBLE, core::mat::miINT64, core::mat::miUINT64,
    core::mat::miMATRIX, core::mat::miCOMPRESSED;
// deflate never expands by more than this.
constexpr std::uint64_t kDeflateMaxRatio = 1032;

inline std::uint32_t load_u32(const unsigned char* p, bool swap) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return swap ? __builtin_bswap32(v) : v;
}

struct SubElement {
  std::uint32_t type = 0;
  std::uint32_t nbytes = 0;
  const unsigned char* data = nullptr;
  std::size_t total = 0;  // bytes the sub-element occupies, padding included
  bool packed = false;    // a small element: size and type in one word
};

// Reads one tag at p; the data may lie past `avail` (only the tag is needed
// for the data element). False when fewer than 8 bytes are at hand or a
// packed tag claims more than 4 bytes.
bool read_tag(const unsigned char* p, std::size_t avail, bool swap, SubElement& e);

// Walks the matrix in the top-level element whose payload (after its 8-byte
// tag) starts at the current position of `f`: `nbytes` bytes, inflated
// first when `compressed`. Throws BadInputError naming `path` and the element's
// `offset` when a head is malformed, claims more than the element can hold,
// or a compressed stream breaks before the walk is done.
void check_element(std::FILE* f, std::uint64_t offset, std::uint32_t nbytes, bool compressed, bool swap,
                   const std::string& path);

// Reads `n` bytes at `at` in the matrix of the top-level element whose tag
// is at `offset` (`at` counts from the matrix's own tag, inflated first when
// `compressed`). False when the element ends or its stream breaks first.
bool read_matrix_bytes(std::FILE* f, std::uint64_t offset, std::uint32_t nbytes, bool compressed, std::uint64_t at,
                       unsigned char* out, std::size_t n);

}  // namespace vexil::formats::mat
