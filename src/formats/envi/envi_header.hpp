// ENVI header text: parsing into an ordered field map, and the checked
// image layout (sizes, element type, interleave, byte order, offset).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "vexil/dtype.hpp"

namespace vexil::formats::envi {

// A header value: the text as written, or the pieces of a braced value.
struct HeaderValue {
  bool is_list = false;
  std::string text;                // when !is_list
  std::vector<std::string> items;  // when is_list
};

// Fields in order of first occurrence; a repeated key keeps its first place
// and takes the last value.
class Header {
 public:
  void set(std::string key, HeaderValue value);
  const HeaderValue* find(std::string_view key) const;
  const std::vector<std::pair<std::string, HeaderValue>>& fields() const { return fields_; }

 private:
  std::vector<std::pair<std::string, HeaderValue>> fields_;
  std::unordered_map<std::string, std::size_t> index_;  // keeps lookups O(1) on huge headers
};

// Larger "headers" are refused before reading them: real ones are kilobytes.
inline constexpr std::uint64_t kMaxHeaderBytes = 32ull << 20;

// Parses header bytes (the whole file). Bytes that are not valid UTF-8 are
// taken as Latin-1. Throws BadInputError for text that is not an ENVI header or
// a brace that is never closed; `name` (the header's path) is named in it.
Header parse_header(std::string_view bytes, std::string_view name = {});

// Reads and parses a header file. Throws NotFoundError when it does not
// exist, BadInputError/ReadError when it is not a readable regular file of
// sensible size or does not parse.
Header read_header_file(const std::string& path);

enum class Interleave { BSQ, BIL, BIP };

struct Layout {
  std::int64_t lines = 0;
  std::int64_t samples = 0;
  std::int64_t bands = 0;
  DType dtype = DType::UInt8;
  Interleave interleave = Interleave::BSQ;
  bool big_endian = false;
  std::uint64_t header_offset = 0;
  std::uint64_t data_bytes = 0;  // lines * samples * bands * itemsize, overflow-checked
  std::string interleave_text;   // as written (stripped), for the data-file search
};

// Validates the fields needed to read the data. Throws MissingKeyError for a missing
// mandatory field and BadInputError for anything unusable, a zero extent
// included; both name `name` (the header's path) when given.
Layout layout_from_header(const Header& header, std::string_view name = {});

// ENVI data type code ("4") -> element type; false for unsupported codes.
bool dtype_from_code(std::string_view code, DType& out);

// An integer header text: surrounding whitespace, a sign and '_'
// between digits. Returns false for anything else or values outside int64.
bool parse_int(std::string_view text, std::int64_t& out);

}  // namespace vexil::formats::envi
