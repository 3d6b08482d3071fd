// HDF5 loader and attribute conversion, on files built here with the C API.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vexil/errors.hpp"
#include "formats/detect.hpp"
#include "formats/hdf5/hdf5_format.hpp"

using vexil::formats::hdf5::load_hdf5;

#ifdef VEXIL_HAVE_HDF5

#include <hdf5.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <complex>
#include <cstring>
#include <limits>
#include <numeric>
#include <tuple>

#include <fmt/format.h>

#include "formats/hdf5/hdf5_storage.hpp"
#include "io/mapped_file.hpp"
#include "io/paths.hpp"
#include "support/recording_reporter.hpp"
#include "support/test_util.hpp"

namespace {

using vexil::DType;
using vexil::Metadata;
using vexil::test::error_of;
using vexil::test::TempDir;

// --- file building helpers -------------------------------------------------

struct H5 {
  hid_t id;
  H5(const std::string& path, bool track_order = false, hsize_t userblock = 0) {
    hid_t fcpl = H5Pcreate(H5P_FILE_CREATE);
    if (userblock) H5Pset_userblock(fcpl, userblock);
    if (track_order) {
      H5Pset_link_creation_order(fcpl, H5P_CRT_ORDER_TRACKED | H5P_CRT_ORDER_INDEXED);
      H5Pset_attr_creation_order(fcpl, H5P_CRT_ORDER_TRACKED | H5P_CRT_ORDER_INDEXED);
    }
    id = H5Fcreate(path.c_str(), H5F_ACC_TRUNC, fcpl, H5P_DEFAULT);
    H5Pclose(fcpl);
    EXPECT_GE(id, 0);
  }
  ~H5() { H5Fclose(id); }
};

hid_t simple_space(const std::vector<hsize_t>& dims) {
  if (dims.empty()) return H5Screate(H5S_SCALAR);
  return H5Screate_simple(static_cast<int>(dims.size()), dims.data(), nullptr);
}

void make_group(hid_t loc, const char* name) {
  hid_t lcpl = H5Pcreate(H5P_LINK_CREATE);
  H5Pset_create_intermediate_group(lcpl, 1);
  hid_t g = H5Gcreate2(loc, name, lcpl, H5P_DEFAULT, H5P_DEFAULT);
  ASSERT_GE(g, 0);
  H5Gclose(g);
  H5Pclose(lcpl);
}

// Creates a dataset (intermediate groups too) and writes `data` when given.
hid_t dataset(hid_t loc, const char* name, hid_t file_type, const std::vector<hsize_t>& dims, hid_t mem_type = -1,
              const void* data = nullptr, hid_t dcpl = H5P_DEFAULT) {
  hid_t space = simple_space(dims);
  hid_t lcpl = H5Pcreate(H5P_LINK_CREATE);
  H5Pset_create_intermediate_group(lcpl, 1);
  hid_t ds = H5Dcreate2(loc, name, file_type, space, lcpl, dcpl, H5P_DEFAULT);
  EXPECT_GE(ds, 0) << name;
  if (data) {
    EXPECT_GE(H5Dwrite(ds, mem_type, H5S_ALL, H5S_ALL, H5P_DEFAULT, data), 0) << name;
  }
  H5Pclose(lcpl);
  H5Sclose(space);
  return ds;
}

void put(hid_t loc, const char* name, hid_t file_type, const std::vector<hsize_t>& dims, hid_t mem_type,
         const void* data, hid_t dcpl = H5P_DEFAULT) {
  H5Dclose(dataset(loc, name, file_type, dims, mem_type, data, dcpl));
}

template <class T>
void put_iota(hid_t loc, const char* name, hid_t type, const std::vector<hsize_t>& dims) {
  std::size_t n = 1;
  for (auto d : dims) n *= d;
  std::vector<T> v(n);
  std::iota(v.begin(), v.end(), T{0});
  put(loc, name, type, dims, type, v.data());
}

void attr(hid_t obj, const char* name, hid_t type, const std::vector<hsize_t>& dims, const void* data,
          hid_t mem_type = -1) {
  hid_t space = simple_space(dims);
  hid_t a = H5Acreate2(obj, name, type, space, H5P_DEFAULT, H5P_DEFAULT);
  ASSERT_GE(a, 0) << name;
  if (data) {
    EXPECT_GE(H5Awrite(a, mem_type < 0 ? type : mem_type, data), 0) << name;
  }
  H5Aclose(a);
  H5Sclose(space);
}

hid_t bool_enum() {
  hid_t t = H5Tenum_create(H5T_NATIVE_INT8);
  signed char f = 0, tr = 1;
  H5Tenum_insert(t, "FALSE", &f);
  H5Tenum_insert(t, "TRUE", &tr);
  return t;
}

hid_t complex_type(hid_t part, const char* re = "r", const char* im = "i") {
  const std::size_t s = H5Tget_size(part);
  hid_t t = H5Tcreate(H5T_COMPOUND, 2 * s);
  H5Tinsert(t, re, 0, part);
  H5Tinsert(t, im, s, part);
  return t;
}

hid_t fixed_string(std::size_t size, H5T_str_t pad = H5T_STR_NULLPAD) {
  hid_t t = H5Tcopy(H5T_C_S1);
  H5Tset_size(t, size);
  H5Tset_strpad(t, pad);
  return t;
}

hid_t vlen_string() {
  hid_t t = H5Tcopy(H5T_C_S1);
  H5Tset_size(t, H5T_VARIABLE);
  H5Tset_cset(t, H5T_CSET_UTF8);
  return t;
}

std::vector<std::string> keys(const Metadata& m) {
  std::vector<std::string> k;
  for (auto it = m.begin(); it != m.end(); ++it) k.push_back(it.key());
  return k;
}

// --- dataset choice, shapes, specifiers ----------------------------------

TEST(Hdf5Loader, PicksLargestDatasetAndListsAllInVisitOrder) {
  TempDir dir;
  const std::string path = dir / "cube.h5";
  {
    H5 f(path);
    put_iota<std::uint16_t>(f.id, "gt", H5T_NATIVE_UINT16, {15, 15});
    put_iota<std::uint16_t>(f.id, "cube", H5T_NATIVE_UINT16, {15, 15, 20});
  }
  auto r = load_hdf5(path);
  EXPECT_EQ(r.data.shape(), (vexil::Shape{15, 15, 20}));  // 15 is not smaller than 15
  EXPECT_EQ(r.data.dtype(), DType::UInt16);
  EXPECT_EQ(r.data.at<std::uint16_t>({1, 2, 3}), (1 * 15 + 2) * 20 + 3);
  EXPECT_EQ(keys(r.meta), (std::vector<std::string>{"available_datasets", "dataset_used", "stored_layout",
                                                    "layout_source", "_source_format", "_source_file"}));
  EXPECT_EQ(r.meta["stored_layout"], "hwb");
  EXPECT_EQ(r.meta["layout_source"], "size rule");
  EXPECT_EQ(r.meta["available_datasets"].dump(), R"({"cube":[15,15,20],"gt":[15,15]})");
  EXPECT_EQ(r.meta["dataset_used"], "cube");
  EXPECT_EQ(r.meta["_source_format"], "HDF5");
  EXPECT_EQ(r.meta["_source_file"], vexil::io::abspath(path));
}

TEST(Hdf5Loader, VisitOrderNestedGroupsLinksAndSpecialSpaces) {
  TempDir dir;
  const std::string path = dir / "tree.h5";
  {
    H5 f(path);
    put_iota<float>(f.id, "zeta", H5T_NATIVE_FLOAT, {2, 3});
    put_iota<float>(f.id, "Beta/inner", H5T_NATIVE_FLOAT, {5});
    put_iota<float>(f.id, "alpha", H5T_NATIVE_FLOAT, {4});
    put_iota<float>(f.id, "_under", H5T_NATIVE_FLOAT, {});
    put_iota<float>(f.id, "B2", H5T_NATIVE_FLOAT, {1});
    put_iota<float>(f.id, "a/b/c/deep", H5T_NATIVE_FLOAT, {2, 2, 2});
    put_iota<float>(f.id, "zerolen", H5T_NATIVE_FLOAT, {0, 3});
    hid_t nul = H5Screate(H5S_NULL);
    H5Dclose(H5Dcreate2(f.id, "empty", H5T_NATIVE_FLOAT, nul, H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
    H5Sclose(nul);
    H5Lcreate_hard(f.id, "zeta", f.id, "hardlink_to_zeta", H5P_DEFAULT, H5P_DEFAULT);
    H5Lcreate_hard(f.id, "alpha", f.id, "Beta/link_back_to_alpha", H5P_DEFAULT, H5P_DEFAULT);
    H5Lcreate_soft("/alpha", f.id, "soft", H5P_DEFAULT, H5P_DEFAULT);
    H5Lcreate_soft("/nowhere", f.id, "dangling", H5P_DEFAULT, H5P_DEFAULT);
  }
  auto r = load_hdf5(path);
  EXPECT_EQ(keys(r.meta["available_datasets"]),
            (std::vector<std::string>{"B2", "Beta/inner", "Beta/link_back_to_alpha", "_under", "a/b/c/deep", "empty",
                                      "hardlink_to_zeta", "zerolen"}));
  EXPECT_EQ(r.meta["available_datasets"]["_under"].dump(), "[]");
  EXPECT_EQ(r.meta["available_datasets"]["empty"].dump(), "[]");
  EXPECT_EQ(r.meta["available_datasets"]["zerolen"].dump(), "[0,3]");
  // 8 elements of a/b/c/deep beat 6 of hardlink_to_zeta; the null space is never chosen.
  EXPECT_EQ(r.meta["dataset_used"], "a/b/c/deep");
  EXPECT_EQ(r.data.shape(), (vexil::Shape{2, 2, 2}));

  // Membership: the forms h5py accepts, and the ones it refuses.
  for (const char* name : {"zeta", "/zeta", "zeta/", "//zeta", "./zeta", "Beta//inner", "soft"}) {
    auto n = load_hdf5(path + "::" + name);
    EXPECT_EQ(n.meta["dataset_used"], name);
    EXPECT_FALSE(n.data.empty()) << name;
  }
  EXPECT_EQ(load_hdf5(path + "::/zeta").data.at<float>({1, 2}), 5.0f);
  for (const char* name : {"ZETA", "zeta/x", "Beta/../zeta", "nothere/x"}) {
    EXPECT_THROW(load_hdf5(path + "::" + name), vexil::MissingKeyError) << name;
  }
  // A dangling link passes the membership test; opening it fails with HDF5's reason.
  try {
    load_hdf5(path + "::dangling");
    ADD_FAILURE() << "dangling link read";
  } catch (const vexil::MissingKeyError& e) {
    EXPECT_STREQ(e.what(), "Unable to open object (component not found)");
  }
  {
    std::string msg = error_of([&] { load_hdf5(path + "::Beta"); });
    EXPECT_NE(msg.find("'Beta' in " + path + " is a group, not a dataset"), std::string::npos) << msg;
  }
  // Scalar and null-space datasets named explicitly.
  auto s = load_hdf5(path + "::_under");
  EXPECT_EQ(s.data.ndim(), 0);
  EXPECT_EQ(s.data.size(), 1);
  std::string msg = error_of([&] { load_hdf5(path + "::empty"); });
  EXPECT_NE(msg.find("null dataspace"), std::string::npos) << msg;
  auto z = load_hdf5(path + ":/zerolen");
  EXPECT_EQ(z.data.shape(), (vexil::Shape{0, 3}));
}

TEST(Hdf5Loader, ChwTurnsOnlyWhenBandsAreFewest) {
  TempDir dir;
  const std::string path = dir / "shapes.h5";
  {
    H5 f(path);
    put_iota<std::int32_t>(f.id, "chw", H5T_NATIVE_INT32, {4, 5, 6});
    put_iota<std::int32_t>(f.id, "hwc", H5T_NATIVE_INT32, {6, 5, 4});
    put_iota<std::int32_t>(f.id, "equal", H5T_NATIVE_INT32, {4, 4, 6});
    put_iota<std::int32_t>(f.id, "flat", H5T_NATIVE_INT32, {3, 9});
    put_iota<std::int32_t>(f.id, "four", H5T_NATIVE_INT32, {1, 2, 3, 4});
    put_iota<std::int32_t>(f.id, "scalar", H5T_NATIVE_INT32, {});
  }
  auto r = load_hdf5(path + ":/chw");
  EXPECT_EQ(r.data.shape(), (vexil::Shape{5, 6, 4}));
  EXPECT_EQ(r.meta["_transposed"], "CHW \u2192 HWC");
  EXPECT_EQ(keys(r.meta), (std::vector<std::string>{"available_datasets", "dataset_used", "stored_layout",
                                                    "layout_source", "_transposed", "_source_format", "_source_file"}));
  EXPECT_EQ(r.meta["stored_layout"], "bhw");
  for (std::int64_t c = 0; c < 4; ++c)
    for (std::int64_t y = 0; y < 5; ++y)
      for (std::int64_t x = 0; x < 6; ++x) ASSERT_EQ(r.data.at<std::int32_t>({y, x, c}), (c * 5 + y) * 6 + x);

  struct Case {
    const char* name;
    vexil::Shape shape;
  };
  for (const Case& c : {Case{"hwc", {6, 5, 4}}, Case{"equal", {4, 4, 6}}, Case{"flat", {3, 9}},
                        Case{"four", {1, 2, 3, 4}}, Case{"scalar", {}}}) {
    auto k = load_hdf5(path + ":/" + c.name);
    EXPECT_EQ(k.data.shape(), c.shape) << c.name;
    EXPECT_FALSE(k.meta.contains("_transposed")) << c.name;
  }
  EXPECT_EQ(load_hdf5(path + ":/four").data.at<std::int32_t>({0, 1, 2, 3}), 23);
}

TEST(Hdf5Loader, TiesGoToTheFirstVisited) {
  TempDir dir;
  const std::string path = dir / "tie.h5";
  {
    H5 f(path);
    put_iota<double>(f.id, "b", H5T_NATIVE_DOUBLE, {20, 10});
    put_iota<double>(f.id, "a", H5T_NATIVE_DOUBLE, {10, 20});
  }
  EXPECT_EQ(load_hdf5(path).meta["dataset_used"], "a");
}

TEST(Hdf5Loader, SpecifierFormsAndUrlLikePaths) {
  TempDir dir;
  mkdir((dir / "a:").c_str(), 0755);
  const std::string path = dir / "a:/cube.h5";
  {
    H5 f(path);
    put_iota<std::uint8_t>(f.id, "radiance", H5T_NATIVE_UINT8, {2, 3});
    put_iota<std::uint8_t>(f.id, "grp/radiance", H5T_NATIVE_UINT8, {3, 3});
  }
  auto plain = load_hdf5(path + ":/radiance");
  EXPECT_EQ(plain.meta["dataset_used"], "radiance");
  EXPECT_EQ(plain.data.shape(), (vexil::Shape{2, 3}));
  auto nested = load_hdf5(path + "::/grp/radiance");
  EXPECT_EQ(nested.meta["dataset_used"], "/grp/radiance");
  EXPECT_EQ(nested.data.shape(), (vexil::Shape{3, 3}));
  EXPECT_EQ(nested.meta["_source_file"], vexil::io::abspath(path));

  // "a://cube.h5" holds "://": only "::" may carry a dataset there.
  const std::string url_like = dir / "a://cube.h5";
  auto url = load_hdf5(url_like + "::grp/radiance");
  EXPECT_EQ(url.meta["dataset_used"], "grp/radiance");
  EXPECT_EQ(url.meta["_source_file"], vexil::io::abspath(url_like));
  EXPECT_EQ(load_hdf5(url_like).meta["dataset_used"], "grp/radiance");
}

TEST(Hdf5Loader, MissingDatasetsAndGroupOnlyFiles) {
  TempDir dir;
  const std::string path = dir / "cube.h5";
  {
    H5 f(path);
    put_iota<float>(f.id, "cube", H5T_NATIVE_FLOAT, {2, 2});
    put_iota<float>(f.id, "gt", H5T_NATIVE_FLOAT, {2});
  }
  try {
    load_hdf5(path + ":/radiance");
    ADD_FAILURE();
  } catch (const vexil::MissingKeyError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Dataset 'radiance' not found in " + path + ".\nAvailable datasets: ['cube', 'gt']");
  }
  const std::string groups = dir / "groups.h5";
  {
    H5 f(groups);
    make_group(f.id, "x/y");
    hid_t nul = H5Screate(H5S_NULL);
    H5Dclose(H5Dcreate2(f.id, "nothing", H5T_NATIVE_FLOAT, nul, H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
    H5Sclose(nul);
  }
  try {
    load_hdf5(groups);
    ADD_FAILURE();
  } catch (const vexil::BadInputError& e) {
    EXPECT_EQ(std::string(e.what()), "No datasets found in " + groups);
  }
  const std::string bare = dir / "bare.h5";
  {
    H5 f(bare);
    make_group(f.id, "g");
  }
  try {
    load_hdf5(bare + "::missing");
    ADD_FAILURE();
  } catch (const vexil::MissingKeyError& e) {
    EXPECT_EQ(std::string(e.what()), "Dataset 'missing' not found in " + bare + ".\nAvailable datasets: []");
  }
}

// --- element types -------------------------------------------------------

TEST(Hdf5Loader, ElementTypesStorageLayoutsAndByteOrder) {
  TempDir dir;
  const std::string path = dir / "types.h5";
  {
    H5 f(path);
    std::vector<float> fv(6 * 8 * 5);
    std::iota(fv.begin(), fv.end(), 0.5f);
    put(f.id, "f32be", H5T_IEEE_F32BE, {6, 8, 5}, H5T_NATIVE_FLOAT, fv.data());
    std::vector<std::int16_t> iv = {-300, 2, 3, 4, 5, 30000};
    put(f.id, "i16be", H5T_STD_I16BE, {2, 3}, H5T_NATIVE_INT16, iv.data());
    std::vector<std::uint64_t> uv = {std::numeric_limits<std::uint64_t>::max(), 1};
    put(f.id, "u64", H5T_STD_U64LE, {2}, H5T_NATIVE_UINT64, uv.data());

    hid_t dcpl = H5Pcreate(H5P_DATASET_CREATE);
    hsize_t chunk[3] = {3, 4, 5};
    H5Pset_chunk(dcpl, 3, chunk);
    H5Pset_shuffle(dcpl);
    H5Pset_deflate(dcpl, 6);
    put(f.id, "deflated", H5T_NATIVE_FLOAT, {6, 8, 5}, H5T_NATIVE_FLOAT, fv.data(), dcpl);
    H5Pclose(dcpl);

    hid_t half = H5Tcopy(H5T_IEEE_F32LE);
    H5Tset_fields(half, 15, 10, 5, 0, 10);
    H5Tset_size(half, 2);
    H5Tset_ebias(half, 15);
    float hv[3] = {0.1f, -2.0f, 65504.0f};
    put(f.id, "f16", half, {3}, H5T_NATIVE_FLOAT, hv);
    H5Tclose(half);

    hid_t c64 = complex_type(H5T_NATIVE_FLOAT);
    float cv[4] = {1, 2, -3, 4.5f};
    put(f.id, "c64", c64, {2}, c64, cv);
    H5Tclose(c64);
    hid_t c128 = complex_type(H5T_NATIVE_DOUBLE, "real", "imag");
    double dv[2] = {7, -8};
    put(f.id, "c128", c128, {1}, c128, dv);
    H5Tclose(c128);

    hid_t b = bool_enum();
    signed char bv[4] = {0, 1, 1, 0};
    put(f.id, "flags", b, {2, 2}, b, bv);
    H5Tclose(b);

    hid_t s = fixed_string(4);
    put(f.id, "names", s, {2}, s, "ab\0\0cd\0\0");
    H5Tclose(s);
    hid_t other = H5Tcreate(H5T_COMPOUND, 8);
    H5Tinsert(other, "x", 0, H5T_NATIVE_INT32);
    H5Tinsert(other, "y", 4, H5T_NATIVE_FLOAT);
    H5Dclose(dataset(f.id, "records", other, {3}));
    H5Tclose(other);
  }
  auto be = load_hdf5(path + ":/f32be");
  EXPECT_EQ(be.data.dtype(), DType::Float32);
  EXPECT_EQ(be.data.shape(), (vexil::Shape{6, 8, 5}));
  EXPECT_EQ(be.data.at<float>({5, 7, 4}), 239.5f);

  auto zipped = load_hdf5(path + ":/deflated");
  ASSERT_EQ(zipped.data.shape(), be.data.shape());
  // Compared in C order: the decoded chunks may be laid out otherwise.
  EXPECT_EQ(std::memcmp(zipped.data.contiguous().data(), be.data.contiguous().data(), be.data.nbytes()), 0);

  auto i16 = load_hdf5(path + ":/i16be");
  EXPECT_EQ(i16.data.dtype(), DType::Int16);
  EXPECT_EQ(i16.data.at<std::int16_t>({0, 0}), -300);
  EXPECT_EQ(i16.data.at<std::int16_t>({1, 2}), 30000);
  auto u64 = load_hdf5(path + ":/u64");
  EXPECT_EQ(u64.data.dtype(), DType::UInt64);
  EXPECT_EQ(u64.data.at<std::uint64_t>({0}), std::numeric_limits<std::uint64_t>::max());

  auto f16 = load_hdf5(path + ":/f16");
  EXPECT_EQ(f16.data.dtype(), DType::Float32);
  EXPECT_EQ(f16.data.at<float>({0}), 0.0999755859375f);
  EXPECT_EQ(f16.data.at<float>({2}), 65504.0f);

  auto c64 = load_hdf5(path + ":/c64");
  EXPECT_EQ(c64.data.dtype(), DType::Complex64);
  EXPECT_EQ(c64.data.at<std::complex<float>>({1}), std::complex<float>(-3, 4.5f));
  auto c128 = load_hdf5(path + ":/c128");
  EXPECT_EQ(c128.data.dtype(), DType::Complex128);
  EXPECT_EQ(c128.data.at<std::complex<double>>({0}), std::complex<double>(7, -8));

  auto flags = load_hdf5(path + ":/flags");
  EXPECT_EQ(flags.data.dtype(), DType::Bool);
  EXPECT_EQ(flags.data.at<std::uint8_t>({0, 1}), 1);
  EXPECT_EQ(flags.data.at<std::uint8_t>({1, 1}), 0);

  std::string msg = error_of([&] { load_hdf5(path + ":/names"); });
  EXPECT_NE(msg.find("Dataset 'names' in " + path + " holds fixed-length string values"), std::string::npos) << msg;
  msg = error_of([&] { load_hdf5(path + ":/records"); });
  EXPECT_NE(msg.find("compound {x, y}"), std::string::npos) << msg;
}

TEST(Hdf5Loader, UnreadableAutomaticChoiceIsRefusedNotSkipped) {
  TempDir dir;
  const std::string path = dir / "text.h5";
  {
    H5 f(path);
    hid_t s = fixed_string(8);
    std::string text(8 * 100, 'x');
    put(f.id, "log", s, {100}, s, text.data());
    H5Tclose(s);
    put_iota<float>(f.id, "cube", H5T_NATIVE_FLOAT, {2, 2});
  }
  std::string msg = error_of([&] { load_hdf5(path); });
  EXPECT_NE(msg.find("Dataset 'log'"), std::string::npos) << msg;
}

// --- hostile and broken files --------------------------------------------

TEST(Hdf5Loader, BrokenFilesGiveClearErrors) {
  TempDir dir;
  const std::string junk = dir / "junk.h5";
  vexil::test::write_file(junk, std::string(4096, 'j'));
  try {
    load_hdf5(junk);
    ADD_FAILURE();
  } catch (const vexil::BadInputError& e) {
    EXPECT_EQ(std::string(e.what()), junk + " is not an HDF5 file (it has no HDF5 signature)");
  }
  try {
    load_hdf5(dir / "nothere.h5");
    ADD_FAILURE();
  } catch (const vexil::NotFoundError& e) {
    EXPECT_NE(std::string(e.what()).find("Unable to open file"), std::string::npos) << e.what();
  }

  const std::string good = dir / "good.h5";
  {
    H5 f(good);
    put_iota<double>(f.id, "cube", H5T_NATIVE_DOUBLE, {40, 40, 8});
  }
  const std::string bytes = vexil::test::read_file(good);
  for (std::size_t keep : {bytes.size() / 2, bytes.size() - 100, std::size_t{700}, std::size_t{96}}) {
    const std::string cut = dir / "cut.h5";
    vexil::test::write_file(cut, bytes.substr(0, keep));
    std::string msg = error_of([&] { load_hdf5(cut).data.materialize(); });
    EXPECT_NE(msg, "<no error>") << keep;
    // One line that names the file.
    EXPECT_NE(msg.find(cut), std::string::npos) << keep << ": " << msg;
    EXPECT_EQ(msg.find('\n'), std::string::npos) << keep << ": " << msg;
  }

  // A chunked dataset whose shape claims a petabyte but stores nothing.
  const std::string huge = dir / "huge.h5";
  {
    H5 f(huge);
    hid_t dcpl = H5Pcreate(H5P_DATASET_CREATE);
    hsize_t chunk[3] = {64, 64, 64};
    H5Pset_chunk(dcpl, 3, chunk);
    H5Dclose(dataset(f.id, "cube", H5T_NATIVE_UINT8, {1u << 20, 1u << 20, 1u << 10}, -1, nullptr, dcpl));
    H5Pclose(dcpl);
  }
  // Its shape is known without reading; its pixels are refused when asked for.
  auto lazy = load_hdf5(huge);
  EXPECT_EQ(lazy.data.shape(), (vexil::Shape{1 << 20, 1 << 20, 1 << 10}));
  std::string msg = error_of([&] { lazy.data.materialize(); });
  EXPECT_NE(msg.find("more than this machine has"), std::string::npos) << msg;
}

// --- attributes ------------------------------------------------------------

TEST(Hdf5Attributes, EveryKindOfValue) {
  TempDir dir;
  const std::string path = dir / "attrs.h5";
  {
    H5 f(path);
    hid_t ds = dataset(f.id, "cube", H5T_NATIVE_FLOAT, {2, 2});
    std::int32_t i7 = 7;
    attr(ds, "int", H5T_STD_I32BE, {}, &i7, H5T_NATIVE_INT32);
    std::int8_t m5 = -5;
    attr(ds, "neg", H5T_NATIVE_INT8, {}, &m5);
    std::uint64_t big = std::numeric_limits<std::uint64_t>::max();
    attr(ds, "u64", H5T_NATIVE_UINT64, {}, &big);
    double half = 0.5, nan = std::nan(""), ninf = -INFINITY;
    attr(ds, "f64", H5T_NATIVE_DOUBLE, {}, &half);
    attr(ds, "nan", H5T_NATIVE_DOUBLE, {}, &nan);
    attr(ds, "ninf", H5T_NATIVE_DOUBLE, {}, &ninf);
    float tenth = 0.1f;
    attr(ds, "f32", H5T_NATIVE_FLOAT, {}, &tenth);
    double arr[2] = {1.0, 2.5};
    attr(ds, "farr", H5T_NATIVE_DOUBLE, {2}, arr);
    std::int32_t grid[6] = {0, 1, 2, 3, 4, 5};
    attr(ds, "grid", H5T_NATIVE_INT32, {2, 3}, grid);
    std::int32_t three = 3;
    attr(ds, "one", H5T_NATIVE_INT32, {1}, &three);
    attr(ds, "empty0", H5T_NATIVE_INT32, {0}, nullptr);
    attr(ds, "empty20", H5T_NATIVE_INT32, {2, 0}, nullptr);
    float f2[2] = {0.1f, 0.2f};
    attr(ds, "f32arr", H5T_NATIVE_FLOAT, {2}, f2);

    hid_t s5 = fixed_string(5);
    attr(ds, "units", s5, {}, "nm\0\0\0");
    attr(ds, "bad", s5, {},
         "ab\xff"
         "c\0");
    hid_t sp = fixed_string(5, H5T_STR_SPACEPAD);
    attr(ds, "spaced", sp, {}, "hi   ");
    hid_t s2 = fixed_string(2);
    attr(ds, "strs", s2, {2}, "a\0bc");
    hid_t vs = vlen_string();
    const char* one_v = "nm";
    attr(ds, "vstr", vs, {}, &one_v);
    const char* bad_v =
        "a\xff"
        "b";
    attr(ds, "vbad", vs, {}, &bad_v);
    const char* many_v[2] = {"x", "yz"};
    attr(ds, "vstrs", vs, {2}, many_v);
    const char* micro = "\xc2\xb5";
    attr(ds, "micro", vs, {}, &micro);

    hid_t b = bool_enum();
    signed char tr = 1;
    attr(ds, "flag", b, {}, &tr);
    signed char bools[2] = {1, 0};
    attr(ds, "flags", b, {2}, bools);
    hid_t e = H5Tenum_create(H5T_NATIVE_INT16);
    std::int16_t ev[3] = {0, 1, 2};
    H5Tenum_insert(e, "false", &ev[0]);
    H5Tenum_insert(e, "true", &ev[1]);
    H5Tenum_insert(e, "maybe", &ev[2]);
    attr(ds, "enum", e, {}, &ev[2]);
    std::uint8_t bits = 0xA5;
    attr(ds, "bits", H5T_NATIVE_B8, {}, &bits);

    hid_t c = complex_type(H5T_NATIVE_DOUBLE);
    double cv[2] = {1, 2};
    attr(ds, "complex", c, {}, cv);
    double cvs[4] = {1.5, -2, 0, 3};
    attr(ds, "complexes", c, {2}, cvs);
    struct Rec {
      std::int32_t x;
      double y;
    };
    hid_t rec = H5Tcreate(H5T_COMPOUND, sizeof(Rec));
    H5Tinsert(rec, "x", HOFFSET(Rec, x), H5T_NATIVE_INT32);
    H5Tinsert(rec, "y", HOFFSET(Rec, y), H5T_NATIVE_DOUBLE);
    Rec r1{1, 2.5};
    attr(ds, "record", rec, {}, &r1);
    Rec rs[2] = {{1, 2.5}, {3, 4.5}};
    attr(ds, "records", rec, {2}, rs);

    hsize_t adims[1] = {3};
    hid_t at = H5Tarray_create2(H5T_NATIVE_INT32, 1, adims);
    std::int32_t av[6] = {1, 2, 3, 4, 5, 6};
    attr(ds, "arrtype", at, {}, av);
    attr(ds, "arrtypes", at, {2}, av);
    hid_t vl = H5Tvlen_create(H5T_NATIVE_INT32);
    std::int32_t seq0[2] = {1, 2}, seq1[1] = {3};
    hvl_t seqs[2] = {{2, seq0}, {1, seq1}};
    attr(ds, "seqs", vl, {2}, seqs);

    hid_t nul = H5Screate(H5S_NULL);
    hid_t a = H5Acreate2(ds, "nothing", H5T_IEEE_F32LE, nul, H5P_DEFAULT, H5P_DEFAULT);
    H5Aclose(a);
    H5Sclose(nul);

    hobj_ref_t ref;
    H5Rcreate(&ref, f.id, "/cube", H5R_OBJECT, -1);
    attr(ds, "objref", H5T_STD_REF_OBJ, {}, &ref);
    hdset_reg_ref_t rref;
    hid_t sel = H5Screate_simple(2, std::vector<hsize_t>{2, 2}.data(), nullptr);
    H5Sselect_all(sel);
    H5Rcreate(&rref, f.id, "/cube", H5R_DATASET_REGION, sel);
    H5Sclose(sel);
    attr(ds, "regref", H5T_STD_REF_DSETREG, {}, &rref);
    hid_t op = H5Tcreate(H5T_OPAQUE, 16);
    H5Tset_tag(op, "blob");
    char blob[16] = {1, 2, 3};
    attr(ds, "opaque", op, {}, blob);

    for (hid_t t : {s5, sp, s2, vs, b, e, c, rec, at, vl, op}) H5Tclose(t);
    H5Dclose(ds);
  }
  const Metadata a = load_hdf5(path).meta["dataset_attrs"];
  auto expect = [&](const char* key, const std::string& json) { EXPECT_EQ(a[key].dump(), json) << key; };
  expect("int", "7");
  expect("neg", "-5");
  expect("u64", "18446744073709551615");
  expect("f64", "0.5");
  EXPECT_TRUE(std::isnan(a["nan"].get<double>()));
  EXPECT_EQ(a["ninf"].get<double>(), -INFINITY);
  EXPECT_EQ(a["f32"].get<double>(), 0.10000000149011612);
  expect("farr", "[1.0,2.5]");
  expect("grid", "[[0,1,2],[3,4,5]]");
  expect("one", "[3]");
  expect("empty0", "[]");
  expect("empty20", "[[],[]]");
  EXPECT_EQ(a["f32arr"][1].get<double>(), 0.20000000298023224);
  expect("units", "\"nm\"");
  EXPECT_EQ(a["bad"],
            "ab\xEF\xBF\xBD"
            "c");
  expect("spaced", "\"hi\"");
  expect("strs", "[\"a\",\"bc\"]");
  expect("vstr", "\"nm\"");
  EXPECT_EQ(a["vbad"],
            "a\xEF\xBF\xBD"
            "b");
  expect("vstrs", "[\"x\",\"yz\"]");
  EXPECT_EQ(a["micro"], "\xc2\xb5");
  expect("flag", "true");
  expect("flags", "[true,false]");
  expect("enum", "2");
  expect("bits", "165");
  expect("complex", "\"(1+2j)\"");
  expect("complexes", "[\"(1.5-2j)\",\"3j\"]");
  expect("record", "[1,2.5]");
  expect("records", "[[1,2.5],[3,4.5]]");
  expect("arrtype", "[1,2,3]");
  expect("arrtypes", "[[1,2,3],[4,5,6]]");
  expect("seqs", "[[1,2],[3]]");
  expect("nothing", "\"Empty(dtype=dtype('<f4'))\"");
  expect("objref", "\"<HDF5 object reference>\"");
  expect("regref", "\"<HDF5 region reference>\"");
  expect("opaque", "\"<opaque 16 bytes>\"");
  // Without creation-order tracking attributes come in byte-wise name order.
  auto k = keys(a);
  EXPECT_TRUE(std::is_sorted(k.begin(), k.end())) << a.dump();
}

TEST(Hdf5Attributes, OrderFollowsTrackingAndEmptyMapsAreLeftOut) {
  TempDir dir;
  const std::string tracked = dir / "tracked.h5";
  const std::string plain = dir / "plain.h5";
  for (const std::string* p : {&tracked, &plain}) {
    H5 f(*p, p == &tracked);
    hid_t dcpl = H5Pcreate(H5P_DATASET_CREATE);
    if (p == &tracked) H5Pset_attr_creation_order(dcpl, H5P_CRT_ORDER_TRACKED | H5P_CRT_ORDER_INDEXED);
    hid_t ds = dataset(f.id, "cube", H5T_NATIVE_FLOAT, {2, 2}, -1, nullptr, dcpl);
    H5Pclose(dcpl);
    std::int32_t v = 1;
    for (const char* n : {"zz", "aa", "mm"}) attr(ds, n, H5T_NATIVE_INT32, {}, &v);
    for (const char* n : {"Z", "_x", "A"}) attr(f.id, n, H5T_NATIVE_INT32, {}, &v);
    H5Dclose(ds);
  }
  auto t = load_hdf5(tracked).meta;
  EXPECT_EQ(keys(t["dataset_attrs"]), (std::vector<std::string>{"zz", "aa", "mm"}));
  EXPECT_EQ(keys(t["file_attrs"]), (std::vector<std::string>{"Z", "_x", "A"}));
  EXPECT_EQ(keys(t), (std::vector<std::string>{"available_datasets", "dataset_used", "dataset_attrs", "file_attrs",
                                               "_source_format", "_source_file"}));
  auto p = load_hdf5(plain).meta;
  EXPECT_EQ(keys(p["dataset_attrs"]), (std::vector<std::string>{"aa", "mm", "zz"}));
  EXPECT_EQ(keys(p["file_attrs"]), (std::vector<std::string>{"A", "Z", "_x"}));

  const std::string none = dir / "none.h5";
  {
    H5 f(none);
    put_iota<float>(f.id, "cube", H5T_NATIVE_FLOAT, {2});
  }
  auto n = load_hdf5(none).meta;
  EXPECT_FALSE(n.contains("dataset_attrs"));
  EXPECT_FALSE(n.contains("file_attrs"));
}

// --- how elements are read: mapped, chunk by chunk, through HDF5 ------------

// The whole dataset as one H5Dread gives it, in the array's element type.
std::vector<std::byte> whole_read(const std::string& path, const char* name, hid_t mem_type) {
  hid_t f = H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
  hid_t ds = H5Dopen2(f, name, H5P_DEFAULT);
  hid_t space = H5Dget_space(ds);
  const auto n = static_cast<std::size_t>(H5Sget_simple_extent_npoints(space));
  std::vector<std::byte> buf(n * H5Tget_size(mem_type));
  EXPECT_GE(H5Dread(ds, mem_type, H5S_ALL, H5S_ALL, H5P_DEFAULT, buf.data()), 0) << name;
  H5Sclose(space);
  H5Dclose(ds);
  H5Fclose(f);
  return buf;
}

std::shared_ptr<vexil::formats::hdf5::DatasetReader> open_reader(hid_t file, const char* name,
                                                                 const std::string& path) {
  hid_t ds = H5Dopen2(file, name, H5P_DEFAULT);
  EXPECT_GE(ds, 0) << name;
  return std::make_shared<vexil::formats::hdf5::DatasetReader>(vexil::libs::hdf5::Handle(ds, H5Dclose), name, path);
}

// Element (i, j, k) of an array against element (stored index) of a C-ordered
// whole read, for the stored order that `perm` delivers.
void expect_same_elements(const vexil::NDArray& got, const std::vector<std::byte>& whole, const vexil::Shape& stored,
                          const std::vector<int>& perm, std::int64_t y0 = 0, std::int64_t x0 = 0, std::int64_t k0 = 0) {
  const std::size_t item = got.itemsize();
  const vexil::Strides ws = vexil::NDArray::c_strides(stored, item);
  std::int64_t mismatches = 0;
  for (std::int64_t i = 0; i < got.shape()[0]; ++i)
    for (std::int64_t j = 0; j < got.shape()[1]; ++j)
      for (std::int64_t k = 0; k < got.shape()[2]; ++k) {
        std::int64_t idx[3] = {i, j, k};
        std::int64_t at[3] = {i + y0, j + x0, k + k0};
        std::int64_t off = 0;
        for (int d = 0; d < 3; ++d) off += at[d] * ws[static_cast<std::size_t>(perm[static_cast<std::size_t>(d)])];
        if (std::memcmp(got.data() + got.offset_of(idx), whole.data() + off, item) != 0) ++mismatches;
      }
  EXPECT_EQ(mismatches, 0);
}

TEST(Hdf5Storage, EveryReadingPathGivesWhatOneWholeReadGives) {
  TempDir dir;
  const std::string path = dir / "paths.h5";
  const std::vector<hsize_t> dims = {13, 11, 6};  // partial edge chunks everywhere
  const std::size_t n = 13 * 11 * 6;
  std::vector<double> values(n);
  for (std::size_t i = 0; i < n; ++i) values[i] = static_cast<double>((i * 7919) % 4001) - 1000.5;
  std::vector<std::int32_t> ints(n);
  for (std::size_t i = 0; i < n; ++i) ints[i] = static_cast<std::int32_t>((i * 48271) % 65521) - 30000;
  std::vector<signed char> bools(n);
  for (std::size_t i = 0; i < n; ++i) bools[i] = static_cast<signed char>(i % 3 == 0);

  struct Case {
    const char* name;
    hid_t file_type;
    hid_t mem_type;
    const void* data;
    std::vector<hsize_t> chunk;  // empty: contiguous
    int deflate = -1;
    bool shuffle = false;
    bool fletcher = false;
    const char* access;
  };
  hid_t half = H5Tcopy(H5T_IEEE_F32LE);
  H5Tset_fields(half, 15, 10, 5, 0, 10);
  H5Tset_size(half, 2);
  H5Tset_ebias(half, 15);
  hid_t b = bool_enum();
  const std::vector<Case> cases = {
      {"contig_le", H5T_STD_I32LE, H5T_NATIVE_INT32, ints.data(), {}, -1, false, false, "mapped"},
      {"contig_be", H5T_STD_I32BE, H5T_NATIVE_INT32, ints.data(), {}, -1, false, false, "mapped, byte-swapped"},
      {"contig_f64be", H5T_IEEE_F64BE, H5T_NATIVE_DOUBLE, values.data(), {}, -1, false, false, "mapped, byte-swapped"},
      {"chunk_plain", H5T_STD_U16LE, H5T_NATIVE_INT32, ints.data(), {5, 4, 3}, -1, false, false, "chunks"},
      {"chunk_gzip_shuffle", H5T_IEEE_F32LE, H5T_NATIVE_DOUBLE, values.data(), {4, 5, 6}, 4, true, false, "chunks"},
      {"chunk_be_gzip", H5T_STD_I16BE, H5T_NATIVE_INT32, ints.data(), {6, 6, 2}, 6, false, false, "chunks"},
      {"chunk_fletcher", H5T_IEEE_F64LE, H5T_NATIVE_DOUBLE, values.data(), {4, 4, 6}, 1, false, true, "hyperslabs"},
      {"contig_f16", half, H5T_NATIVE_DOUBLE, values.data(), {}, -1, false, false, "hyperslabs"},
      {"chunk_bool", b, b, bools.data(), {7, 7, 6}, 1, false, false, "hyperslabs"},
      // Only rows 0..5 written: the other chunks were never allocated and
      // read as the fill value.
      {"chunk_sparse", H5T_STD_I32LE, H5T_NATIVE_INT32, ints.data(), {5, 4, 3}, 1, false, false, "chunks"},
  };
  {
    H5 f(path);
    for (const Case& c : cases) {
      hid_t dcpl = H5Pcreate(H5P_DATASET_CREATE);
      if (!c.chunk.empty()) H5Pset_chunk(dcpl, 3, c.chunk.data());
      if (c.shuffle) H5Pset_shuffle(dcpl);
      if (c.deflate >= 0) H5Pset_deflate(dcpl, static_cast<unsigned>(c.deflate));
      if (c.fletcher) H5Pset_fletcher32(dcpl);
      if (std::string(c.name) == "chunk_sparse") {
        const std::int32_t fill = -7;
        H5Pset_fill_value(dcpl, H5T_NATIVE_INT32, &fill);
        hid_t ds = dataset(f.id, c.name, c.file_type, dims, -1, nullptr, dcpl);
        const std::vector<hsize_t> start{0, 0, 0}, count{6, dims[1], dims[2]};
        hid_t fspace = H5Dget_space(ds);
        H5Sselect_hyperslab(fspace, H5S_SELECT_SET, start.data(), nullptr, count.data(), nullptr);
        hid_t mspace = simple_space(count);
        EXPECT_GE(H5Dwrite(ds, H5T_NATIVE_INT32, mspace, fspace, H5P_DEFAULT, c.data), 0);
        H5Sclose(mspace);
        H5Sclose(fspace);
        H5Dclose(ds);
      } else {
        put(f.id, c.name, c.file_type, dims, c.mem_type, c.data, dcpl);
      }
      H5Pclose(dcpl);
    }
  }
  hid_t file = H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
  ASSERT_GE(file, 0);
  vexil::libs::hdf5::silence_errors();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto reader = open_reader(file, c.name, path);
    EXPECT_EQ(reader->access(), c.access);
    const vexil::Shape stored(dims.begin(), dims.end());
    hid_t mem = reader->dtype() == DType::Bool      ? H5T_NATIVE_UINT8
                : reader->dtype() == DType::Float32 ? H5T_NATIVE_FLOAT
                : reader->dtype() == DType::Float64 ? H5T_NATIVE_DOUBLE
                : reader->dtype() == DType::Int16   ? H5T_NATIVE_INT16
                : reader->dtype() == DType::UInt16  ? H5T_NATIVE_UINT16
                                                    : H5T_NATIVE_INT32;
    const std::vector<std::byte> whole = whole_read(path, c.name, mem);
    // Both stored orders a cube may be delivered from, whole and windowed.
    for (const std::vector<int>& perm : {std::vector<int>{0, 1, 2}, std::vector<int>{1, 2, 0}}) {
      vexil::NDArray a = vexil::formats::hdf5::dataset_array(reader, perm, vexil::ReadControl{});
      expect_same_elements(a.materialize(), whole, stored, perm);
      vexil::NDArray w = vexil::formats::hdf5::dataset_array(reader, perm, vexil::ReadControl{});
      w = w.window(2, a.shape()[0] - 1, 3, a.shape()[1] - 2);
      // Chunks that hold a few bands are also read band group by band group.
      const std::int64_t step = w.band_step();
      if (std::string(c.name) == "chunk_plain") {
        EXPECT_EQ(step, perm[2] == 2 ? 3 : 5);
      } else if (std::string(c.name) == "chunk_be_gzip") {
        EXPECT_EQ(step, 0) << "byte-swapped chunks are read whole";
      }
      std::vector<std::byte> into(static_cast<std::size_t>(w.nbytes()));
      for (std::int64_t b0 = 0; step > 0 && b0 < w.shape()[2]; b0 += step) {
        const std::int64_t b1 = std::min(b0 + step, w.shape()[2]);
        const vexil::NDArray g = w.read_bands(b0, b1, {}, b0 % 2 ? into.data() : nullptr);
        EXPECT_EQ(g.strides(), vexil::NDArray::f_strides(g.shape(), g.itemsize()));
        expect_same_elements(g, whole, stored, perm, 2, 3, b0);
      }
      expect_same_elements(w.materialize(), whole, stored, perm, 2, 3);
    }
  }
  H5Fclose(file);
  H5Tclose(half);
  H5Tclose(b);
}

TEST(Hdf5Storage, ACropReadsOnlyTheChunksItTouches) {
  TempDir dir;
  const std::string path = dir / "crop.h5";
  {
    H5 f(path);
    for (const auto& [name, dims, chunk] :
         {std::tuple<const char*, std::vector<hsize_t>, std::vector<hsize_t>>{"hwb", {40, 40, 8}, {10, 10, 8}},
          std::tuple<const char*, std::vector<hsize_t>, std::vector<hsize_t>>{"bhw", {8, 40, 40}, {8, 10, 10}}}) {
      std::vector<std::uint16_t> v(40 * 40 * 8);
      std::iota(v.begin(), v.end(), std::uint16_t{0});
      hid_t dcpl = H5Pcreate(H5P_DATASET_CREATE);
      H5Pset_chunk(dcpl, 3, chunk.data());
      H5Pset_deflate(dcpl, 1);
      put(f.id, name, H5T_STD_U16LE, dims, H5T_NATIVE_UINT16, v.data(), dcpl);
      H5Pclose(dcpl);
    }
  }
  hid_t file = H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
  for (const auto& [name, perm] : {std::pair<const char*, std::vector<int>>{"hwb", {0, 1, 2}},
                                   std::pair<const char*, std::vector<int>>{"bhw", {1, 2, 0}}}) {
    SCOPED_TRACE(name);
    auto reader = open_reader(file, name, path);
    const vexil::Shape stored = reader->shape();
    const std::vector<std::byte> whole = whole_read(path, name, H5T_NATIVE_UINT16);
    vexil::NDArray cube = vexil::formats::hdf5::dataset_array(reader, perm, vexil::ReadControl{});
    ASSERT_EQ(cube.shape(), (vexil::Shape{40, 40, 8}));
    // Rows 12..17 and columns 21..28 lie in one chunk of 16.
    vexil::NDArray crop = cube.window(12, 18, 21, 29).materialize();
    EXPECT_EQ(reader->chunks_read(), 1u);
    expect_same_elements(crop, whole, stored, perm, 12, 21);
    // Across a chunk corner: four chunks.
    cube.window(8, 12, 18, 22).materialize();
    EXPECT_EQ(reader->chunks_read(), 5u);
    cube.materialize();
    EXPECT_EQ(reader->chunks_read(), 21u);
  }
  H5Fclose(file);
}

// Chunks of one row each, as GDAL's netCDF writer stores bands: a dataset of
// few such chunks has them read from the file by their places (past a user
// block when the file has one), one of many has them read by HDF5; in both,
// chunks never written read as the fill value.
TEST(Hdf5Storage, ManyTinyChunksUnwrittenChunksAndUserBlocks) {
  TempDir dir;
  const std::vector<hsize_t> dims = {64, 40, 4};
  std::vector<std::uint16_t> v(64 * 40 * 4);
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = static_cast<std::uint16_t>((i * 7919) % 65521);
  for (const hsize_t userblock : {hsize_t{0}, hsize_t{1024}}) {
    const std::string path = dir / fmt::format("tiny{}.h5", userblock);
    {
      H5 f(path, false, userblock);
      // 64 chunks, then 2560: past the count where chunks are looked up by
      // size. Raw chunks too, whose bytes nothing but their place checks.
      for (const auto& [name, chunk] : {std::pair<const char*, std::vector<hsize_t>>{"few", {1, 40, 4}},
                                        std::pair<const char*, std::vector<hsize_t>>{"raw", {1, 40, 4}},
                                        std::pair<const char*, std::vector<hsize_t>>{"many", {1, 1, 4}}}) {
        hid_t dcpl = H5Pcreate(H5P_DATASET_CREATE);
        H5Pset_chunk(dcpl, 3, chunk.data());
        if (std::string(name) != "raw") {
          H5Pset_shuffle(dcpl);
          H5Pset_deflate(dcpl, 4);
        }
        const std::uint16_t fill = 7;
        H5Pset_fill_value(dcpl, H5T_NATIVE_UINT16, &fill);
        hid_t ds = dataset(f.id, name, H5T_STD_U16LE, dims, -1, nullptr, dcpl);
        // Rows 10..52 only.
        const std::vector<hsize_t> start{10, 0, 0}, count{43, 40, 4};
        hid_t fspace = H5Dget_space(ds);
        H5Sselect_hyperslab(fspace, H5S_SELECT_SET, start.data(), nullptr, count.data(), nullptr);
        hid_t mspace = simple_space(count);
        EXPECT_GE(H5Dwrite(ds, H5T_NATIVE_UINT16, mspace, fspace, H5P_DEFAULT, v.data() + 10 * 40 * 4), 0);
        H5Sclose(mspace);
        H5Sclose(fspace);
        H5Dclose(ds);
        H5Pclose(dcpl);
      }
    }
    hid_t file = H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
    ASSERT_GE(file, 0);
    for (const char* name : {"few", "raw", "many"}) {
      SCOPED_TRACE(fmt::format("{}, user block {}", name, userblock));
      auto reader = open_reader(file, name, path);
      EXPECT_EQ(reader->access(), "chunks");
      const vexil::Shape stored(dims.begin(), dims.end());
      const std::vector<std::byte> whole = whole_read(path, name, H5T_NATIVE_UINT16);
      EXPECT_EQ(std::to_integer<int>(whole[0]), 7) << "row 0 was never written";
      for (const std::vector<int>& perm : {std::vector<int>{0, 1, 2}, std::vector<int>{1, 2, 0}}) {
        vexil::NDArray a = vexil::formats::hdf5::dataset_array(reader, perm, vexil::ReadControl{});
        expect_same_elements(a.materialize(), whole, stored, perm);
        expect_same_elements(a.window(5, 30, 1, 3).materialize(), whole, stored, perm, 5, 1);
      }
    }
    H5Fclose(file);
  }
}

TEST(Hdf5Storage, ChunksDecodeOnSeveralThreadsWithProgressAndCancellation) {
  TempDir dir;
  const std::string path = dir / "many.h5";
  const std::vector<hsize_t> dims = {64, 48, 16};
  std::vector<float> v(64 * 48 * 16);
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = static_cast<float>(i % 977) * 0.25f;
  {
    H5 f(path);
    hid_t dcpl = H5Pcreate(H5P_DATASET_CREATE);
    const hsize_t chunk[3] = {8, 8, 16};
    H5Pset_chunk(dcpl, 3, chunk);
    H5Pset_shuffle(dcpl);
    H5Pset_deflate(dcpl, 5);
    put(f.id, "cube", H5T_IEEE_F32LE, dims, H5T_NATIVE_FLOAT, v.data(), dcpl);
    H5Pclose(dcpl);
  }
  std::vector<std::pair<std::uint64_t, std::uint64_t>> calls;
  vexil::ReadControl control;
  control.threads = 4;
  control.progress = [&](std::uint64_t done, std::uint64_t total) { calls.emplace_back(done, total); };
  auto r = load_hdf5(path);
  ASSERT_TRUE(r.data.is_deferred());
  vexil::NDArray a = r.data.materialize(control);
  ASSERT_EQ(a.shape(), (vexil::Shape{64, 48, 16}));
  EXPECT_EQ(std::memcmp(a.contiguous().data(), v.data(), v.size() * sizeof(float)), 0);
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.back(), std::make_pair(a.nbytes(), a.nbytes()));
  EXPECT_TRUE(std::is_sorted(calls.begin(), calls.end()));

  std::atomic<bool> cancel{true};
  vexil::ReadControl stop;
  stop.threads = 2;
  stop.cancel = &cancel;
  EXPECT_THROW(load_hdf5(path).data.materialize(stop), vexil::CancelledError);
  // A progress callback that throws stops the read the same way.
  vexil::ReadControl refuse;
  refuse.threads = 3;
  refuse.progress = [](std::uint64_t, std::uint64_t) { throw vexil::CancelledError(); };
  EXPECT_THROW(load_hdf5(path).data.materialize(refuse), vexil::CancelledError);
}

TEST(Hdf5Storage, DamagedChunksAndUnknownFiltersNameTheFileAndDataset) {
  TempDir dir;
  const std::string path = dir / "damaged.h5";
  std::vector<std::int32_t> v(20 * 20 * 4);
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = static_cast<std::int32_t>(i * 2654435761u);
  haddr_t chunk_addr = 0;
  hsize_t chunk_size = 0;
  {
    H5 f(path);
    hid_t dcpl = H5Pcreate(H5P_DATASET_CREATE);
    const hsize_t chunk[3] = {10, 10, 4};
    H5Pset_chunk(dcpl, 3, chunk);
    H5Pset_deflate(dcpl, 9);
    hid_t ds = dataset(f.id, "cube", H5T_STD_I32LE, {20, 20, 4}, H5T_NATIVE_INT32, v.data(), dcpl);
    H5Pclose(dcpl);
    H5Fflush(f.id, H5F_SCOPE_GLOBAL);
    hsize_t origin[3] = {10, 10, 0};
    unsigned mask = 0;
    ASSERT_GE(H5Dget_chunk_info_by_coord(ds, origin, &mask, &chunk_addr, &chunk_size), 0);
    H5Dclose(ds);
  }
  std::string bytes = vexil::test::read_file(path);
  ASSERT_LE(chunk_addr + chunk_size, bytes.size());
  for (hsize_t i = chunk_size / 3; i < chunk_size; ++i) bytes[chunk_addr + i] = static_cast<char>(i * 31);
  vexil::test::write_file(path, bytes);
  auto r = load_hdf5(path);
  // The intact chunks still read; the damaged one stops the read with a reason.
  EXPECT_EQ(r.data.window(0, 10, 0, 10).materialize().at<std::int32_t>({3, 4, 1}), v[(3 * 20 + 4) * 4 + 1]);
  const std::string msg = error_of([&] { r.data.materialize(); });
  EXPECT_EQ(msg.rfind("Cannot read dataset 'cube' in " + path + ": ", 0), 0u) << msg;

  // A filter this program cannot decode: written here by a stand-in, then unregistered.
  const std::string blosc = dir / "blosc.h5";
  {
    const H5Z_class2_t stand_in = {
        H5Z_CLASS_T_VERS,
        32001,
        1,
        1,
        "blosc",
        nullptr,
        nullptr,
        [](unsigned, size_t, const unsigned[], size_t nbytes, size_t*, void**) { return nbytes; }};
    ASSERT_GE(H5Zregister(&stand_in), 0);
    H5 f(blosc);
    hid_t dcpl = H5Pcreate(H5P_DATASET_CREATE);
    const hsize_t chunk[2] = {4, 4};
    H5Pset_chunk(dcpl, 2, chunk);
    H5Pset_filter(dcpl, 32001, H5Z_FLAG_MANDATORY, 0, nullptr);
    put(f.id, "grp/cube", H5T_STD_I32LE, {8, 8}, H5T_NATIVE_INT32, v.data(), dcpl);
    H5Pclose(dcpl);
  }
  ASSERT_GE(H5Zunregister(32001), 0);
  const std::string blosc_msg = error_of([&] { load_hdf5(blosc); });
  EXPECT_EQ(blosc_msg, "Dataset 'grp/cube' in " + blosc +
                           " is stored with the HDF5 filter blosc (32001), which this program cannot decode");
}

TEST(Hdf5Storage, EmptyDatasetsOnEveryAxisLoad) {
  TempDir dir;
  const std::string path = dir / "empty.h5";
  const std::vector<std::vector<hsize_t>> shapes = {{0, 5, 6}, {5, 0, 6}, {5, 6, 0}, {0, 0, 0}, {0, 4}};
  {
    H5 f(path);
    int i = 0;
    for (const auto& s : shapes) {
      for (bool chunked : {false, true}) {
        hid_t dcpl = H5Pcreate(H5P_DATASET_CREATE);
        if (chunked) {
          std::vector<hsize_t> chunk(s.size(), 2);
          std::vector<hsize_t> maxdims(s.size(), H5S_UNLIMITED);
          H5Pset_chunk(dcpl, static_cast<int>(s.size()), chunk.data());
          hid_t space = H5Screate_simple(static_cast<int>(s.size()), s.data(), maxdims.data());
          H5Dclose(H5Dcreate2(f.id, fmt::format("c{}", i).c_str(), H5T_NATIVE_UINT16, space, H5P_DEFAULT, dcpl,
                              H5P_DEFAULT));
          H5Sclose(space);
        } else {
          H5Dclose(dataset(f.id, fmt::format("d{}", i).c_str(), H5T_NATIVE_UINT16, s, -1, nullptr, dcpl));
        }
        H5Pclose(dcpl);
      }
      ++i;
    }
  }
  for (std::size_t i = 0; i < shapes.size(); ++i) {
    for (const char* kind : {"c", "d"}) {
      const std::string name = fmt::format("{}{}", kind, i);
      SCOPED_TRACE(name);
      auto r = load_hdf5(path + "::" + name);
      EXPECT_EQ(r.data.size(), 0);
      EXPECT_EQ(r.data.ndim(), static_cast<int>(shapes[i].size()));
      EXPECT_NO_THROW(r.data.materialize());
    }
  }
}

// --- MAT-file 7.3: HDF5 behind MATLAB's header, arrays column-major --------

// What MATLAB writes: a 512-byte user block opening with its text header,
// every array stored with its axes reversed and a MATLAB_class attribute.
void write_mat73(
    const std::string& path,
    const std::vector<std::tuple<const char*, std::vector<hsize_t>, const std::uint16_t*, const char*>>& vars) {
  hid_t fcpl = H5Pcreate(H5P_FILE_CREATE);
  H5Pset_userblock(fcpl, 512);
  hid_t f = H5Fcreate(path.c_str(), H5F_ACC_TRUNC, fcpl, H5P_DEFAULT);
  H5Pclose(fcpl);
  for (const auto& [name, dims, data, cls] : vars) {
    hid_t dcpl = H5Pcreate(H5P_DATASET_CREATE);
    // Large variables chunked and compressed, small ones contiguous (mapped past the user block).
    if (dims.size() == 3) {
      std::vector<hsize_t> chunk(dims.size());
      for (std::size_t d = 0; d < dims.size(); ++d) chunk[d] = std::min<hsize_t>(dims[d], 5);
      H5Pset_chunk(dcpl, static_cast<int>(dims.size()), chunk.data());
      H5Pset_deflate(dcpl, 3);
    }
    hid_t ds = dataset(f, name, H5T_STD_U16LE, dims, H5T_NATIVE_UINT16, data, dcpl);
    H5Pclose(dcpl);
    hid_t s = fixed_string(std::strlen(cls), H5T_STR_NULLTERM);
    attr(ds, "MATLAB_class", s, {}, cls);
    H5Tclose(s);
    H5Dclose(ds);
  }
  H5Fclose(f);
  std::string bytes = vexil::test::read_file(path);
  std::string head = "MATLAB 7.3 MAT-file, Platform: GLNXA64, Created on: Mon Jan  1 00:00:00 2024 HDF5 schema 1.00 .";
  head.resize(116, ' ');
  head += std::string(8, '\0') + std::string("\x00\x02IM", 4);
  bytes.replace(0, head.size(), head);
  vexil::test::write_file(path, bytes);
}

TEST(Hdf5Mat73, CubesAndLabelsComeBackInMatlabOrder) {
  TempDir dir;
  const std::string path = dir / "Houston.mat";
  const hsize_t H = 9, W = 7, B = 4;
  // MATLAB's element (r, c, b) sits at r + H*c + H*W*b: HDF5 sees (B, W, H).
  std::vector<std::uint16_t> cube(H * W * B), gt(H * W), small(3 * 2);
  for (hsize_t b = 0; b < B; ++b)
    for (hsize_t c = 0; c < W; ++c)
      for (hsize_t r = 0; r < H; ++r) cube[r + H * c + H * W * b] = static_cast<std::uint16_t>(r * 100 + c * 10 + b);
  for (hsize_t c = 0; c < W; ++c)
    for (hsize_t r = 0; r < H; ++r) gt[r + H * c] = static_cast<std::uint16_t>(r * 10 + c);
  write_mat73(path, {{"Houston", {B, W, H}, cube.data(), "uint16"},
                     {"gt", {W, H}, gt.data(), "uint16"},
                     {"names", {2, 3}, small.data(), "char"}});
  EXPECT_TRUE(vexil::formats::hdf5::is_mat73_file(path));

  auto r = vexil::formats::hdf5::load_mat73_image(path, "");
  ASSERT_EQ(r.data.shape(), (vexil::Shape{9, 7, 4}));
  for (std::int64_t y = 0; y < 9; ++y)
    for (std::int64_t x = 0; x < 7; ++x)
      for (std::int64_t b = 0; b < 4; ++b) ASSERT_EQ(r.data.at<std::uint16_t>({y, x, b}), y * 100 + x * 10 + b);
  EXPECT_EQ(r.meta["dataset_used"], "Houston");
  EXPECT_EQ(r.meta["mat_key"], "Houston");
  EXPECT_EQ(r.meta["stored_layout"], "bwh");
  EXPECT_EQ(r.meta["layout_source"], "MAT-file 7.3 (column-major)");
  EXPECT_EQ(r.meta["_transposed"], "CWH \u2192 HWC");
  EXPECT_EQ(r.meta["_source_format"], "MAT");
  EXPECT_EQ(keys(r.meta).back(), "_source_file");

  // Named, and through the HDF5 reader: the same order, found by the header alone.
  auto gt2 = vexil::formats::hdf5::load_mat73_image(path, "gt");
  EXPECT_EQ(gt2.data.shape(), (vexil::Shape{9, 7}));
  EXPECT_FALSE(gt2.data.is_deferred());  // contiguous: a view of the mapped file
  EXPECT_EQ(gt2.data.at<std::uint16_t>({5, 6}), 56);
  auto via_h5 = load_hdf5(path + "::Houston");
  EXPECT_EQ(via_h5.data.shape(), (vexil::Shape{9, 7, 4}));
  EXPECT_EQ(via_h5.data.at<std::uint16_t>({8, 6, 3}), 863);

  auto labels = vexil::formats::hdf5::load_hdf5_labels(path + "::gt");
  ASSERT_EQ(labels.data.shape(), (vexil::Shape{9, 7}));
  EXPECT_EQ(labels.data.at<std::uint16_t>({8, 3}), 83);
  EXPECT_EQ(keys(labels.meta),
            (std::vector<std::string>{"dataset_used", "dataset_attrs", "stored_layout", "layout_source", "_transposed",
                                      "_source_format", "_source_file"}));
  EXPECT_EQ(labels.meta["_source_format"], "HDF5");
  EXPECT_EQ(labels.meta["_source_file"], vexil::io::abspath(path));

  // A plain HDF5 file is no MAT-file, whatever its name.
  const std::string plain = dir / "plain.mat";
  {
    H5 f(plain);
    put_iota<std::uint16_t>(f.id, "x", H5T_NATIVE_UINT16, {2, 3});
  }
  EXPECT_FALSE(vexil::formats::hdf5::is_mat73_file(plain));
  const std::string msg = error_of([&] { vexil::formats::hdf5::load_mat73_image(plain, ""); });
  EXPECT_EQ(msg, "No numeric variable found in " + plain);
}

// --- files that are not HDF5 ------------------------------------------------

TEST(Hdf5Loader, OtherContainersAndBrokenFilesSayWhatTheyAre) {
  TempDir dir;
  struct Case {
    const char* name;
    std::string bytes;
    std::string message;  // after the path
  };
  const std::vector<Case> cases = {
      {"classic.nc", std::string("CDF\x01", 4) + std::string(60, '\0'),
       " is a NetCDF-3 (classic) file, which this program cannot read (netCDF-4 files can be read; "
       "nccopy -k nc4 converts it)"},
      {"offset.nc", std::string("CDF\x02", 4) + std::string(60, '\0'),
       " is a NetCDF-3 (64-bit offset) file, which this program cannot read (netCDF-4 files can be read; "
       "nccopy -k nc4 converts it)"},
      {"scene.hdf", std::string("\x0e\x03\x13\x01", 4) + std::string(60, '\0'),
       " is an HDF4 file, which this program cannot read (HDF5 files can be read; h4toh5 converts it)"},
      {"notes.h5", "These are my notes about the scene.\n", " is not an HDF5 file (it has no HDF5 signature)"},
      {"empty.h5", "", " is empty, not an HDF5 file"},
  };
  for (const Case& c : cases) {
    const std::string p = dir / c.name;
    vexil::test::write_file(p, c.bytes);
    EXPECT_EQ(error_of([&] { load_hdf5(p); }), p + c.message);
  }
  EXPECT_THROW(load_hdf5(dir / "classic.nc"), vexil::UnsupportedFormatError);
  EXPECT_EQ(vexil::formats::hdf5::foreign_container(dir / "offset.nc"), "NetCDF-3 (64-bit offset)");
  EXPECT_EQ(vexil::formats::hdf5::foreign_container(dir / "scene.hdf"), "HDF4");
  EXPECT_EQ(vexil::formats::hdf5::foreign_container(dir / "notes.h5"), std::nullopt);

  // Cut inside the superblock's promise: the file and both sizes are named.
  const std::string good = dir / "good.h5";
  {
    H5 f(good);
    put_iota<double>(f.id, "cube", H5T_NATIVE_DOUBLE, {40, 40, 8});
  }
  const std::string bytes = vexil::test::read_file(good);
  const std::string cut = dir / "cut.h5";
  vexil::test::write_file(cut, bytes.substr(0, 3000));
  EXPECT_EQ(error_of([&] { load_hdf5(cut); }),
            fmt::format("{} is truncated: it holds 3000 bytes, its HDF5 header says {}", cut, bytes.size()));
}

// --- 2-D datasets that are the bands of one raster ---------------------------

TEST(Hdf5Stacks, BandsCarryingWavelengthsAreStackedAndOthersAreNot) {
  TempDir dir;
  const std::string path = dir / "bands.h5";
  std::vector<std::int16_t> plane(6 * 5);
  {
    H5 f(path);
    // Visit order is by name; band order is by wavelength.
    for (const auto& [name, wl] :
         {std::pair<const char*, double>{"bands/red", 650}, {"bands/blue", 450}, {"bands/green", 550}}) {
      for (std::size_t i = 0; i < plane.size(); ++i) plane[i] = static_cast<std::int16_t>(wl + i);
      hid_t ds = dataset(f.id, name, H5T_STD_I16LE, {6, 5}, H5T_NATIVE_INT16, plane.data());
      attr(ds, "wavelength", H5T_NATIVE_DOUBLE, {}, &wl);
      const double fill = -1;
      attr(ds, "_FillValue", H5T_NATIVE_DOUBLE, {1}, &fill);
      H5Dclose(ds);
    }
    // Same size, not marked: never stacked, never named.
    put_iota<std::int16_t>(f.id, "bands/lat", H5T_NATIVE_INT16, {6, 5});
    put_iota<std::int16_t>(f.id, "bands/lon", H5T_NATIVE_INT16, {6, 5});
    put_iota<std::int16_t>(f.id, "bands/elev", H5T_NATIVE_INT16, {6, 5});
  }
  vexil::test::RecordingJob rec;
  vexil::formats::ReadOptions opts;
  opts.job = &rec.job;
  auto r = load_hdf5(path, opts);
  ASSERT_EQ(r.data.shape(), (vexil::Shape{6, 5, 3}));
  for (std::int64_t k = 0; k < 3; ++k) EXPECT_EQ(r.data.at<std::int16_t>({2, 3, k}), 450 + 100 * k + 2 * 5 + 3) << k;
  EXPECT_EQ(r.meta["bands_from"], Metadata({"bands/blue", "bands/green", "bands/red"}));
  EXPECT_EQ(r.meta["wavelength"], Metadata({450.0, 550.0, 650.0}));
  EXPECT_EQ(r.meta["fill_value"].dump(), "-1.0");
  EXPECT_FALSE(r.meta.contains("rows_stored"));  // not written by GDAL: rows as stored
  EXPECT_EQ(rec.reporter.text(), "");

  // Named, one band is read alone; --layout cannot describe a stack.
  EXPECT_EQ(load_hdf5(path + "::bands/red").data.shape(), (vexil::Shape{6, 5}));
  opts.layout = vexil::Layout::HWB;
  EXPECT_EQ(error_of([&] { load_hdf5(path, opts); }),
            "argument --layout: hwb does not fit 'bands/blue' of shape (6, 5): its bands are 3 2-D datasets, "
            "not one cube");

  // Two cubes of one size: the smaller one is named on the console.
  const std::string two = dir / "two.h5";
  {
    H5 f(two);
    put_iota<std::uint8_t>(f.id, "raw", H5T_NATIVE_UINT8, {7, 9, 4});
    put_iota<std::uint8_t>(f.id, "corrected", H5T_NATIVE_UINT8, {7, 9, 5});
    put_iota<std::uint8_t>(f.id, "mask", H5T_NATIVE_UINT8, {7, 9});
  }
  vexil::test::RecordingJob rec2(vexil::Palette::ansi());
  vexil::formats::ReadOptions opts2;
  opts2.job = &rec2.job;
  EXPECT_EQ(load_hdf5(two, opts2).meta["dataset_used"], "corrected");
  EXPECT_EQ(rec2.reporter.text(),
            "  \033[33m\u26a0 Also in this file, not converted: 'raw' (7, 9, 4); name one with --img "
            "two.h5::DATASET\033[0m\n");
  // Named explicitly: the user chose, nothing to say.
  vexil::test::RecordingJob rec3;
  opts2.job = &rec3.job;
  load_hdf5(two + "::raw", opts2);
  EXPECT_EQ(rec3.reporter.text(), "");
}

TEST(Hdf5Stacks, TheSizeRuleLineAppearsOnlyWhenItMovesAxes) {
  TempDir dir;
  const std::string path = dir / "rule.h5";
  {
    H5 f(path);
    put_iota<std::uint8_t>(f.id, "moved", H5T_NATIVE_UINT8, {4, 5, 6});
    put_iota<std::uint8_t>(f.id, "kept", H5T_NATIVE_UINT8, {6, 5, 4});
  }
  vexil::test::RecordingJob rec(vexil::Palette::ansi());
  vexil::formats::ReadOptions opts;
  opts.job = &rec.job;
  load_hdf5(path + "::kept", opts);
  EXPECT_EQ(rec.reporter.text(), "");
  auto r = load_hdf5(path + "::moved", opts);
  EXPECT_EQ(r.data.shape(), (vexil::Shape{5, 6, 4}));
  EXPECT_EQ(rec.reporter.text(),
            "  \033[33m\u26a0 Axis order of 'moved' (4, 5, 6) guessed from its sizes: bands first, turned to "
            "(5, 6, 4); --layout hwb keeps it as stored\033[0m\n");
}

// A contiguous dataset is mapped; the file shrinking under the mapping ends
// in an error naming it, not SIGBUS, whether the array is the mapping itself
// or a byte-swapped copy made from it.
TEST(Hdf5Storage, ShrunkFileUnderTheMappingIsAnErrorNamingIt) {
  TempDir dir;
  const std::string path = dir / "shrink.h5";
  {
    H5 f(path);
    put_iota<std::uint16_t>(f.id, "cube", H5T_NATIVE_UINT16, {64, 64, 16});
  }
  auto r = load_hdf5(path);
  ASSERT_FALSE(r.data.is_deferred());
  EXPECT_NO_THROW(vexil::io::check_mapping_intact(r.data.keep_alive()));
  ASSERT_EQ(::truncate(path.c_str(), 4096), 0);
  EXPECT_EQ(r.data.at<std::uint16_t>({63, 63, 15}), 0);
  const std::string msg = vexil::test::error_of([&] { vexil::io::check_mapping_intact(r.data.keep_alive()); });
  EXPECT_NE(msg.find(path + " changed while it was being read"), std::string::npos) << msg;

  const std::string be = dir / "shrink_be.h5";
  {
    H5 f(be);
    put_iota<std::uint16_t>(f.id, "cube", H5T_STD_U16BE, {64, 64, 16});
  }
  auto swapped = load_hdf5(be);
  ASSERT_EQ(::truncate(be.c_str(), 4096), 0);
  const std::string copy_msg = vexil::test::error_of([&] { (void)swapped.data.materialize(); });
  EXPECT_NE(copy_msg.find(be + " changed while it was being read"), std::string::npos) << copy_msg;
}

}  // namespace

#else  // !VEXIL_HAVE_HDF5

TEST(Hdf5Loader, MissingLibraryIsReported) {
  using namespace vexil::formats;
  EXPECT_THROW(read_image_as(detect_format("cube.h5"), "cube.h5"), vexil::MissingDependencyError);
}

#endif
