// Arrays with a zero-length axis at any position (an empty HDF5 dataset, a
// crop of height or width 0, a cube without bands), in any memory layout,
// are written as Level 5 and as MAT 7.3 and read back by matio, SciPy and
// h5py with their dimensions and class.
#include <gtest/gtest.h>
#include <matio.h>

#include <fstream>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "output/mat5_writer.hpp"
#include "output/mat73_writer.hpp"
#include "support/test_util.hpp"

namespace vexil::output {
namespace {

using test::TempDir;

struct Case {
  std::string label;
  NDArray array;
  std::vector<std::int64_t> matlab;  // dimensions every reader should see
};

std::vector<Case> zero_extent_cases() {
  std::vector<Case> cases;
  for (DType t : {DType::UInt16, DType::Float32, DType::Complex64, DType::Bool}) {
    const std::string tn(dtype_name(t));
    // Contiguous, every axis position; (4, 0, 8) is a pixel-interleaved cube
    // without pixels (enough bands for the writer's band-group gathering).
    for (Shape s : {Shape{0, 5, 8}, Shape{4, 0, 8}, Shape{4, 5, 0}, Shape{0, 0, 8}, Shape{0, 5, 0}, Shape{4, 0, 0},
                    Shape{0, 0, 0}, Shape{0, 5}, Shape{4, 0}, Shape{0, 0}})
      cases.push_back({tn + " " + shape_str(s), NDArray::allocate(t, s), s});
    cases.push_back({tn + " (0,)", NDArray::allocate(t, {0}), {0, 0}});
    // Views: crops of height or width 0 and transposed layouts.
    const NDArray cube = NDArray::allocate(t, {4, 5, 8});
    cases.push_back({tn + " crop of height 0", cube.window(2, 2, 0, 5), {0, 5, 8}});
    cases.push_back({tn + " crop of width 0", cube.window(0, 4, 3, 3), {4, 0, 8}});
    cases.push_back({tn + " bands first, none", NDArray::allocate(t, {0, 4, 5}).transpose({1, 2, 0}), {4, 5, 0}});
    cases.push_back(
        {tn + " band sequential, no lines", NDArray::allocate(t, {3, 0, 5}).transpose({1, 2, 0}), {0, 5, 3}});
    cases.push_back({tn + " 4-d", NDArray::allocate(t, {2, 3, 0, 4}), {2, 3, 0, 4}});
  }
  return cases;
}

matio_classes matio_class(DType t) {
  switch (t) {
    case DType::UInt16: return MAT_C_UINT16;
    case DType::Bool: return MAT_C_UINT8;
    default: return MAT_C_SINGLE;
  }
}

// MAT 7.3 keeps an empty array as its dimensions and class alone, so
// matio reads an empty complex one as real there; nothing is lost.
void expect_matio_reads(const std::string& path, const Case& c, bool complex_kept = true) {
  mat_t* mat = Mat_Open(path.c_str(), MAT_ACC_RDONLY);
  ASSERT_NE(mat, nullptr) << "matio cannot open " << path;
  matvar_t* var = Mat_VarRead(mat, "data");
  if (var == nullptr) {
    Mat_Close(mat);
    FAIL() << "matio cannot read the variable of " << path;
  }
  EXPECT_EQ(std::vector<std::int64_t>(var->dims, var->dims + var->rank), c.matlab);
  EXPECT_EQ(var->class_type, matio_class(c.array.dtype()));
  EXPECT_EQ(var->isComplex != 0, complex_kept && is_complex(c.array.dtype()));
  EXPECT_EQ(var->isLogical != 0, c.array.dtype() == DType::Bool);
  Mat_VarFree(var);
  Mat_Close(mat);
}

std::string tuple_text(const std::vector<std::int64_t>& dims) {
  std::string s = "(";
  for (std::size_t i = 0; i < dims.size(); ++i) s += fmt::format("{}{}", i ? ", " : "", dims[i]);
  return s + (dims.size() == 1 ? ",)" : ")");
}

}  // namespace

TEST(ZeroExtent, EveryAxisPositionAndLayoutInBothFormatsReadByMatio) {
  TempDir tmp;
  for (const Case& c : zero_extent_cases()) {
    SCOPED_TRACE(c.label);
    ASSERT_EQ(c.array.size(), 0);
    write_mat5(tmp / "l5.mat", "data", c.array, {.threads = 2});
    expect_matio_reads(tmp / "l5.mat", c);
    if (!mat73_available()) continue;
    write_mat73(tmp / "v73.mat", "data", c.array, {.threads = 2});
    expect_matio_reads(tmp / "v73.mat", c, false);
  }
}

TEST(ZeroExtent, ScipyReadsLevel5AndH5pyReads73) {
  const std::string py = test::system_python_with("numpy, scipy.io, h5py");
  if (py.empty()) GTEST_SKIP() << "no /usr/bin/python3 with numpy, scipy and h5py; readback not checked";
  TempDir tmp;
  const auto cases = zero_extent_cases();
  std::ofstream manifest(tmp / "manifest");
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    const std::string stem = tmp / fmt::format("case{}", i);
    write_mat5(stem + ".l5.mat", "data", c.array);
    if (mat73_available()) write_mat73(stem + ".v73.mat", "data", c.array);
    manifest << stem << '\t' << dtype_name(c.array.dtype()) << '\t' << tuple_text(c.matlab) << '\t' << c.label << '\n';
  }
  manifest.close();
  const char* script = R"(
import os, sys, h5py, numpy as np, scipy.io
classes = {'uint16': 'uint16', 'float32': 'single', 'complex64': 'single', 'bool': 'logical'}
ok = 0
for line in open(sys.argv[1]):
    stem, dtype, shape, label = line.rstrip('\n').split('\t')
    shape = eval(shape)
    got = scipy.io.loadmat(stem + '.l5.mat')['data']
    want = np.uint8 if dtype == 'bool' else np.dtype(dtype)
    if got.shape != shape or got.dtype != want:
        print('FAIL level 5', label, got.shape, got.dtype)
        continue
    if os.path.exists(stem + '.v73.mat'):
        with h5py.File(stem + '.v73.mat', 'r') as f:
            d = f['data']
            if (list(d[()]) != list(shape) or d.attrs['MATLAB_empty'] != 1 or
                    d.attrs['MATLAB_class'].decode() != classes[dtype]):
                print('FAIL 7.3', label, d[()], dict(d.attrs))
                continue
    ok += 1
print('checked', ok)
)";
  const auto r = test::run_program({py, "-c", script, tmp / "manifest"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.find("FAIL"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(fmt::format("checked {}\n", cases.size())), std::string::npos) << r.out << r.err;
}

}  // namespace vexil::output

namespace vexil::output {

// A crop of height or width 0 through the program, for band-sequential and
// pixel-interleaved files (the latter once divided by zero in the writer).
TEST(ZeroExtent, CropsOfHeightOrWidthZeroConvert) {
  TempDir dir;
  std::string data(4 * 5 * 8 * 2, '\1');
  test::write_file(dir / "c.img", data);
  for (const std::string interleave : {"bsq", "bip", "bil"}) {
    test::write_file(dir / "c.hdr",
                     "ENVI\nsamples = 5\nlines = 4\nbands = 8\nheader offset = 0\ndata type = 12\n"
                     "interleave = " +
                         interleave + "\nbyte order = 0\n");
    for (const auto& [crop, dims] :
         {std::pair{std::vector<std::string>{"1", "2", "0", "3"}, std::vector<std::int64_t>{0, 3, 8}},
          std::pair{std::vector<std::string>{"1", "2", "3", "0"}, std::vector<std::int64_t>{3, 0, 8}}}) {
      SCOPED_TRACE(interleave + " crop " + crop[2] + "x" + crop[3]);
      std::vector<std::string> args = {"convert_to_mat", "--img", dir / "c.hdr", "--out-dir", dir / "out", "--crop"};
      args.insert(args.end(), crop.begin(), crop.end());
      const auto r = test::run_vexil(args);
      ASSERT_EQ(r.status, 0) << r.out << r.err;
      expect_matio_reads(dir / "out/data.mat", {"", NDArray::allocate(DType::UInt16, dims), dims});
    }
  }
}

}  // namespace vexil::output
