// The closing report, byte for byte with colours off, as the reporter receives it.
#include "conversion/summary.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <limits>
#include <sstream>
#include <vector>

#include "support/recording_reporter.hpp"

using namespace vexil;
using vexil::conversion::print_summary;

namespace {

class Summary : public ::testing::Test {};

std::string rule() {
  std::string r;
  for (int i = 0; i < 60; ++i) r += "\u2550";
  return r;
}

template <class T>
NDArray array_of(Shape shape, const std::vector<T>& values) {
  NDArray a = NDArray::allocate(dtype_of_v<T>, std::move(shape));
  if (static_cast<std::size_t>(a.size()) != values.size()) throw std::logic_error("value count");
  if (!values.empty()) std::memcpy(a.mutable_data(), values.data(), values.size() * sizeof(T));
  return a;
}

NDArray bool_array(Shape shape, const std::vector<std::uint8_t>& bytes) {
  NDArray a = NDArray::allocate(DType::Bool, std::move(shape));
  std::memcpy(a.mutable_data(), bytes.data(), bytes.size());
  return a;
}

std::string run(const NDArray& data, const std::optional<NDArray>& gt, const Metadata& meta,
                const std::optional<Metadata>& gt_meta, double elapsed = 1.0, const std::string& data_key = "data",
                const std::string& gt_key = "gt") {
  test::RecordingJob rec;
  print_summary(rec.job, data, gt, meta, gt_meta, "/data/out/../run", elapsed, data_key, gt_key);
  return rec.reporter.text();
}

std::vector<std::string> lines_of(const std::string& s) {
  std::vector<std::string> v;
  std::istringstream in(s);
  for (std::string l; std::getline(in, l);) v.push_back(l);
  return v;
}

bool has_line(const std::string& out, const std::string& line) {
  for (const auto& l : lines_of(out))
    if (l == line) return true;
  return false;
}
bool has_prefix(const std::string& out, const std::string& prefix) {
  for (const auto& l : lines_of(out))
    if (l.rfind(prefix, 0) == 0) return true;
  return false;
}

// Only the ground-truth section, from its heading to the Output heading.
std::string gt_section(const NDArray& gt,
                       const std::optional<Metadata>& gt_meta = Metadata{{"_source_format", "MAT"}}) {
  const std::string out = run(array_of<std::uint8_t>({1, 1}, {0}), gt, Metadata::object(), gt_meta);
  const auto b = out.find("\n  Ground Truth\n");
  const auto e = out.find("\n  Output\n");
  if (b == std::string::npos || e == std::string::npos) return "missing: " + out;
  return out.substr(b + 1, e - b - 1);
}

}  // namespace

TEST_F(Summary, EnviImageWithWavelengthsAndGroundTruth) {
  const NDArray data = array_of<std::uint16_t>(
      {2, 3, 4}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 65535});
  const NDArray gt = array_of<std::uint8_t>({2, 3}, {0, 1, 2, 0, 1, 0});
  Metadata meta = Metadata::object();
  meta["wavelength"] = {"400", " 402.5 ", "1e-05", "1_000.5", "1e400"};
  meta["_source_format"] = "ENVI";
  const Metadata gt_meta = {{"_source_file", "/x/gt.mat"}, {"_source_format", "MAT"}};
  const std::string want = "\n" + rule() + "\n" + "  Conversion complete!\n" + rule() + "\n" +
                           "\n  Image\n"
                           "    Format       : ENVI\n"
                           "    Shape        : (2, 3, 4)\n"
                           "    Spatial size : 2 x 3\n"
                           "    Bands        : 4\n"
                           "    Dtype        : uint16\n"
                           "    Value range  : [0, 6.554e+04]\n"
                           "    Size in memory: 0.0 MB\n"
                           "    Wavelengths  : [400.0, 402.5, 1e-05, 1000.5, inf]\n"
                           "\n  Ground Truth\n"
                           "    Format       : MAT\n"
                           "    Shape        : (2, 3)\n"
                           "    Dtype        : uint8\n"
                           "    Classes      : 2 (+ background 0)\n"
                           "    Class labels : [0, 1, 2]\n"
                           "\n    Per-class pixel counts:\n"
                           "      background      :        3 px\n"
                           "      class 1         :        2 px\n"
                           "      class 2         :        1 px\n"
                           "\n  Output\n"
                           "    Directory    : /data/run\n"
                           "    data.mat     : image data (key='data')\n"
                           "    gt.mat       : ground truth (key='gt')\n"
                           "    metadata.json: all preserved metadata\n"
                           "\n    Elapsed: 1.23s\n" +
                           rule() + "\n\n";
  EXPECT_EQ(run(data, gt, meta, gt_meta, 1.234), want);
}

TEST_F(Summary, TwoDimensionalFloatImageWithCrsAndCustomKeys) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const NDArray data = array_of<float>({2, 2}, {0.5f, nan, -3.0f, 1.0f});
  const Metadata meta = {{"crs", "EPSG:32633"}, {"_source_format", "GeoTIFF"}};
  const std::string want = "\n" + rule() + "\n" + "  Conversion complete!\n" + rule() + "\n" +
                           "\n  Image\n"
                           "    Format       : GeoTIFF\n"
                           "    Shape        : (2, 2)\n"
                           "    Spatial size : 2 x 2\n"
                           "    Dtype        : float32\n"
                           "    Value range  : [-3, 1] (1 NaN)\n"
                           "    Size in memory: 0.0 MB\n"
                           "    CRS          : EPSG:32633\n"
                           "\n  Output\n"
                           "    Directory    : /data/run\n"
                           "    data.mat     : image data (key='cube')\n"
                           "    metadata.json: all preserved metadata\n"
                           "\n    Elapsed: 0.00s\n" +
                           rule() + "\n\n";
  EXPECT_EQ(run(data, std::nullopt, meta, std::nullopt, 0.0, "cube", "labels"), want);

  const std::string with_gt =
      run(data, array_of<std::uint8_t>({2, 2}, {1, 1, 1, 1}), meta, Metadata::object(), 0.0, "cube", "labels");
  EXPECT_TRUE(has_line(with_gt, "    gt.mat       : ground truth (key='labels')"));
  EXPECT_TRUE(has_line(with_gt, "    Format       : unknown"));
}

TEST_F(Summary, ImageLinesFollowTheRankAndContents) {
  const Metadata none = Metadata::object();
  const std::string four = run(NDArray::zeros(DType::Int16, {2, 3, 4, 5}), std::nullopt, none, std::nullopt);
  EXPECT_TRUE(has_line(four, "    Spatial size : 2 x 3"));
  EXPECT_FALSE(has_prefix(four, "    Bands"));
  EXPECT_TRUE(has_line(four, "    Format       : unknown"));
  EXPECT_TRUE(has_line(four, "    Value range  : [0, 0]"));

  const std::string one = run(array_of<std::int64_t>({3}, {-123456789, 5, 9999}), std::nullopt, none, std::nullopt);
  EXPECT_TRUE(has_line(one, "    Shape        : (3,)"));
  EXPECT_FALSE(has_prefix(one, "    Spatial size"));
  EXPECT_TRUE(has_line(one, "    Value range  : [-1.235e+08, 9999]"));

  const std::string scalar = run(array_of<double>({}, {0.000123456}), std::nullopt, none, std::nullopt);
  EXPECT_TRUE(has_line(scalar, "    Shape        : ()"));
  EXPECT_TRUE(has_line(scalar, "    Value range  : [0.0001235, 0.0001235]"));

  const std::string empty = run(NDArray::zeros(DType::UInt8, {0, 4, 3}), std::nullopt, none, std::nullopt);
  EXPECT_TRUE(has_line(empty, "    Value range  : [empty]"));
  EXPECT_TRUE(has_line(empty, "    Size in memory: 0.0 MB"));

  const std::string flags = run(bool_array({3}, {0, 1, 0}), std::nullopt, none, std::nullopt);
  EXPECT_TRUE(has_line(flags, "    Value range  : [0, 1]"));

  using C = std::complex<float>;
  const std::string cplx = run(array_of<C>({3}, {C(1, 2), C(1, -2.5f), C(-0.5f, 0)}), std::nullopt, none, std::nullopt);
  EXPECT_TRUE(has_line(cplx, "    Value range  : [-0.5+0j, 1+2j]"));

  // 1.5 MiB exactly, and a view: its own bytes, not the base array's.
  const NDArray big = NDArray::zeros(DType::Float64, {256, 768});
  EXPECT_TRUE(has_line(run(big, std::nullopt, none, std::nullopt), "    Size in memory: 1.5 MB"));
  EXPECT_TRUE(
      has_line(run(big.window(0, 128, 0, 768), std::nullopt, none, std::nullopt), "    Size in memory: 0.8 MB"));
}

TEST_F(Summary, WavelengthAndCrsLines) {
  const NDArray data = NDArray::zeros(DType::UInt8, {1, 1, 7});
  const auto wl_line = [&](const Metadata& wl) {
    Metadata meta = Metadata::object();
    meta["wavelength"] = wl;
    for (const auto& l : lines_of(run(data, std::nullopt, meta, std::nullopt)))
      if (l.rfind("    Wavelengths", 0) == 0) return l;
    return std::string("none");
  };
  EXPECT_EQ(wl_line({400, 410.5, 420, 430, 440}), "    Wavelengths  : [400.0, 410.5, 420.0, 430.0, 440.0]");
  EXPECT_EQ(wl_line({"400", "n/a", "420", "430", "440", "450"}),
            "    Wavelengths  : [400.0, 'n/a', 420.0, 430.0, 440.0] ... (6 total)");
  EXPECT_EQ(wl_line({"", "it's", "-nan", "1e-5", "0.1", "6", "7"}),
            "    Wavelengths  : ['', \"it's\", nan, 1e-05, 0.1] ... (7 total)");
  EXPECT_EQ(wl_line(Metadata::array()), "none");
  EXPECT_EQ(wl_line(nullptr), "none");
  EXPECT_EQ(wl_line(""), "none");
  EXPECT_EQ(wl_line("550"), "    Wavelengths  : [550.0]");
  EXPECT_EQ(wl_line(0), "none");
  EXPECT_EQ(wl_line(550), "    Wavelengths  : [550.0]");
  EXPECT_EQ(wl_line({nullptr, true}), "    Wavelengths  : [None, 1.0]");

  const auto crs_line = [&](const Metadata& crs) {
    for (const auto& l : lines_of(run(data, std::nullopt, Metadata{{"crs", crs}}, std::nullopt)))
      if (l.rfind("    CRS", 0) == 0) return l;
    return std::string("none");
  };
  EXPECT_EQ(crs_line(""), "none");
  EXPECT_EQ(crs_line(nullptr), "none");
  EXPECT_EQ(crs_line("PROJCS[\"x\"]"), "    CRS          : PROJCS[\"x\"]");
  EXPECT_EQ(crs_line(4326), "    CRS          : 4326");
  EXPECT_EQ(crs_line({{"init", "epsg:4326"}}), "    CRS          : {'init': 'epsg:4326'}");
}

TEST_F(Summary, GroundTruthClassesAndCounts) {
  EXPECT_EQ(gt_section(array_of<std::int32_t>({2, 2}, {2, 1, 1, 2})),
            "  Ground Truth\n"
            "    Format       : MAT\n"
            "    Shape        : (2, 2)\n"
            "    Dtype        : int32\n"
            "    Classes      : 2\n"
            "    Class labels : [1, 2]\n"
            "\n    Per-class pixel counts:\n"
            "      class 1         :        2 px\n"
            "      class 2         :        2 px\n");

  EXPECT_EQ(gt_section(NDArray::zeros(DType::UInt16, {3, 4}), std::nullopt),
            "  Ground Truth\n"
            "    Format       : unknown\n"
            "    Shape        : (3, 4)\n"
            "    Dtype        : uint16\n"
            "    Classes      : 0 (+ background 0)\n"
            "    Class labels : [0]\n"
            "\n    Per-class pixel counts:\n"
            "      background      :       12 px\n");

  const std::string f64 = gt_section(array_of<double>({3}, {3.0, 0.0, -0.0}));
  EXPECT_NE(f64.find("    Classes      : 1 (+ background 0)\n    Class labels : [0.0, 3.0]\n"), std::string::npos)
      << f64;
  EXPECT_NE(f64.find("      background      :        2 px\n      class 3.0       :        1 px\n"), std::string::npos)
      << f64;

  const std::string f32 = gt_section(array_of<float>({4}, {0.1f, 0.2f, 0.0f, 0.1f}));
  EXPECT_NE(f32.find("    Class labels : [0.0, 0.10000000149011612, 0.20000000298023224]\n"), std::string::npos) << f32;
  EXPECT_NE(f32.find("      class 0.1       :        2 px\n      class 0.2       :        1 px\n"), std::string::npos)
      << f32;

  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::string with_nan = gt_section(array_of<float>({4}, {nan, 1.0f, nan, 0.0f}));
  EXPECT_NE(with_nan.find("    Classes      : 2 (+ background 0)\n    Class labels : [0.0, 1.0, nan]\n"),
            std::string::npos)
      << with_nan;
  EXPECT_NE(with_nan.find("      class nan       :        2 px\n"), std::string::npos) << with_nan;

  const std::string flags = gt_section(bool_array({2, 2}, {1, 0, 1, 1}));
  EXPECT_NE(flags.find("    Classes      : 1 (+ background 0)\n    Class labels : [False, True]\n"), std::string::npos)
      << flags;
  EXPECT_NE(flags.find("      background      :        1 px\n      class True      :        3 px\n"), std::string::npos)
      << flags;

  const std::string neg = gt_section(array_of<std::int8_t>({3}, {-128, 127, -1}));
  EXPECT_NE(neg.find("    Class labels : [-128, -1, 127]\n"), std::string::npos) << neg;
  EXPECT_NE(neg.find("      class -128      :        1 px\n"), std::string::npos) << neg;

  using C = std::complex<double>;
  const std::string cplx = gt_section(array_of<C>({3}, {C(0, 0), C(1, 2), C(0, 2)}));
  EXPECT_NE(cplx.find("    Class labels : [0j, 2j, (1+2j)]\n"), std::string::npos) << cplx;
}

TEST_F(Summary, CountsWiderThanTheirColumnAreNotCut) {
  // 123456789 elements from one stored byte: a broadcast view, no big allocation.
  NDArray one = array_of<std::uint8_t>({1}, {7});
  const NDArray gt = NDArray::view(DType::UInt8, {3, 41152263}, {0, 0}, one.mutable_data(), one.keep_alive());
  const std::string s = gt_section(gt);
  EXPECT_NE(s.find("    Classes      : 1\n    Class labels : [7]\n"), std::string::npos) << s;
  EXPECT_NE(s.find("      class 7         : 123,456,789 px\n"), std::string::npos) << s;

  const NDArray wide = array_of<std::uint32_t>({2}, {1234567890u, 1234567890u});
  EXPECT_NE(gt_section(wide).find("      class 1234567890: "), std::string::npos);
}

TEST_F(Summary, RangeLeavesOutNaNsAndTheDeclaredFillValue) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  // EMIT-like: float reflectance with -9999 fill and a few NaNs.
  const NDArray refl = array_of<float>({2, 4, 1}, {-9999.0f, 0.25f, nan, 0.5923f, -9999.0f, 0.01f, -9999.0f, nan});
  Metadata meta{{"fill_value", -9999.0}, {"_source_format", "HDF5"}};
  std::string out = run(refl, std::nullopt, meta, std::nullopt);
  EXPECT_TRUE(has_line(out, "    Value range  : [0.01, 0.5923] (2 NaN)")) << out;
  EXPECT_TRUE(has_line(out, "    Fill value   : -9999 (3 px)")) << out;
  // The fill line follows the range line directly.
  EXPECT_NE(out.find("(2 NaN)\n    Fill value   : -9999 (3 px)\n    Size in memory"), std::string::npos) << out;

  // An integer fill value at the type's edge, as EnMAP stores it.
  const NDArray dn = array_of<std::int16_t>({1, 5}, {-32768, 120, 4000, -32768, -5});
  out = run(dn, std::nullopt, Metadata{{"fill_value", -32768}}, std::nullopt);
  EXPECT_TRUE(has_line(out, "    Value range  : [-5, 4000]")) << out;
  EXPECT_TRUE(has_line(out, "    Fill value   : -32768 (2 px)")) << out;

  // A fill value the type cannot hold occurs nowhere; the range is unchanged.
  const NDArray u16 = array_of<std::uint16_t>({1, 3}, {7, 0, 65535});
  out = run(u16, std::nullopt, Metadata{{"fill_value", -9999}}, std::nullopt);
  EXPECT_TRUE(has_line(out, "    Value range  : [0, 6.554e+04]")) << out;
  EXPECT_TRUE(has_line(out, "    Fill value   : -9999 (0 px)")) << out;

  // Nothing but fill and NaN, and no fill value declared: no numbers to range over.
  const NDArray none = array_of<float>({1, 2}, {nan, nan});
  out = run(none, std::nullopt, Metadata::object(), std::nullopt);
  EXPECT_TRUE(has_line(out, "    Value range  : [nan, nan] (2 NaN)")) << out;
  EXPECT_FALSE(has_prefix(out, "    Fill value")) << out;
}
