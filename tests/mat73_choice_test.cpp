// The choice between MAT-file Level 5 and 7.3 in the saving steps, with the
// Level 5 limit lowered so small arrays take the 7.3 path; and a 7.3 gt.mat
// of ours read back by the ground-truth loader.
#include <gtest/gtest.h>
#include <matio.h>

#include <cstring>
#include <filesystem>
#include <vector>

#include "vexil/errors.hpp"
#include "text/text_format.hpp"
#include "formats/ground_truth.hpp"
#include "formats/mat/mat_format.hpp"
#include "formats/reader.hpp"
#include "output/mat5_writer.hpp"
#include "output/mat73_writer.hpp"
#include "output/save_outputs.hpp"
#include "support/save_capture.hpp"
#include "support/test_util.hpp"

using namespace vexil;
using namespace vexil::output;
using namespace vexil::formats;
using vexil::formats::mat::read_label_variable;
using vexil::test::read_file;
using vexil::test::TempDir;

namespace {

template <class T>
NDArray filled(DType t, Shape shape, T (*f)(std::int64_t)) {
  NDArray a = NDArray::allocate(t, std::move(shape));
  auto* p = reinterpret_cast<T*>(a.mutable_data());
  for (std::int64_t i = 0; i < a.size(); ++i) p[i] = f(i);
  return a;
}

std::uint16_t u16(std::int64_t i) { return static_cast<std::uint16_t>(i * 37 % 65521); }
std::uint8_t u8(std::int64_t i) { return static_cast<std::uint8_t>(i % 9); }
bool odd(std::int64_t i) { return i % 3 == 1; }

std::string save(const SaveInputs& in) { return vexil::test::save_and_capture(in); }

// Element (r, c, b) of a (rows, cols, bands) C-order array as matio gives it
// back in column-major order.
template <class T>
void expect_values(const std::string& path, const std::string& key, const NDArray& want, matio_classes cls) {
  mat_t* m = Mat_Open(path.c_str(), MAT_ACC_RDONLY);
  ASSERT_NE(m, nullptr) << path;
  EXPECT_EQ(Mat_GetVersion(m), MAT_FT_MAT73);
  matvar_t* v = Mat_VarRead(m, key.c_str());
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->class_type, cls);
  ASSERT_EQ(v->rank, want.ndim());
  for (int k = 0; k < v->rank; ++k) EXPECT_EQ(static_cast<std::int64_t>(v->dims[k]), want.shape()[k]);
  const auto& s = want.shape();
  const std::int64_t bands = want.ndim() == 3 ? s[2] : 1;
  const T* got = static_cast<const T*>(v->data);
  const T* src = reinterpret_cast<const T*>(want.data());
  std::int64_t mismatches = 0;
  for (std::int64_t r = 0; r < s[0]; ++r)
    for (std::int64_t c = 0; c < s[1]; ++c)
      for (std::int64_t b = 0; b < bands; ++b)
        mismatches += got[r + s[0] * (c + s[1] * b)] != src[(r * s[1] + c) * bands + b];
  EXPECT_EQ(mismatches, 0);
  Mat_VarFree(v);
  Mat_Close(m);
}

class Mat73Choice : public testing::Test {
 protected:
  void SetUp() override {
    if (!output::mat73_available()) GTEST_SKIP() << "built without HDF5";
  }
};

}  // namespace

TEST_F(Mat73Choice, ArraysBeyondTheLimitGoToMat73WithANoteAndSidecarMembers) {
  TempDir tmp;
  const NDArray data = filled<std::uint16_t>(DType::UInt16, {7, 5, 3}, u16);
  const std::optional<NDArray> gt = filled<std::uint8_t>(DType::UInt8, {7, 5}, u8);
  Metadata meta = Metadata::object();
  meta["lines"] = 7;
  const std::optional<Metadata> gt_meta = Metadata::object();
  const std::string out = tmp / "out", key = "cube", gt_key = "labels";
  const std::string printed = save(SaveInputs{out, key, gt_key, data, gt, meta, gt_meta, 16});

  const std::string note =
      "  Written as MAT-file 7.3: the array exceeds the MAT-file Level 5 limit (4 GiB per variable)\n";
  const std::string data_size = text::format_fixed(std::filesystem::file_size(out + "/data.mat") / 1048576.0, 1);
  EXPECT_EQ(printed, "\n  Saving: " + out + "/data.mat\n  \u2713 data.mat (" + data_size + " MB)\n" + note +
                         "  \u2713 gt.mat (0.0 MB)\n" + note + "  \u2713 metadata.json\n");
  for (const char* f : {"/data.mat", "/gt.mat"})
    EXPECT_EQ(read_file(out + f).substr(0, 19), "MATLAB 7.3 MAT-file") << f;
  expect_values<std::uint16_t>(out + "/data.mat", "cube", data, MAT_C_UINT16);
  expect_values<std::uint8_t>(out + "/gt.mat", "labels", *gt, MAT_C_UINT8);

  const std::string json = read_file(out + "/metadata.json");
  EXPECT_NE(json.find("    \"output_data_dtype\": \"uint16\",\n    \"output_data_format\": \"MAT 7.3\",\n"
                      "    \"output_gt_key\": \"labels\",\n"),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("    \"output_gt_dtype\": \"uint8\",\n    \"output_gt_format\": \"MAT 7.3\"\n  },\n"),
            std::string::npos)
      << json;

  // In colour the note is grey.
  const Palette ansi = Palette::ansi();
  const std::string coloured =
      vexil::test::save_and_capture(SaveInputs{out, key, gt_key, data, std::nullopt, meta, std::nullopt, 16}, ansi);
  EXPECT_NE(coloured.find("\n  " + ansi.gray + "Written as MAT-file 7.3: "), std::string::npos) << coloured;
  EXPECT_NE(coloured.find("(4 GiB per variable)" + ansi.reset + "\n"), std::string::npos);
}

TEST_F(Mat73Choice, EachArrayIsDecidedOnItsOwn) {
  TempDir tmp;
  const NDArray data = filled<std::uint16_t>(DType::UInt16, {20, 10, 4}, u16);
  const std::optional<NDArray> gt = filled<std::uint8_t>(DType::UInt8, {20, 10}, u8);
  const Metadata meta = Metadata::object();
  const std::optional<Metadata> gt_meta = Metadata::object();
  const std::string out = tmp.path(), key = "data", gt_key = "gt";
  // 1600 bytes of data exceed the limit, 200 of labels do not.
  const std::uint64_t limit = output::mat5_matrix_bytes(*gt, gt_key);
  const std::string printed = save(SaveInputs{out, key, gt_key, data, gt, meta, gt_meta, limit});
  EXPECT_EQ(read_file(out + "/data.mat").substr(0, 19), "MATLAB 7.3 MAT-file");
  EXPECT_EQ(read_file(out + "/gt.mat").substr(0, 19), "MATLAB 5.0 MAT-file");
  EXPECT_EQ(printed.find("Written as"), printed.rfind("Written as")) << printed;
  EXPECT_LT(printed.find("Written as"), printed.find("gt.mat"));
  const std::string json = read_file(out + "/metadata.json");
  EXPECT_NE(json.find("\"output_data_format\": \"MAT 7.3\""), std::string::npos);
  EXPECT_EQ(json.find("output_gt_format"), std::string::npos);
}

TEST_F(Mat73Choice, ArraysThatFitAreWrittenAsBeforeByteForByte) {
  TempDir tmp;
  const NDArray data = filled<std::uint16_t>(DType::UInt16, {30, 20, 5}, u16);
  const std::optional<NDArray> gt = filled<std::uint8_t>(DType::UInt8, {30, 20}, u8);
  const Metadata meta = Metadata::object();
  const std::optional<Metadata> gt_meta = Metadata::object();
  const std::string key = "data", gt_key = "gt";
  const std::string a = tmp / "a", b = tmp / "b";
  // Exactly at the limit still fits.
  const std::uint64_t at_limit = output::mat5_matrix_bytes(data, key);
  const std::string printed_a = save(SaveInputs{a, key, gt_key, data, gt, meta, gt_meta, at_limit});
  const std::string printed_b = save(SaveInputs{b, key, gt_key, data, gt, meta, gt_meta});
  EXPECT_EQ(printed_a.find("Written as"), std::string::npos) << printed_a;
  EXPECT_EQ(printed_b.find("Written as"), std::string::npos) << printed_b;
  EXPECT_EQ(read_file(a + "/metadata.json"), read_file(b + "/metadata.json"));
  EXPECT_EQ(read_file(b + "/metadata.json").find("_format"), std::string::npos);

  output::write_mat5(tmp / "direct.mat", key, data);
  // Past the 116-byte header text, which holds the time of writing.
  EXPECT_EQ(read_file(a + "/data.mat").substr(116), read_file(tmp / "direct.mat").substr(116));
  EXPECT_EQ(read_file(b + "/data.mat").substr(116), read_file(tmp / "direct.mat").substr(116));
}

TEST_F(Mat73Choice, CheckAcceptsOversizeArraysButStillRefusesBadNames) {
  TempDir tmp;
  auto keep = std::make_shared<std::byte>();
  // 12.8 GB, never touched: the check looks at the shape only.
  const NDArray huge = NDArray::view(DType::Float64, {40000, 40000, 1}, {0, 0, 0}, keep.get(), keep);
  const std::string out = tmp / "out", key = "data", bad = "_data", gt_key = "gt";
  const Metadata meta = Metadata::object();
  const std::optional<Metadata> no_meta;
  EXPECT_TRUE(needs_mat73(huge, key));
  EXPECT_FALSE(needs_mat73(filled<std::uint8_t>(DType::UInt8, {4, 4}, u8), key));
  EXPECT_NO_THROW(check_outputs_writable(SaveInputs{out, key, gt_key, huge, std::nullopt, meta, no_meta}));
  EXPECT_THROW(check_outputs_writable(SaveInputs{out, bad, gt_key, huge, std::nullopt, meta, no_meta}), BadInputError);
  EXPECT_FALSE(vexil::test::exists(out));
}

TEST_F(Mat73Choice, GroundTruthWrittenAsMat73LoadsBack) {
  TempDir tmp;
  const NDArray data = filled<std::uint8_t>(DType::UInt8, {2, 2, 1}, u8);
  const Metadata meta = Metadata::object();
  const std::optional<Metadata> gt_meta = Metadata::object();
  const std::string key = "data", gt_key = "labels";
  const std::vector<NDArray> cases = {filled<std::uint16_t>(DType::UInt16, {13, 9}, u16),
                                      filled<bool>(DType::Bool, {6, 11}, odd)};
  for (const NDArray& want : cases) {
    const std::string out = tmp / std::string(dtype_name(want.dtype()));
    const std::optional<NDArray> gt = want;
    save(SaveInputs{out, key, gt_key, data, gt, meta, gt_meta, 1});
    ASSERT_EQ(read_file(out + "/gt.mat").substr(0, 19), "MATLAB 7.3 MAT-file");

    std::string mat_key;
    const NDArray raw = read_label_variable(out + "/gt.mat", mat_key);
    EXPECT_EQ(mat_key, "labels");
    EXPECT_EQ(raw.shape(), want.shape());
    EXPECT_EQ(raw.dtype(), want.dtype());

    const LoadResult loaded = load_gt(out + "/gt.mat");
    ASSERT_EQ(loaded.data.shape(), want.shape());
    ASSERT_EQ(loaded.data.dtype(), want.dtype());
    std::int64_t mismatches = 0;
    const std::int64_t cols = want.shape()[1];
    for (std::int64_t r = 0; r < want.shape()[0]; ++r)
      for (std::int64_t c = 0; c < cols; ++c) {
        const std::int64_t idx[2] = {r, c};
        mismatches += std::memcmp(loaded.data.data() + loaded.data.offset_of(idx),
                                  want.data() + (r * cols + c) * want.itemsize(), want.itemsize()) != 0;
      }
    EXPECT_EQ(mismatches, 0) << dtype_name(want.dtype());
  }
}
