#include "text/text_format.hpp"

#include "text/utf8.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <locale.h>

namespace vexil::text {

namespace {

#include "text/unicode_tables.inc"

bool is_printable(std::uint32_t cp) {
  // Binary search over the sorted, disjoint ranges.
  std::size_t lo = 0, hi = std::size(kNonPrintable);
  while (lo < hi) {
    std::size_t mid = (lo + hi) / 2;
    if (cp < kNonPrintable[mid][0]) {
      hi = mid;
    } else if (cp > kNonPrintable[mid][1]) {
      lo = mid + 1;
    } else {
      return false;
    }
  }
  return true;
}

// Value 0..9 of a Unicode decimal digit, or -1.
int decimal_value(std::uint32_t cp) {
  const std::uint32_t* end = std::end(kDigitZeros);
  const std::uint32_t* it = std::upper_bound(std::begin(kDigitZeros), end, cp);
  if (it == std::begin(kDigitZeros)) return -1;
  std::uint32_t zero = *(it - 1);
  return cp - zero < 10 ? static_cast<int>(cp - zero) : -1;
}

// Python's str.isspace() for characters above ASCII (float() turns them into ' ').
bool is_unicode_space(std::uint32_t cp) {
  switch (cp) {
    case 0x85:
    case 0xA0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000: return true;
    default: return cp >= 0x2000 && cp <= 0x200A;
  }
}

bool is_ascii_space(char ch) { return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\v' || ch == '\f' || ch == '\r'; }

bool is_digit(char ch) { return ch >= '0' && ch <= '9'; }

// Adds the ".0" Python keeps on integral floats to a shortest-digits text.
std::string with_point(std::string s) {
  if (s.find_first_of(".en") == std::string::npos) s += ".0";
  return s;
}

std::string group_digits(std::uint64_t magnitude, bool negative, int width) {
  std::string digits = std::to_string(magnitude);
  std::string out;
  out.reserve(digits.size() + digits.size() / 3 + 2);
  if (negative) out += '-';
  std::size_t lead = digits.size() % 3;
  if (lead == 0) lead = 3;
  out.append(digits, 0, lead);
  for (std::size_t i = lead; i < digits.size(); i += 3) {
    out += ',';
    out.append(digits, i, 3);
  }
  if (width > 0 && out.size() < static_cast<std::size_t>(width)) {
    out.insert(0, static_cast<std::size_t>(width) - out.size(), ' ');
  }
  return out;
}

// Locale-independent strtod: a host program's LC_NUMERIC must not change "1.5".
double c_strtod(const char* text) {
  static locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  if (c_locale == static_cast<locale_t>(nullptr)) return std::strtod(text, nullptr);
  return strtod_l(text, nullptr, c_locale);
}

std::string printf_double(const char* format, int precision, double x) {
  char buf[512];  // "%.2f" of DBL_MAX needs 312 characters
  int n = std::snprintf(buf, sizeof buf, format, precision, x);
  if (n < 0) return {};
  if (static_cast<std::size_t>(n) < sizeof buf) return std::string(buf, static_cast<std::size_t>(n));
  std::string big(static_cast<std::size_t>(n) + 1, '\0');
  std::snprintf(big.data(), big.size(), format, precision, x);
  big.resize(static_cast<std::size_t>(n));
  return big;
}

}  // namespace

std::string float_repr(double x) {
  if (std::isnan(x)) return "nan";
  return with_point(fmt::format("{}", x));
}

std::string float32_str(float x) {
  if (std::isnan(x)) return "nan";
  std::string s = with_point(fmt::format("{}", x));
  // NumPy switches to scientific notation below 1e-4 by value; the shortest
  // digits of a float32 just under 1e-4 still read "0.0001".
  if (x != 0.0f && std::fabs(static_cast<double>(x)) < 1e-4) {
    if (s == "0.0001") return "1e-04";
    if (s == "-0.0001") return "-1e-04";
  }
  return s;
}

std::string complex_repr(double re, double im, std::string (*part)(double)) {
  auto written = [part](double x) {
    std::string t = part ? part(x) : float_repr(x);
    if (t.size() > 2 && t.compare(t.size() - 2, 2, ".0") == 0) t.resize(t.size() - 2);
    return t;
  };
  const bool neg_im = !std::isnan(im) && std::signbit(im);
  // Appended piece by piece: GCC 12 at -O3 reports a false -Wrestrict for
  // a literal + std::string&& (GCC bug 105329).
  std::string out;
  if (re == 0 && !std::signbit(re)) {
    if (neg_im) out += '-';
    out += written(std::fabs(im));
    out += 'j';
    return out;
  }
  out += '(';
  out += written(re);
  out += neg_im ? '-' : '+';
  out += written(std::fabs(im));
  out += "j)";
  return out;
}

std::string format_g4(double x) {
  if (std::isnan(x)) return "nan";
  return printf_double("%.*g", 4, x);
}

std::string format_fixed(double x, int decimals) {
  if (std::isnan(x)) return "nan";
  return printf_double("%.*f", std::clamp(decimals, 0, 100), x);
}

std::string format_grouped(std::int64_t n, int width) {
  bool negative = n < 0;
  std::uint64_t magnitude = negative ? 0 - static_cast<std::uint64_t>(n) : static_cast<std::uint64_t>(n);
  return group_digits(magnitude, negative, width);
}

std::string format_grouped(std::uint64_t n, int width) { return group_digits(n, false, width); }

std::string pad_right(std::string_view s, std::size_t width) {
  std::size_t count = 0;
  for (std::size_t pos = 0; pos < s.size();) {
    decode_utf8(s, pos);
    ++count;
  }
  std::string out(s);
  if (count < width) out.append(width - count, ' ');
  return out;
}

std::string str_repr(std::string_view s) {
  bool has_single = s.find('\'') != std::string_view::npos;
  bool has_double = s.find('"') != std::string_view::npos;
  char quote = (has_single && !has_double) ? '"' : '\'';
  std::string out;
  out.reserve(s.size() + 2);
  out += quote;
  for (std::size_t pos = 0; pos < s.size();) {
    std::size_t start = pos;
    long cp = decode_utf8(s, pos);
    if (cp < 0) {
      // Bytes that are not UTF-8 show as Python shows surrogate-escaped bytes.
      for (std::size_t i = start; i < pos; ++i) {
        out += fmt::format("\\udc{:02x}", static_cast<unsigned char>(s[i]));
      }
      continue;
    }
    auto u = static_cast<std::uint32_t>(cp);
    if (u == static_cast<unsigned char>(quote) || u == '\\') {
      out += '\\';
      out += static_cast<char>(u);
    } else if (u == '\t') {
      out += "\\t";
    } else if (u == '\n') {
      out += "\\n";
    } else if (u == '\r') {
      out += "\\r";
    } else if (u < 0x20 || u == 0x7F) {
      out += fmt::format("\\x{:02x}", u);
    } else if (u < 0x7F || is_printable(u)) {
      out.append(s, start, pos - start);
    } else if (u <= 0xFF) {
      out += fmt::format("\\x{:02x}", u);
    } else if (u <= 0xFFFF) {
      out += fmt::format("\\u{:04x}", u);
    } else {
      out += fmt::format("\\U{:08x}", u);
    }
  }
  out += quote;
  return out;
}

std::string str_list_repr(const std::vector<std::string>& items) {
  std::string out = "[";
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i) out += ", ";
    out += str_repr(items[i]);
  }
  out += ']';
  return out;
}

bool parse_float(std::string_view text, double& out) {
  // Python first maps Unicode spaces to ' ' and Unicode digits to ASCII; any
  // other non-ASCII character makes the text invalid.
  std::string ascii;
  ascii.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) {
    long cp = decode_utf8(text, pos);
    if (cp < 0) return false;
    auto u = static_cast<std::uint32_t>(cp);
    if (u < 0x7F) {
      ascii += static_cast<char>(u);
    } else if (is_unicode_space(u)) {
      ascii += ' ';
    } else if (int d = decimal_value(u); d >= 0) {
      ascii += static_cast<char>('0' + d);
    } else {
      return false;
    }
  }
  std::size_t b = 0, e = ascii.size();
  while (b < e && is_ascii_space(ascii[b])) ++b;
  while (e > b && is_ascii_space(ascii[e - 1])) --e;
  if (b == e) return false;

  // '_' only between two digits; then dropped.
  std::string t;
  t.reserve(e - b);
  for (std::size_t i = b; i < e; ++i) {
    char ch = ascii[i];
    if (ch == '_') {
      if (i == b || i + 1 == e || !is_digit(ascii[i - 1]) || !is_digit(ascii[i + 1])) return false;
      continue;
    }
    t += ch;
  }

  std::size_t i = 0;
  bool negative = false;
  if (t[i] == '+' || t[i] == '-') {
    negative = t[i] == '-';
    ++i;
  }
  std::string word = t.substr(i);
  std::transform(word.begin(), word.end(), word.begin(),
                 [](char ch) { return static_cast<char>(ch >= 'A' && ch <= 'Z' ? ch - 'A' + 'a' : ch); });
  if (word == "inf" || word == "infinity") {
    out = negative ? -HUGE_VAL : HUGE_VAL;
    return true;
  }
  if (word == "nan") {
    out = negative ? -std::nan("") : std::nan("");
    return true;
  }

  // Decimal grammar: digits [. digits] | . digits, then an optional exponent.
  std::size_t int_digits = 0, frac_digits = 0;
  while (i < t.size() && is_digit(t[i])) ++i, ++int_digits;
  if (i < t.size() && t[i] == '.') {
    ++i;
    while (i < t.size() && is_digit(t[i])) ++i, ++frac_digits;
  }
  if (int_digits + frac_digits == 0) return false;
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    std::size_t exp_digits = 0;
    while (i < t.size() && is_digit(t[i])) ++i, ++exp_digits;
    if (exp_digits == 0) return false;
  }
  if (i != t.size()) return false;
  // The grammar is checked, so strtod cannot stop early; it gives +-HUGE_VAL on
  // overflow and the correctly rounded (possibly zero) value on underflow.
  out = c_strtod(t.c_str());
  return true;
}

}  // namespace vexil::text
