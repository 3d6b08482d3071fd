// The saving steps: folder creation, console lines, the three files and the
// sidecar's layout, with and without ground truth.
#include <gtest/gtest.h>
#include <matio.h>

#include <algorithm>
#include <cstring>
#include <chrono>
#include <filesystem>
#include <thread>

#include "vexil/errors.hpp"
#include "output/mat73_writer.hpp"
#include "output/save_outputs.hpp"
#include "support/save_capture.hpp"
#include "support/test_util.hpp"

using namespace vexil;
using namespace vexil::output;
using vexil::test::TempDir;

namespace {

NDArray counting(DType t, Shape shape) {
  NDArray a = NDArray::zeros(t, std::move(shape));
  for (std::int64_t i = 0; i < a.size(); ++i) a.mutable_data()[i * a.itemsize()] = static_cast<std::byte>(i % 7);
  return a;
}

// Runs save_outputs and returns what it printed.
std::string save(const std::string& out_dir, const NDArray& data, const std::optional<NDArray>& gt,
                 const Metadata& meta, const std::optional<Metadata>& gt_meta, const std::string& data_key = "data",
                 const std::string& gt_key = "gt") {
  return vexil::test::save_and_capture(SaveInputs{out_dir, data_key, gt_key, data, gt, meta, gt_meta});
}

std::string mat_var_name(const std::string& path) {
  mat_t* m = Mat_Open(path.c_str(), MAT_ACC_RDONLY);
  if (!m) return "<unreadable>";
  matvar_t* v = Mat_VarReadNextInfo(m);
  std::string name = v && v->name ? v->name : "<none>";
  if (v) Mat_VarFree(v);
  Mat_Close(m);
  return name;
}

class SaveOutputs : public testing::Test {};

}  // namespace

TEST_F(SaveOutputs, WritesDataAndSidecarWithoutGroundTruth) {
  TempDir tmp;
  const NDArray data = counting(DType::UInt16, {3, 4, 2});
  Metadata meta = Metadata::object();
  meta["samples"] = 4;
  meta["wavelength units"] = "\u00b5m";
  meta["_source_format"] = "ENVI";
  // A ground-truth file from an earlier run stays untouched, and is named.
  std::filesystem::create_directory(tmp / "out");
  vexil::test::write_file(tmp / "out/gt.mat", "");
  const std::string out_dir = tmp / "out/";
  const std::string printed = save(out_dir, data, std::nullopt, meta, std::nullopt, "cube");

  EXPECT_EQ(printed, "\n  Saving: " + tmp / "out/data.mat\n" + "  \u2713 data.mat (0.0 MB)\n" +
                         "  \u2713 metadata.json\n  \u26a0 " + tmp / "out/gt.mat" +
                         " is left from an earlier run: this conversion has no ground truth\n");
  EXPECT_EQ(mat_var_name(tmp / "out/data.mat"), "cube");
  EXPECT_EQ(vexil::test::read_file(tmp / "out/gt.mat"), "");
  EXPECT_EQ(vexil::test::read_file(tmp / "out/metadata.json"),
            "{\n"
            "  \"image\": {\n"
            "    \"samples\": 4,\n"
            "    \"wavelength units\": \"\\u00b5m\",\n"
            "    \"_source_format\": \"ENVI\"\n"
            "  },\n"
            "  \"conversion\": {\n"
            "    \"output_data_key\": \"cube\",\n"
            "    \"output_data_shape\": [\n"
            "      3,\n"
            "      4,\n"
            "      2\n"
            "    ],\n"
            "    \"output_data_dtype\": \"uint16\"\n"
            "  }\n"
            "}");
}

TEST_F(SaveOutputs, GroundTruthAddsItsFileAndMembers) {
  TempDir tmp;
  const NDArray data = counting(DType::Float32, {5, 6, 3}).window(1, 4, 0, 2);
  const std::optional<NDArray> gt = counting(DType::UInt8, {3, 2});
  Metadata meta = Metadata::object();
  meta["crop"] = {{"y", 1}, {"x", 0}, {"height", 3}, {"width", 2}};
  std::optional<Metadata> gt_meta = Metadata::object();
  (*gt_meta)["_source_file"] = "/d/gt.png";
  const std::string out_dir = tmp / "a/b/c";
  const std::string printed = save(out_dir, data, gt, meta, gt_meta, "data", "labels");

  EXPECT_EQ(printed, "\n  Saving: " + out_dir + "/data.mat\n" + "  \u2713 data.mat (0.0 MB)\n" +
                         "  \u2713 gt.mat (0.0 MB)\n" + "  \u2713 metadata.json\n");
  EXPECT_EQ(mat_var_name(out_dir + "/gt.mat"), "labels");
  EXPECT_EQ(vexil::test::read_file(out_dir + "/metadata.json"),
            "{\n"
            "  \"image\": {\n"
            "    \"crop\": {\n"
            "      \"y\": 1,\n"
            "      \"x\": 0,\n"
            "      \"height\": 3,\n"
            "      \"width\": 2\n"
            "    }\n"
            "  },\n"
            "  \"conversion\": {\n"
            "    \"output_data_key\": \"data\",\n"
            "    \"output_data_shape\": [\n"
            "      3,\n"
            "      2,\n"
            "      3\n"
            "    ],\n"
            "    \"output_data_dtype\": \"float32\",\n"
            "    \"output_gt_key\": \"labels\",\n"
            "    \"output_gt_shape\": [\n"
            "      3,\n"
            "      2\n"
            "    ],\n"
            "    \"output_gt_dtype\": \"uint8\"\n"
            "  },\n"
            "  \"ground_truth\": {\n"
            "    \"_source_file\": \"/d/gt.png\"\n"
            "  }\n"
            "}");

  // A second run into the same folder replaces every file.
  const NDArray bigger = counting(DType::Float64, {300, 300, 8});
  save(out_dir, bigger, gt, meta, gt_meta);
  EXPECT_NE(vexil::test::read_file(out_dir + "/metadata.json").find("\"float64\""), std::string::npos);
}

TEST_F(SaveOutputs, SizesAreShownInMegabytesWithOneDecimal) {
  TempDir tmp;
  // Incompressible bytes: the file is a little over 2 MiB.
  NDArray noise = NDArray::allocate(DType::UInt8, {1024, 2048});
  std::uint32_t x = 12345;
  for (std::int64_t i = 0; i < noise.size(); ++i) {
    x = x * 1664525u + 1013904223u;
    noise.mutable_data()[i] = static_cast<std::byte>(x >> 24);
  }
  const std::string printed = save(tmp.path(), noise, std::nullopt, Metadata::object(), std::nullopt);
  EXPECT_NE(printed.find("  \u2713 data.mat (2.0 MB)\n"), std::string::npos) << printed;
}

TEST_F(SaveOutputs, FolderErrorsStopBeforeAnyFile) {
  TempDir tmp;
  const NDArray data = counting(DType::UInt8, {2, 2, 2});
  const Metadata meta = Metadata::object();
  try {
    save("", data, std::nullopt, meta, std::nullopt);
    FAIL() << "an empty output folder was accepted";
  } catch (const NotFoundError& e) {
    EXPECT_STREQ(e.what(), "[Errno 2] No such file or directory: ''");
  }
  vexil::test::write_file(tmp / "file", "x");
  try {
    save(tmp / "file", data, std::nullopt, meta, std::nullopt);
    FAIL() << "a regular file was accepted as the output folder";
  } catch (const WriteError& e) {
    EXPECT_EQ(std::string(e.what()), "[Errno 17] File exists: '" + tmp / "file" + "' (it is a file, not a folder)");
  }
  EXPECT_THROW(save(tmp / "file/sub", data, std::nullopt, meta, std::nullopt), WriteError);
  EXPECT_EQ(vexil::test::read_file(tmp / "file"), "x");
}

TEST_F(SaveOutputs, SizeLimitsAreCheckedBeforeTheFolderExists) {
  TempDir tmp;
  auto keep = std::make_shared<std::byte>();
  const NDArray huge = NDArray::view(DType::Float64, {40000, 40000, 1}, {0, 0, 0}, keep.get(), keep);
  const std::optional<NDArray> gt = huge;
  const NDArray small = counting(DType::UInt8, {2, 2});
  const std::string out = tmp / "out";
  const std::string key = "data", gt_key = "gt";
  const Metadata meta = Metadata::object();
  const std::optional<Metadata> no_meta;
  // With HDF5 such arrays go to MAT-file 7.3 (mat73_choice_test); without it
  // they are refused, naming what is missing.
  if (vexil::output::mat73_available()) {
    EXPECT_NO_THROW(check_outputs_writable(SaveInputs{out, key, gt_key, small, gt, meta, no_meta}));
  } else {
    EXPECT_THROW(check_outputs_writable(SaveInputs{out, key, gt_key, huge, std::nullopt, meta, no_meta}),
                 BadInputError);
    try {
      check_outputs_writable(SaveInputs{out, key, gt_key, small, gt, meta, no_meta});
      FAIL() << "an array beyond Level 5 was accepted without HDF5";
    } catch (const BadInputError& e) {
      EXPECT_NE(std::string(e.what()).find("needs MAT-file 7.3, which needs a build with HDF5"), std::string::npos)
          << e.what();
    }
  }
  EXPECT_FALSE(vexil::test::exists(out));
}

// A disk that fills while gt.mat is written (after data.mat is complete)
// changes none of the outputs: all are renamed into place together.
TEST_F(SaveOutputs, AFailureInALaterOutputChangesNoneOfThem) {
  TempDir dir;
  const std::string out = dir / "out";
  std::filesystem::create_directories(out);
  for (const char* name : {"data.mat", "gt.mat", "metadata.json"}) vexil::test::write_file(out + "/" + name, "earlier");
  const NDArray data = counting(DType::UInt8, {8, 8, 2});  // a few hundred bytes compressed
  std::optional<NDArray> gt = NDArray::zeros(DType::UInt8, {512, 512});
  // Noise, so gt.mat cannot compress below the limit.
  std::uint32_t state = 7;
  for (std::int64_t i = 0; i < gt->size(); ++i) {
    state = state * 1103515245u + 12345u;
    gt->mutable_data()[i] = static_cast<std::byte>(state >> 24);
  }
  const Metadata meta = {{"_source_file", "x"}};
  const std::optional<Metadata> gt_meta = Metadata{{"_source_file", "y"}};
  const int status = vexil::test::exit_status_with_file_size_limit(50000, [&] {
    try {
      save(out, data, gt, meta, gt_meta);
      return 3;
    } catch (const vexil::WriteError&) {
      return 0;
    } catch (...) {
      return 5;
    }
  });
  EXPECT_EQ(status, 0) << "3: the save succeeded, 5: wrong error kind";
  for (const char* name : {"data.mat", "gt.mat", "metadata.json"})
    EXPECT_EQ(vexil::test::read_file(out + "/" + name), "earlier") << name;
  std::vector<std::string> left;
  for (const auto& e : std::filesystem::directory_iterator(out)) left.push_back(e.path().filename().string());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"data.mat", "gt.mat", "metadata.json"}));
}
