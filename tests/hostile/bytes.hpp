// Small byte-level builders for the hostile corpus: a seeded generator,
// little/big-endian appends, and minimal TIFF, PNG, BMP and MAT-file writers
// whose fields can be set to lies.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace vexil::hostile {

using Bytes = std::string;

struct Rng {
  std::uint64_t s;
  explicit Rng(std::uint64_t seed) : s(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  Bytes bytes(std::size_t n) {
    Bytes b(n, '\0');
    for (auto& c : b) c = static_cast<char>(next());
    return b;
  }
  Bytes printable(std::size_t n) {
    static const char set[] = "ENVI={}; ,\n\t-+.0123456789abcdefghijklmnopqrstuvwxyz samples lines bands";
    Bytes b(n, '\0');
    for (auto& c : b) c = set[next() % (sizeof set - 1)];
    return b;
  }
};

inline void le(Bytes& b, std::uint64_t v, int n) {
  for (int i = 0; i < n; ++i) b.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
inline void be(Bytes& b, std::uint64_t v, int n) {
  for (int i = n - 1; i >= 0; --i) b.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
inline void put_le(Bytes& b, std::size_t at, std::uint64_t v, int n) {
  for (int i = 0; i < n; ++i) b[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}
inline void put_be(Bytes& b, std::size_t at, std::uint64_t v, int n) {
  for (int i = 0; i < n; ++i) b[at + i] = static_cast<char>((v >> (8 * (n - 1 - i))) & 0xFF);
}

inline Bytes zlib_compress(const Bytes& raw) {
  uLongf n = compressBound(static_cast<uLong>(raw.size()));
  Bytes out(n, '\0');
  compress2(reinterpret_cast<Bytef*>(out.data()), &n, reinterpret_cast<const Bytef*>(raw.data()),
            static_cast<uLong>(raw.size()), 6);
  out.resize(n);
  return out;
}

// ---- TIFF: one strip, one IFD, little-endian; any tag may be overridden.
struct Tiff {
  std::uint32_t width = 4, height = 3;
  std::map<std::uint16_t, std::uint32_t> tags;  // overrides or additions (LONG values)
  Bytes strip;                                  // empty: zeros of width*height*bps/8
  std::uint32_t ifd_offset = 0;                 // 0: right after the strip
  int entry_count_override = -1;
  std::uint32_t next_ifd = 0;
};

inline Bytes make_tiff(const Tiff& t) {
  std::map<std::uint16_t, std::uint32_t> tags{{256, t.width}, {257, t.height}, {258, 8}, {259, 1}, {262, 1},
                                              {277, 1},       {278, t.height}, {284, 1}, {339, 1}};
  for (const auto& [k, v] : t.tags) tags[k] = v;
  Bytes strip = t.strip;
  if (strip.empty()) strip.assign(static_cast<std::size_t>(t.width) * t.height * tags[258] / 8, '\x07');
  Bytes b = "II";
  le(b, 42, 2);
  const std::uint32_t strip_at = 8;
  const std::uint32_t ifd_at = static_cast<std::uint32_t>(8 + strip.size() + (strip.size() & 1));
  le(b, t.ifd_offset ? t.ifd_offset : ifd_at, 4);
  b += strip;
  if (strip.size() & 1) b.push_back('\0');
  if (!tags.count(273)) tags[273] = strip_at;
  if (!tags.count(279)) tags[279] = static_cast<std::uint32_t>(strip.size());
  le(b, t.entry_count_override >= 0 ? static_cast<std::uint32_t>(t.entry_count_override) : tags.size(), 2);
  for (const auto& [tag, v] : tags) {
    le(b, tag, 2);
    le(b, 4, 2);  // LONG
    le(b, 1, 4);
    le(b, v, 4);
  }
  le(b, t.next_ifd, 4);
  return b;
}

// ---- PNG: grey 8-bit by default; chunks with real CRCs unless told.
inline Bytes png_chunk(const char* type, const Bytes& data, bool good_crc = true) {
  Bytes c;
  be(c, data.size(), 4);
  Bytes body = Bytes(type, 4) + data;
  c += body;
  uLong crc = crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size()));
  be(c, good_crc ? crc : crc ^ 0xDEADBEEF, 4);
  return c;
}

struct Png {
  std::uint32_t width = 4, height = 3;
  int depth = 8, colour = 0;
  Bytes idat;  // empty: compressed zero rows for the real 4x3 grey image
  bool good_ihdr_crc = true;
};

inline Bytes make_png(const Png& p) {
  Bytes ihdr;
  be(ihdr, p.width, 4);
  be(ihdr, p.height, 4);
  ihdr.push_back(static_cast<char>(p.depth));
  ihdr.push_back(static_cast<char>(p.colour));
  ihdr += Bytes(3, '\0');
  Bytes idat = p.idat;
  if (idat.empty()) {
    Bytes raw;
    for (int y = 0; y < 3; ++y) {
      raw.push_back('\0');
      for (int x = 0; x < 4; ++x) raw.push_back(static_cast<char>(1 + (x + y) % 3));
    }
    idat = zlib_compress(raw);
  }
  return "\x89PNG\r\n\x1a\n" + png_chunk("IHDR", ihdr, p.good_ihdr_crc) + png_chunk("IDAT", idat) +
         png_chunk("IEND", "");
}

// ---- BMP: 8-bit palette, BITMAPINFOHEADER; every field settable.
struct Bmp {
  std::int32_t width = 4, height = 3;
  std::uint16_t bpp = 8;
  std::uint32_t compression = 0;
  std::uint32_t info_size = 40;
  std::uint32_t colours = 256;
  std::int64_t off_bits = -1;  // -1: right after the palette
  Bytes pixels;                // empty: rows of the real 4x3 image
};

inline Bytes make_bmp(const Bmp& m) {
  Bytes pal;
  for (int i = 0; i < 256; ++i) le(pal, static_cast<std::uint32_t>(i * 0x010101), 4);
  Bytes px = m.pixels;
  if (px.empty())
    for (int y = 0; y < 3; ++y) px += Bytes{1, 2, 3, 1};
  const std::uint32_t off = m.off_bits >= 0 ? static_cast<std::uint32_t>(m.off_bits) : 14 + 40 + 1024;
  Bytes b = "BM";
  le(b, 14 + 40 + pal.size() + px.size(), 4);
  le(b, 0, 4);
  le(b, off, 4);
  le(b, m.info_size, 4);
  le(b, static_cast<std::uint32_t>(m.width), 4);
  le(b, static_cast<std::uint32_t>(m.height), 4);
  le(b, 1, 2);
  le(b, m.bpp, 2);
  le(b, m.compression, 4);
  le(b, px.size(), 4);
  le(b, 2835, 4);
  le(b, 2835, 4);
  le(b, m.colours, 4);
  le(b, 0, 4);
  return b + pal + px;
}

// ---- MAT-file Level 5.
inline Bytes mat_header(const char endian[2] = "IM", std::uint16_t version = 0x0100) {
  Bytes h = "MATLAB 5.0 MAT-file, Platform: GLNXA64, Created on: Tue Dec  8 00:00:00 2026";
  h.resize(116, ' ');
  h += Bytes(8, '\0');
  le(h, version, 2);
  h += Bytes(endian, 2);
  return h;
}

inline Bytes mat_sub(std::uint32_t type, const Bytes& data) {
  Bytes e;
  le(e, type, 4);
  le(e, data.size(), 4);
  e += data;
  while (e.size() % 8) e.push_back('\0');
  return e;
}

struct MatVar {
  std::uint32_t cls = 9;  // mxUINT8_CLASS
  std::vector<std::int32_t> dims{3, 4};
  std::string name = "labels";
  std::uint32_t data_type = 2;  // miUINT8
  Bytes data = Bytes(12, '\x01');
  std::int64_t matrix_size_override = -1;
};

inline Bytes mat_matrix(const MatVar& v) {
  Bytes flags;
  le(flags, v.cls, 4);
  le(flags, 0, 4);
  Bytes dims;
  for (auto d : v.dims) le(dims, static_cast<std::uint32_t>(d), 4);
  Bytes body = mat_sub(6, flags) + mat_sub(5, dims) + mat_sub(1, v.name) + mat_sub(v.data_type, v.data);
  Bytes e;
  le(e, 14, 4);
  le(e, v.matrix_size_override >= 0 ? static_cast<std::uint64_t>(v.matrix_size_override) : body.size(), 4);
  return e + body;
}

inline Bytes mat_compressed(const Bytes& element) {
  Bytes z = zlib_compress(element);
  Bytes e;
  le(e, 15, 4);
  le(e, z.size(), 4);
  return e + z;
}

}  // namespace vexil::hostile
