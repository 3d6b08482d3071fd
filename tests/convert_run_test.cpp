// Whole runs of "vexil convert_to_mat": exact console text, exit status and
// what lands on disk.
#include <gtest/gtest.h>
#include <matio.h>

#include <nlohmann/json.hpp>
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#ifdef VEXIL_HAVE_HDF5
#include <hdf5.h>
#endif

#include "support/test_util.hpp"

using vexil::test::exists;
using vexil::test::run_vexil;
using vexil::test::TempDir;
using vexil::test::write_file;

namespace {

const std::string kUsage =
    "usage: vexil convert_to_mat [-h] --img IMG [--gt GT] --out-dir OUT_DIR\n"
    "                            [--crop Y X H W] [--data-key DATA_KEY]\n"
    "                            [--gt-key GT_KEY] [--layout {auto,hwb,bhw,hbw}]\n"
    "                            [--threads N]\n";

// ENVI element types used here: header code, byte size, how a double is stored.
struct EnviType {
  int code;
  const char* numpy_name;
  std::size_t size;
  std::function<void(double, unsigned char*)> store;
};

template <class T>
EnviType envi_type(int code, const char* name) {
  return {code, name, sizeof(T), [](double v, unsigned char* out) {
            const T t = static_cast<T>(v);
            std::memcpy(out, &t, sizeof(T));
          }};
}

const std::vector<EnviType>& envi_types() {
  static const std::vector<EnviType> types = {
      envi_type<std::uint8_t>(1, "uint8"), envi_type<std::int16_t>(2, "int16"), envi_type<std::int32_t>(3, "int32"),
      envi_type<float>(4, "float32"),      envi_type<double>(5, "float64"),     envi_type<std::uint16_t>(12, "uint16"),
  };
  return types;
}

// The value every test cube holds at (row, column, band).
double cube_value(const EnviType& t, int y, int x, int b) {
  double v = y * 100 + x * 10 + b;
  if (t.code == 2 || t.code == 3) v -= 50;
  if (t.code == 4 || t.code == 5) v += 0.25;
  return v;
}

// Writes <dir>/<name>.hdr and <name>.img for an h x w x bands cube, byte by
// byte in the requested interleave and byte order.
void write_envi(const std::string& dir, const std::string& name, int h, int w, int bands, const EnviType& t,
                const std::string& interleave, int byte_order, const std::string& extra_header = "",
                const std::function<double(int, int, int)>& value = nullptr) {
  std::string hdr =
      "ENVI\nsamples = " + std::to_string(w) + "\nlines = " + std::to_string(h) + "\nbands = " + std::to_string(bands) +
      "\nheader offset = 0\n" + "file type = ENVI Standard\ndata type = " + std::to_string(t.code) +
      "\ninterleave = " + interleave + "\nbyte order = " + std::to_string(byte_order) + "\n" + extra_header;
  write_file(dir + "/" + name + ".hdr", hdr);
  std::string bytes;
  unsigned char buf[8];
  auto put = [&](int y, int x, int b) {
    t.store(value ? value(y, x, b) : cube_value(t, y, x, b), buf);
    const bool swap = (byte_order == 1) != (std::endian::native == std::endian::big);
    if (swap) std::reverse(buf, buf + t.size);
    bytes.append(reinterpret_cast<const char*>(buf), t.size);
  };
  if (interleave == "bsq") {
    for (int b = 0; b < bands; ++b)
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) put(y, x, b);
  } else if (interleave == "bil") {
    for (int y = 0; y < h; ++y)
      for (int b = 0; b < bands; ++b)
        for (int x = 0; x < w; ++x) put(y, x, b);
  } else {
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        for (int b = 0; b < bands; ++b) put(y, x, b);
  }
  write_file(dir + "/" + name + ".img", bytes);
}

// A MAT-file variable read back with matio: its dimensions and its values
// in column-major order, as doubles.
struct MatVar {
  bool found = false;
  std::vector<std::size_t> dims;
  std::vector<double> values;
};

MatVar read_mat(const std::string& path, const std::string& name) {
  MatVar out;
  mat_t* mat = Mat_Open(path.c_str(), MAT_ACC_RDONLY);
  if (!mat) return out;
  matvar_t* v = Mat_VarRead(mat, name.c_str());
  if (v) {
    out.found = true;
    out.dims.assign(v->dims, v->dims + v->rank);
    std::size_t n = 1;
    for (auto d : out.dims) n *= d;
    for (std::size_t i = 0; i < n; ++i) {
      double d = 0;
      switch (v->class_type) {
        case MAT_C_DOUBLE: d = static_cast<const double*>(v->data)[i]; break;
        case MAT_C_SINGLE: d = static_cast<const float*>(v->data)[i]; break;
        case MAT_C_INT8: d = static_cast<const std::int8_t*>(v->data)[i]; break;
        case MAT_C_UINT8: d = static_cast<const std::uint8_t*>(v->data)[i]; break;
        case MAT_C_INT16: d = static_cast<const std::int16_t*>(v->data)[i]; break;
        case MAT_C_UINT16: d = static_cast<const std::uint16_t*>(v->data)[i]; break;
        case MAT_C_INT32: d = static_cast<const std::int32_t*>(v->data)[i]; break;
        case MAT_C_UINT32: d = static_cast<const std::uint32_t*>(v->data)[i]; break;
        default: d = -1e300; break;
      }
      out.values.push_back(d);
    }
    Mat_VarFree(v);
  }
  Mat_Close(mat);
  return out;
}

void write_mat_uint8(const std::string& path, const std::string& name, std::vector<std::size_t> dims,
                     std::vector<std::uint8_t> values) {
  mat_t* mat = Mat_CreateVer(path.c_str(), nullptr, MAT_FT_MAT5);
  ASSERT_NE(mat, nullptr);
  matvar_t* v = Mat_VarCreate(name.c_str(), MAT_C_UINT8, MAT_T_UINT8, static_cast<int>(dims.size()), dims.data(),
                              values.data(), 0);
  ASSERT_NE(v, nullptr);
  Mat_VarWrite(mat, v, MAT_COMPRESSION_NONE);
  Mat_VarFree(v);
  Mat_Close(mat);
}

std::string image_lines(const std::string& img, const std::string& fmt, const std::string& shape,
                        const std::string& dtype) {
  return "\n  Loading image: " + img + "\n  Detected format: " + fmt + "\n  \xe2\x9c\x93 Loaded: shape=" + shape +
         " dtype=" + dtype + "\n";
}

std::string physical(const std::string& p) { return std::filesystem::canonical(p).string(); }

}  // namespace

TEST(ConvertRun, EnviCubesInEveryInterleaveTypeAndByteOrder) {
  TempDir dir;
  int run = 0;
  for (const auto& t : envi_types()) {
    for (const char* interleave : {"bsq", "bil", "bip"}) {
      for (int byte_order : {0, 1}) {
        // Every interleave and byte order for two types; one combination for the rest.
        const bool full = t.code == 2 || t.code == 4;
        if (!full && !(std::string(interleave) == "bil" && byte_order == 1)) continue;
        const std::string name = "c" + std::to_string(run++);
        SCOPED_TRACE(name + " " + t.numpy_name + " " + interleave + " " + std::to_string(byte_order));
        write_envi(dir.path(), name, 2, 3, 4, t, interleave, byte_order);
        const std::string out = dir / (name + "_out");
        auto r = run_vexil({"convert_to_mat", "--img", dir / (name + ".hdr"), "--out-dir", out});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        const std::string head = image_lines(dir / (name + ".hdr"), "ENVI", "(2, 3, 4)", t.numpy_name) +
                                 "\n  Saving: " + out + "/data.mat\n  \xe2\x9c\x93 data.mat (";
        EXPECT_EQ(r.out.substr(0, head.size()), head);
        EXPECT_EQ(r.out.find("Loading ground truth"), std::string::npos);
        EXPECT_FALSE(exists(out + "/gt.mat"));

        const MatVar m = read_mat(out + "/data.mat", "data");
        ASSERT_TRUE(m.found);
        ASSERT_EQ(m.dims, (std::vector<std::size_t>{2, 3, 4}));
        for (int b = 0; b < 4; ++b)
          for (int x = 0; x < 3; ++x)
            for (int y = 0; y < 2; ++y)
              EXPECT_EQ(m.values[static_cast<std::size_t>(y + 2 * (x + 3 * b))], cube_value(t, y, x, b))
                  << y << "," << x << "," << b;
      }
    }
  }
  EXPECT_EQ(run, 16);
}

TEST(ConvertRun, DataFileNamedInsteadOfHeader) {
  TempDir dir;
  write_envi(dir.path(), "cube", 2, 3, 4, envi_types()[0], "bip", 0);
  auto r = run_vexil({"convert_to_mat", "--img", "cube.img", "--out-dir", "out"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind(image_lines("cube.img", "ENVI", "(2, 3, 4)", "uint8"), 0), 0u) << r.out;
}

TEST(ConvertRun, FullRunWithGroundTruthCropAndCustomKeys) {
  TempDir dir;
  const EnviType& i16 = envi_types()[1];
  write_envi(dir.path(), "cube", 2, 3, 4, i16, "bil", 1, "wavelength = {400, 500.5, 600, 700, 800, 900}\n");
  const int labels[2][3] = {{0, 1, 2}, {2, 2, 0}};
  write_envi(dir.path(), "labels", 2, 3, 1, envi_types()[0], "bsq", 0, "",
             [&](int y, int x, int) { return labels[y][x]; });

  auto r = run_vexil({"convert_to_mat", "--img", "cube.hdr", "--gt", "labels.img", "--out-dir", "out", "--crop", "0",
                      "01", "2", "+2", "--data-key", "cube", "--gt-key", "labels"},
                     dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  std::string rule60;
  for (int i = 0; i < 60; ++i) rule60 += "\xe2\x95\x90";
  const std::string expected = image_lines("cube.hdr", "ENVI", "(2, 3, 4)", "int16") +
                               "\n"
                               "  Loading ground truth: labels.img\n"
                               "  \xe2\x9c\x93 Loaded: shape=(2, 3) dtype=uint8\n"
                               "\n"
                               "  Cropping: y=0 x=1 h=2 w=2\n"
                               "  \xe2\x9c\x93 Cropped to: (2, 2, 4)\n"
                               "\n"
                               "  Saving: out/data.mat\n"
                               "  \xe2\x9c\x93 data.mat (0.0 MB)\n"
                               "  \xe2\x9c\x93 gt.mat (0.0 MB)\n"
                               "  \xe2\x9c\x93 metadata.json\n"
                               "\n" +
                               rule60 + "\n  Conversion complete!\n" + rule60 +
                               "\n"
                               "\n"
                               "  Image\n"
                               "    Format       : ENVI\n"
                               "    Shape        : (2, 2, 4)\n"
                               "    Spatial size : 2 x 2\n"
                               "    Bands        : 4\n"
                               "    Dtype        : int16\n"
                               "    Value range  : [-40, 73]\n"
                               "    Size in memory: 0.0 MB\n"
                               "    Wavelengths  : [400.0, 500.5, 600.0, 700.0, 800.0] ... (6 total)\n"
                               "\n"
                               "  Ground Truth\n"
                               "    Format       : ENVI\n"
                               "    Shape        : (2, 2)\n"
                               "    Dtype        : uint8\n"
                               "    Classes      : 2 (+ background 0)\n"
                               "    Class labels : [0, 1, 2]\n"
                               "\n"
                               "    Per-class pixel counts:\n"
                               "      background      :        1 px\n"
                               "      class 1         :        1 px\n"
                               "      class 2         :        2 px\n"
                               "\n"
                               "  Output\n"
                               "    Directory    : " +
                               physical(dir.path()) +
                               "/out\n"
                               "    data.mat     : image data (key='cube')\n"
                               "    gt.mat       : ground truth (key='labels')\n"
                               "    metadata.json: all preserved metadata\n"
                               "\n"
                               "    Elapsed: #.##s\n" +
                               rule60 + "\n\n";
  // The elapsed time is the one varying number: digits, a point, two digits.
  std::string normalised = r.out;
  const auto at = normalised.find("Elapsed: ");
  ASSERT_NE(at, std::string::npos);
  const auto end = normalised.find('s', at + 9);
  ASSERT_NE(end, std::string::npos);
  const std::string seconds = normalised.substr(at + 9, end - at - 9);
  EXPECT_EQ(seconds.find_first_not_of("0123456789."), std::string::npos) << seconds;
  EXPECT_EQ(seconds.size() - seconds.find('.'), 3u) << seconds;
  normalised.replace(at + 9, end - at - 9, "#.##");
  EXPECT_EQ(normalised, expected);

  const MatVar data = read_mat(dir / "out/data.mat", "cube");
  ASSERT_TRUE(data.found);
  EXPECT_EQ(data.dims, (std::vector<std::size_t>{2, 2, 4}));
  EXPECT_EQ(data.values.front(), cube_value(i16, 0, 1, 0));
  EXPECT_EQ(data.values.back(), cube_value(i16, 1, 2, 3));
  const MatVar gt = read_mat(dir / "out/gt.mat", "labels");
  ASSERT_TRUE(gt.found);
  EXPECT_EQ(gt.dims, (std::vector<std::size_t>{2, 2}));
  EXPECT_EQ(gt.values, (std::vector<double>{1, 2, 2, 0}));  // column-major

  const auto sidecar = nlohmann::ordered_json::parse(vexil::test::read_file(dir / "out/metadata.json"));
  const auto& image = sidecar.at("image");
  ASSERT_FALSE(image.empty());
  std::string last_key;
  for (auto it = image.begin(); it != image.end(); ++it) last_key = it.key();
  EXPECT_EQ(last_key, "crop");
  EXPECT_EQ(image.at("crop").dump(), R"({"y":0,"x":1,"height":2,"width":2})");
  EXPECT_EQ(sidecar.at("conversion").at("output_data_shape").dump(), "[2,2,4]");
}

TEST(ConvertRun, AnExistingCropFieldKeepsItsPlace) {
  TempDir dir;
  write_envi(dir.path(), "cube", 2, 3, 4, envi_types()[0], "bsq", 0, "crop = {1, 2}\n");
  auto r =
      run_vexil({"convert_to_mat", "--img", "cube.hdr", "--out-dir", "out", "--crop", "0", "0", "1", "1"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  const auto image = nlohmann::ordered_json::parse(vexil::test::read_file(dir / "out/metadata.json")).at("image");
  std::vector<std::string> keys;
  for (auto it = image.begin(); it != image.end(); ++it) keys.push_back(it.key());
  ASSERT_GE(keys.size(), 3u);
  EXPECT_EQ(keys[keys.size() - 3], "crop");
  EXPECT_EQ(keys.back(), "_source_file");
  EXPECT_EQ(image.at("crop").dump(), R"({"y":0,"x":0,"height":1,"width":1})");
}

TEST(ConvertRun, SpatialMismatchWarnsAndTheRunCompletes) {
  TempDir dir;
  write_envi(dir.path(), "cube", 2, 3, 4, envi_types()[0], "bsq", 0);
  write_envi(dir.path(), "big", 3, 3, 1, envi_types()[0], "bsq", 0);
  auto r = run_vexil({"convert_to_mat", "--img", "cube.hdr", "--gt", "big.hdr", "--out-dir", "o1"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\n  Loading ground truth: big.hdr\n"
                       "  \xe2\x9c\x93 Loaded: shape=(3, 3) dtype=uint8\n"
                       "  \xe2\x9a\xa0 Spatial mismatch: image=(2, 3), gt=(3, 3)\n"
                       "\n  Saving: o1/data.mat\n"),
            std::string::npos)
      << r.out;
  EXPECT_TRUE(exists(dir / "o1/gt.mat"));

  // A 1 x 6 label row arrives squeezed to one axis: compared (and printed)
  // with the one extent it has, never read past its shape.
  write_mat_uint8(dir / "row.mat", "gt", {1, 6}, {0, 1, 1, 2, 2, 2});
  r = run_vexil({"convert_to_mat", "--img", "cube.hdr", "--gt", "row.mat", "--out-dir", "o2"}, dir.path());
  EXPECT_NE(r.out.find("  \xe2\x9c\x93 Loaded: shape=(6,) dtype=uint8\n"
                       "  \xe2\x9a\xa0 Spatial mismatch: image=(2, 3), gt=(6,)\n"),
            std::string::npos)
      << r.out << r.err;
  EXPECT_EQ(r.status, 0) << r.err;

  // Same height and width, extra channels: no warning.
  write_envi(dir.path(), "same", 2, 3, 3, envi_types()[0], "bsq", 0);
  r = run_vexil({"convert_to_mat", "--img", "cube.hdr", "--gt", "same.hdr", "--out-dir", "o3"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.find("Spatial mismatch"), std::string::npos);
}

TEST(ConvertRun, FailuresStopBeforeAnythingIsWritten) {
  TempDir dir;
  write_envi(dir.path(), "cube", 2, 3, 4, envi_types()[0], "bsq", 0);

  auto r = run_vexil({"convert_to_mat", "--img", "cube.jp2", "--out-dir", "out"}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "\n  Loading image: cube.jp2\n");
  EXPECT_EQ(r.err,
            "vexil convert_to_mat: error: Unrecognised file extension '.jp2'. Supported: envi, hdf5, "
            "tiff\n");
  EXPECT_FALSE(exists(dir / "out"));

  write_file(dir / "lonely.img", std::string(24, '\0'));
  r = run_vexil({"convert_to_mat", "--img", dir / "lonely.img", "--out-dir", "out"}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "\n  Loading image: " + dir / "lonely.img" + "\n  Detected format: ENVI\n");
  EXPECT_EQ(r.err, "vexil convert_to_mat: error: Cannot find ENVI header: " + dir / "lonely.hdr" +
                       "\nENVI files require a .hdr header alongside the data file.\n");
  EXPECT_FALSE(exists(dir / "out"));

  r = run_vexil({"convert_to_mat", "--img", "cube.hdr", "--out-dir", "out", "--crop", "1", "0", "2", "3"}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, image_lines("cube.hdr", "ENVI", "(2, 3, 4)", "uint8") + "\n  Cropping: y=1 x=0 h=2 w=3\n");
  EXPECT_EQ(r.err, "vexil convert_to_mat: error: Crop region (1, 0, 2, 3) exceeds image bounds (2, 3)\n");
  EXPECT_FALSE(exists(dir / "out"));

  r = run_vexil(
      {"convert_to_mat", "--img", "cube.hdr", "--out-dir", "out", "--crop", "0", "0", "99999999999999999999999", "1"},
      dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("\n  Cropping: y=0 x=0 h=99999999999999999999999 w=1\n"), std::string::npos);
  EXPECT_EQ(r.err,
            "vexil convert_to_mat: error: Crop region (0, 0, 99999999999999999999999, 1) exceeds "
            "image bounds (2, 3)\n");
  EXPECT_FALSE(exists(dir / "out"));

  r = run_vexil({"convert_to_mat", "--img", "cube.hdr", "--gt", "labels.gif", "--out-dir", "out"}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "vexil convert_to_mat: error: Unsupported ground truth format: .gif\n");
  EXPECT_FALSE(exists(dir / "out"));
}

// An output never replaces an input: a ground truth inside the output
// folder, an image whose data file is named like an output, or a link to one.
TEST(ConvertRun, AnInputThatIsAnOutputIsRefusedBeforeAnythingIsWritten) {
  TempDir dir;
  write_envi(dir.path(), "cube", 2, 3, 4, envi_types()[0], "bsq", 0);
  std::filesystem::create_directory(dir / "out");
  const std::string labels = "MATLAB 5.0 MAT-file, written by another tool";  // content irrelevant: never read
  write_file(dir / "out/gt.mat", labels);

  auto r = run_vexil({"convert_to_mat", "--img", "cube.hdr", "--gt", "out/gt.mat", "--out-dir", "out"}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "vexil convert_to_mat: error: Input 'out/gt.mat' is the output file 'out/gt.mat' of this run "
            "and would be replaced: choose another output folder\n");
  EXPECT_EQ(vexil::test::read_file(dir / "out/gt.mat"), labels);
  EXPECT_FALSE(exists(dir / "out/data.mat"));

  // Through a symbolic link and another spelling of the folder.
  std::filesystem::create_symlink(dir / "out/gt.mat", dir / "labels.mat");
  r = run_vexil({"convert_to_mat", "--img", "cube.hdr", "--gt", "labels.mat", "--out-dir", "./out/"}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Input 'labels.mat' is the output file './out/gt.mat'"), std::string::npos) << r.err;
  EXPECT_EQ(vexil::test::read_file(dir / "out/gt.mat"), labels);

  // An ENVI data file called data.mat, converted in its own folder.
  write_envi(dir.path(), "scene", 2, 3, 4, envi_types()[0], "bsq", 0);
  std::filesystem::rename(dir / "scene.img", dir / "data.mat");
  std::filesystem::rename(dir / "scene.hdr", dir / "data.mat.hdr");
  r = run_vexil({"convert_to_mat", "--img", "data.mat.hdr", "--out-dir", "."}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("is the output file './data.mat' of this run"), std::string::npos) << r.err;
  EXPECT_EQ(std::filesystem::file_size(dir / "data.mat"), 24u);
  EXPECT_FALSE(exists(dir / "metadata.json"));

  // Without a ground truth in this run, gt.mat is not an output: no conflict.
  r = run_vexil({"convert_to_mat", "--img", "cube.hdr", "--out-dir", "out"}, dir.path());
  EXPECT_EQ(r.status, 0) << r.err;
}

// A gt.mat left by an earlier run does not describe this run's outputs.
TEST(ConvertRun, AStaleGroundTruthIsNamedAndKept) {
  TempDir dir;
  write_envi(dir.path(), "cube", 2, 3, 4, envi_types()[0], "bsq", 0);
  std::filesystem::create_directory(dir / "out");
  write_file(dir / "out/gt.mat", "earlier");
  auto r = run_vexil({"convert_to_mat", "--img", "cube.hdr", "--out-dir", "out"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("  \u2713 metadata.json\n"
                       "  \u26a0 out/gt.mat is left from an earlier run: this conversion has no ground truth\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(vexil::test::read_file(dir / "out/gt.mat"), "earlier");
}

// An output folder that cannot be made says why, before any pixel is read.
TEST(ConvertRun, AnUnusableOutputFolderSaysWhy) {
  TempDir dir;
  write_envi(dir.path(), "cube", 2, 3, 4, envi_types()[0], "bsq", 0);
  write_file(dir / "taken", "a file");
  auto r = run_vexil({"convert_to_mat", "--img", "cube.hdr", "--out-dir", "taken"}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "vexil convert_to_mat: error: [Errno 17] File exists: 'taken' (it is a file, not a folder)\n");
  r = run_vexil({"convert_to_mat", "--img", "cube.hdr", "--out-dir", "taken/sub"}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "vexil convert_to_mat: error: [Errno 20] Not a directory: 'taken/sub' ('taken' is a file, not a "
            "folder)\n");
  EXPECT_EQ(r.out.find("Saving:"), std::string::npos) << r.out;
}

TEST(ConvertRun, UsageErrorsAndHelpTouchNothing) {
  TempDir dir;
  write_envi(dir.path(), "cube", 2, 3, 4, envi_types()[0], "bsq", 0);
  auto r = run_vexil({"convert_to_mat", "--img", "cube.hdr", "--out-dir", "out", "--crop", "1", "2"}, dir.path());
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, kUsage + "vexil convert_to_mat: error: argument --crop: expected 4 arguments\n");

  r = run_vexil({"convert_to_mat", "--img", "cube.hdr", "--out-dir", "out", "--data-key", "1x"}, dir.path());
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("error: argument --data-key: invalid MATLAB variable name: '1x'"), std::string::npos);

  r = run_vexil({"convert_to_mat", "--img", "cube.hdr", "--out-dir", "out", "--help"}, dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out.rfind(kUsage + "\nConvert ENVI / TIFF / GeoTIFF / HDF5 to .mat format\n", 0), 0u);
  EXPECT_FALSE(exists(dir / "out"));
}

#ifdef VEXIL_HAVE_HDF5
TEST(ConvertRun, HdfPathKeepsItsDatasetSpecifier) {
  TempDir dir;
  {
    // Two datasets: the larger would be chosen without a specifier.
    hid_t file = H5Fcreate((dir / "scene.h5").c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
    ASSERT_GE(file, 0);
    std::vector<float> values(50, 1.5f);
    for (const auto& [name, dims] : {std::pair<const char*, std::vector<hsize_t>>{"cube", {4, 3, 2}},
                                     std::pair<const char*, std::vector<hsize_t>>{"other", {5, 5, 2}}}) {
      hid_t space = H5Screate_simple(3, dims.data(), nullptr);
      hid_t ds = H5Dcreate2(file, name, H5T_NATIVE_FLOAT, space, H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
      H5Dwrite(ds, H5T_NATIVE_FLOAT, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data());
      H5Dclose(ds);
      H5Sclose(space);
    }
    H5Fclose(file);
  }
  for (const std::string img : {"scene.h5:/cube", "scene.h5::/cube"}) {
    SCOPED_TRACE(img);
    auto r = run_vexil({"convert_to_mat", "--img", img, "--out-dir", "out"}, dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind(image_lines(img, "HDF5", "(4, 3, 2)", "float32"), 0), 0u) << r.out;
  }
}
#endif
