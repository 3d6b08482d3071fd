// Files from the MAT writer read back by SciPy's loadmat (the reference
// reader): name, element type, shape and every value, for every element type
// and the view kinds the loaders produce.
#include <gtest/gtest.h>

#include <complex>
#include <cstring>
#include <fstream>

#include <fmt/format.h>

#include "output/mat5_writer.hpp"
#include "support/test_util.hpp"

using namespace vexil;
using namespace vexil::output;
using vexil::test::TempDir;

namespace {

NDArray filled(DType t, Shape shape) {
  NDArray a = NDArray::allocate(t, std::move(shape));
  visit_dtype(t, [&](auto tag) {
    using T = decltype(tag);
    for (std::int64_t i = 0; i < a.size(); ++i) {
      T v;
      if constexpr (std::is_same_v<T, bool>)
        v = (i * 7) % 3 == 0;
      else if constexpr (std::is_same_v<T, std::complex<float>> || std::is_same_v<T, std::complex<double>>)
        v = T(static_cast<typename T::value_type>(i) / 4, -static_cast<typename T::value_type>(i));
      else if constexpr (std::is_floating_point_v<T>)
        v = static_cast<T>(i) / T(8) - T(5);
      else
        v = static_cast<T>(i * 1103515245 + 12345);  // wraps: exercises the full range
      std::memcpy(a.mutable_data() + i * sizeof(T), &v, sizeof(T));
    }
  });
  return a;
}

// loadmat's reading: at least 2-D, vectors as rows, logical as uint8.
const char* kCheck = R"(
import sys, numpy as np, scipy.io
ok = 0
for line in open(sys.argv[1]):
    case, name, dtype, shape = line.split()
    shape = tuple(int(x) for x in shape.split(',') if x)
    want = np.fromfile(case + '.bin', dtype=dtype).reshape(shape)
    if dtype == 'bool':
        want = want.astype(np.uint8)
    if want.ndim == 0:
        want = want.reshape(1, 1)
    elif want.ndim == 1:
        want = want.reshape(1, -1) if want.size else want.reshape(0, 0)
    m = scipy.io.loadmat(case + '.mat')
    names = [k for k in m if not k.startswith('__')]
    got = m.get(name)
    if names != [name]:
        print('FAIL', case, 'variables', names)
    elif got.dtype != want.dtype:
        print('FAIL', case, 'dtype', got.dtype, 'expected', want.dtype)
    elif got.shape != want.shape:
        print('FAIL', case, 'shape', got.shape, 'expected', want.shape)
    elif not np.array_equal(got, want):
        print('FAIL', case, 'values differ')
    else:
        ok += 1
        print('ok', case)
print('checked', ok)
)";

}  // namespace

TEST(Mat5Scipy, LoadmatReadsNameTypeShapeAndValues) {
  const std::string py = vexil::test::system_python_with("numpy, scipy.io");
  if (py.empty()) GTEST_SKIP() << "/usr/bin/python3 with numpy and scipy is not installed; SciPy readback not checked";
  TempDir tmp;
  struct Case {
    std::string name;
    NDArray array;
    Mat5Options options;
  };
  std::vector<Case> cases;
  for (DType t : kAllDTypes) {
    cases.push_back({"cube", filled(t, {3, 4, 5}), {}});
    cases.push_back({"data", filled(t, {6}), {}});
    cases.push_back({"x", filled(t, {}), {}});
  }
  cases.push_back({"data", NDArray::allocate(DType::UInt16, {0}), {}});
  cases.push_back({"data", NDArray::allocate(DType::Float32, {0, 5, 3}), {}});
  cases.push_back({"hyperspectral", filled(DType::Int16, {9, 31, 23}).transpose({1, 2, 0}), {}});
  cases.push_back(
      {"data", filled(DType::UInt16, {50, 41, 12}).window(7, 44, 3, 40), {.threads = 2, .block_size = 2052}});
  cases.push_back({"data", filled(DType::Float64, {70, 80, 30}), {.threads = 2, .block_size = 65536 + 12}});
  cases.push_back(
      {"data", filled(DType::Complex64, {5, 64, 33}).transpose({2, 1, 0}), {.threads = 3, .block_size = 999}});

  std::ofstream manifest(tmp / "manifest");
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const auto& c = cases[i];
    const std::string stem = tmp / fmt::format("case{}", i);
    write_mat5(stem + ".mat", c.name, c.array, c.options);
    const NDArray flat = c.array.contiguous(true);
    vexil::test::write_file(stem + ".bin", std::string(reinterpret_cast<const char*>(flat.data()), flat.nbytes()));
    std::string shape;
    for (auto d : c.array.shape()) shape += fmt::format("{},", d);
    manifest << stem << ' ' << c.name << ' ' << dtype_name(c.array.dtype()) << ' ' << (shape.empty() ? "," : shape)
             << '\n';
  }
  manifest.close();
  const auto r = vexil::test::run_program({py, "-c", kCheck, tmp / "manifest"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.find("FAIL"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(fmt::format("checked {}\n", cases.size())), std::string::npos) << r.out << r.err;
}
