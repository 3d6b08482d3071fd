// MAT-file Level 5 writer: exact element bytes, readback through matio for
// every element type and view kind, chunked and multi-threaded streams, size
// limits, and atomic replacement on failure.
#include <gtest/gtest.h>
#include <matio.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <complex>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>

#include <fmt/format.h>

#include "formats/envi/envi_format.hpp"
#include "io/mapped_file.hpp"
#include "vexil/errors.hpp"
#include "output/atomic_file.hpp"
#include "output/column_gather.hpp"
#include "output/mat5_writer.hpp"
#include "support/test_util.hpp"

using namespace vexil;
using namespace vexil::output;
using vexil::test::TempDir;

namespace {

std::string inflate_all(const std::string& z) {
  z_stream zs{};
  EXPECT_EQ(inflateInit(&zs), Z_OK);
  std::string out;
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(z.data()));
  zs.avail_in = static_cast<uInt>(z.size());
  char buf[65536];
  int rc;
  do {
    zs.next_out = reinterpret_cast<Bytef*>(buf);
    zs.avail_out = sizeof buf;
    rc = inflate(&zs, Z_NO_FLUSH);
    out.append(buf, sizeof buf - zs.avail_out);
  } while (rc == Z_OK);
  EXPECT_EQ(rc, Z_STREAM_END) << "the compressed element is not one complete zlib stream";
  EXPECT_EQ(zs.avail_in, 0u) << "bytes after the end of the zlib stream";
  inflateEnd(&zs);
  return out;
}

std::uint32_t u32_at(const std::string& s, std::size_t off) {
  std::uint32_t v;
  std::memcpy(&v, s.data() + off, 4);
  return v;
}

// The decompressed miMATRIX element of a file holding one variable, after
// checking the file frame around it.
std::string element_of(const std::string& path) {
  const std::string f = vexil::test::read_file(path);
  EXPECT_GE(f.size(), 136u);
  if (f.size() < 136) return {};
  EXPECT_EQ(f.substr(0, 49), "MATLAB 5.0 MAT-file Platform: posix, Created on: ");
  EXPECT_EQ(f.substr(116, 8), std::string(8, '\0'));
  EXPECT_EQ(f.substr(124, 4), std::string("\x00\x01IM", 4));
  EXPECT_EQ(u32_at(f, 128), 15u);
  EXPECT_EQ(u32_at(f, 132), f.size() - 136) << "compressed byte count not patched";
  return inflate_all(f.substr(136));
}

std::string hex(const std::string& bytes) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (unsigned char c : bytes) {
    s.push_back(d[c >> 4]);
    s.push_back(d[c & 15]);
  }
  return s;
}

std::string unspace(std::string s) {
  std::erase(s, ' ');
  return s;
}

template <class T>
NDArray array_of(Shape shape, std::initializer_list<T> values) {
  NDArray a = NDArray::allocate(dtype_of_v<T>, std::move(shape));
  std::size_t i = 0;
  for (T v : values) std::memcpy(a.mutable_data() + i++ * sizeof(T), &v, sizeof(T));
  return a;
}

// A deterministic value for the element with C-order position `i`.
template <class T>
T value_for(std::int64_t i) {
  if constexpr (std::is_same_v<T, bool>) {
    return i % 3 == 0;
  } else if constexpr (std::is_same_v<T, std::complex<float>> || std::is_same_v<T, std::complex<double>>) {
    using R = typename T::value_type;
    return T(static_cast<R>(i) * R(0.5), -static_cast<R>(i) - R(0.25));
  } else if constexpr (std::is_floating_point_v<T>) {
    return static_cast<T>(i) * T(0.75) - T(3);
  } else if constexpr (std::is_signed_v<T>) {
    return static_cast<T>((i * 37 + 11) % 251 - 125);
  } else {
    return static_cast<T>((i * 53 + 7) % 256);
  }
}

NDArray filled(DType t, Shape shape) {
  NDArray a = NDArray::allocate(t, std::move(shape));
  visit_dtype(t, [&](auto tag) {
    using T = decltype(tag);
    for (std::int64_t i = 0; i < a.size(); ++i) {
      const T v = value_for<T>(i);
      std::memcpy(a.mutable_data() + i * sizeof(T), &v, sizeof(T));
    }
  });
  return a;
}

// The array's bytes in column-major order, computed the slow obvious way.
std::string column_major_bytes(const NDArray& a, int part = 0) {
  const std::size_t item = is_complex(a.dtype()) ? a.itemsize() / 2 : a.itemsize();
  const int nd = a.ndim();
  std::string out;
  std::vector<std::int64_t> idx(nd, 0);
  for (std::int64_t n = 0; n < a.size(); ++n) {
    std::int64_t rest = n;
    for (int k = 0; k < nd; ++k) {
      idx[k] = rest % a.shape()[k];
      rest /= a.shape()[k];
    }
    const auto* p = reinterpret_cast<const char*>(a.data() + a.offset_of(idx.data())) + part * item;
    out.append(p, item);
  }
  return out;
}

struct MatVar {
  mat_t* mat = nullptr;
  matvar_t* var = nullptr;
  explicit MatVar(const std::string& path) {
    mat = Mat_Open(path.c_str(), MAT_ACC_RDONLY);
    if (mat) var = Mat_VarReadNext(mat);
  }
  ~MatVar() {
    if (var) Mat_VarFree(var);
    if (mat) Mat_Close(mat);
  }
};

matio_classes expected_class(DType t) {
  switch (t) {
    case DType::Bool:
    case DType::UInt8: return MAT_C_UINT8;
    case DType::Int8: return MAT_C_INT8;
    case DType::Int16: return MAT_C_INT16;
    case DType::UInt16: return MAT_C_UINT16;
    case DType::Int32: return MAT_C_INT32;
    case DType::UInt32: return MAT_C_UINT32;
    case DType::Int64: return MAT_C_INT64;
    case DType::UInt64: return MAT_C_UINT64;
    case DType::Float32:
    case DType::Complex64: return MAT_C_SINGLE;
    default: return MAT_C_DOUBLE;
  }
}

// Reads `path` with matio and checks name, class, flags, dims and every value.
void expect_matio_reads(const std::string& path, const std::string& name, const NDArray& a,
                        const std::vector<std::size_t>& dims) {
  MatVar m(path);
  ASSERT_NE(m.mat, nullptr) << "matio cannot open " << path;
  ASSERT_NE(m.var, nullptr) << "matio finds no variable in " << path;
  EXPECT_STREQ(m.var->name, name.c_str());
  EXPECT_EQ(m.var->class_type, expected_class(a.dtype()));
  EXPECT_EQ(m.var->isLogical != 0, a.dtype() == DType::Bool);
  EXPECT_EQ(m.var->isComplex != 0, is_complex(a.dtype()));
  ASSERT_EQ(static_cast<std::size_t>(m.var->rank), dims.size());
  for (std::size_t k = 0; k < dims.size(); ++k) EXPECT_EQ(m.var->dims[k], dims[k]) << "dimension " << k;
  if (a.size() == 0) return;
  ASSERT_NE(m.var->data, nullptr);
  if (is_complex(a.dtype())) {
    const auto* split = static_cast<const mat_complex_split_t*>(m.var->data);
    const std::string re = column_major_bytes(a, 0), im = column_major_bytes(a, 1);
    EXPECT_EQ(std::memcmp(split->Re, re.data(), re.size()), 0) << "real parts differ";
    EXPECT_EQ(std::memcmp(split->Im, im.data(), im.size()), 0) << "imaginary parts differ";
  } else {
    const std::string want = column_major_bytes(a);
    EXPECT_EQ(std::memcmp(m.var->data, want.data(), want.size()), 0) << "values differ";
  }
}

// The folder's entries, sorted, each followed by a space.
std::string dir_listing(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  std::string s;
  for (const auto& n : names) s += n + " ";
  return s;
}

}  // namespace

TEST(Mat5Element, MatchesReferenceBytes) {
  TempDir tmp;
  struct Case {
    std::string name;
    NDArray array;
    std::string hex;
  };
  std::vector<Case> cases = {
      {"gt", array_of<std::uint8_t>({2, 2}, {1, 2, 3, 4}),
       "0e00000030000000 0600000008000000 0900000000000000 0500000008000000 0200000002000000 0100020067740000 "
       "0200040001030204"},
      {"gt", array_of<bool>({2, 2}, {true, false, false, true}),
       "0e00000030000000 0600000008000000 0902000000000000 0500000008000000 0200000002000000 0100020067740000 "
       "0200040001000001"},
      {"data", array_of<std::int16_t>({3}, {5, -6, 7}),
       "0e00000038000000 0600000008000000 0a00000000000000 0500000008000000 0100000003000000 0100040064617461 "
       "0300000006000000 0500faff07000000"},
      {"data", array_of<double>({}, {2.5}),
       "0e00000038000000 0600000008000000 0600000000000000 0500000008000000 0100000001000000 0100040064617461 "
       "0900000008000000 0000000000000440"},
      {"data", NDArray::allocate(DType::Float32, {0}),
       "0e00000030000000 0600000008000000 0700000000000000 0500000008000000 0000000000000000 0100040064617461 "
       "0700000000000000"},
      {"cube", array_of<std::uint16_t>({1, 2, 2}, {0, 1, 2, 3}),
       "0e00000040000000 0600000008000000 0b00000000000000 050000000c000000 0100000002000000 0200000000000000 "
       "0100040063756265 0400000008000000 0000020001000300"},
      {"data", array_of<std::complex<float>>({1}, {{1.0f, 2.0f}}),
       "0e00000038000000 0600000008000000 0708000000000000 0500000008000000 0100000001000000 0100040064617461 "
       "070004000000803f 0700040000000040"},
      {"abcdefghi", array_of<std::uint8_t>({1}, {9}),
       "0e00000040000000 0600000008000000 0900000000000000 0500000008000000 0100000001000000 0100000009000000 "
       "6162636465666768 6900000000000000 0200010009000000"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name + " " + std::string(dtype_name(c.array.dtype())) + " " + shape_str(c.array.shape()));
    const std::string path = tmp / "v.mat";
    write_mat5(path, c.name, c.array);
    EXPECT_EQ(hex(element_of(path)), unspace(c.hex));
    EXPECT_EQ(mat5_matrix_bytes(c.array, c.name) + 8, unspace(c.hex).size() / 2);
  }

  // uint16 arange(24).reshape(2, 3, 4): element [i, j, k] at i + 2j + 6k.
  NDArray a = NDArray::allocate(DType::UInt16, {2, 3, 4});
  for (std::uint16_t i = 0; i < 24; ++i) std::memcpy(a.mutable_data() + 2 * i, &i, 2);
  write_mat5(tmp / "a.mat", "data", a);
  const std::string e = element_of(tmp / "a.mat");
  ASSERT_EQ(e.size(), 112u);
  EXPECT_EQ(hex(e.substr(0, 8)), "0e00000068000000");
  EXPECT_EQ(hex(e.substr(24, 24)),
            "050000000c000000"
            "0200000003000000"
            "0400000000000000");
  EXPECT_EQ(hex(e.substr(56, 24)),
            "0400000030000000"
            "00000c0004001000"
            "0800140001000d00");
}

TEST(Mat5Readback, EveryElementTypeAndRank) {
  TempDir tmp;
  for (DType t : kAllDTypes) {
    const std::string tn(dtype_name(t));
    SCOPED_TRACE(tn);
    const NDArray cube = filled(t, {3, 4, 5});
    write_mat5(tmp / "c.mat", "cube", cube);
    expect_matio_reads(tmp / "c.mat", "cube", cube, {3, 4, 5});

    const NDArray row = filled(t, {7});
    write_mat5(tmp / "r.mat", "data", row);
    expect_matio_reads(tmp / "r.mat", "data", row, {1, 7});

    const NDArray scalar = filled(t, {});
    write_mat5(tmp / "s.mat", "x", scalar);
    expect_matio_reads(tmp / "s.mat", "x", scalar, {1, 1});
  }
  const NDArray empty1 = NDArray::allocate(DType::UInt16, {0});
  write_mat5(tmp / "e1.mat", "data", empty1);
  expect_matio_reads(tmp / "e1.mat", "data", empty1, {0, 0});
  const NDArray empty3 = NDArray::allocate(DType::Float32, {0, 5, 3});
  write_mat5(tmp / "e3.mat", "data", empty3);
  expect_matio_reads(tmp / "e3.mat", "data", empty3, {0, 5, 3});
}

TEST(Mat5Readback, StridedViewsAreWrittenAsTheirValues) {
  TempDir tmp;
  // Band-sequential storage seen as (height, width, bands), as the loaders hand it over.
  const NDArray bsq = filled(DType::UInt16, {6, 37, 29});
  const NDArray hwc = bsq.transpose({1, 2, 0});
  write_mat5(tmp / "t.mat", "data", hwc, {.threads = 2, .block_size = 1000});
  expect_matio_reads(tmp / "t.mat", "data", hwc, {37, 29, 6});

  // Pixel-interleaved storage, cropped to a window that starts mid-row.
  const NDArray bip = filled(DType::Float32, {40, 33, 7});
  const NDArray win = bip.window(3, 31, 5, 30);
  write_mat5(tmp / "w.mat", "data", win, {.threads = 2, .block_size = 1000});
  expect_matio_reads(tmp / "w.mat", "data", win, {28, 25, 7});

  // A complex transposed view: real and imaginary halves gathered separately.
  const NDArray cplx = filled(DType::Complex128, {4, 9, 11}).transpose({2, 0, 1});
  write_mat5(tmp / "z.mat", "data", cplx, {.threads = 2, .block_size = 1000});
  expect_matio_reads(tmp / "z.mat", "data", cplx, {11, 4, 9});
}

TEST(Mat5Readback, PixelInterleavedCubesGatherBandGroups) {
  TempDir tmp;
  // Small budget and tiles so a small cube spans many groups and tiles, with
  // a last group and last tile that are partial.
  ColumnGather::set_group_tuning_for_testing(50 * 37 * 2 * 5, 301);
  const NDArray bip = filled(DType::UInt16, {50, 37, 23});
  const NDArray win = filled(DType::Float32, {60, 45, 17}).window(5, 55, 2, 41);
  ASSERT_TRUE(ColumnGather(bip).uses_band_groups());
  EXPECT_EQ(ColumnGather(bip).size_bytes(), bip.nbytes());
  for (int threads : {1, 2, 3}) {
    SCOPED_TRACE(threads);
    write_mat5(tmp / "b.mat", "data", bip, {.threads = threads, .block_size = 1234});
    expect_matio_reads(tmp / "b.mat", "data", bip, {50, 37, 23});
    write_mat5(tmp / "w.mat", "data", win, {.threads = threads, .block_size = 4096});
    expect_matio_reads(tmp / "w.mat", "data", win, {50, 39, 17});
  }
  // Reads out of order (a second pass, a lagging reader) still give the right bytes.
  const ColumnGather g(bip);
  const std::string want = column_major_bytes(bip);
  std::string got(want.size(), '\0');
  for (std::uint64_t off : {std::uint64_t{40000}, std::uint64_t{0}, std::uint64_t{70000}, std::uint64_t{3}}) {
    const std::size_t n = std::min<std::size_t>(9001, want.size() - off);
    g.read(off, n, reinterpret_cast<std::byte*>(got.data()));
    EXPECT_EQ(got.substr(0, n), want.substr(off, n)) << "offset " << off;
  }
  // Read through in order, a tile is reused once all its values were copied
  // out: about one group's tiles are ever allocated, not two.
  const ColumnGather once(bip);
  for (std::uint64_t off = 0; off < want.size(); off += 1000) {
    const std::size_t n = std::min<std::size_t>(1000, want.size() - off);
    once.read(off, n, reinterpret_cast<std::byte*>(got.data()));
    ASSERT_EQ(got.substr(0, n), want.substr(off, n)) << "offset " << off;
  }
  EXPECT_LE(once.band_group_tiles(), once.tiles_per_band_group() + 1);
  ColumnGather::set_group_tuning_for_testing(0, 0);
}

// What a value tap saw: elements, and a checksum of their bytes that
// ignores their order.
struct Seen {
  std::mutex mu;
  std::int64_t elements = 0;
  std::uint64_t checksum = 0;
  void add(const NDArray& a) {
    const NDArray c = a.contiguous();
    std::uint64_t sum = 0;
    for (std::int64_t i = 0; i < c.size(); ++i) {
      std::uint64_t v = 0;
      std::memcpy(&v, c.data() + i * static_cast<std::int64_t>(c.itemsize()), std::min<std::size_t>(8, c.itemsize()));
      sum += v * v + v;
    }
    std::lock_guard lock(mu);
    elements += c.size();
    checksum += sum;
  }
};

TEST(Mat5Stream, ChunkedAndThreadedStreamsHoldTheSameElement) {
  TempDir tmp;
  const NDArray cube = filled(DType::Int16, {61, 47, 33}).transpose({2, 1, 0});
  Seen all;
  all.add(cube);
  write_mat5(tmp / "one.mat", "data", cube, {.threads = 1, .block_size = 1u << 24});
  const std::string reference = element_of(tmp / "one.mat");
  ASSERT_FALSE(reference.empty());
  struct Variant {
    int threads;
    std::size_t block;
    DeflateMethod method;
    int level;
  };
  // Block sizes that are not multiples of the element size cut elements in two.
  const std::vector<Variant> variants = {{1, 4099, DeflateMethod::Auto, -1},
                                         {2, 4099, DeflateMethod::Auto, -1},
                                         {3, 65536, DeflateMethod::Zlib, 6},
                                         {2, 777, DeflateMethod::Zlib, 1},
                                         {4, 32768, DeflateMethod::Auto, -1}};
  for (const auto& v : variants) {
    SCOPED_TRACE(fmt::format("threads={} block={} level={}", v.threads, v.block, v.level));
    Mat5Options o;
    o.threads = v.threads;
    o.block_size = v.block;
    o.method = v.method;
    o.level = v.level;
    Seen seen;
    o.value_tap = [&](const NDArray& values) { seen.add(values); };
    write_mat5(tmp / "v.mat", "data", cube, o);
    const std::string e = element_of(tmp / "v.mat");
    EXPECT_EQ(e.size(), reference.size());
    EXPECT_TRUE(e == reference) << "decompressed elements differ";
    // The tap saw every element once, those cut by a chunk's start too.
    EXPECT_EQ(seen.elements, cube.size());
    EXPECT_EQ(seen.checksum, all.checksum);
  }
  expect_matio_reads(tmp / "v.mat", "data", cube, {33, 47, 61});

  // Complex elements have their parts apart: nothing whole to hand over.
  bool tapped = false;
  write_mat5(tmp / "c.mat", "data", filled(DType::Complex64, {5, 4, 3}),
             {.block_size = 100, .value_tap = [&](const NDArray&) { tapped = true; }});
  EXPECT_FALSE(tapped);
}

TEST(Mat5Limits, RefusesWhatALevel5ElementCannotHold) {
  // Zero strides: a huge shape over one byte, never read.
  auto keep = std::make_shared<std::byte>();
  const NDArray huge = NDArray::view(DType::UInt16, {50000, 50000, 1}, {0, 0, 0}, keep.get(), keep);
  try {
    check_mat5_fits(huge, "data");
    FAIL() << "a 4.7 GiB array was accepted";
  } catch (const BadInputError& e) {
    EXPECT_NE(std::string(e.what()).find("too large for a MAT-file Level 5 variable (limit 4 GiB)"), std::string::npos)
        << e.what();
  }
  const NDArray tall = NDArray::view(DType::Bool, {std::int64_t{1} << 31, 1}, {0, 0}, keep.get(), keep);
  EXPECT_THROW(check_mat5_fits(tall, "data"), BadInputError);
  // Just below the limit is fine: 2^32 - 1 bytes of element after the tag.
  const NDArray fits = NDArray::view(DType::UInt8, {65536, 65535}, {0, 0}, keep.get(), keep);
  const std::uint64_t bytes = mat5_matrix_bytes(fits, "data");
  EXPECT_LT(bytes, std::uint64_t{1} << 32);
  EXPECT_NO_THROW(check_mat5_fits(fits, "data"));

  TempDir tmp;
  const NDArray small = filled(DType::UInt8, {2, 2});
  EXPECT_THROW(write_mat5(tmp / "a.mat", "", small), BadInputError);
  EXPECT_THROW(write_mat5(tmp / "a.mat", "_x", small), BadInputError);
  EXPECT_FALSE(vexil::test::exists(tmp / "a.mat"));
  EXPECT_EQ(dir_listing(tmp.path()), "");
}

TEST(Mat5Atomic, UnwritableDestinationLeavesNothing) {
  TempDir tmp;
  const NDArray cube = filled(DType::Float64, {16, 16, 8});
  // A path whose folder is a regular file fails for every user.
  vexil::test::write_file(tmp / "plain", "x");
  try {
    write_mat5(tmp / "plain/data.mat", "data", cube);
    ADD_FAILURE() << "writing below a regular file succeeded";
  } catch (const WriteError& e) {
    EXPECT_NE(std::string(e.what()).find("Not a directory: '" + tmp / "plain/data.mat" + "'"), std::string::npos)
        << e.what();
  }
  EXPECT_EQ(dir_listing(tmp.path()), "plain ");
}

TEST(Mat5Atomic, ReadOnlyFolderKeepsTheEarlierFile) {
  TempDir tmp;
  const NDArray cube = filled(DType::Float64, {16, 16, 8});
  const std::string path = tmp / "data.mat";
  vexil::test::write_file(path, "earlier contents");
  std::filesystem::permissions(tmp.path(), std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
  const bool privileged = access(tmp.path().c_str(), W_OK) == 0;
  if (!privileged) {
    try {
      write_mat5(path, "data", cube);
      ADD_FAILURE() << "writing into a read-only folder succeeded";
    } catch (const WriteError& e) {
      EXPECT_NE(std::string(e.what()).find("Permission denied: '" + path + "'"), std::string::npos) << e.what();
    }
  }
  std::filesystem::permissions(tmp.path(), std::filesystem::perms::owner_all);
  EXPECT_EQ(vexil::test::read_file(path), "earlier contents");
  EXPECT_EQ(dir_listing(tmp.path()), "data.mat ");
  if (privileged) GTEST_SKIP() << "folder permissions are not enforced for this user; read-only case not run";
}

TEST(Mat5Atomic, FileSizeLimitHitHalfWayKeepsTheEarlierFile) {
  TempDir tmp;
  const NDArray cube = filled(DType::Float64, {64, 64, 32});
  const std::string path = tmp / "data.mat";
  vexil::test::write_file(path, "earlier contents");
  // In a child, so the limit stays there.
  const int status = vexil::test::exit_status_with_file_size_limit(20000, [&] {
    try {
      write_mat5(path, "data", cube, {.threads = 2, .block_size = 4096});
      return 3;
    } catch (const WriteError& e) {
      return std::string(e.what()).find("File too large: '" + path + "'") != std::string::npos ? 0 : 4;
    } catch (...) {
      return 5;
    }
  });
  EXPECT_EQ(status, 0) << "3: the write succeeded, 4: wrong message, 5: wrong error kind";
  EXPECT_EQ(vexil::test::read_file(path), "earlier contents");
  EXPECT_EQ(dir_listing(tmp.path()), "data.mat ");

  // A successful write replaces the earlier file.
  write_mat5(path, "data", cube);
  expect_matio_reads(path, "data", cube, {64, 64, 32});
  EXPECT_EQ(dir_listing(tmp.path()), "data.mat ");
}

TEST(Mat5Atomic, AProgressCallbackThatThrowsStopsTheWriteAndLeavesNothing) {
  TempDir tmp;
  const std::string path = tmp / "data.mat";
  vexil::test::write_file(path, "earlier contents");
  const NDArray cube = filled(DType::UInt16, {64, 64, 32});
  Mat5Options o;
  o.threads = 2;
  o.block_size = 4096;
  int calls = 0;
  o.progress = [&](std::uint64_t, std::uint64_t) {
    if (++calls == 3) throw vexil::CancelledError();
  };
  EXPECT_THROW(write_mat5(path, "data", cube, o), vexil::CancelledError);
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(dir_listing(tmp.path()), "data.mat ");
  EXPECT_EQ(vexil::test::read_file(path), "earlier contents");
}

// ENVI cubes are views over a memory map, but the gather reads them through
// the file into its own buffers (spans with their gaps, or row by row) and
// the writer hands each chunk's dictionary on instead of reading it again:
// every interleave, crops, odd offsets and threads give the file's values,
// and a file cut short under the view is caught by the saving step's check.
TEST(ColumnGather, MappedEnviViewsAreReadThroughTheFile) {
  TempDir tmp;
  struct Case {
    const char* interleave;
    int lines, samples, bands, type;
  };
  // The last case has 16 KiB rows far apart: read row by row.
  for (const Case c : {Case{"bsq", 70, 90, 13, 12}, Case{"bil", 64, 33, 9, 4}, Case{"bip", 40, 50, 21, 2},
                       Case{"bil", 130, 16400, 3, 1}}) {
    SCOPED_TRACE(c.interleave);
    const std::size_t item = c.type == 1 ? 1 : c.type == 4 ? 4 : 2;
    std::string bytes(static_cast<std::size_t>(c.lines) * c.samples * c.bands * item, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 2654435761u) >> 13);
    test::write_file(tmp / "c.img", bytes);
    test::write_file(tmp / "c.hdr", fmt::format("ENVI\nsamples = {}\nlines = {}\nbands = {}\ndata type = {}\n"
                                                "interleave = {}\nbyte order = 0\n",
                                                c.samples, c.lines, c.bands, c.type, c.interleave));
    const NDArray cube = formats::envi::load_envi(tmp / "c.hdr").data;
    for (const NDArray& view : {cube, cube.window(3, c.lines - 2, 1, c.samples - 5)}) {
      const std::string want = column_major_bytes(view.contiguous(true));
      const ColumnGather g(view);
      std::string got(want.size(), '\0');
      g.read(0, want.size(), reinterpret_cast<std::byte*>(got.data()));
      ASSERT_TRUE(got == want);
      for (std::uint64_t off : {std::uint64_t{1}, std::uint64_t{item * 7}, std::uint64_t{want.size() / 3 + 1}}) {
        const std::size_t n = std::min<std::size_t>(5000, want.size() - off);
        g.read(off, n, reinterpret_cast<std::byte*>(got.data()));
        ASSERT_EQ(got.substr(0, n), want.substr(off, n)) << "offset " << off;
      }
      for (int threads : {1, 2}) {
        write_mat5(tmp / "m.mat", "data", view, {.threads = threads, .block_size = 20000});
        expect_matio_reads(tmp / "m.mat", "data", view.contiguous(true),
                           {static_cast<std::size_t>(view.shape()[0]), static_cast<std::size_t>(view.shape()[1]),
                            static_cast<std::size_t>(view.shape()[2])});
      }
    }
  }
  // Cut short: zeros where the file lost its bytes, and the check names it.
  const NDArray cube = formats::envi::load_envi(tmp / "c.hdr").data;
  ASSERT_EQ(::truncate((tmp / "c.img").c_str(), 4096), 0);
  std::string got(static_cast<std::size_t>(cube.nbytes()), '\0');
  ColumnGather(cube).read(0, got.size(), reinterpret_cast<std::byte*>(got.data()));
  EXPECT_THROW(io::check_mapping_intact(cube.keep_alive()), ReadError);
}
