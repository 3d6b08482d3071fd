// Text exactly as Python writes it: float repr, format specifications,
// string and list reprs. The console and the sidecar are compared byte for
// byte with Python's output, so every rule here is Python's.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "text/utf8.hpp"

namespace vexil::text {

// repr(float): shortest round-trip digits, "100.0", "1e-05", "nan", "inf".
std::string float_repr(double x);
// str(numpy.float32): shortest float32 digits ("0.1"), NumPy's "1e-04" rule.
std::string float32_str(float x);
// repr(complex): "(1+2j)", "(1.5-0j)", "(nan+1j)", and "2j" / "-2j" when the
// real part is +0. Each part is written by `part` (repr(float) when null)
// without a trailing ".0"; a NaN imaginary part takes "+".
std::string complex_repr(double re, double im, std::string (*part)(double) = nullptr);
// format(x, ".4g")
std::string format_g4(double x);
// format(x, ".1f") / ".2f": fixed with `decimals` digits, correctly rounded.
std::string format_fixed(double x, int decimals);
// format(n, ">8,"): thousands separators, right-aligned to `width`, never cut.
std::string format_grouped(std::int64_t n, int width);
std::string format_grouped(std::uint64_t n, int width);
// format(s, "<16"): left-aligned, padded with spaces to `width` characters
// (counted in code points), never cut.
std::string pad_right(std::string_view s, std::size_t width);
// repr(str): 'cube', "it's", escapes as Python does; text is UTF-8.
std::string str_repr(std::string_view s);
// repr(list of str): ['cube', 'scan/gt']
std::string str_list_repr(const std::vector<std::string>& items);

// float(text) with Python's rules (whitespace, '_' between digits, inf/nan
// spellings); returns false where Python raises BadInputError.
bool parse_float(std::string_view text, double& out);

}  // namespace vexil::text
