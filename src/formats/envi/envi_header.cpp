#include "formats/envi/envi_header.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>

#include <fmt/format.h>

#include "io/file.hpp"
#include "text/utf8.hpp"
#include "vexil/errors.hpp"

namespace vexil::formats::envi {

namespace {

// UTF-8 text with universal newlines: CRLF and lone CR become LF. Undecodable
// bytes make the whole header Latin-1, as older ENVI tools write "µm" that way.
std::string decode_text(std::string_view bytes) {
  const bool utf8 = text::is_valid_utf8(bytes);
  std::string out;
  out.reserve(utf8 ? bytes.size() : bytes.size() + bytes.size() / 8);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c == '\r') {
      out += '\n';
      if (i + 1 < bytes.size() && bytes[i + 1] == '\n') ++i;
    } else if (c < 0x80 || utf8) {
      out += static_cast<char>(c);
    } else {
      out += static_cast<char>(0xc0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3f));
    }
  }
  return out;
}

// Where a braced value closes although the line goes on with a comment:
// the first '}' followed by optional whitespace and ';'. npos when none.
std::size_t close_before_comment(std::string_view piece) {
  for (std::size_t pos = piece.find('}'); pos != std::string_view::npos; pos = piece.find('}', pos + 1)) {
    std::string_view rest = text::strip_whitespace(piece.substr(pos + 1));
    if (!rest.empty() && rest.front() == ';') return pos;
  }
  return std::string_view::npos;
}

std::string quoted(std::string_view s) {
  std::size_t cut = 60;
  if (s.size() > cut) {
    while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xc0) == 0x80) --cut;  // whole characters only
    return fmt::format("'{}...'", s.substr(0, cut));
  }
  return fmt::format("'{}'", s);
}

enum class IntParse { Ok, Invalid, TooLarge };

IntParse parse_int_detail(std::string_view text, std::int64_t& out) {
  std::string_view s = text::strip_whitespace(text);
  bool neg = false;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    neg = s.front() == '-';
    s.remove_prefix(1);
  }
  if (s.empty()) return IntParse::Invalid;
  unsigned __int128 v = 0;
  bool big = false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if (c == '_') {
      // Single underscores may stand between digits only.
      if (i == 0 || i + 1 == s.size() || s[i + 1] < '0' || s[i + 1] > '9') return IntParse::Invalid;
      continue;
    }
    if (c < '0' || c > '9') return IntParse::Invalid;
    if (!big) {
      v = v * 10 + static_cast<unsigned>(c - '0');
      if (v > static_cast<unsigned __int128>(std::numeric_limits<std::int64_t>::max()) + 1) big = true;
    }
  }
  const auto max = static_cast<unsigned __int128>(std::numeric_limits<std::int64_t>::max());
  if (big || v > max + (neg ? 1 : 0)) return IntParse::TooLarge;
  if (neg)
    out = v == max + 1 ? std::numeric_limits<std::int64_t>::min() : -static_cast<std::int64_t>(v);
  else
    out = static_cast<std::int64_t>(v);
  return IntParse::Ok;
}

// " <name>" when the header has a name, for messages that name the file.
// Built piece by piece: GCC 12 at -O3 reports `" " + std::string(...)` as an
// overlapping copy (-Wrestrict, GCC bug 105329).
std::string named(std::string_view name) {
  std::string out;
  if (!name.empty()) {
    out += ' ';
    out += name;
  }
  return out;
}

const std::string& scalar_field(const Header& h, const std::string& key, std::string_view name) {
  const HeaderValue* v = h.find(key);
  if (!v)
    throw MissingKeyError(fmt::format("Mandatory parameter \"{}\" missing from header file{}.", key, named(name)));
  if (v->is_list)
    throw BadInputError(
        fmt::format("ENVI header{}: field \"{}\" must be a single value, not a list in braces.", named(name), key));
  return v->text;
}

std::int64_t int_field(const std::string& key, const std::string& text, std::string_view name) {
  std::int64_t v = 0;
  switch (parse_int_detail(text, v)) {
    case IntParse::Ok: return v;
    case IntParse::TooLarge:
      throw BadInputError(fmt::format("ENVI header{}: field \"{}\" is too large: {}.", named(name), key, quoted(text)));
    case IntParse::Invalid: break;
  }
  throw BadInputError(
      fmt::format("ENVI header{}: field \"{}\" is not an integer: {}.", named(name), key, quoted(text)));
}

std::int64_t size_field(const Header& h, const std::string& key, std::string_view name) {
  const std::int64_t v = int_field(key, scalar_field(h, key, name), name);
  if (v < 0)
    throw BadInputError(fmt::format("ENVI header{}: field \"{}\" must not be negative: {}.", named(name), key, v));
  return v;
}

// An image extent: a header that declares none of its lines, samples or
// bands describes no image, whatever else it lists (wavelengths, say).
std::int64_t extent_field(const Header& h, const std::string& key, std::string_view name) {
  const std::int64_t v = size_field(h, key, name);
  if (v == 0)
    throw BadInputError(fmt::format(
        "ENVI header{} is corrupt: it declares {} = 0, and an image needs at least one line, sample and band.",
        named(name), key));
  return v;
}

bool equals_nocase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char c = a[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    if (c != b[i]) return false;
  }
  return true;
}

void check_frame_offsets(const Header& h, const std::string& key, std::string_view name) {
  const HeaderValue* v = h.find(key);
  if (!v) return;
  std::vector<std::string> values = v->is_list ? v->items : std::vector<std::string>{v->text};
  for (const auto& item : values) {
    std::int64_t n = 0;
    if (parse_int_detail(item, n) != IntParse::Ok)
      throw BadInputError(fmt::format("ENVI header{}: field \"{}\" holds a value that is not an integer: {}.",
                                      named(name), key, quoted(item)));
    if (n != 0) {
      if (name.empty()) throw BadInputError("ENVI image frame offsets are not supported.");
      throw BadInputError(fmt::format("ENVI header {}: image frame offsets are not supported.", name));
    }
  }
}

}  // namespace

bool parse_int(std::string_view text, std::int64_t& out) { return parse_int_detail(text, out) == IntParse::Ok; }

void Header::set(std::string key, HeaderValue value) {
  auto it = index_.find(key);
  if (it != index_.end()) {
    fields_[it->second].second = std::move(value);
    return;
  }
  index_.emplace(key, fields_.size());
  fields_.emplace_back(std::move(key), std::move(value));
}

const HeaderValue* Header::find(std::string_view key) const {
  auto it = index_.find(std::string(key));
  return it == index_.end() ? nullptr : &fields_[it->second].second;
}

Header parse_header(std::string_view bytes, std::string_view name) {
  const std::string text = decode_text(bytes);
  const std::string_view all(text);

  std::size_t pos = 0;  // start of the next unread line
  std::size_t line_no = 0;
  // Next line without its '\n'; false at the end of the text.
  const auto next_line = [&](std::string_view& line) {
    if (pos >= all.size()) return false;
    std::size_t end = all.find('\n', pos);
    if (end == std::string_view::npos) end = all.size();
    line = all.substr(pos, end - pos);
    pos = end + 1;
    ++line_no;
    return true;
  };

  std::string_view line;
  if (!next_line(line) || text::strip_whitespace(line).substr(0, 4) != "ENVI") {
    std::string msg = fmt::format(
        "File{} does not appear to be an ENVI header (missing \"ENVI\" at beginning of first line).", named(name));
    if (all.substr(0, 3) == "\xef\xbb\xbf")
      msg += " The file starts with a UTF-8 byte-order mark, which must be removed.";
    throw BadInputError(msg);
  }

  Header header;
  while (next_line(line)) {
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    if (line.front() == ';') continue;
    std::string key = text::lower(text::strip_whitespace(line.substr(0, eq)));
    std::string_view val = text::strip_whitespace(line.substr(eq + 1));
    HeaderValue value;
    if (val.empty() || val.front() != '{') {
      value.text = std::string(val);
      header.set(std::move(key), std::move(value));
      continue;
    }

    const std::size_t start_line = line_no;
    std::string acc(val);
    std::string_view piece = val;  // the part appended last
    for (;;) {
      // A comment after the closing brace ends the value there; ENVI's own
      // writer never produces it, but hand-edited headers do.
      const std::size_t cut = close_before_comment(piece);
      if (cut != std::string_view::npos) {
        acc.resize(acc.size() - piece.size() + cut + 1);
        break;
      }
      if (acc.back() == '}') break;
      std::string_view more;
      if (!next_line(more))
        throw BadInputError(
            fmt::format("Failed to parse ENVI header file{}: the value of \"{}\" opens a brace on line {} that is "
                        "never closed.",
                        named(name), key, start_line));
      if (!more.empty() && more.front() == ';') continue;
      piece = text::strip_whitespace(more);
      acc += '\n';
      acc.append(piece);
    }

    if (key == "description") {
      std::string_view d(acc);
      while (!d.empty() && (d.front() == '{' || d.front() == '}')) d.remove_prefix(1);
      while (!d.empty() && (d.back() == '{' || d.back() == '}')) d.remove_suffix(1);
      value.text = std::string(text::strip_whitespace(d));
    } else {
      value.is_list = true;
      std::string_view inner = std::string_view(acc).substr(1, acc.size() - 2);
      for (;;) {
        const std::size_t comma = inner.find(',');
        value.items.emplace_back(text::strip_whitespace(inner.substr(0, comma)));
        if (comma == std::string_view::npos) break;
        inner.remove_prefix(comma + 1);
      }
    }
    header.set(std::move(key), std::move(value));
  }
  return header;
}

Header read_header_file(const std::string& path) {
  // A FIFO does not make this wait; it is refused below.
  const io::Fd file = io::open_for_reading(path);
  const int fd = file.fd;
  if (fd < 0) {
    const int err = errno;
    if (err == ENOENT) throw NotFoundError(fmt::format("Cannot find ENVI header: {}", path));
    throw ReadError(fmt::format("Cannot open ENVI header {}: {}", path, std::strerror(err)));
  }

  struct stat st {};
  if (::fstat(fd, &st) != 0) throw ReadError(fmt::format("Cannot read ENVI header {}: {}", path, std::strerror(errno)));
  if (S_ISDIR(st.st_mode)) throw BadInputError(fmt::format("ENVI header {} is a directory, not a file.", path));
  if (!S_ISREG(st.st_mode)) throw BadInputError(fmt::format("ENVI header {} is not a regular file.", path));
  if (static_cast<std::uint64_t>(st.st_size) > kMaxHeaderBytes)
    throw BadInputError(
        fmt::format("ENVI header {} is {} bytes long; headers above {} MiB are refused (is it really a header?).", path,
                    st.st_size, kMaxHeaderBytes >> 20));

  std::string bytes(static_cast<std::size_t>(st.st_size), '\0');
  std::size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw ReadError(fmt::format("Cannot read ENVI header {}: {}", path, std::strerror(errno)));
    }
    if (n == 0) break;  // shrank while reading: parse what is there
    got += static_cast<std::size_t>(n);
  }
  bytes.resize(got);
  return parse_header(bytes, path);
}

bool dtype_from_code(std::string_view code, DType& out) {
  static constexpr std::pair<std::string_view, DType> kCodes[] = {
      {"1", DType::UInt8},   {"2", DType::Int16},     {"3", DType::Int32},      {"4", DType::Float32},
      {"5", DType::Float64}, {"6", DType::Complex64}, {"9", DType::Complex128}, {"12", DType::UInt16},
      {"13", DType::UInt32}, {"14", DType::Int64},    {"15", DType::UInt64}};
  for (const auto& [c, t] : kCodes) {
    if (c == code) {
      out = t;
      return true;
    }
  }
  return false;
}

Layout layout_from_header(const Header& h, std::string_view name) {
  check_frame_offsets(h, "major frame offsets", name);
  check_frame_offsets(h, "minor frame offsets", name);

  // Presence first, in this order, so a header missing several fields
  // names the same one every time.
  for (const char* key : {"lines", "samples", "bands", "data type", "interleave", "byte order"})
    scalar_field(h, key, name);

  Layout lay;
  lay.lines = extent_field(h, "lines", name);
  lay.samples = extent_field(h, "samples", name);
  lay.bands = extent_field(h, "bands", name);

  const std::string& code = scalar_field(h, "data type", name);
  if (!dtype_from_code(code, lay.dtype))
    throw BadInputError(fmt::format(
        "ENVI header{}: unsupported data type {}: supported codes are 1, 2, 3, 4, 5, 6, 9, 12, 13, 14 and 15.",
        named(name), quoted(code)));

  const std::string& inter = scalar_field(h, "interleave", name);
  if (equals_nocase(inter, "bsq"))
    lay.interleave = Interleave::BSQ;
  else if (equals_nocase(inter, "bil"))
    lay.interleave = Interleave::BIL;
  else if (equals_nocase(inter, "bip"))
    lay.interleave = Interleave::BIP;
  else
    throw BadInputError(fmt::format("ENVI header{}: field \"interleave\" must be bsq, bil or bip, not {}.", named(name),
                                    quoted(inter)));
  lay.interleave_text = inter;

  const std::string& order_text = scalar_field(h, "byte order", name);
  const std::int64_t order = int_field("byte order", order_text, name);
  if (order != 0 && order != 1)
    throw BadInputError(
        fmt::format("ENVI header{}: field \"byte order\" must be 0 (little-endian) or 1 (big-endian), not {}.",
                    named(name), quoted(order_text)));
  lay.big_endian = order == 1;

  if (h.find("header offset")) {
    const std::int64_t off = size_field(h, "header offset", name);
    lay.header_offset = static_cast<std::uint64_t>(off);
  }

  // Every stride of the view is a product of some of these factors, so
  // bounding the product of the non-zero ones keeps all of them in range.
  std::int64_t bytes = static_cast<std::int64_t>(itemsize(lay.dtype));
  std::int64_t bound = bytes;
  bool overflow = false;
  for (std::int64_t e : {lay.lines, lay.samples, lay.bands}) {
    overflow |= __builtin_mul_overflow(bound, e == 0 ? 1 : e, &bound);
    overflow |= __builtin_mul_overflow(bytes, e, &bytes);
  }
  if (overflow)
    throw BadInputError(
        fmt::format("ENVI header{}: sizes are too large: {} lines x {} samples x {} bands of {} bytes do not fit in "
                    "a 64-bit byte count.",
                    named(name), lay.lines, lay.samples, lay.bands, itemsize(lay.dtype)));
  lay.data_bytes = static_cast<std::uint64_t>(bytes);
  return lay;
}

}  // namespace vexil::formats::envi
