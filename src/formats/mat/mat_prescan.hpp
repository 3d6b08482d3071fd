// Checks made on a MAT-file before matio reads it. matio trusts what a file
// declares (a Level 4 header's sizes, a Level 5 matrix's dimensions, names
// and cell counts) and allocates it before reading a byte, so the file is
// walked first and a lie is refused with an error naming the file.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "vexil/dtype.hpp"

namespace vexil::formats::mat {

// The head of one Level 5 variable as stored.
struct StoredVar {
  std::string name;
  std::uint32_t data_type = 0;      // tag of the real-part data element
  std::uint32_t data_nbytes = 0;    // its declared length
  std::uint64_t matrix_nbytes = 0;  // declared length of the miMATRIX payload
  std::uint64_t data_end = 0;       // where the data element ends, from the miMATRIX tag
  std::uint64_t count = 0;          // product of the dimensions (saturated)
  bool numeric = false;             // a numeric or logical class
  bool complex = false;             // an imaginary part follows the real one
};

// One top-level Level 5 element holding a variable.
struct Level5Var {
  StoredVar head;
  std::uint64_t offset = 0;  // of the top-level element's tag
  std::uint32_t nbytes = 0;  // of the top-level element's payload
  bool compressed = false;
};

struct Level5Scan {
  std::map<std::string, Level5Var> vars;  // first element of each name
  std::map<std::string, int> copies;      // elements carrying each name
  bool swap = false;
};

// Whether the file starts with a Level 5 / 7.3 header (else matio reads it as Level 4).
enum class MatHeader { Level4, Level5, V73 };

// The checks before matio opens the file: it exists and is a regular,
// non-empty file; a file without a Level 5 / 7.3 header has Level 4
// variable headers that stay within the file. Returns the file's size.
// Errors: NotFoundError/ReadError in the words of the OS, BadInputError.
std::uint64_t check_before_open(const std::string& path, MatHeader& header);

// Every top-level element of a Level 5 file: its variable's name, stored
// data type and extent; every matrix head is checked (BadInputError for a
// truncated file or a head that claims more than its element holds).
Level5Scan scan_level5(const std::string& path);

// The variable `name` of a scanned Level 5 file holds every element its
// dimensions promise, inside its own element (real and imaginary part);
// BadInputError naming the file and the variable otherwise.
void check_level5_extent(const std::string& path, const Level5Scan& scan, const std::string& name);

// matio allocates a Level 4 variable's name and data as its header declares
// them; the headers are walked first and any that runs past the file is refused.
void check_level4_extents(const std::string& path, std::uint64_t size);

// The element type of a Level 5 data element type (miINT8 ... miUINT64).
std::optional<DType> dtype_of_mat_type(std::uint32_t t);

}  // namespace vexil::formats::mat
