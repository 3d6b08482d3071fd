// BMP decoder: hand-built files of every header and depth, checked value by
// value; hostile files must fail cleanly; Pillow (when installed) is the
// oracle for the variants it reads.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "vexil/errors.hpp"
#include "formats/image/bmp_decoder.hpp"
#include "formats/image/image_format.hpp"
#include "support/test_util.hpp"

using namespace vexil;
using namespace vexil::formats::image;
using Bytes = std::vector<std::uint8_t>;

namespace {

void put16(Bytes& b, std::uint32_t v) {
  b.push_back(v & 0xFF);
  b.push_back((v >> 8) & 0xFF);
}
void put32(Bytes& b, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back((v >> (8 * i)) & 0xFF);
}

struct Bmp {
  std::uint32_t hsize = 40;
  std::int32_t width = 0, height = 0;  // negative height: top-down
  std::uint16_t bits = 8;
  std::uint32_t compression = 0;
  std::uint32_t colors_used = 0;
  std::vector<std::uint32_t> masks;   // R, G, B[, A]
  Bytes palette;                      // entries of 4 (or 3 for core) bytes
  Bytes pixels;                       // exactly as stored in the file
  std::int64_t offset_override = -1;  // data offset to write instead of the real one
};

Bytes build(const Bmp& s) {
  Bytes info;
  if (s.hsize == 12) {
    put16(info, static_cast<std::uint32_t>(s.width));
    put16(info, static_cast<std::uint32_t>(s.height));
    put16(info, 1);
    put16(info, s.bits);
  } else {
    put32(info, static_cast<std::uint32_t>(s.width));
    put32(info, static_cast<std::uint32_t>(s.height));
    put16(info, 1);
    put16(info, s.bits);
    put32(info, s.compression);
    put32(info, static_cast<std::uint32_t>(s.pixels.size()));
    put32(info, 2835);
    put32(info, 2835);
    put32(info, s.colors_used);
    put32(info, 0);
    if (s.hsize >= 52) {
      for (std::size_t i = 0; i < 4; ++i) {
        if (i == 3 && s.hsize < 56) break;
        put32(info, i < s.masks.size() ? s.masks[i] : 0);
      }
    }
    while (info.size() + 4 < s.hsize) info.push_back(0);  // colour space fields
  }
  Bytes extra;  // masks after a 40-byte header
  if (s.hsize == 40)
    for (auto m : s.masks) put32(extra, m);
  const std::uint32_t offset = 14 + s.hsize + static_cast<std::uint32_t>(extra.size() + s.palette.size());
  Bytes b = {'B', 'M'};
  put32(b, offset + static_cast<std::uint32_t>(s.pixels.size()));
  put32(b, 0);
  put32(b, s.offset_override >= 0 ? static_cast<std::uint32_t>(s.offset_override) : offset);
  put32(b, s.hsize);
  b.insert(b.end(), info.begin(), info.end());
  b.insert(b.end(), extra.begin(), extra.end());
  b.insert(b.end(), s.palette.begin(), s.palette.end());
  b.insert(b.end(), s.pixels.begin(), s.pixels.end());
  return b;
}

NDArray decode(const Bytes& b) { return decode_bmp(b, "t.bmp"); }

Bytes colour_palette(int n) {
  Bytes p;
  for (int i = 0; i < n; ++i) {
    p.push_back(static_cast<std::uint8_t>(i * 3));    // B
    p.push_back(static_cast<std::uint8_t>(i * 7));    // G
    p.push_back(static_cast<std::uint8_t>(200 - i));  // R
    p.push_back(0);
  }
  return p;
}

std::string expect_failure(const Bytes& b) {
  try {
    decode(b);
  } catch (const ReadError& e) {
    return e.what();
  }
  return "(no error)";
}

}  // namespace

TEST(BmpDecoder, PaletteImagesGiveIndicesInImageOrder) {
  // 3 x 2, 8-bit, rows padded to 4 bytes; bottom-up: file row 0 is image row 1.
  Bmp s;
  s.width = 3;
  s.height = 2;
  s.palette = colour_palette(256);
  s.pixels = {20, 21, 22, 0, 10, 11, 12, 0};
  NDArray a = decode(build(s));
  ASSERT_EQ(a.dtype(), DType::UInt8);
  ASSERT_EQ(a.shape(), (Shape{2, 3}));
  EXPECT_EQ(a.at<std::uint8_t>({0, 0}), 10);
  EXPECT_EQ(a.at<std::uint8_t>({0, 2}), 12);
  EXPECT_EQ(a.at<std::uint8_t>({1, 0}), 20);

  s.height = -2;  // top-down: same bytes, rows not flipped
  a = decode(build(s));
  EXPECT_EQ(a.at<std::uint8_t>({0, 0}), 20);
  EXPECT_EQ(a.at<std::uint8_t>({1, 2}), 12);

  // 4-bit, 5 wide: high nibble first.
  Bmp f;
  f.bits = 4;
  f.width = 5;
  f.height = 1;
  f.palette = colour_palette(16);
  f.pixels = {0x12, 0x34, 0xF0, 0};
  a = decode(build(f));
  ASSERT_EQ(a.shape(), (Shape{1, 5}));
  const int want4[] = {1, 2, 3, 4, 15};
  for (int x = 0; x < 5; ++x) EXPECT_EQ(a.at<std::uint8_t>({0, x}), want4[x]);

  // OS/2 core header: 16-bit sizes, 3-byte palette entries.
  Bmp c;
  c.hsize = 12;
  c.width = 2;
  c.height = 1;
  c.palette = Bytes(256 * 3, 9);
  c.pixels = {7, 250, 0, 0};
  a = decode(build(c));
  ASSERT_EQ(a.shape(), (Shape{1, 2}));
  EXPECT_EQ(a.at<std::uint8_t>({0, 1}), 250);
}

TEST(BmpDecoder, OneBitIsBoolOnlyWithBlackWhitePalette) {
  Bmp s;
  s.bits = 1;
  s.width = 10;
  s.height = 1;
  s.pixels = {0b10110000, 0b01000000, 0, 0};
  s.palette = {0, 0, 0, 0, 255, 255, 255, 0};
  NDArray a = decode(build(s));
  ASSERT_EQ(a.dtype(), DType::Bool);
  const bool want[] = {true, false, true, true, false, false, false, false, false, true};
  for (int x = 0; x < 10; ++x) EXPECT_EQ(a.at<bool>({0, x}), want[x]) << x;

  s.palette = {0, 0, 255, 0, 0, 255, 0, 0};  // red, green: indices
  a = decode(build(s));
  ASSERT_EQ(a.dtype(), DType::UInt8);
  EXPECT_EQ(a.at<std::uint8_t>({0, 0}), 1);
  EXPECT_EQ(a.at<std::uint8_t>({0, 1}), 0);
}

TEST(BmpDecoder, TrueColourDepths) {
  // 24-bit, width 3 (9 bytes + 3 padding per row), stored B, G, R.
  Bmp s;
  s.bits = 24;
  s.width = 3;
  s.height = 1;
  s.pixels = {1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 0, 0};
  NDArray a = decode(build(s));
  ASSERT_EQ(a.shape(), (Shape{1, 3, 3}));
  EXPECT_EQ(a.at<std::uint8_t>({0, 0, 0}), 3);
  EXPECT_EQ(a.at<std::uint8_t>({0, 0, 2}), 1);
  EXPECT_EQ(a.at<std::uint8_t>({0, 2, 0}), 9);

  // 32-bit BI_RGB: the fourth byte is not alpha.
  Bmp r;
  r.bits = 32;
  r.width = 1;
  r.height = 1;
  r.pixels = {10, 20, 30, 40};
  a = decode(build(r));
  ASSERT_EQ(a.shape(), (Shape{1, 1, 3}));
  EXPECT_EQ(a.at<std::uint8_t>({0, 0, 0}), 30);

  // V5 (124) and V4 (108) headers with bitfields, with and without alpha.
  for (std::uint32_t hsize : {108u, 124u}) {
    SCOPED_TRACE(hsize);
    Bmp v;
    v.hsize = hsize;
    v.bits = 32;
    v.compression = 3;
    v.width = 2;
    v.height = -1;
    v.masks = {0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000};
    v.pixels = {10, 20, 30, 40, 50, 60, 70, 0};
    a = decode(build(v));
    ASSERT_EQ(a.shape(), (Shape{1, 2, 4}));
    EXPECT_EQ(a.at<std::uint8_t>({0, 0, 0}), 30);
    EXPECT_EQ(a.at<std::uint8_t>({0, 0, 1}), 20);
    EXPECT_EQ(a.at<std::uint8_t>({0, 0, 2}), 10);
    EXPECT_EQ(a.at<std::uint8_t>({0, 0, 3}), 40);
    EXPECT_EQ(a.at<std::uint8_t>({0, 1, 3}), 0);
    v.masks[3] = 0;
    a = decode(build(v));
    ASSERT_EQ(a.shape(), (Shape{1, 2, 3}));
    EXPECT_EQ(a.at<std::uint8_t>({0, 1, 0}), 70);
  }
}

// 16-bit values scale as floor(v * 255 / max), exactly for every level.
TEST(BmpDecoder, SixteenBitScalesEveryLevelExactly) {
  for (bool rgb565 : {false, true}) {
    SCOPED_TRACE(rgb565);
    Bmp s;
    s.bits = 16;
    s.width = 64;
    s.height = 1;
    if (rgb565) {
      s.compression = 3;
      s.masks = {0xF800, 0x07E0, 0x001F};
    }
    for (std::uint32_t i = 0; i < 64; ++i) {
      const std::uint32_t r = i % 32, g = rgb565 ? i : i % 32, b = 31 - i % 32;
      const std::uint32_t px = rgb565 ? (r << 11) | (g << 5) | b : (r << 10) | (g << 5) | b;
      put16(s.pixels, px);
    }
    NDArray a = decode(build(s));
    ASSERT_EQ(a.shape(), (Shape{1, 64, 3}));
    for (std::uint32_t i = 0; i < 64; ++i) {
      const std::uint32_t gmax = rgb565 ? 63 : 31;
      const std::uint32_t g = rgb565 ? i : i % 32;
      EXPECT_EQ(a.at<std::uint8_t>({0, i, 0}), (i % 32) * 255 / 31);
      EXPECT_EQ(a.at<std::uint8_t>({0, i, 1}), g * 255 / gmax);
      EXPECT_EQ(a.at<std::uint8_t>({0, i, 2}), (31 - i % 32) * 255 / 31);
    }
  }
}

TEST(BmpDecoder, RunLengthEncoded) {
  // RLE8 4 x 3: encoded run, end of line, absolute run of 3 (padded),
  // delta, end of bitmap. Bottom-up: the first line is the bottom row.
  Bmp s;
  s.width = 4;
  s.height = 3;
  s.compression = 1;
  s.palette = colour_palette(256);
  s.pixels = {3, 9, 0, 0,        // row 2: 9 9 9 0
              0, 3, 1, 2, 3, 0,  // row 1: 1 2 3 (absolute, padded)
              0, 0,              // end of line
              0, 2, 2, 0,        // delta: 2 right, same row 0
              2, 7, 0, 1};       // row 0: 0 0 7 7, end of bitmap
  NDArray a = decode(build(s));
  ASSERT_EQ(a.shape(), (Shape{3, 4}));
  const int want[3][4] = {{0, 0, 7, 7}, {1, 2, 3, 0}, {9, 9, 9, 0}};
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 4; ++x) EXPECT_EQ(a.at<std::uint8_t>({y, x}), want[y][x]) << y << "," << x;

  // RLE4: run of 5 alternating nibbles, absolute run of 3 nibbles (2 bytes).
  Bmp f;
  f.bits = 4;
  f.width = 8;
  f.height = -1;
  f.compression = 2;
  f.palette = colour_palette(16);
  f.pixels = {5, 0xAB, 0, 3, 0x12, 0x30, 0, 1};
  a = decode(build(f));
  const int want4[8] = {10, 11, 10, 11, 10, 1, 2, 3};
  for (int x = 0; x < 8; ++x) EXPECT_EQ(a.at<std::uint8_t>({0, x}), want4[x]) << x;
}

TEST(BmpDecoder, HostileFilesFailCleanly) {
  Bmp ok;
  ok.bits = 24;
  ok.width = 4;
  ok.height = 4;
  ok.pixels = Bytes(48, 1);
  const Bytes good = build(ok);
  EXPECT_EQ(decode(good).shape(), (Shape{4, 4, 3}));

  // Truncated anywhere: header, palette, pixels.
  for (std::size_t n : {std::size_t{1}, std::size_t{10}, std::size_t{20}, std::size_t{53}, good.size() - 1})
    EXPECT_NE(expect_failure(Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n))), "(no error)") << n;

  auto variant = [&](auto change) {
    Bmp s = ok;
    change(s);
    return expect_failure(build(s));
  };
  // Sizes that lie: nothing is allocated for them.
  EXPECT_NE(variant([](Bmp& s) {
              s.width = 0x7FFFFFFF;
              s.height = 0x7FFFFFFF;
            }).find("truncated"),
            std::string::npos);
  EXPECT_NE(variant([](Bmp& s) {
              s.width = 1 << 30;
              s.height = -(1 << 30);
              s.bits = 32;
            }).find("truncated"),
            std::string::npos);
  EXPECT_NE(variant([](Bmp& s) { s.width = -4; }).find("invalid size"), std::string::npos);
  EXPECT_NE(variant([](Bmp& s) { s.height = 0; }).find("invalid size"), std::string::npos);
  EXPECT_NE(variant([](Bmp& s) { s.offset_override = 0x7FFFFFF0; }).find("truncated"), std::string::npos);
  EXPECT_NE(variant([](Bmp& s) { s.hsize = 20; }).find("header type (20)"), std::string::npos);
  EXPECT_NE(variant([](Bmp& s) { s.bits = 2; }).find("pixel depth (2)"), std::string::npos);
  EXPECT_NE(variant([](Bmp& s) { s.compression = 4; }).find("compression (4)"), std::string::npos);
  EXPECT_NE(variant([](Bmp& s) { s.compression = 1; }).find("RLE8"), std::string::npos);
  EXPECT_NE(variant([](Bmp& s) {
              s.bits = 32;
              s.compression = 3;
              s.hsize = 124;
              s.masks = {0xF0F0, 0xFF0000, 0xFF, 0};
              s.pixels = Bytes(64, 0);
            }).find("one run of bits"),
            std::string::npos);

  // RLE: a huge canvas from a few bytes is refused; a stream without its
  // end marker is truncated.
  Bmp rle;
  rle.compression = 1;
  rle.palette = colour_palette(256);
  rle.width = 60000;
  rle.height = 60000;
  rle.pixels = {0, 1};
  EXPECT_NE(expect_failure(build(rle)).find("decompression bomb"), std::string::npos);
  rle.width = 4;
  rle.height = 2;
  rle.pixels = {4, 1, 0, 0, 2, 1};
  EXPECT_NE(expect_failure(build(rle)).find("end-of-bitmap"), std::string::npos);
  rle.pixels = {0, 5, 1, 2};  // absolute run longer than the data
  EXPECT_NE(expect_failure(build(rle)).find("absolute run"), std::string::npos);

  EXPECT_NE(expect_failure({'B', 'M'}), "(no error)");
  EXPECT_NE(expect_failure({'P', 'K', 3, 4}).find("not a BMP"), std::string::npos);
}

// A header that lies about its palette is corrupt, also where Pillow reads
// past the lie (a palette running into the pixels and past the file's end).
TEST(BmpDecoder, LyingPaletteSizesAreRefusedNamingTheFile) {
  Bmp s;
  s.width = 4;
  s.height = 2;
  s.palette = colour_palette(16);
  s.pixels = Bytes(8, 3);
  s.colors_used = 16;
  EXPECT_EQ(decode(build(s)).at<std::uint8_t>({1, 2}), 3);  // honest: 16 declared, 16 held

  s.colors_used = 1u << 24;
  std::string msg = expect_failure(build(s));
  EXPECT_NE(msg.find("'t.bmp'"), std::string::npos) << msg;
  EXPECT_NE(msg.find("declares 16777216 palette colours, but a 8-bit image has at most 256"), std::string::npos) << msg;
  s.colors_used = 300;
  EXPECT_NE(expect_failure(build(s)).find("declares 300 palette colours"), std::string::npos);
  s.colors_used = 256;  // within the depth, but the file ends first
  msg = expect_failure(build(s));
  EXPECT_NE(msg.find("declares 256 palette colours, but the file holds 16"), std::string::npos) << msg;
  s.bits = 4;
  s.colors_used = 17;
  s.pixels = Bytes(8, 0x12);
  EXPECT_NE(expect_failure(build(s)).find("a 4-bit image has at most 16"), std::string::npos);
  // A palette left out of the declared size (0 = 2^bits) stays accepted.
  s.colors_used = 0;
  s.palette = colour_palette(16);
  EXPECT_EQ(decode(build(s)).at<std::uint8_t>({0, 1}), 2);
}

// Pillow's arrays for the variants Pillow reads, as the reference.
TEST(BmpDecoder, MatchesPillow) {
  const std::string python = vexil::test::system_python_with("numpy, PIL.Image");
  if (python.empty()) GTEST_SKIP() << "no Python with Pillow";
  vexil::test::TempDir dir;
  std::vector<std::pair<std::string, Bytes>> files;
  {
    Bmp s;  // 8-bit grey ramp palette: Pillow mode L
    s.width = 5;
    s.height = 3;
    for (int i = 0; i < 256; ++i)
      s.palette.insert(s.palette.end(), {std::uint8_t(i), std::uint8_t(i), std::uint8_t(i), 0});
    for (int i = 0; i < 24; ++i) s.pixels.push_back(static_cast<std::uint8_t>(i * 11));
    files.emplace_back("grey8", build(s));
  }
  {
    Bmp s;  // 1-bit black/white: mode 1
    s.bits = 1;
    s.width = 13;
    s.height = 2;
    s.palette = {0, 0, 0, 0, 255, 255, 255, 0};
    s.pixels = {0xA5, 0x3C, 0, 0, 0xFF, 0x81, 0, 0};
    files.emplace_back("bw1", build(s));
  }
  {
    Bmp s;  // 16-bit 5-6-5, V5 header
    s.hsize = 124;
    s.bits = 16;
    s.compression = 3;
    s.masks = {0xF800, 0x07E0, 0x001F, 0};
    s.width = 64;
    s.height = 2;
    for (std::uint32_t i = 0; i < 128; ++i) put16(s.pixels, i * 509 + 3);
    files.emplace_back("rgb565", build(s));
  }
  {
    Bmp s;  // 16-bit 5-5-5 BI_RGB
    s.bits = 16;
    s.width = 32;
    s.height = 2;
    for (std::uint32_t i = 0; i < 64; ++i) put16(s.pixels, i * 1021 + 7);
    files.emplace_back("rgb555", build(s));
  }
  {
    Bmp s;  // 32-bit BGRA, V5
    s.hsize = 124;
    s.bits = 32;
    s.compression = 3;
    s.masks = {0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000};
    s.width = 3;
    s.height = -2;
    for (int i = 0; i < 24; ++i) s.pixels.push_back(static_cast<std::uint8_t>(i * 10 + 1));
    files.emplace_back("bgra", build(s));
  }
  {
    Bmp s;  // 24-bit, V4 header, bottom-up, padded rows
    s.hsize = 108;
    s.bits = 24;
    s.width = 3;
    s.height = 2;
    for (int i = 0; i < 24; ++i) s.pixels.push_back(static_cast<std::uint8_t>(255 - i * 9));
    files.emplace_back("bgr_v4", build(s));
  }
  {
    Bmp s;  // RLE8 with a non-grey palette: mode P
    s.compression = 1;
    s.width = 6;
    s.height = 3;
    s.palette = colour_palette(256);
    s.pixels = {6, 4, 0, 0, 2, 9, 0, 4, 1, 2, 3, 4, 0, 0, 6, 8, 0, 1};
    files.emplace_back("rle8", build(s));
  }
  // One interpreter for all files: per file a text line "dtype shape nbytes",
  // then the raw bytes (Pillow's bool arrays hold 255 for true: normalised).
  std::vector<std::string> argv = {
      python, "-c",
      "import sys, numpy as np\nfrom PIL import Image\nout = sys.stdout.buffer\n"
      "for p in sys.argv[1:]:\n"
      "    a = np.array(Image.open(p))\n"
      "    raw = (a.view(np.uint8) != 0).astype(np.uint8).tobytes() if a.dtype == bool else a.tobytes()\n"
      "    out.write(f'{a.dtype} {a.shape} {len(raw)}\\n'.encode()); out.write(raw)\n"};
  for (const auto& [name, bytes] : files) {
    argv.push_back(dir / (name + ".bmp"));
    vexil::test::write_file(argv.back(), bytes);
  }
  const auto res = vexil::test::run_program(argv);
  ASSERT_EQ(res.status, 0) << res.err;
  std::size_t pos = 0;
  for (const auto& [name, bytes] : files) {
    SCOPED_TRACE(name);
    const auto nl = res.out.find('\n', pos);
    ASSERT_NE(nl, std::string::npos);
    const std::string head = res.out.substr(pos, nl - pos);
    const std::size_t n = std::stoul(head.substr(head.rfind(' ') + 1));
    const std::string theirs = res.out.substr(nl + 1, n);
    pos = nl + 1 + n;
    const NDArray mine = read_image_file(dir / (name + ".bmp"));
    EXPECT_EQ(head.substr(0, head.rfind(' ')), std::string(dtype_name(mine.dtype())) + " " + shape_str(mine.shape()));
    ASSERT_EQ(theirs.size(), mine.nbytes());
    EXPECT_EQ(std::memcmp(theirs.data(), mine.data(), theirs.size()), 0);
  }
}
