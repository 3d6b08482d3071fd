// Ground-truth images (PNG, JPEG, BMP): the stored values come back, in
// (H, W) or (H, W, C); files are written here with GDAL.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "vexil/errors.hpp"
#include "formats/image/image_format.hpp"
#include "support/test_util.hpp"

#ifdef VEXIL_HAVE_GDAL
#include <cpl_conv.h>
#include <cpl_string.h>
#include <gdal.h>
#include <zlib.h>

using namespace vexil;
using namespace vexil::formats::image;
using vexil::test::TempDir;

namespace {

// Pixel (y, x) of channel c for test images.
int pattern(int y, int x, int c, int max) { return (y * 31 + x * 7 + c * 50) % (max + 1); }

// Writes an image of `bands` channels with `pattern` values through `driver`.
// ctest runs each case in its own process, so every case registers the drivers.
void register_gdal() {
  static const bool registered = [] {
    GDALAllRegister();
    CPLPushErrorHandler(CPLQuietErrorHandler);
    return true;
  }();
  (void)registered;
}

void write_image(const std::string& path, const char* driver, int w, int h, int bands, GDALDataType type, int max,
                 std::vector<std::string> options = {}, bool palette = false) {
  register_gdal();
  GDALDatasetH mem = GDALCreate(GDALGetDriverByName("MEM"), "", w, h, bands, type, nullptr);
  ASSERT_NE(mem, nullptr);
  for (int b = 1; b <= bands; ++b) {
    std::vector<std::uint16_t> v(static_cast<std::size_t>(w) * h);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        v[static_cast<std::size_t>(y) * w + x] = static_cast<std::uint16_t>(pattern(y, x, b - 1, max));
    ASSERT_EQ(GDALRasterIO(GDALGetRasterBand(mem, b), GF_Write, 0, 0, w, h, v.data(), w, h, GDT_UInt16, 0, 0), CE_None);
  }
  if (palette) {
    GDALColorTableH ct = GDALCreateColorTable(GPI_RGB);
    for (int i = 0; i <= max; ++i) {
      const GDALColorEntry e{static_cast<short>(255 - i), static_cast<short>(i), 40, 255};
      GDALSetColorEntry(ct, i, &e);
    }
    GDALSetRasterColorTable(GDALGetRasterBand(mem, 1), ct);
    GDALDestroyColorTable(ct);
  }
  char** opts = nullptr;
  for (const auto& o : options) opts = CSLAddString(opts, o.c_str());
  GDALDatasetH out = GDALCreateCopy(GDALGetDriverByName(driver), path.c_str(), mem, FALSE, opts, nullptr, nullptr);
  CSLDestroy(opts);
  ASSERT_NE(out, nullptr) << CPLGetLastErrorMsg();
  GDALClose(out);
  GDALClose(mem);
}

template <class T>
void expect_pattern(const NDArray& a, int max, int tolerance = 0) {
  const int h = static_cast<int>(a.shape()[0]), w = static_cast<int>(a.shape()[1]);
  const int c = a.ndim() == 3 ? static_cast<int>(a.shape()[2]) : 1;
  int bad = 0;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int k = 0; k < c; ++k) {
        const int got = a.ndim() == 3 ? static_cast<int>(a.at<T>({y, x, k})) : static_cast<int>(a.at<T>({y, x}));
        if (std::abs(got - pattern(y, x, k, max)) > tolerance) ++bad;
      }
  EXPECT_EQ(bad, 0);
}

}  // namespace

TEST(GtImage, PngKeepsStoredValues) {
  TempDir dir;
  struct Case {
    const char* name;
    int bands;
    GDALDataType type;
    int max;
    std::vector<std::string> options;
    bool palette;
    DType dtype;
    Shape shape;
  };
  const Case cases[] = {
      {"grey8", 1, GDT_Byte, 255, {}, false, DType::UInt8, {9, 11}},
      {"grey_alpha", 2, GDT_Byte, 255, {}, false, DType::UInt8, {9, 11, 2}},
      {"rgb", 3, GDT_Byte, 255, {}, false, DType::UInt8, {9, 11, 3}},
      {"rgba", 4, GDT_Byte, 255, {}, false, DType::UInt8, {9, 11, 4}},
      {"grey16", 1, GDT_UInt16, 65535, {}, false, DType::UInt16, {9, 11}},
      {"rgb16", 3, GDT_UInt16, 65535, {}, false, DType::UInt16, {9, 11, 3}},
      {"grey_alpha16", 2, GDT_UInt16, 65535, {}, false, DType::UInt16, {9, 11, 2}},
      {"grey2", 1, GDT_Byte, 3, {"NBITS=2"}, false, DType::UInt8, {9, 11}},
      {"grey4", 1, GDT_Byte, 15, {"NBITS=4"}, false, DType::UInt8, {9, 11}},
      {"palette8", 1, GDT_Byte, 200, {}, true, DType::UInt8, {9, 11}},
      {"palette4", 1, GDT_Byte, 15, {"NBITS=4"}, true, DType::UInt8, {9, 11}},
      {"palette1", 1, GDT_Byte, 1, {"NBITS=1"}, true, DType::UInt8, {9, 11}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir / (std::string(c.name) + ".png");
    // 16-bit values that differ in their low byte prove nothing is cut to 8 bits.
    write_image(path, "PNG", 11, 9, c.bands, c.type, c.max, c.options, c.palette);
    const NDArray a = read_image_file(path);
    EXPECT_EQ(a.dtype(), c.dtype);
    ASSERT_EQ(a.shape(), c.shape);
    if (c.dtype == DType::UInt16) {
      expect_pattern<std::uint16_t>(a, c.max);
    } else {
      expect_pattern<std::uint8_t>(a, c.max);
    }
  }
  // 1-bit grey is bool.
  const std::string bw = dir / "bw.png";
  write_image(bw, "PNG", 11, 9, 1, GDT_Byte, 1, {"NBITS=1"});
  const NDArray a = read_image_file(bw);
  ASSERT_EQ(a.dtype(), DType::Bool);
  ASSERT_EQ(a.shape(), (Shape{9, 11}));
  expect_pattern<std::uint8_t>(a, 1);
}

TEST(GtImage, JpegGreyRgbAndCmyk) {
  register_gdal();
  TempDir dir;
  // Flat colours survive JPEG almost unchanged; compare with a small tolerance.
  auto flat = [&](const std::string& name, int bands, int value_base) {
    const std::string path = dir / name;
    GDALDatasetH mem = GDALCreate(GDALGetDriverByName("MEM"), "", 16, 16, bands, GDT_Byte, nullptr);
    for (int b = 1; b <= bands; ++b) GDALFillRaster(GDALGetRasterBand(mem, b), value_base + 40 * b, 0);
    char** opts = CSLAddString(nullptr, "QUALITY=100");
    GDALDatasetH out = GDALCreateCopy(GDALGetDriverByName("JPEG"), path.c_str(), mem, FALSE, opts, nullptr, nullptr);
    CSLDestroy(opts);
    EXPECT_NE(out, nullptr) << CPLGetLastErrorMsg();
    if (out) GDALClose(out);
    GDALClose(mem);
    return path;
  };
  {
    const NDArray a = read_image_file(flat("grey.jpg", 1, 60));
    ASSERT_EQ(a.dtype(), DType::UInt8);
    ASSERT_EQ(a.shape(), (Shape{16, 16}));
    EXPECT_NEAR(a.at<std::uint8_t>({5, 5}), 100, 2);
  }
  {
    const NDArray a = read_image_file(flat("rgb.jpg", 3, 20));
    ASSERT_EQ(a.shape(), (Shape{16, 16, 3}));
    EXPECT_NEAR(a.at<std::uint8_t>({3, 4, 0}), 60, 3);
    EXPECT_NEAR(a.at<std::uint8_t>({3, 4, 2}), 140, 3);
  }
  {
    // GDAL stores CMYK as given; like Pillow, the loader returns 255 - stored.
    const NDArray a = read_image_file(flat("cmyk.jpg", 4, 0));
    ASSERT_EQ(a.shape(), (Shape{16, 16, 4}));
    for (int c = 0; c < 4; ++c) EXPECT_NEAR(a.at<std::uint8_t>({7, 7, c}), 255 - 40 * (c + 1), 2) << c;
  }
}

TEST(GtImage, BmpGoesThroughOwnDecoder) {
  TempDir dir;
  // GDAL writes a 40-byte 8-bit palette BMP; our decoder reads it.
  const std::string pal = dir / "pal.bmp";
  write_image(pal, "BMP", 13, 5, 1, GDT_Byte, 255, {}, true);
  NDArray a = read_image_file(pal);
  ASSERT_EQ(a.shape(), (Shape{5, 13}));
  expect_pattern<std::uint8_t>(a, 255);
  const std::string rgb = dir / "rgb.bmp";
  write_image(rgb, "BMP", 13, 5, 3, GDT_Byte, 255);
  a = read_image_file(rgb);
  ASSERT_EQ(a.shape(), (Shape{5, 13, 3}));
  expect_pattern<std::uint8_t>(a, 255);
  // Content decides, not the name.
  const std::string named_png = dir / "really_bmp.png";
  vexil::test::write_file(named_png, vexil::test::read_file(rgb));
  EXPECT_EQ(read_image_file(named_png).shape(), (Shape{5, 13, 3}));
}

TEST(GtImage, ErrorsAreClear) {
  TempDir dir;
  const std::string missing = dir / "x.png";
  try {
    read_image_file(missing);
    FAIL();
  } catch (const NotFoundError& e) {
    EXPECT_EQ(std::string(e.what()), "[Errno 2] No such file or directory: '" + missing + "'");
  }
  const std::string text = dir / "bad.png";
  vexil::test::write_file(text, std::string("hello, not an image"));
  try {
    read_image_file(text);
    FAIL();
  } catch (const ReadError& e) {
    EXPECT_EQ(std::string(e.what()), "cannot identify image file '" + text + "'");
  }
  EXPECT_THROW(read_image_file(dir.path()), ReadError);
  // A TIFF named .png is not an image label of this kind.
  register_gdal();
  GDALDatasetH t = GDALCreate(GDALGetDriverByName("GTiff"), (dir / "t.png").c_str(), 4, 4, 1, GDT_Byte, nullptr);
  GDALClose(t);
  EXPECT_THROW(read_image_file(dir / "t.png"), ReadError);

  // A PNG header that claims 100000 x 100000 pixels over a few bytes of data.
  {
    auto chunk = [](std::string& out, const char* type, const std::string& data) {
      const auto n = static_cast<std::uint32_t>(data.size());
      for (int i = 3; i >= 0; --i) out.push_back(static_cast<char>((n >> (8 * i)) & 0xFF));
      std::string body = std::string(type) + data;
      out += body;
      const auto crc = static_cast<std::uint32_t>(
          crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size())));
      for (int i = 3; i >= 0; --i) out.push_back(static_cast<char>((crc >> (8 * i)) & 0xFF));
    };
    std::string png = "\x89PNG\r\n\x1a\n";
    chunk(png, "IHDR", std::string("\0\x01\x86\xa0\0\x01\x86\xa0\x08\0\0\0\0", 13));
    chunk(png, "IDAT", std::string("\x78\x9c\x63\x00\x00\x00\x01\x00\x01", 9));
    chunk(png, "IEND", "");
    const std::string bomb = dir / "bomb.png";
    vexil::test::write_file(bomb, png);
    EXPECT_THROW(read_image_file(bomb), std::runtime_error);
  }

  // Truncated PNG and JPEG data must not load as partly grey images.
  const std::string png = dir / "full.png";
  write_image(png, "PNG", 200, 200, 3, GDT_Byte, 255);
  const std::string jpg = dir / "full.jpg";
  write_image(jpg, "JPEG", 200, 200, 3, GDT_Byte, 255);
  for (const auto& p : {png, jpg}) {
    const std::string bytes = vexil::test::read_file(p);
    const std::string cut = p + ".cut" + p.substr(p.rfind('.'));
    vexil::test::write_file(cut, bytes.substr(0, bytes.size() * 2 / 3));
    EXPECT_THROW(read_image_file(cut), ReadError) << p;
  }
}

// Where Pillow keeps the stored values too, its arrays are the reference.
TEST(GtImage, MatchesPillowWhereItKeepsValues) {
  const std::string python = vexil::test::system_python_with("numpy, PIL.Image");
  if (python.empty()) GTEST_SKIP() << "no Python with Pillow";
  TempDir dir;
  std::vector<std::string> paths;
  auto add = [&](const std::string& name, const char* driver, int bands, int max, std::vector<std::string> opts,
                 bool palette) {
    paths.push_back(dir / name);
    write_image(paths.back(), driver, 23, 17, bands, GDT_Byte, max, std::move(opts), palette);
  };
  add("g.png", "PNG", 1, 255, {}, false);
  add("rgb.png", "PNG", 3, 255, {}, false);
  add("rgba.png", "PNG", 4, 255, {}, false);
  add("la.png", "PNG", 2, 255, {}, false);
  add("p.png", "PNG", 1, 200, {}, true);
  add("bw.png", "PNG", 1, 1, {"NBITS=1"}, false);
  add("g.jpg", "JPEG", 1, 255, {"QUALITY=90"}, false);
  add("rgb.jpg", "JPEG", 3, 255, {"QUALITY=75"}, false);
  add("cmyk.jpg", "JPEG", 4, 255, {"QUALITY=90"}, false);
  std::vector<std::string> argv = {
      python, "-c",
      "import sys, numpy as np\nfrom PIL import Image\nout = sys.stdout.buffer\n"
      "for p in sys.argv[1:]:\n"
      "    a = np.array(Image.open(p))\n"
      "    raw = (a.view(np.uint8) != 0).astype(np.uint8).tobytes() if a.dtype == bool else a.tobytes()\n"
      "    out.write(f'{a.dtype} {a.shape} {len(raw)}\\n'.encode()); out.write(raw)\n"};
  argv.insert(argv.end(), paths.begin(), paths.end());
  const auto res = vexil::test::run_program(argv);
  ASSERT_EQ(res.status, 0) << res.err;
  std::size_t pos = 0;
  for (const auto& p : paths) {
    SCOPED_TRACE(p);
    const auto nl = res.out.find('\n', pos);
    ASSERT_NE(nl, std::string::npos);
    const std::string head = res.out.substr(pos, nl - pos);
    const std::size_t n = std::stoul(head.substr(head.rfind(' ') + 1));
    const std::string theirs = res.out.substr(nl + 1, n);
    pos = nl + 1 + n;
    const NDArray mine = read_image_file(p);
    EXPECT_EQ(head.substr(0, head.rfind(' ')), std::string(dtype_name(mine.dtype())) + " " + shape_str(mine.shape()));
    ASSERT_EQ(theirs.size(), mine.nbytes());
    EXPECT_EQ(theirs, std::string(reinterpret_cast<const char*>(mine.data()), mine.nbytes()));
  }
}

#endif
