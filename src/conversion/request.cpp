// The parts of a conversion request that are checked or built on their own.
#include <cstdint>
#include <string>

#include "text/text_format.hpp"
#include "vexil/convert.hpp"

namespace vexil {

CropValue CropValue::from_decimal(std::string decimal) {
  CropValue v;
  v.value.reset();
  // Canonical decimal within int64 keeps its number; anything longer is text.
  const bool negative = !decimal.empty() && decimal[0] == '-';
  const std::string digits = negative ? decimal.substr(1) : decimal;
  if (!digits.empty() && digits.size() <= 19 && digits.find_first_not_of("0123456789") == std::string::npos) {
    unsigned __int128 magnitude = 0;
    for (char c : digits) magnitude = magnitude * 10 + static_cast<unsigned>(c - '0');
    const unsigned __int128 limit = negative ? (static_cast<unsigned __int128>(INT64_MAX) + 1) : INT64_MAX;
    if (magnitude <= limit)
      v.value = negative ? static_cast<std::int64_t>(-static_cast<__int128>(magnitude))
                         : static_cast<std::int64_t>(magnitude);
  }
  v.text = std::move(decimal);
  return v;
}

std::string matlab_name_problem(std::string_view name) {
  auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
  bool ok = !name.empty() && name.size() <= 63 && letter(name[0]);
  for (char c : name)
    if (!letter(c) && !(c >= '0' && c <= '9') && c != '_') ok = false;
  if (ok) return {};
  return "invalid MATLAB variable name: " + text::str_repr(name) +
         " (use a letter followed by letters, digits or underscores, at most 63 characters)";
}

}  // namespace vexil
