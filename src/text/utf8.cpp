#include "text/utf8.hpp"

namespace vexil::text {

namespace {

// Whether Unicode counts as whitespace (str.isspace) for the code point starting at s[i] (valid UTF-8);
// returns its byte length, or 0 when it is not whitespace.
std::size_t space_len_at(std::string_view s, std::size_t i) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
  const std::size_t left = s.size() - i;
  const unsigned char c = b(0);
  if (c == ' ' || (c >= 0x09 && c <= 0x0d) || (c >= 0x1c && c <= 0x1f)) return 1;
  if (c == 0xc2 && left >= 2 && (b(1) == 0x85 || b(1) == 0xa0)) return 2;
  if (left < 3) return 0;
  if (c == 0xe1 && b(1) == 0x9a && b(2) == 0x80) return 3;  // U+1680
  if (c == 0xe2 && b(1) == 0x80 && (b(2) <= 0x8a || b(2) == 0xa8 || b(2) == 0xa9 || b(2) == 0xaf) && b(2) >= 0x80)
    return 3;                                               // U+2000..200A, U+2028, U+2029, U+202F
  if (c == 0xe2 && b(1) == 0x81 && b(2) == 0x9f) return 3;  // U+205F
  if (c == 0xe3 && b(1) == 0x80 && b(2) == 0x80) return 3;  // U+3000
  return 0;
}

// Byte length of the whitespace code point ending s (valid UTF-8), or 0.
std::size_t trailing_space_len(std::string_view s) {
  const std::size_t n = s.size();
  if (n >= 1 && space_len_at(s, n - 1) == 1) return 1;
  if (n >= 2 && space_len_at(s, n - 2) == 2) return 2;
  if (n >= 3 && space_len_at(s, n - 3) == 3) return 3;
  return 0;
}

}  // namespace

long decode_utf8(std::string_view s, std::size_t& pos) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  unsigned char b0 = byte(pos);
  if (b0 < 0x80) {
    ++pos;
    return b0;
  }
  std::size_t need;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  long cp;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    cp = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    cp = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    ++pos;
    return -1;
  }
  std::size_t i = pos + 1;
  for (std::size_t k = 0; k < need; ++k, ++i) {
    if (i >= s.size()) {
      pos = i;
      return -1;
    }
    unsigned char b = byte(i);
    unsigned char l = k == 0 ? lo : 0x80, h = k == 0 ? hi : 0xBF;
    if (b < l || b > h) {
      pos = i;
      return -1;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  pos = i;
  return cp;
}

bool is_valid_utf8(std::string_view s) {
  for (std::size_t pos = 0; pos < s.size();)
    if (decode_utf8(s, pos) < 0) return false;
  return true;
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::string replace_invalid_utf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t pos = 0; pos < bytes.size();) {
    const std::size_t start = pos;
    if (decode_utf8(bytes, pos) < 0)
      out += "\xEF\xBF\xBD";
    else
      out.append(bytes.substr(start, pos - start));
  }
  return out;
}

std::string utf8_or_latin1(std::string_view bytes) {
  if (is_valid_utf8(bytes)) return std::string(bytes);
  std::string out;
  out.reserve(bytes.size() + bytes.size() / 4);
  for (char c : bytes) append_utf8(out, static_cast<unsigned char>(c));
  return out;
}

std::string lower(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t pos = 0; pos < s.size();) {
    const std::size_t start = pos;
    long cp = decode_utf8(s, pos);
    if (cp < 0) {
      out.append(s.substr(start, pos - start));
      continue;
    }
    if (cp >= 'A' && cp <= 'Z')
      cp += 32;
    else if ((cp >= 0xC0 && cp <= 0xDE && cp != 0xD7) || (cp >= 0x391 && cp <= 0x3AB && cp != 0x3A2) ||
             (cp >= 0x410 && cp <= 0x42F))
      cp += 0x20;
    else if (cp >= 0x400 && cp <= 0x40F)
      cp += 0x50;
    append_utf8(out, static_cast<char32_t>(cp));
  }
  return out;
}

std::string_view strip_whitespace(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const std::size_t k = space_len_at(s, i);
    if (!k) break;
    i += k;
  }
  s.remove_prefix(i);
  while (!s.empty()) {
    const std::size_t k = trailing_space_len(s);
    if (!k) break;
    s.remove_suffix(k);
  }
  return s;
}

}  // namespace vexil::text
