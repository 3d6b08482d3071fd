#include "formats/mat/mat_other_variables.hpp"

#include <matio.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "formats/mat/mat_prescan.hpp"
#include "formats/mat/matio_util.hpp"
#include "text/utf8.hpp"
#include "vexil/errors.hpp"

namespace vexil::formats::mat {
namespace {

constexpr std::size_t kTooMany = SIZE_MAX;

// Product of the dimensions; kTooMany for a missing or absurd dimension list.
std::size_t element_count(const matvar_t* v) {
  if (!v || v->rank < 0 || (v->rank > 0 && !v->dims)) return kTooMany;
  std::size_t n = 1;
  for (int i = 0; i < v->rank; ++i)
    if (__builtin_mul_overflow(n, v->dims[i], &n)) return kTooMany;
  return n;
}

bool is_text(const matvar_t* v) { return v && v->class_type == MAT_C_CHAR && v->rank == 2; }

// Characters a text variable holds, or kTooMany when it is not text or too long.
std::size_t text_length(const matvar_t* v) {
  if (!is_text(v)) return kTooMany;
  const std::size_t n = element_count(v);
  return n <= kMaxTextChars ? n : kTooMany;
}

// Total characters of a cell array of text; kTooMany when any element is
// something else or the cell or its text is too large.
std::size_t cell_text_length(const matvar_t* v) {
  const std::size_t n = element_count(v);
  if (n > kMaxOtherElements || (n > 0 && !v->data)) return kTooMany;
  std::size_t total = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t len = text_length(static_cast<matvar_t* const*>(v->data)[i]);
    if (len == kTooMany || (total += len) > kMaxTextChars) return kTooMany;
  }
  return total;
}

bool is_small_numeric(const matvar_t* v) {
  return dtype_of_class(v->class_type) && !v->isComplex && element_count(v) <= kMaxOtherElements;
}

// One row of a char matrix as UTF-8: one-byte units as UTF-8 (else
// Latin-1), two-byte units as UTF-16, four-byte units as code points.
std::string text_row(const matvar_t* v, std::size_t row) {
  const std::size_t rows = v->dims[0], cols = v->dims[1];
  const auto unit = static_cast<std::size_t>(v->data_size);
  const auto* p = static_cast<const unsigned char*>(v->data);
  std::string out;
  if (unit == 1) {
    std::string bytes;
    for (std::size_t c = 0; c < cols; ++c) bytes += static_cast<char>(p[row + c * rows]);
    return text::utf8_or_latin1(bytes);
  }
  for (std::size_t c = 0; c < cols; ++c) {
    const std::size_t at = (row + c * rows) * unit;
    if (unit == 2) {
      std::uint16_t u;
      std::memcpy(&u, p + at, 2);
      if (u >= 0xD800 && u < 0xDC00 && c + 1 < cols) {
        std::uint16_t low;
        std::memcpy(&low, p + (row + (c + 1) * rows) * unit, 2);
        if (low >= 0xDC00 && low < 0xE000) {
          text::append_utf8(out, 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (low - 0xDC00));
          ++c;
          continue;
        }
      }
      text::append_utf8(out, u >= 0xD800 && u < 0xE000 ? char32_t{0xFFFD} : char32_t{u});
    } else {
      std::uint32_t u;
      std::memcpy(&u, p + at, 4);
      text::append_utf8(out, u > 0x10FFFF || (u >= 0xD800 && u < 0xE000) ? char32_t{0xFFFD} : char32_t{u});
    }
  }
  return out;
}

// A char row (or an empty text) as a string, a char matrix as its rows.
Metadata text_value(const matvar_t* v) {
  if (element_count(v) == 0) return "";
  if (v->data_size != 1 && v->data_size != 2 && v->data_size != 4) return "";
  if (v->dims[0] == 1) return text_row(v, 0);
  Metadata rows = Metadata::array();
  for (std::size_t r = 0; r < v->dims[0]; ++r) rows.push_back(text_row(v, r));
  return rows;
}

// Element i (column-major) of a numeric or logical array as a JSON number or boolean.
Metadata number_at(const matvar_t* v, std::size_t i) {
  auto get = [&](auto zero) {
    decltype(zero) x;
    std::memcpy(&x, static_cast<const char*>(v->data) + i * sizeof x, sizeof x);
    return x;
  };
  if (v->isLogical) {
    bool nonzero = false;
    const auto unit = static_cast<std::size_t>(v->data_size);
    for (std::size_t k = 0; k < unit; ++k) nonzero |= static_cast<const unsigned char*>(v->data)[i * unit + k] != 0;
    return nonzero;
  }
  switch (v->class_type) {
    case MAT_C_DOUBLE: return get(double{});
    case MAT_C_SINGLE: return static_cast<double>(get(float{}));
    case MAT_C_INT8: return get(std::int8_t{});
    case MAT_C_UINT8: return get(std::uint8_t{});
    case MAT_C_INT16: return get(std::int16_t{});
    case MAT_C_UINT16: return get(std::uint16_t{});
    case MAT_C_INT32: return get(std::int32_t{});
    case MAT_C_UINT32: return get(std::uint32_t{});
    case MAT_C_INT64: return get(std::int64_t{});
    case MAT_C_UINT64: return get(std::uint64_t{});
    default: return nullptr;
  }
}

// Nested lists over MATLAB's dimensions with the unit axes dropped, first
// axis outermost; a single element stands alone. `leaf` gets the
// column-major index of each element.
Metadata nest(const matvar_t* v, const std::function<Metadata(std::size_t)>& leaf) {
  std::vector<std::size_t> extent, stride;
  std::size_t s = 1;
  for (int i = 0; i < v->rank; ++i) {
    if (v->dims[i] != 1) {
      extent.push_back(v->dims[i]);
      stride.push_back(s);
    }
    s *= v->dims[i];
  }
  std::function<Metadata(std::size_t, std::size_t)> level = [&](std::size_t axis, std::size_t offset) -> Metadata {
    if (axis == extent.size()) return leaf(offset);
    Metadata a = Metadata::array();
    for (std::size_t k = 0; k < extent[axis]; ++k) a.push_back(level(axis + 1, offset + k * stride[axis]));
    return a;
  };
  return level(0, 0);
}

// Whether a variable read in full is still what its listing said.
bool same_shape(const matvar_t* listed, const matvar_t* read) {
  if (!read || read->class_type != listed->class_type || read->rank != listed->rank) return false;
  for (int i = 0; i < read->rank; ++i)
    if (!read->dims || read->dims[i] != listed->dims[i]) return false;
  return true;
}

std::optional<Metadata> value_of(const matvar_t* listed, const matvar_t* v) {
  if (!same_shape(listed, v)) return std::nullopt;
  const std::size_t n = element_count(v);
  if (v->class_type == MAT_C_CHAR) {
    if (n > 0 && !v->data) return std::nullopt;
    return text_value(v);
  }
  if (v->class_type == MAT_C_CELL) {
    if (cell_text_length(v) == kTooMany) return std::nullopt;
    auto* const* cells = static_cast<matvar_t* const*>(v->data);
    for (std::size_t i = 0; i < n; ++i)
      if (element_count(cells[i]) > 0 && !cells[i]->data) return std::nullopt;
    return nest(v, [&](std::size_t i) { return text_value(cells[i]); });
  }
  if (n > 0 && !v->data) return std::nullopt;
  if (v->data_size <= 0) return std::nullopt;
  const auto unit = static_cast<std::size_t>(v->data_size);
  if ((!v->isLogical && unit != itemsize(*dtype_of_class(v->class_type))) || v->nbytes < n * unit) return std::nullopt;
  return nest(v, [&](std::size_t i) { return number_at(v, i); });
}

}  // namespace

Metadata read_other_variables(const std::string& path, const std::string& chosen) {
  Metadata out = Metadata::object();
  init_log();
  MatHeader header_kind = MatHeader::Level4;
  check_before_open(path, header_kind);
  MatPtr mat(Mat_Open(path.c_str(), MAT_ACC_RDONLY), Mat_Close);
  if (!mat) return out;
  Level5Scan level5;
  const bool v5 = Mat_GetVersion(mat.get()) == MAT_FT_MAT5;
  if (v5) level5 = scan_level5(path);

  // The listing first (matio reads each variable by name afterwards).
  std::vector<MatVarPtr> wanted;
  for (;;) {
    matvar_t* info = Mat_VarReadNextInfo(mat.get());
    if (!info) break;
    MatVarPtr guard(info, Mat_VarFree);
    if (!info->name || info->name[0] == '_' || chosen == info->name) continue;
    const bool keep = info->class_type == MAT_C_CHAR   ? text_length(info) != kTooMany
                      : info->class_type == MAT_C_CELL ? cell_text_length(info) != kTooMany
                                                       : is_small_numeric(info);
    if (!keep) continue;
    if (v5) {
      // One copy only, and numeric data that hold what the dimensions promise.
      const auto copies = level5.copies.find(info->name);
      if (copies == level5.copies.end() || copies->second != 1) continue;
      try {
        check_level5_extent(path, level5, info->name);
      } catch (const BadInputError&) {
        continue;
      }
    }
    wanted.push_back(std::move(guard));
  }
  take_log();

  for (const MatVarPtr& listed : wanted) {
    if (Mat_Rewind(mat.get()) != 0) break;
    MatVarPtr v(Mat_VarRead(mat.get(), listed->name), Mat_VarFree);
    take_log();
    if (std::optional<Metadata> value = value_of(listed.get(), v.get())) out[listed->name] = std::move(*value);
  }
  return out;
}

}  // namespace vexil::formats::mat
