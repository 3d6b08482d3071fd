#include "text/json_writer.hpp"

#include <cmath>
#include <sstream>
#include <string_view>

#include <fmt/format.h>

#include "text/text_format.hpp"

namespace vexil::text {

namespace {

// Collects output in a small buffer and hands it to the stream in blocks, so
// a large document never exists as one string.
class JsonEmitter {
 public:
  explicit JsonEmitter(std::ostream& out) : out_(out) { buf_.reserve(kBlock + 1024); }
  ~JsonEmitter() = default;

  void value(const Metadata& v, std::size_t depth) {
    switch (v.type()) {
      case Metadata::value_t::object: {
        if (v.empty()) {
          put("{}");
          break;
        }
        put('{');
        bool first = true;
        for (auto it = v.begin(); it != v.end(); ++it) {
          put(first ? "\n" : ",\n");
          first = false;
          indent(depth + 1);
          string(it.key());
          put(": ");
          value(it.value(), depth + 1);
        }
        put('\n');
        indent(depth);
        put('}');
        break;
      }
      case Metadata::value_t::array: {
        if (v.empty()) {
          put("[]");
          break;
        }
        put('[');
        bool first = true;
        for (const auto& item : v) {
          put(first ? "\n" : ",\n");
          first = false;
          indent(depth + 1);
          value(item, depth + 1);
        }
        put('\n');
        indent(depth);
        put(']');
        break;
      }
      case Metadata::value_t::string: string(v.get_ref<const std::string&>()); break;
      case Metadata::value_t::boolean: put(v.get<bool>() ? "true" : "false"); break;
      case Metadata::value_t::number_integer: put(fmt::format("{}", v.get<std::int64_t>())); break;
      case Metadata::value_t::number_unsigned: put(fmt::format("{}", v.get<std::uint64_t>())); break;
      case Metadata::value_t::number_float: {
        double x = v.get<double>();
        if (std::isnan(x)) {
          put("NaN");
        } else if (std::isinf(x)) {
          put(x > 0 ? "Infinity" : "-Infinity");
        } else {
          put(text::float_repr(x));
        }
        break;
      }
      case Metadata::value_t::binary: {
        const auto& bytes = v.get_binary();
        string(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
        break;
      }
      case Metadata::value_t::null:
      case Metadata::value_t::discarded:
      default: put("null"); break;
    }
  }

  void flush() {
    out_.write(buf_.data(), static_cast<std::streamsize>(buf_.size()));
    buf_.clear();
  }

 private:
  static constexpr std::size_t kBlock = 64 * 1024;

  void put(char ch) {
    buf_ += ch;
    if (buf_.size() >= kBlock) flush();
  }
  void put(std::string_view s) {
    buf_.append(s);
    if (buf_.size() >= kBlock) flush();
  }
  void indent(std::size_t depth) {
    buf_.append(2 * depth, ' ');
    if (buf_.size() >= kBlock) flush();
  }
  void hex4(unsigned u) {
    static constexpr char kHex[] = "0123456789abcdef";
    char esc[6] = {'\\', 'u', kHex[(u >> 12) & 0xF], kHex[(u >> 8) & 0xF], kHex[(u >> 4) & 0xF], kHex[u & 0xF]};
    buf_.append(esc, 6);
  }

  // ASCII-only JSON string; bytes that are not UTF-8 become U+FFFD so the
  // file stays valid JSON whatever a header contained.
  void string(std::string_view s) {
    buf_ += '"';
    for (std::size_t pos = 0; pos < s.size();) {
      long cp = text::decode_utf8(s, pos);
      if (cp < 0) cp = 0xFFFD;
      switch (cp) {
        case '"': buf_ += "\\\""; break;
        case '\\': buf_ += "\\\\"; break;
        case '\b': buf_ += "\\b"; break;
        case '\f': buf_ += "\\f"; break;
        case '\n': buf_ += "\\n"; break;
        case '\r': buf_ += "\\r"; break;
        case '\t': buf_ += "\\t"; break;
        default:
          if (cp >= 0x20 && cp < 0x7F) {
            buf_ += static_cast<char>(cp);
          } else if (cp < 0x10000) {
            hex4(static_cast<unsigned>(cp));
          } else {
            unsigned v = static_cast<unsigned>(cp) - 0x10000;
            hex4(0xD800 + (v >> 10));
            hex4(0xDC00 + (v & 0x3FF));
          }
      }
      if (buf_.size() >= kBlock) flush();
    }
    buf_ += '"';
  }

  std::ostream& out_;
  std::string buf_;
};

}  // namespace

void write_json(std::ostream& out, const Metadata& value) {
  JsonEmitter emitter(out);
  emitter.value(value, 0);
  emitter.flush();
}

std::string to_json_text(const Metadata& value) {
  std::ostringstream out;
  write_json(out, value);
  return out.str();
}

}  // namespace vexil::text

namespace vexil {

std::string metadata_json_text(const Metadata& value) { return text::to_json_text(value); }

}  // namespace vexil
