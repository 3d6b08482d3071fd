#include "output/mat73_writer.hpp"

#include <dirent.h>
#include <gtest/gtest.h>
#include <matio.h>
#include <sys/stat.h>

#include <algorithm>
#include <complex>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "vexil/errors.hpp"
#include "support/test_util.hpp"

namespace vexil::output {
namespace {

using test::TempDir;

// A C-contiguous array whose element at linear index i is f(i).
template <class T, class F>
NDArray filled(Shape shape, F f) {
  NDArray a = NDArray::allocate(dtype_of_v<T>, std::move(shape));
  auto* p = reinterpret_cast<T*>(a.mutable_data());
  for (std::int64_t i = 0; i < a.size(); ++i) p[i] = f(i);
  return a;
}

std::vector<std::int64_t> matlab_dims(const NDArray& a) {
  if (a.ndim() == 0) return {1, 1};
  if (a.ndim() == 1)
    return a.shape()[0] == 0 ? std::vector<std::int64_t>{0, 0} : std::vector<std::int64_t>{1, a.shape()[0]};
  return a.shape();
}

// The array's elements in MATLAB's column-major order, read one by one
// through the array's own index arithmetic.
template <class T>
std::vector<T> column_major(const NDArray& a) {
  std::vector<T> out;
  if (a.ndim() == 0) {
    T v;
    std::memcpy(&v, a.data(), sizeof(T));
    return {v};
  }
  std::vector<std::int64_t> idx(a.ndim(), 0);
  for (std::int64_t n = 0; n < a.size(); ++n) {
    std::int64_t rest = n;
    for (int k = 0; k < a.ndim(); ++k) {
      idx[k] = rest % a.shape()[k];
      rest /= a.shape()[k];
    }
    T v;
    std::memcpy(&v, a.data() + a.offset_of(idx.data()), sizeof(T));
    out.push_back(v);
  }
  return out;
}

struct MatRead {
  mat_t* mat = nullptr;
  matvar_t* var = nullptr;
  MatRead(const std::string& path, const std::string& name) {
    mat = Mat_Open(path.c_str(), MAT_ACC_RDONLY);
    if (mat) var = Mat_VarRead(mat, name.c_str());
  }
  ~MatRead() {
    if (var) Mat_VarFree(var);
    if (mat) Mat_Close(mat);
  }
  std::vector<std::int64_t> dims() const { return std::vector<std::int64_t>(var->dims, var->dims + var->rank); }
};

template <class T>
void expect_roundtrip(const NDArray& a, matio_classes cls, const Mat73Options& options = {}) {
  TempDir dir;
  const std::string path = dir / "out.mat";
  write_mat73(path, "cube", a, options);
  MatRead r(path, "cube");
  ASSERT_NE(r.mat, nullptr);
  EXPECT_EQ(Mat_GetVersion(r.mat), MAT_FT_MAT73);
  ASSERT_NE(r.var, nullptr);
  EXPECT_EQ(r.var->class_type, cls);
  EXPECT_EQ(r.dims(), matlab_dims(a));
  EXPECT_EQ(r.var->isComplex, 0);
  const auto want = column_major<T>(a);
  ASSERT_EQ(r.var->nbytes, want.size() * sizeof(T));
  const T* got = static_cast<const T*>(r.var->data);
  EXPECT_TRUE(std::equal(want.begin(), want.end(), got)) << dtype_name(a.dtype());
}

TEST(Mat73Writer, EveryRealClassReadsBackInMatio) {
  const Shape s{3, 4, 5};
  expect_roundtrip<double>(filled<double>(s, [](auto i) { return i * 0.5 - 7.25; }), MAT_C_DOUBLE);
  expect_roundtrip<float>(filled<float>(s, [](auto i) { return static_cast<float>(i) / 3.0f; }), MAT_C_SINGLE);
  expect_roundtrip<std::int8_t>(filled<std::int8_t>(s, [](auto i) { return static_cast<std::int8_t>(i * 5 - 128); }),
                                MAT_C_INT8);
  expect_roundtrip<std::uint8_t>(filled<std::uint8_t>(s, [](auto i) { return static_cast<std::uint8_t>(i * 7); }),
                                 MAT_C_UINT8);
  expect_roundtrip<std::int16_t>(
      filled<std::int16_t>(s, [](auto i) { return static_cast<std::int16_t>(i * 523 - 32768); }), MAT_C_INT16);
  expect_roundtrip<std::uint16_t>(filled<std::uint16_t>(s, [](auto i) { return static_cast<std::uint16_t>(i * 1021); }),
                                  MAT_C_UINT16);
  expect_roundtrip<std::int32_t>(
      filled<std::int32_t>(s, [](auto i) { return static_cast<std::int32_t>(i * 35791394 - 2147483647); }),
      MAT_C_INT32);
  expect_roundtrip<std::uint32_t>(
      filled<std::uint32_t>(s, [](auto i) { return static_cast<std::uint32_t>(i) * 71582788u; }), MAT_C_UINT32);
  expect_roundtrip<std::int64_t>(
      filled<std::int64_t>(s, [](auto i) { return std::numeric_limits<std::int64_t>::min() + i * 3; }), MAT_C_INT64);
  expect_roundtrip<std::uint64_t>(
      filled<std::uint64_t>(s, [](auto i) { return std::numeric_limits<std::uint64_t>::max() - i; }), MAT_C_UINT64);
}

TEST(Mat73Writer, ShapesAsMatlabHasThem) {
  // 1-d is a row, 0-d a 1x1, extra axes are kept.
  expect_roundtrip<std::int16_t>(filled<std::int16_t>({7}, [](auto i) { return static_cast<std::int16_t>(-i); }),
                                 MAT_C_INT16);
  expect_roundtrip<double>(filled<double>({}, [](auto) { return 2.5; }), MAT_C_DOUBLE);
  expect_roundtrip<std::uint8_t>(
      filled<std::uint8_t>({2, 3, 2, 2}, [](auto i) { return static_cast<std::uint8_t>(i); }), MAT_C_UINT8);
  expect_roundtrip<std::uint8_t>(filled<std::uint8_t>({5, 1, 1}, [](auto i) { return static_cast<std::uint8_t>(i); }),
                                 MAT_C_UINT8);
}

TEST(Mat73Writer, LogicalIsStoredAsZeroOrOne) {
  NDArray a = filled<std::uint8_t>({4, 3}, [](auto i) { return static_cast<std::uint8_t>(i % 3 == 0 ? 0 : i); });
  NDArray b = NDArray::view(DType::Bool, a.shape(), a.strides(), a.mutable_data(), a.keep_alive());
  TempDir dir;
  write_mat73(dir / "gt.mat", "gt", b);
  MatRead r(dir / "gt.mat", "gt");
  ASSERT_NE(r.var, nullptr);
  EXPECT_NE(r.var->isLogical, 0);
  EXPECT_EQ(r.dims(), (std::vector<std::int64_t>{4, 3}));
  const auto* got = static_cast<const std::uint8_t*>(r.var->data);
  const auto raw = column_major<std::uint8_t>(a);
  for (std::size_t i = 0; i < raw.size(); ++i) EXPECT_EQ(got[i], raw[i] != 0 ? 1 : 0) << i;
}

template <class T>
void expect_complex_roundtrip(const NDArray& a, matio_classes cls, const Mat73Options& options = {}) {
  TempDir dir;
  write_mat73(dir / "c.mat", "z", a, options);
  MatRead r(dir / "c.mat", "z");
  ASSERT_NE(r.var, nullptr);
  EXPECT_EQ(r.var->class_type, cls);
  EXPECT_NE(r.var->isComplex, 0);
  EXPECT_EQ(r.dims(), matlab_dims(a));
  const auto* split = static_cast<const mat_complex_split_t*>(r.var->data);
  const auto want = column_major<std::complex<T>>(a);
  for (std::size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(static_cast<const T*>(split->Re)[i], want[i].real()) << i;
    EXPECT_EQ(static_cast<const T*>(split->Im)[i], want[i].imag()) << i;
  }
}

template <class T>
NDArray complex_cube(Shape shape) {
  return filled<std::complex<T>>(std::move(shape), [](auto i) { return std::complex<T>(T(i) + T(0.5), -T(i) * 2); });
}

TEST(Mat73Writer, ComplexAsRealImagCompound) {
  expect_complex_roundtrip<float>(complex_cube<float>({3, 2, 4}), MAT_C_SINGLE);
  expect_complex_roundtrip<double>(complex_cube<double>({3, 2, 4}), MAT_C_DOUBLE);
}

TEST(Mat73Writer, StridedViewsAcrossManyChunks) {
  // A band-sequential layout turned to (height, width, bands), then cropped:
  // small chunks force edge chunks on every axis.
  NDArray bsq = filled<std::uint16_t>({7, 23, 19}, [](auto i) { return static_cast<std::uint16_t>(i * 37 + 1); });
  NDArray hwc = bsq.transpose({1, 2, 0});
  NDArray crop = hwc.window(2, 21, 1, 18);
  for (std::size_t bytes : {std::size_t{64}, std::size_t{200}, std::size_t{1000}}) {
    for (int threads : {1, 3}) {
      const Mat73Options o{.threads = threads, .chunk_bytes = bytes};
      const auto chunk = mat73_chunk_dims(crop, o);
      ASSERT_EQ(chunk.size(), 3u);
      std::uint64_t chunk_bytes = 2;
      for (auto c : chunk) chunk_bytes *= c;
      EXPECT_LE(chunk_bytes, bytes);
      expect_roundtrip<std::uint16_t>(crop, MAT_C_UINT16, o);
      expect_roundtrip<std::uint16_t>(hwc, MAT_C_UINT16, o);
      Mat73Options with_zlib = o;
      with_zlib.method = DeflateMethod::Zlib;
      expect_roundtrip<std::uint16_t>(crop, MAT_C_UINT16, with_zlib);
    }
  }
  // Pixel-interleaved (bands adjacent in memory), whole and cropped.
  NDArray bip = filled<std::uint16_t>({13, 11, 9}, [](auto i) { return static_cast<std::uint16_t>(i * 13 + 5); });
  for (const NDArray& v : {bip, bip.window(1, 12, 2, 10)}) {
    expect_roundtrip<std::uint16_t>(v, MAT_C_UINT16, Mat73Options{.threads = 2, .chunk_bytes = 100});
    expect_roundtrip<std::uint16_t>(v, MAT_C_UINT16, Mat73Options{.threads = 1});
  }
  // 16-byte elements through the same gather; 9 rows of 16 bytes under a
  // 100-byte bound are split evenly (5 + 4), not 6 + a mostly padded 3.
  const NDArray z = complex_cube<double>({9, 5, 3}).transpose({0, 2, 1});
  EXPECT_EQ(mat73_chunk_dims(z, Mat73Options{.threads = 2, .chunk_bytes = 100}), (std::vector<std::uint64_t>{1, 1, 5}));
  expect_complex_roundtrip<double>(z, MAT_C_DOUBLE, Mat73Options{.threads = 2, .chunk_bytes = 100});
  expect_roundtrip<std::uint64_t>(
      filled<std::uint64_t>({9, 5, 3}, [](auto i) { return std::uint64_t(i) << 40; }).transpose({2, 1, 0}),
      MAT_C_UINT64, Mat73Options{.threads = 2, .method = DeflateMethod::Zlib, .level = 9, .chunk_bytes = 100});
}

TEST(Mat73Writer, ChunksFollowBandPlanes) {
  // (height, width, bands): a plane that fits is one chunk's inner part;
  // small planes are grouped, large ones split along the width.
  NDArray small =
      NDArray::view(DType::UInt16, {145, 145, 200}, NDArray::c_strides({145, 145, 200}, 2), nullptr, nullptr);
  const auto c1 = mat73_chunk_dims(small);
  EXPECT_EQ(c1[1], 145u);
  EXPECT_EQ(c1[2], 145u);
  EXPECT_GT(c1[0], 1u);
  EXPECT_LE(c1[0] * 145 * 145 * 2, std::uint64_t{1} << 20);

  NDArray big =
      NDArray::view(DType::UInt16, {4000, 3000, 300}, NDArray::c_strides({4000, 3000, 300}, 2), nullptr, nullptr);
  const auto c2 = mat73_chunk_dims(big);
  EXPECT_EQ(c2[0], 1u);
  EXPECT_EQ(c2[2], 4000u);
  EXPECT_LE(c2[1] * 4000 * 2, std::uint64_t{4} << 20);
  EXPECT_GE(c2[1] * 4000 * 2, std::uint64_t{2} << 20);
}

TEST(Mat73Writer, EmptyArraysKeepTheirDimensions) {
  TempDir dir;
  write_mat73(dir / "e.mat", "e", NDArray::allocate(DType::Float32, {0, 5, 3}));
  MatRead r(dir / "e.mat", "e");
  ASSERT_NE(r.var, nullptr);
  EXPECT_EQ(r.dims(), (std::vector<std::int64_t>{0, 5, 3}));
  EXPECT_EQ(r.var->class_type, MAT_C_SINGLE);

  write_mat73(dir / "e1.mat", "e", NDArray::allocate(DType::Int32, {0}));
  MatRead r1(dir / "e1.mat", "e");
  ASSERT_NE(r1.var, nullptr);
  EXPECT_EQ(r1.dims(), (std::vector<std::int64_t>{0, 0}));
}

TEST(Mat73Writer, HeaderInTheUserBlock) {
  TempDir dir;
  write_mat73(dir / "h.mat", "data", filled<std::uint8_t>({2, 2}, [](auto i) { return std::uint8_t(i); }));
  const std::string bytes = test::read_file(dir / "h.mat");
  ASSERT_GT(bytes.size(), 520u);
  const std::string text = bytes.substr(0, 116);
  EXPECT_EQ(text.rfind("MATLAB 7.3 MAT-file, Platform: GLNXA64, Created on: ", 0), 0u) << text;
  const auto end = text.find(" HDF5 schema 1.00 .");
  ASSERT_NE(end, std::string::npos) << text;
  // "Www Mmm dd hh:mm:ss yyyy" between the two.
  EXPECT_EQ(end - std::strlen("MATLAB 7.3 MAT-file, Platform: GLNXA64, Created on: "), 24u);
  EXPECT_EQ(text.find_first_not_of(' ', end + std::strlen(" HDF5 schema 1.00 .")), std::string::npos);
  EXPECT_EQ(bytes.substr(116, 8), std::string(8, '\0'));
  EXPECT_EQ(bytes.substr(124, 4), std::string("\x00\x02IM", 4));
  EXPECT_EQ(bytes.substr(128, 384), std::string(384, '\0'));
  EXPECT_EQ(bytes.substr(512, 8), std::string("\x89HDF\r\n\x1a\n", 8));
}

TEST(Mat73Writer, AttributesAsH5pySeesThem) {
  const std::string py = test::system_python_with("h5py, numpy");
  if (py.empty()) GTEST_SKIP() << "no /usr/bin/python3 with h5py; h5py readback not checked";
  TempDir dir;
  write_mat73(dir / "a.mat", "data",
              filled<std::int16_t>({4, 6, 3}, [](auto i) { return std::int16_t(i - 20); }).transpose({1, 0, 2}),
              Mat73Options{.threads = 2, .chunk_bytes = 64});
  NDArray flags = filled<std::uint8_t>({3, 2}, [](auto i) { return std::uint8_t(i & 1); });
  write_mat73(dir / "b.mat", "gt",
              NDArray::view(DType::Bool, flags.shape(), flags.strides(), flags.mutable_data(), flags.keep_alive()));
  write_mat73(dir / "c.mat", "z",
              filled<std::complex<float>>({2, 3}, [](auto i) { return std::complex<float>(i, -i); }));
  write_mat73(dir / "d.mat", "e", NDArray::allocate(DType::UInt8, {0, 4}));
  const std::string script = R"(
import sys, h5py, numpy as np
def show(path):
    with h5py.File(path, 'r') as f:
        for name, d in f.items():
            attrs = {k: (v.decode() if isinstance(v, bytes) else int(v)) for k, v in d.attrs.items()}
            t = f[name].id.get_type()
            cls = d.attrs.get_id('MATLAB_class').get_type()
            print(name, d.shape, d.dtype, d.chunks, d.compression, sorted(attrs.items()), cls.get_size(),
                  np.asarray(d[()]).tolist() if d.size < 30 else
                  np.array_equal(d[()], (np.arange(72).reshape(4, 6, 3) - 20).transpose(1, 0, 2).T),
                  f.userblock_size)
for p in sys.argv[1:]:
    show(p)
)";
  const auto r = test::run_program({py, "-c", script, dir / "a.mat", dir / "b.mat", dir / "c.mat", dir / "d.mat"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < r.out.size();) {
    const auto nl = r.out.find('\n', at);
    lines.push_back(r.out.substr(at, nl - at));
    at = nl == std::string::npos ? r.out.size() : nl + 1;
  }
  ASSERT_EQ(lines.size(), 4u) << r.out;
  // h5py sees MATLAB's (6, 4, 3) reversed, holding the view's values.
  EXPECT_EQ(lines[0], "data (3, 4, 6) int16 (1, 4, 6) gzip [('MATLAB_class', 'int16')] 5 True 512") << lines[0];
  EXPECT_EQ(lines[1],
            "gt (2, 3) uint8 (2, 3) gzip [('MATLAB_class', 'logical'), ('MATLAB_int_decode', 1)] 7 "
            "[[0, 0, 0], [1, 1, 1]] 512")
      << lines[1];
  EXPECT_EQ(lines[2].rfind("z (3, 2) [('real', '<f4'), ('imag', '<f4')] (3, 2) gzip [('MATLAB_class', 'single')] 6", 0),
            0u)
      << lines[2];
  EXPECT_EQ(lines[3], "e (2,) uint64 None None [('MATLAB_class', 'uint8'), ('MATLAB_empty', 1)] 5 [0, 4] 512")
      << lines[3];
}

std::vector<std::string> folder_entries(const std::string& path) {
  std::vector<std::string> names;
  if (DIR* d = opendir(path.c_str())) {
    while (dirent* e = readdir(d))
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(Mat73Writer, AtomicReplaceAndNoLeftoversOnFailure) {
  TempDir dir;
  const NDArray a = filled<float>({3, 3}, [](auto i) { return float(i); });
  test::write_file(dir / "out.mat", "old contents");
  write_mat73(dir / "out.mat", "x", a);
  EXPECT_EQ(folder_entries(dir.path()), std::vector<std::string>{"out.mat"});
  MatRead r(dir / "out.mat", "x");
  ASSERT_NE(r.var, nullptr);

  // Refused names never create anything.
  EXPECT_THROW(write_mat73(dir / "n.mat", "a/b", a), BadInputError);
  EXPECT_THROW(write_mat73(dir / "n.mat", "", a), BadInputError);
  EXPECT_THROW(write_mat73(dir / "missing/n.mat", "x", a), NotFoundError);

  // The file is complete when renaming onto a non-empty folder fails: the
  // temporary must still go.
  ASSERT_EQ(::mkdir((dir / "busy.mat").c_str(), 0755), 0);
  test::write_file(dir / "busy.mat/keep", "x");
  try {
    write_mat73(dir / "busy.mat", "x", a);
    ADD_FAILURE() << "renaming onto a non-empty folder succeeded";
  } catch (const WriteError& e) {
    EXPECT_NE(std::string(e.what()).find("busy.mat"), std::string::npos) << e.what();
  }
  EXPECT_EQ(folder_entries(dir.path()), (std::vector<std::string>{"busy.mat", "out.mat"}));
}

}  // namespace
}  // namespace vexil::output
