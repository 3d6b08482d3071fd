// load_envi: header/data pairing, reading every type, interleave and byte
// order against cubes written here byte by byte, and the metadata.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <complex>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "vexil/errors.hpp"
#include "formats/envi/envi_format.hpp"
#include "support/test_util.hpp"

using vexil::DType;
using vexil::NDArray;
using vexil::formats::envi::load_envi;
using vexil::test::TempDir;
using vexil::test::write_file;

namespace {

std::string header_text(std::int64_t lines, std::int64_t samples, std::int64_t bands, int code,
                        const std::string& interleave, int byte_order, const std::string& extra = "") {
  return "ENVI\nsamples = " + std::to_string(samples) + "\nlines = " + std::to_string(lines) +
         "\nbands = " + std::to_string(bands) + "\ndata type = " + std::to_string(code) +
         "\ninterleave = " + interleave + "\nbyte order = " + std::to_string(byte_order) + "\n" + extra;
}

// Element position in the file, from the published layout definitions.
std::int64_t file_index(const std::string& il, std::int64_t L, std::int64_t S, std::int64_t B, std::int64_t l,
                        std::int64_t s, std::int64_t b) {
  if (il == "bil") return (l * B + b) * S + s;
  if (il == "bip") return (l * S + s) * B + b;
  return (b * L + l) * S + s;
}

// Raw bytes of one value as the file stores it: each component (the whole
// value, or real and imaginary part) in the requested byte order.
template <class T>
std::string value_bytes(T v, bool big) {
  std::string out(sizeof(T), '\0');
  std::memcpy(out.data(), &v, sizeof(T));
  if (big) {
    std::size_t unit = sizeof(T);
    if constexpr (std::is_same_v<T, std::complex<float>> || std::is_same_v<T, std::complex<double>>) unit /= 2;
    for (std::size_t i = 0; i < out.size(); i += unit) std::reverse(out.begin() + i, out.begin() + i + unit);
  }
  return out;
}

// A value per element whose every byte matters, so swapped or misplaced
// bytes show.
template <class T>
T make_value(std::int64_t k) {
  if constexpr (std::is_same_v<T, std::complex<float>>)
    return {static_cast<float>(k) * 1.25f + 0.5f, -static_cast<float>(k) - 0.75f};
  else if constexpr (std::is_same_v<T, std::complex<double>>)
    return {static_cast<double>(k) * 1.0625 + 1e-9, -static_cast<double>(k) * 3.5};
  else if constexpr (std::is_floating_point_v<T>)
    return static_cast<T>(static_cast<double>(k) * 1.5 - 7.3);
  else
    return static_cast<T>(static_cast<std::uint64_t>(k + 1) * 0x0101010101010101ull + 0x0706050403020100ull * (k % 3));
}

template <class T>
void check_cube(int code, const std::string& il, bool big) {
  SCOPED_TRACE("code " + std::to_string(code) + " " + il + (big ? " big-endian" : " little-endian"));
  const std::int64_t L = 3, S = 4, B = 5;
  std::vector<std::string> cells(L * S * B);
  for (std::int64_t l = 0; l < L; ++l)
    for (std::int64_t s = 0; s < S; ++s)
      for (std::int64_t b = 0; b < B; ++b)
        cells[file_index(il, L, S, B, l, s, b)] = value_bytes(make_value<T>((l * S + s) * B + b), big);
  std::string data;
  for (const auto& c : cells) data += c;

  TempDir dir;
  write_file(dir / "cube.hdr", header_text(L, S, B, code, il == "bsq" ? "BSQ" : il, big ? 1 : 0));
  write_file(dir / "cube.img", data);
  const auto r = load_envi(dir / "cube.hdr");
  ASSERT_EQ(r.data.dtype(), vexil::dtype_of_v<T>);
  ASSERT_EQ(r.data.shape(), (vexil::Shape{L, S, B}));
  for (std::int64_t l = 0; l < L; ++l)
    for (std::int64_t s = 0; s < S; ++s)
      for (std::int64_t b = 0; b < B; ++b)
        ASSERT_EQ(r.data.at<T>({l, s, b}), make_value<T>((l * S + s) * B + b)) << l << "," << s << "," << b;
}

std::string load_error(const std::string& path) {
  try {
    load_envi(path);
  } catch (const std::exception& e) {
    return e.what();
  }
  return "<no error>";
}

// Which data file was read: each candidate holds one distinct byte.
int data_marker(const std::string& hdr_or_data) { return load_envi(hdr_or_data).data.at<std::uint8_t>({0, 0, 0}); }

}  // namespace

TEST(EnviRead, EveryTypeInterleaveAndByteOrder) {
  for (const std::string il : {"bsq", "bil", "bip"}) {
    for (bool big : {false, true}) {
      check_cube<std::uint8_t>(1, il, big);
      check_cube<std::int16_t>(2, il, big);
      check_cube<std::int32_t>(3, il, big);
      check_cube<float>(4, il, big);
      check_cube<double>(5, il, big);
      check_cube<std::complex<float>>(6, il, big);
      check_cube<std::complex<double>>(9, il, big);
      check_cube<std::uint16_t>(12, il, big);
      check_cube<std::uint32_t>(13, il, big);
      check_cube<std::int64_t>(14, il, big);
      check_cube<std::uint64_t>(15, il, big);
    }
  }
}

TEST(EnviRead, ReferenceByteVector) {
  // 2 lines, 3 samples, 2 bands of bytes 00..0b.
  std::string bytes;
  for (int i = 0; i < 12; ++i) bytes += static_cast<char>(i);
  struct Case {
    const char* interleave;
    int p00[2], p01[2], p10[2];
  };
  const Case cases[] = {
      {"bsq", {0, 6}, {1, 7}, {3, 9}}, {"bil", {0, 3}, {1, 4}, {6, 9}}, {"bip", {0, 1}, {2, 3}, {6, 7}}};
  for (const Case& c : cases) {
    TempDir dir;
    write_file(dir / "v.hdr", header_text(2, 3, 2, 1, c.interleave, 0));
    write_file(dir / "v", bytes);
    const NDArray a = load_envi(dir / "v.hdr").data;
    for (int b = 0; b < 2; ++b) {
      EXPECT_EQ(a.at<std::uint8_t>({0, 0, b}), c.p00[b]) << c.interleave;
      EXPECT_EQ(a.at<std::uint8_t>({0, 1, b}), c.p01[b]) << c.interleave;
      EXPECT_EQ(a.at<std::uint8_t>({1, 0, b}), c.p10[b]) << c.interleave;
    }
  }
}

TEST(EnviRead, HeaderOffsetAlignedOrNot) {
  for (int offset : {5, 7, 4096, 5000}) {
    TempDir dir;
    std::string data(offset, '\x5a');
    for (int k = 0; k < 6; ++k) data += value_bytes(static_cast<float>(k) + 0.25f, false);
    write_file(dir / "o.hdr", header_text(2, 3, 1, 4, "bsq", 0, "header offset = " + std::to_string(offset)));
    write_file(dir / "o.dat", data + "trailing bytes are ignored");
    const NDArray a = load_envi(dir / "o.hdr").data;
    EXPECT_EQ(a.at<float>({0, 0, 0}), 0.25f) << offset;
    EXPECT_EQ(a.at<float>({1, 2, 0}), 5.25f) << offset;
  }
}

TEST(EnviRead, ShortDataFileIsRefused) {
  TempDir dir;
  write_file(dir / "s.hdr", header_text(2, 3, 2, 12, "bip", 0, "header offset = 4"));
  write_file(dir / "s.img", std::string(4 + 24 - 1, '\0'));
  const std::string msg = load_error(dir / "s.hdr");
  EXPECT_NE(msg.find("too short"), std::string::npos) << msg;
  EXPECT_NE(msg.find("28 bytes"), std::string::npos) << msg;
  EXPECT_NE(msg.find("holds 27 bytes"), std::string::npos) << msg;
  write_file(dir / "s.img", std::string(28, '\0'));
  EXPECT_EQ(load_envi(dir / "s.hdr").data.shape(), (vexil::Shape{2, 3, 2}));
  // Empty data file, and an offset beyond the end.
  write_file(dir / "s.img", "");
  EXPECT_NE(load_error(dir / "s.hdr").find("too short"), std::string::npos);
}

TEST(EnviRead, ZeroExtentsAreCorruptHeadersNamingFileAndField) {
  TempDir dir;
  write_file(dir / "z.img", std::string(64, '\x01'));
  const std::tuple<int, int, int, const char*> cases[] = {
      {0, 5, 3, "lines = 0"}, {4, 0, 3, "samples = 0"}, {4, 5, 0, "bands = 0"}};
  for (const auto& [lines, samples, bands, field] : cases) {
    write_file(dir / "z.hdr",
               header_text(lines, samples, bands, 2, "bil", 1, "wavelength = {400, 410, 420, 430, 440}\n"));
    EXPECT_EQ(load_error(dir / "z.hdr"), "ENVI header " + (dir / "z.hdr") + " is corrupt: it declares " + field +
                                             ", and an image needs at least one line, sample and band.");
    EXPECT_THROW(load_envi(dir / "z.img"), vexil::BadInputError);
  }
}

TEST(EnviRead, HeaderErrorsNameTheHeader) {
  TempDir dir;
  write_file(dir / "x.img", std::string(48, '\0'));
  write_file(dir / "x.hdr", "samples = 4\nlines = 3\n");
  EXPECT_EQ(load_error(dir / "x.img"), "File " + (dir / "x.hdr") +
                                           " does not appear to be an ENVI header (missing \"ENVI\" at beginning of "
                                           "first line).");
  write_file(dir / "x.hdr", "ENVI\nsamples = 4\nlines = 3\nbands = 2\ninterleave = bsq\nbyte order = 0\n");
  EXPECT_EQ(load_error(dir / "x.hdr"),
            "Mandatory parameter \"data type\" missing from header file " + (dir / "x.hdr") + ".");
  write_file(dir / "x.hdr", header_text(3, 4, 2, 7, "bsq", 0));
  EXPECT_NE(load_error(dir / "x.hdr").find("ENVI header " + (dir / "x.hdr") + ": unsupported data type '7'"),
            std::string::npos);
  write_file(dir / "x.hdr", header_text(3, 4, 2, 2, "bsq", 0, "wavelength = {1, 2\n"));
  EXPECT_NE(load_error(dir / "x.hdr").find("Failed to parse ENVI header file " + (dir / "x.hdr") + ":"),
            std::string::npos);
}

TEST(EnviRead, AbsurdSizesFailBeforeReading) {
  TempDir dir;
  write_file(dir / "h.img", std::string(16, '\0'));
  write_file(dir / "h.hdr", header_text(4294967296, 4294967296, 4, 5, "bsq", 0));
  EXPECT_NE(load_error(dir / "h.hdr").find("too large"), std::string::npos);
  // Fits in 64 bits but not in the file: refused by the size check, nothing allocated.
  write_file(dir / "h.hdr", header_text(1 << 20, 1 << 20, 1 << 10, 5, "bsq", 1));
  EXPECT_NE(load_error(dir / "h.hdr").find("too short"), std::string::npos);
}

TEST(EnviRead, SingleBandKeepsItsAxis) {
  TempDir dir;
  write_file(dir / "one.hdr", header_text(100, 200, 1, 1, "bsq", 0));
  write_file(dir / "one.img", std::string(20000, '\x03'));
  EXPECT_EQ(load_envi(dir / "one.hdr").data.shape(), (vexil::Shape{100, 200, 1}));
}

TEST(EnviPairing, HeaderNamedFindsDataFile) {
  struct Case {
    std::vector<std::string> files;  // data candidates present, in order of marker value 1, 2, ...
    std::string interleave;
    std::string expected;  // file whose marker must be read; "" = error
  };
  const Case cases[] = {
      {{"cube", "cube.img"}, "bsq", "cube"},
      {{"cube.dat", "cube.img"}, "bsq", "cube.img"},
      {{"cube.dat", "cube.IMG"}, "bsq", "cube.dat"},
      {{"cube.IMG"}, "bsq", "cube.IMG"},
      {{"cube.Img"}, "bsq", ""},
      {{"cube.bil"}, "bsq", "cube.bil"},
      {{"cube.BIL"}, "bil", "cube.BIL"},
      {{"cube.BIL"}, "bsq", ""},
      {{"cube.sli"}, "bsq", "cube.sli"},
      {{"cube.hyspex", "cube.RAW"}, "bip", "cube.hyspex"},
      {{"cube.bip", "cube.raw"}, "bip", "cube.raw"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    write_file(dir / "cube.hdr", header_text(1, 1, 1, 1, c.interleave, 0));
    int expected_marker = -1;
    for (std::size_t i = 0; i < c.files.size(); ++i) {
      write_file(dir / c.files[i], std::string(1, static_cast<char>(i + 1)));
      if (c.files[i] == c.expected) expected_marker = static_cast<int>(i + 1);
    }
    SCOPED_TRACE(c.files[0] + " -> " + c.expected);
    if (c.expected.empty()) {
      EXPECT_NE(load_error(dir / "cube.hdr").find("Unable to determine the ENVI data file name"), std::string::npos);
    } else {
      EXPECT_EQ(data_marker(dir / "cube.hdr"), expected_marker);
    }
  }
}

TEST(EnviPairing, DirectoriesAndDoubleExtensions) {
  TempDir dir;
  write_file(dir / "cube.hdr", header_text(1, 1, 1, 1, "bsq", 0));
  std::filesystem::create_directory(dir / "cube");
  write_file(dir / "cube.img", std::string(1, '\x07'));
  EXPECT_EQ(data_marker(dir / "cube.hdr"), 7);

  TempDir d2;
  write_file(d2 / "cube.img.hdr", header_text(1, 1, 1, 1, "bsq", 0));
  write_file(d2 / "cube.img", std::string(1, '\x09'));
  EXPECT_EQ(data_marker(d2 / "cube.img.hdr"), 9);
  // GDAL's SUFFIX=ADD pair, named by its data file.
  EXPECT_EQ(data_marker(d2 / "cube.img"), 9);
  EXPECT_EQ(load_envi(d2 / "cube.img").meta["_source_file"], d2 / "cube.img.hdr");
}

TEST(EnviPairing, DataFileNamedFindsItsHeaderUnderEveryName) {
  // The header names tried, in order; each case holds the headers listed and
  // must pick the first (each describes a different number of lines).
  const std::vector<std::vector<std::string>> cases{
      {"scan.hdr", "scan.HDR", "scan.dat.hdr", "scan.dat.HDR"},
      {"scan.HDR", "scan.dat.hdr", "scan.dat.HDR"},
      {"scan.dat.hdr", "scan.dat.HDR"},
      {"scan.dat.HDR"},
  };
  for (const auto& headers : cases) {
    TempDir dir;
    write_file(dir / "scan.dat", std::string(16, '\x02'));
    for (std::size_t i = 0; i < headers.size(); ++i)
      write_file(dir / headers[i], header_text(static_cast<std::int64_t>(i + 1), 1, 1, 1, "bsq", 0));
    SCOPED_TRACE(headers.front());
    const auto r = load_envi(dir / "scan.dat");
    EXPECT_EQ(r.data.shape(), (vexil::Shape{1, 1, 1}));
    EXPECT_EQ(r.meta["_source_file"], dir / headers.front());
  }
  // No extension (AVIRIS-NG's "..._img"), any extension of a data file, any case.
  for (const std::string name : {"ang_rfl_img", "cube.BSQ", "cube.hyspex", "cube.RAW", "cube.bil"}) {
    TempDir dir;
    write_file(dir / name, std::string(1, '\x05'));
    write_file(dir / (name + ".hdr"), header_text(1, 1, 1, 1, "bsq", 0));
    EXPECT_EQ(data_marker(dir / name), 5) << name;
  }
  // None found: the message shows the plain <base>.hdr.
  TempDir dir;
  write_file(dir / "lone.dat", "x");
  EXPECT_EQ(load_error(dir / "lone.dat"), "Cannot find ENVI header: " + (dir / "lone.hdr") +
                                              "\nENVI files require a .hdr header alongside the data file.");
  write_file(dir / "lone", "x");
  EXPECT_EQ(load_error(dir / "lone"), "Cannot find ENVI header: " + (dir / "lone.hdr") +
                                          "\nENVI files require a .hdr header alongside the data file.");
}

TEST(EnviPairing, UpperCaseHeaderAndDataNamed) {
  TempDir dir;
  write_file(dir / "CUBE.HDR", header_text(1, 1, 1, 1, "bsq", 0));
  write_file(dir / "CUBE.img", std::string(1, '\x04'));
  const auto r = load_envi(dir / "CUBE.HDR");
  EXPECT_EQ(r.data.at<std::uint8_t>({0, 0, 0}), 4);
  EXPECT_EQ(r.meta["_source_file"], dir / "CUBE.HDR");
  // Named data file: the upper-case header is found too.
  EXPECT_EQ(data_marker(dir / "CUBE.img"), 4);
  EXPECT_EQ(load_envi(dir / "CUBE.img").meta["_source_file"], dir / "CUBE.HDR");

  write_file(dir / "scan.hdr", header_text(1, 1, 1, 1, "bsq", 0));
  write_file(dir / "scan.lan", std::string(1, '\x05'));
  write_file(dir / "scan.img", std::string(1, '\x06'));
  EXPECT_EQ(data_marker(dir / "scan.lan"), 5);
  EXPECT_EQ(data_marker(dir / "scan.img"), 6);
  EXPECT_EQ(load_envi(dir / "scan.lan").meta["_source_file"], dir / "scan.hdr");
}

TEST(EnviPairing, BadHeaderFiles) {
  TempDir dir;
  EXPECT_THROW(load_envi(dir / "missing.hdr"), vexil::NotFoundError);
  std::filesystem::create_directory(dir / "d.hdr");
  EXPECT_NE(load_error(dir / "d.hdr").find("directory"), std::string::npos);
  write_file(dir / "b.hdr", std::string("\x89PNG\r\n\x1a\n"));
  write_file(dir / "b.img", "x");
  EXPECT_NE(load_error(dir / "b.hdr").find("does not appear to be an ENVI header"), std::string::npos);

  // Named files that are not regular files are refused, never waited on.
  ASSERT_EQ(::mkfifo((dir / "f.hdr").c_str(), 0600), 0);
  EXPECT_NE(load_error(dir / "f.hdr").find("not a regular file"), std::string::npos);
  write_file(dir / "p.hdr", header_text(1, 1, 1, 1, "bsq", 0));
  ASSERT_EQ(::mkfifo((dir / "p.img").c_str(), 0600), 0);
  EXPECT_NE(load_error(dir / "p.img").find("not a regular file"), std::string::npos);
  std::filesystem::create_directory(dir / "p.dat");
  EXPECT_NE(load_error(dir / "p.dat").find("not a regular file"), std::string::npos);
  EXPECT_THROW(load_envi(dir / "p.raw"), vexil::NotFoundError);
}

TEST(EnviPairing, RelativePathGivesAbsoluteSourceFile) {
  TempDir dir;
  write_file(dir / "cube.hdr", header_text(1, 1, 1, 1, "bsq", 0));
  write_file(dir / "cube.img", std::string(1, '\x01'));
  const std::string old = std::filesystem::current_path();
  ASSERT_EQ(::chdir(dir.path().c_str()), 0);
  std::string source;
  try {
    source = load_envi("cube.img").meta["_source_file"];
  } catch (...) {
  }
  ASSERT_EQ(::chdir(old.c_str()), 0);
  EXPECT_EQ(source, std::filesystem::canonical(dir.path()).string() + "/cube.hdr");
}

TEST(EnviMetadata, ListedFieldsFirstThenHeaderOrder) {
  TempDir dir;
  const std::string hdr =
      "ENVI\n"
      "sensor type = AVIRIS\n"
      "my field = custom\n"
      "fwhm = {10.0, 10.5}\n"
      "byte order = 0\n"
      "file type = ENVI Standard\n"
      "interleave = bip\n"
      "data type = 1\n"
      "bands = 2\n"
      "lines = 1\n"
      "samples = 1\n"
      "wavelength = {400.0, 410.5}\n"
      "description = {\n  Test cube }\n"
      "bbl = {1, 0}\n";
  write_file(dir / "m.hdr", hdr);
  write_file(dir / "m.img", "ab");
  const auto r = load_envi(dir / "m.hdr");
  std::vector<std::string> keys;
  for (auto it = r.meta.begin(); it != r.meta.end(); ++it) keys.push_back(it.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"description", "samples", "lines", "bands", "data type", "interleave",
                                            "byte order", "wavelength", "fwhm", "sensor type", "my field", "file type",
                                            "bbl", "bad_bands", "_source_format", "_source_file"}));
  EXPECT_EQ(r.meta["description"], "Test cube");
  EXPECT_EQ(r.meta["samples"], "1");
  EXPECT_EQ(r.meta["wavelength"], (nlohmann::ordered_json{"400.0", "410.5"}));
  EXPECT_EQ(r.meta["bbl"], (nlohmann::ordered_json{1, 0}));
  EXPECT_EQ(r.meta["_source_format"], "ENVI");
  EXPECT_EQ(r.meta["_source_file"], dir / "m.hdr");
}

TEST(EnviMetadata, SpectralLibraryReadsLikeAnImage) {
  TempDir dir;
  write_file(dir / "lib.hdr", header_text(2, 3, 1, 4, "bsq", 0, "file type = ENVI Spectral Library\n"));
  std::string data;
  for (int k = 0; k < 6; ++k) data += value_bytes(static_cast<float>(k), false);
  write_file(dir / "lib.sli", data);
  const auto r = load_envi(dir / "lib.hdr");
  EXPECT_EQ(r.data.at<float>({1, 2, 0}), 5.0f);
  EXPECT_EQ(r.meta["file type"], "ENVI Spectral Library");
}

TEST(EnviMetadata, BandFactsUnderCommonKeysAfterTheHeaderFields) {
  TempDir dir;
  write_file(dir / "b.img", std::string(12, '\0'));
  write_file(dir / "b.hdr", header_text(1, 2, 3, 2, "bsq", 0,
                                        "wavelength units = Micrometers\n"
                                        "wavelength = {0.4, 0.5, 0.6}\n"
                                        "bbl = {1.0, 0, 1}\n"
                                        "data ignore value = -9999\n"
                                        "reflectance scale factor = 10000\n"
                                        "data gain values = {0.5, 0.25, 2}\n"
                                        "data offset values = {0, 1.5, -1}\n"));
  const auto m = load_envi(dir / "b.hdr").meta;
  // What the header said stays as it said it (bbl as integers).
  EXPECT_EQ(m["wavelength"], (nlohmann::ordered_json{"0.4", "0.5", "0.6"}));
  EXPECT_EQ(m["bbl"], (nlohmann::ordered_json{1, 0, 1}));
  EXPECT_EQ(m["data ignore value"], "-9999");
  EXPECT_EQ(m["bad_bands"], (nlohmann::ordered_json{1}));
  EXPECT_EQ(m["wavelength_units"], "Micrometers");
  ASSERT_TRUE(m["fill_value"].is_number_integer());
  EXPECT_EQ(m["fill_value"], -9999);
  EXPECT_EQ(m["scale"],
            (nlohmann::ordered_json{
                {"gain", {0.5, 0.25, 2.0}}, {"offset", {0.0, 1.5, -1.0}}, {"apply", "value = gain * DN + offset"}}));
  std::vector<std::string> tail;
  for (auto it = m.begin(); it != m.end(); ++it) tail.push_back(it.key());
  tail.erase(tail.begin(), tail.end() - 6);
  EXPECT_EQ(tail, (std::vector<std::string>{"bad_bands", "wavelength_units", "fill_value", "scale", "_source_format",
                                            "_source_file"}));

  // A float fill value stays a float; a scale factor alone is the scale;
  // lists of the wrong length and values that are no numbers are left out.
  write_file(dir / "b.hdr", header_text(1, 2, 3, 2, "bsq", 0,
                                        "data ignore value = -9999.0\n"
                                        "reflectance scale factor = 10000\n"
                                        "bbl = {1, x, 1}\n"
                                        "data gain values = {0.5, 0.25}\n"));
  const auto m2 = load_envi(dir / "b.hdr").meta;
  ASSERT_TRUE(m2["fill_value"].is_number_float());
  EXPECT_EQ(m2["fill_value"], -9999.0);
  EXPECT_EQ(m2["bbl"], (nlohmann::ordered_json{"1", "x", "1"}));
  EXPECT_FALSE(m2.contains("bad_bands"));
  EXPECT_EQ(m2["scale"],
            (nlohmann::ordered_json{{"divide_by", 10000}, {"apply", "reflectance = DN / reflectance scale factor"}}));
  // Nothing declared, nothing added.
  write_file(dir / "b.hdr", header_text(1, 2, 3, 2, "bsq", 0));
  const auto m3 = load_envi(dir / "b.hdr").meta;
  for (const char* key : {"bad_bands", "wavelength_units", "fill_value", "scale", "band_facts_source"})
    EXPECT_FALSE(m3.contains(key)) << key;
}

TEST(EnviProducts, AvirisClassicGainFileBecomesTheScale) {
  TempDir dir;
  const std::string img = dir / "f130522t01p00r11rdn_e_sc01_ort_img";
  write_file(img, std::string(2 * 3 * 4, '\0'));
  write_file(img + ".hdr", header_text(1, 4, 3, 2, "bip", 1, "data ignore value = -9999\n"));
  write_file(dir / "f130522t01p00r11rdn_e.gain", "   300.00000     1\n   600.00000     2\n  1200.00000     3\n");
  write_file(dir / "f130522t01p00r11.gain", "1 1\n2 2\n3 3\n");  // a shorter match loses
  const auto m = load_envi(img).meta;
  EXPECT_EQ(m["scale"], (nlohmann::ordered_json{{"gain_file", "f130522t01p00r11rdn_e.gain"},
                                                {"divide_by", {300.0, 600.0, 1200.0}},
                                                {"apply", "radiance = DN / gain (uW/cm^2/nm/sr)"}}));
  EXPECT_EQ(m["band_facts_source"], "AVIRIS-Classic gain file");
  EXPECT_EQ(m["fill_value"], -9999);

  // A gain file that does not give one gain per band is not used.
  write_file(dir / "f130522t01p00r11rdn_e.gain", "300 1\n600 2\n");
  EXPECT_FALSE(load_envi(img).meta.contains("scale"));
  // Not an AVIRIS-Classic name: no side file is looked for.
  write_file(dir / "scene_img", std::string(24, '\0'));
  write_file(dir / "scene_img.hdr", header_text(1, 4, 3, 2, "bip", 1));
  write_file(dir / "scene.gain", "1 1\n2 2\n3 3\n");
  EXPECT_FALSE(load_envi(dir / "scene_img").meta.contains("scale"));
}

TEST(EnviProducts, SpecimReferencesAreNamed) {
  TempDir dir;
  std::filesystem::create_directories(dir / "cap/capture");
  const std::string base = dir / "cap/capture/2023-05-04_012";
  write_file(base + ".raw", std::string(2 * 2 * 3, '\0'));
  write_file(base + ".hdr", header_text(1, 2, 3, 12, "bil", 0));
  EXPECT_FALSE(load_envi(base + ".raw").meta.contains("scale"));
  write_file(dir / "cap/capture/DARKREF_2023-05-04_012.raw", "");
  write_file(dir / "cap/capture/WHITEREF_2023-05-04_012.raw", "");
  EXPECT_EQ(load_envi(base + ".raw").meta["scale"],
            (nlohmann::ordered_json{{"dark_reference", "DARKREF_2023-05-04_012.raw"},
                                    {"white_reference", "WHITEREF_2023-05-04_012.raw"},
                                    {"apply", "reflectance = (DN - dark) / (white - dark)"}}));
}
