#include "formats/image/bmp_decoder.hpp"

#include <cstring>
#include <limits>
#include <vector>

#include <fmt/format.h>

#include "core/memory.hpp"
#include "vexil/errors.hpp"

namespace vexil::formats::image {

namespace {

constexpr std::uint32_t kRgb = 0, kRle8 = 1, kRle4 = 2, kBitfields = 3, kAlphaBitfields = 6;
// Images above this many pixels are refused as decompression bombs; only
// RLE needs the limit here, since raw pixel data is bounded by the file size.
constexpr std::uint64_t kRleMaxPixels = 2ull * 89478485ull;

struct Reader {
  std::span<const std::uint8_t> b;
  const std::string& name;

  [[noreturn]] void fail(const std::string& why) const {
    throw ReadError(fmt::format("cannot decode BMP '{}': {}", name, why));
  }
  void need(std::uint64_t off, std::uint64_t len, const char* what) const {
    if (off > b.size() || len > b.size() - off) fail(fmt::format("{} lies beyond the end of the file", what));
  }
  std::uint16_t u16(std::uint64_t off) const {
    need(off, 2, "the header");
    return static_cast<std::uint16_t>(b[off] | (b[off + 1] << 8));
  }
  std::uint32_t u32(std::uint64_t off) const {
    need(off, 4, "the header");
    return static_cast<std::uint32_t>(b[off]) | (static_cast<std::uint32_t>(b[off + 1]) << 8) |
           (static_cast<std::uint32_t>(b[off + 2]) << 16) | (static_cast<std::uint32_t>(b[off + 3]) << 24);
  }
};

struct Channel {
  std::uint32_t mask = 0;
  int shift = 0;
  std::uint64_t max = 0;  // largest value of the field, 0 when absent

  static Channel from(std::uint32_t mask, const Reader& r) {
    Channel c;
    c.mask = mask;
    if (!mask) return c;
    c.shift = __builtin_ctz(mask);
    const std::uint32_t field = mask >> c.shift;
    if (field & (field + 1ull)) r.fail(fmt::format("bit mask 0x{:X} is not one run of bits", mask));
    c.max = field;
    return c;
  }
  std::uint8_t scale(std::uint32_t px) const {
    if (!max) return 0;
    return static_cast<std::uint8_t>(((px & mask) >> shift) * 255ull / max);
  }
};

}  // namespace

bool is_bmp(std::span<const std::uint8_t> bytes) { return bytes.size() >= 2 && bytes[0] == 'B' && bytes[1] == 'M'; }

NDArray decode_bmp(std::span<const std::uint8_t> bytes, const std::string& name) {
  const Reader r{bytes, name};
  if (!is_bmp(bytes)) r.fail("not a BMP file");
  r.need(0, 18, "the header");
  std::uint64_t offset = r.u32(10);
  const std::uint32_t hsize = r.u32(14);
  if (hsize != 12 && hsize != 40 && hsize != 52 && hsize != 56 && hsize != 64 && hsize != 108 && hsize != 124)
    r.fail(fmt::format("unsupported BMP header type ({})", hsize));
  r.need(14, hsize, "the info header");

  std::int64_t width = 0, height = 0;
  unsigned bits = 0;
  std::uint32_t compression = kRgb;
  std::uint32_t colors_used = 0;
  std::uint32_t masks[4] = {0, 0, 0, 0};
  std::uint64_t palette_at = 14 + hsize;
  unsigned palette_entry = 4;
  bool top_down = false;

  if (hsize == 12) {
    width = r.u16(18);
    height = r.u16(20);
    bits = r.u16(24);
    palette_entry = 3;
  } else {
    width = static_cast<std::int32_t>(r.u32(18));
    const auto h = static_cast<std::int32_t>(r.u32(22));
    if (h == std::numeric_limits<std::int32_t>::min()) r.fail("invalid height");
    top_down = h < 0;
    height = top_down ? -static_cast<std::int64_t>(h) : h;
    bits = r.u16(28);
    compression = r.u32(30);
    colors_used = r.u32(46);
    if (hsize == 64 && compression > kRle4) r.fail(fmt::format("unsupported OS/2 BMP compression ({})", compression));
    if (compression == kBitfields || compression == kAlphaBitfields) {
      const int n = compression == kAlphaBitfields ? 4 : 3;
      if (hsize >= 52) {
        for (int i = 0; i < 3; ++i) masks[i] = r.u32(54 + 4 * i);
        if (hsize >= 56) masks[3] = r.u32(66);
      } else {
        // A 40-byte header keeps its masks right after it.
        for (int i = 0; i < n; ++i) masks[i] = r.u32(54 + 4 * i);
        palette_at += 4 * n;
      }
    }
  }
  if (width <= 0 || height <= 0) r.fail(fmt::format("invalid size {} x {}", width, height));
  if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32)
    r.fail(fmt::format("unsupported BMP pixel depth ({})", bits));
  switch (compression) {
    case kRgb: break;
    case kRle8:
      if (bits != 8) r.fail(fmt::format("RLE8 compression with {} bits per pixel", bits));
      break;
    case kRle4:
      if (bits != 4) r.fail(fmt::format("RLE4 compression with {} bits per pixel", bits));
      break;
    case kBitfields:
    case kAlphaBitfields:
      if (bits != 16 && bits != 24 && bits != 32) r.fail(fmt::format("bit fields with {} bits per pixel", bits));
      break;
    default: r.fail(fmt::format("unsupported BMP compression ({})", compression));
  }

  // Palette images: indices; a 1-bit image with a
  // black-and-white palette a bool image.
  bool as_bool = false;
  if (bits <= 8) {
    // A header that declares more colours than the depth can index, or a
    // palette the file does not hold, is corrupt: nothing else it says can
    // be trusted either.
    if (colors_used > (1u << bits))
      r.fail(fmt::format("the header declares {} palette colours, but a {}-bit image has at most {}", colors_used, bits,
                         1u << bits));
    if (colors_used && palette_at + std::uint64_t{colors_used} * palette_entry > bytes.size()) {
      // The palette ends where the pixels start, when the header says so.
      const std::uint64_t end = offset > palette_at && offset < bytes.size() ? offset : bytes.size();
      r.fail(fmt::format("the header declares {} palette colours, but the file holds {}", colors_used,
                         end > palette_at ? (end - palette_at) / palette_entry : 0));
    }
    const std::uint64_t colors = colors_used ? colors_used : (1u << bits);
    if (bits == 1 && colors == 2 && palette_at + 2ull * palette_entry <= bytes.size()) {
      const std::uint8_t* p = bytes.data() + palette_at;
      as_bool = p[0] == 0 && p[1] == 0 && p[2] == 0 && p[palette_entry] == 255 && p[palette_entry + 1] == 255 &&
                p[palette_entry + 2] == 255;
    }
    // Writers that leave the palette out of the data offset.
    if (offset == 14ull + hsize) offset += palette_entry * colors;
  }

  // Output shape and storage.
  int channels = 1;
  Channel ch[4];
  if (bits >= 16) {
    if (compression == kRgb) {
      if (bits == 16) {
        masks[0] = 0x7C00;
        masks[1] = 0x03E0;
        masks[2] = 0x001F;
      } else {
        masks[0] = 0xFF0000;
        masks[1] = 0x00FF00;
        masks[2] = 0x0000FF;
      }
      masks[3] = 0;  // the fourth byte of 32-bit BI_RGB is unused
    } else if (!masks[0] && !masks[1] && !masks[2] && !masks[3]) {
      // No masks given: the customary layouts.
      if (bits == 16) {
        masks[0] = 0x7C00;
        masks[1] = 0x03E0;
        masks[2] = 0x001F;
      } else {
        masks[0] = 0xFF0000;
        masks[1] = 0x00FF00;
        masks[2] = 0x0000FF;
        if (bits == 32) masks[3] = 0xFF000000u;
      }
    }
    for (int i = 0; i < 4; ++i) {
      if (bits < 32 && (masks[i] >> bits)) r.fail(fmt::format("bit mask 0x{:X} exceeds {} bits", masks[i], bits));
      ch[i] = Channel::from(masks[i], r);
    }
    channels = masks[3] ? 4 : 3;
  }
  const auto w = static_cast<std::uint64_t>(width), h = static_cast<std::uint64_t>(height);
  const std::uint64_t pixels = w * h;  // both below 2^32
  const bool rle = compression == kRle8 || compression == kRle4;
  if (rle && pixels > kRleMaxPixels)
    r.fail(fmt::format("image size ({} pixels) exceeds limit of {} pixels, could be decompression bomb", pixels,
                       kRleMaxPixels));
  const std::uint64_t stride = (w * bits + 31) / 32 * 4;
  if (!rle) {
    if (offset > bytes.size() || stride > (bytes.size() - offset) / h) r.fail("image file is truncated");
  } else if (offset > bytes.size()) {
    r.fail("pixel data offset lies beyond the end of the file");
  }
  core::check_fits_in_memory(pixels * channels, fmt::format("'{}' ({} x {} x {})", name, height, width, channels));

  Shape shape{height, width};
  if (channels > 1) shape.push_back(channels);
  NDArray out = NDArray::allocate(as_bool ? DType::Bool : DType::UInt8, shape);
  auto* dst = reinterpret_cast<std::uint8_t*>(out.mutable_data());
  const std::uint64_t out_row = w * channels;
  // File row i is image row i when top-down, else counted from the bottom.
  auto row_ptr = [&](std::uint64_t file_row) {
    const std::uint64_t y = top_down ? file_row : h - 1 - file_row;
    return dst + y * out_row;
  };

  if (rle) {
    std::memset(dst, 0, pixels);
    std::uint64_t pos = offset, x = 0, row = 0;
    const bool four = compression == kRle4;
    auto put = [&](std::uint8_t v) {
      if (row < h && x < w) row_ptr(row)[x] = v;
      ++x;
    };
    for (;;) {
      if (row >= h) break;
      if (pos + 2 > bytes.size()) r.fail("RLE data ends before the end-of-bitmap marker");
      const std::uint8_t count = bytes[pos], value = bytes[pos + 1];
      pos += 2;
      if (count) {
        for (unsigned i = 0; i < count; ++i) put(four ? ((i & 1) ? value & 0x0F : value >> 4) : value);
      } else if (value == 0) {
        ++row;
        x = 0;
      } else if (value == 1) {
        break;
      } else if (value == 2) {
        if (pos + 2 > bytes.size()) r.fail("RLE data ends inside a delta");
        x += bytes[pos];
        row += bytes[pos + 1];
        pos += 2;
      } else {
        const std::uint64_t n = value;
        const std::uint64_t len = four ? (n + 1) / 2 : n;
        if (len > bytes.size() - pos) r.fail("RLE data ends inside an absolute run");
        for (std::uint64_t i = 0; i < n; ++i) {
          const std::uint8_t byte = bytes[pos + (four ? i / 2 : i)];
          put(four ? ((i & 1) ? byte & 0x0F : byte >> 4) : byte);
        }
        pos += len + (len & 1);  // runs are padded to 16 bits
      }
    }
    return out;
  }

  const std::uint8_t* src = bytes.data() + offset;
  for (std::uint64_t fr = 0; fr < h; ++fr, src += stride) {
    std::uint8_t* d = row_ptr(fr);
    switch (bits) {
      case 1:
        for (std::uint64_t x = 0; x < w; ++x) d[x] = (src[x >> 3] >> (7 - (x & 7))) & 1;
        break;
      case 4:
        for (std::uint64_t x = 0; x < w; ++x) d[x] = (x & 1) ? src[x >> 1] & 0x0F : src[x >> 1] >> 4;
        break;
      case 8: std::memcpy(d, src, w); break;
      default: {
        const unsigned bpp = bits / 8;
        for (std::uint64_t x = 0; x < w; ++x) {
          const std::uint8_t* p = src + x * bpp;
          std::uint32_t px = p[0] | (static_cast<std::uint32_t>(p[1]) << 8);
          if (bpp >= 3) px |= static_cast<std::uint32_t>(p[2]) << 16;
          if (bpp == 4) px |= static_cast<std::uint32_t>(p[3]) << 24;
          for (int c = 0; c < channels; ++c) d[x * channels + c] = ch[c].scale(px);
        }
      }
    }
  }
  return out;
}

}  // namespace vexil::formats::image
