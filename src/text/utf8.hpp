// UTF-8 text: decoding with the replacement rules readers of foreign files
// need, and the letter-case folding of file extensions and header keys.
#pragma once

#include <string>
#include <string_view>

namespace vexil::text {

// Decodes the UTF-8 sequence starting at s[pos] and advances pos past it.
// Returns the code point, or -1 for an ill-formed sequence; pos then skips
// its maximal subpart (as a decoder with errors="replace" does), so
// replacing each -1 by U+FFFD gives the standard replacement text.
long decode_utf8(std::string_view s, std::size_t& pos);
bool is_valid_utf8(std::string_view s);
// Appends the UTF-8 form of a code point (at most U+10FFFF).
void append_utf8(std::string& out, char32_t cp);
// Each ill-formed sequence replaced by U+FFFD.
std::string replace_invalid_utf8(std::string_view bytes);
// Valid UTF-8 as it is; anything else read as Latin-1 (one byte, one code
// point), as older tools wrote "\xb5m" for micrometres.
std::string utf8_or_latin1(std::string_view bytes);
// Lower case for ASCII and the Latin-1, Greek and Cyrillic capitals, the
// letters file extensions and header keys plausibly hold; every other code
// point (and every ill-formed byte) is kept.
std::string lower(std::string_view s);
// Leading and trailing whitespace removed, ASCII and Unicode alike (the
// code points str.strip() removes), from valid UTF-8 text.
std::string_view strip_whitespace(std::string_view s);

}  // namespace vexil::text
