// Ground-truth MAT-files: variable choice, MATLAB shapes and values, the
// stored element type, every file version matio reads, and broken files.
#include <gtest/gtest.h>
#include <matio.h>
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "vexil/errors.hpp"
#include "formats/mat/mat_choice.hpp"
#include "formats/mat/mat_format.hpp"
#include "support/test_util.hpp"

namespace {

using vexil::DType;
using vexil::NDArray;
using vexil::Shape;
using vexil::formats::mat::read_label_variable;
using vexil::test::error_of;
using vexil::test::TempDir;

struct Var {
  std::string name;
  matio_classes cls = MAT_C_DOUBLE;
  matio_types type = MAT_T_DOUBLE;
  std::vector<std::size_t> dims;
  const void* data = nullptr;
  int flags = 0;
};

void write_mat(const std::string& path, mat_ft version, matio_compression z, const std::vector<Var>& vars) {
  mat_t* mat = Mat_CreateVer(path.c_str(), nullptr, version);
  ASSERT_NE(mat, nullptr) << path;
  for (const Var& v : vars) {
    std::vector<std::size_t> dims = v.dims;
    matvar_t* mv = Mat_VarCreate(v.name.c_str(), v.cls, v.type, static_cast<int>(dims.size()), dims.data(),
                                 const_cast<void*>(v.data), v.flags);
    ASSERT_NE(mv, nullptr) << v.name;
    EXPECT_EQ(Mat_VarWrite(mat, mv, z), 0) << v.name;
    Mat_VarFree(mv);
  }
  Mat_Close(mat);
}

std::vector<double> iota_d(std::size_t n, double start = 0) {
  std::vector<double> v(n);
  std::iota(v.begin(), v.end(), start);
  return v;
}

std::string read_key(const std::string& path) {
  std::string key;
  read_label_variable(path, key);
  return key;
}

// A Level 5 header: 116 bytes of text, subsystem offset, version, "IM".
std::string level5_header() {
  std::string h = "MATLAB 5.0 MAT-file, written by hand";
  h.resize(116, ' ');
  h.append(8, '\0');
  h += '\x00';
  h += '\x01';
  h += "IM";
  return h;
}

void put_u32(std::string& s, std::uint32_t v) { s.append(reinterpret_cast<const char*>(&v), 4); }

// An uncompressed miMATRIX element with the given class, dimensions, name
// and one real-part data element of `data_type`.
std::string matrix_element(std::uint8_t cls, std::vector<std::int32_t> dims, const std::string& name,
                           std::uint32_t data_type, const std::string& data) {
  std::string body;
  put_u32(body, 6);  // miUINT32 array flags
  put_u32(body, 8);
  put_u32(body, cls);
  put_u32(body, 0);
  put_u32(body, 5);  // miINT32 dimensions
  put_u32(body, static_cast<std::uint32_t>(4 * dims.size()));
  for (auto d : dims) put_u32(body, static_cast<std::uint32_t>(d));
  if (dims.size() % 2) put_u32(body, 0);
  put_u32(body, 1);  // miINT8 name
  put_u32(body, static_cast<std::uint32_t>(name.size()));
  body += name;
  body.append((8 - name.size() % 8) % 8, '\0');
  put_u32(body, data_type);
  put_u32(body, static_cast<std::uint32_t>(data.size()));
  body += data;
  body.append((8 - data.size() % 8) % 8, '\0');
  std::string el;
  put_u32(el, 14);
  put_u32(el, static_cast<std::uint32_t>(body.size()));
  return el + body;
}

const mat_ft kVersions[] = {MAT_FT_MAT5, MAT_FT_MAT73, MAT_FT_MAT4};

TEST(GtMat, ChoiceRules) {
  TempDir dir;
  auto small = iota_d(100), large = iota_d(200);
  struct Case {
    const char* what;
    std::vector<Var> vars;
    const char* expected;
    const char* expected73 = nullptr;  // 7.3 files list their variables by name
  };
  const std::vector<Case> cases = {
      {"single odd name",
       {{"Indian_pines_corrected_labels", MAT_C_DOUBLE, MAT_T_DOUBLE, {10, 10}, small.data()}},
       "Indian_pines_corrected_labels"},
      {"gt over groundtruth",
       {{"groundtruth", MAT_C_DOUBLE, MAT_T_DOUBLE, {10, 20}, large.data()},
        {"gt", MAT_C_DOUBLE, MAT_T_DOUBLE, {10, 10}, small.data()}},
       "gt"},
      {"groundtruth over larger",
       {{"big", MAT_C_DOUBLE, MAT_T_DOUBLE, {10, 20}, large.data()},
        {"groundtruth", MAT_C_DOUBLE, MAT_T_DOUBLE, {10, 10}, small.data()}},
       "groundtruth"},
      {"largest",
       {{"a", MAT_C_DOUBLE, MAT_T_DOUBLE, {10, 10}, small.data()},
        {"b", MAT_C_DOUBLE, MAT_T_DOUBLE, {20, 10}, large.data()}},
       "b"},
      {"equal sizes: first in file",
       {{"zz", MAT_C_DOUBLE, MAT_T_DOUBLE, {10, 10}, small.data()},
        {"aa", MAT_C_DOUBLE, MAT_T_DOUBLE, {100, 1}, small.data()}},
       "zz",
       "aa"},
      {"names are case-sensitive",
       {{"GT", MAT_C_DOUBLE, MAT_T_DOUBLE, {10, 10}, small.data()},
        {"other", MAT_C_DOUBLE, MAT_T_DOUBLE, {20, 10}, large.data()}},
       "other"},
  };
  for (mat_ft version : kVersions) {
    for (const auto& c : cases) {
      const std::string path = dir / "choice.mat";
      write_mat(path, version, MAT_COMPRESSION_NONE, c.vars);
      const char* expected = version == MAT_FT_MAT73 && c.expected73 ? c.expected73 : c.expected;
      EXPECT_EQ(read_key(path), expected) << c.what << " version " << version;
    }
  }
}

TEST(GtMat, MatlabShapeAndValuesInEveryVersion) {
  TempDir dir;
  // MATLAB's [1 2 3; 4 5 6], stored column by column.
  const double col_major[6] = {1, 4, 2, 5, 3, 6};
  std::vector<double> cube(4 * 3 * 2);
  std::iota(cube.begin(), cube.end(), 0.0);
  for (mat_ft version : kVersions) {
    for (matio_compression z : {MAT_COMPRESSION_NONE, MAT_COMPRESSION_ZLIB}) {
      if (version == MAT_FT_MAT4 && z == MAT_COMPRESSION_ZLIB) continue;
      const std::string path = dir / "m.mat";
      write_mat(path, version, z, {{"m", MAT_C_DOUBLE, MAT_T_DOUBLE, {2, 3}, col_major}});
      std::string key;
      NDArray a = read_label_variable(path, key);
      ASSERT_EQ(a.shape(), (Shape{2, 3})) << version;
      EXPECT_EQ(a.dtype(), DType::Float64);
      for (std::int64_t r = 0; r < 2; ++r)
        for (std::int64_t c = 0; c < 3; ++c) EXPECT_EQ(a.at<double>({r, c}), r * 3 + c + 1) << version;
      if (version == MAT_FT_MAT4) continue;  // Level 4 has two dimensions only
      write_mat(path, version, z, {{"cube", MAT_C_DOUBLE, MAT_T_DOUBLE, {4, 3, 2}, cube.data()}});
      NDArray c3 = read_label_variable(path, key);
      ASSERT_EQ(c3.shape(), (Shape{4, 3, 2}));
      EXPECT_EQ(c3.at<double>({3, 2, 1}), 3 + 4 * (2 + 3 * 1));
      EXPECT_EQ(c3.at<double>({1, 0, 0}), 1);
    }
  }
}

TEST(GtMat, ElementTypesLogicalComplexAndIntegers) {
  TempDir dir;
  const std::uint8_t mask[4] = {1, 0, 0, 1};
  const std::int16_t labels[4] = {-1, 7, 300, 0};
  double re[2] = {1, 3}, im[2] = {2, -4};
  mat_complex_split_t z{re, im};
  for (mat_ft version : {MAT_FT_MAT5, MAT_FT_MAT73}) {
    const std::string path = dir / "t.mat";
    write_mat(path, version, MAT_COMPRESSION_ZLIB, {{"mask", MAT_C_UINT8, MAT_T_UINT8, {2, 2}, mask, MAT_F_LOGICAL}});
    std::string key;
    NDArray b = read_label_variable(path, key);
    EXPECT_EQ(b.dtype(), DType::Bool) << version;
    EXPECT_EQ(b.at<std::uint8_t>({0, 0}), 1);
    EXPECT_EQ(b.at<std::uint8_t>({0, 1}), 0);

    write_mat(path, version, MAT_COMPRESSION_ZLIB, {{"labels", MAT_C_INT16, MAT_T_INT16, {2, 2}, labels}});
    NDArray i = read_label_variable(path, key);
    EXPECT_EQ(i.dtype(), DType::Int16) << version;
    EXPECT_EQ(i.at<std::int16_t>({0, 1}), 300);

    for (matio_compression zip : {MAT_COMPRESSION_NONE, MAT_COMPRESSION_ZLIB}) {
      write_mat(path, version, zip, {{"z", MAT_C_DOUBLE, MAT_T_DOUBLE, {1, 2}, &z, MAT_F_COMPLEX}});
      NDArray c = read_label_variable(path, key);
      EXPECT_EQ(c.dtype(), DType::Complex128) << version;
      EXPECT_EQ(c.at<std::complex<double>>({0, 1}), std::complex<double>(3, -4));
    }
  }
}

TEST(GtMat, CompactlyStoredDoublesComeBackAsTheirStoredType) {
  TempDir dir;
  // By hand, uncompressed: class double, data element miUINT8.
  const std::string path = dir / "compact.mat";
  const std::string data = {0, 1, 2, 3, 4, static_cast<char>(250)};
  vexil::test::write_file(path, level5_header() + matrix_element(6, {2, 3}, "gt", 2, data));
  std::string key;
  NDArray a = read_label_variable(path, key);
  EXPECT_EQ(key, "gt");
  EXPECT_EQ(a.dtype(), DType::UInt8);
  ASSERT_EQ(a.shape(), (Shape{2, 3}));
  EXPECT_EQ(a.at<std::uint8_t>({1, 0}), 1);
  EXPECT_EQ(a.at<std::uint8_t>({1, 2}), 250);

  // matio writes the same layout, compressed, when told the data type.
  const std::uint16_t wide[3] = {0, 1000, 65535};
  write_mat(path, MAT_FT_MAT5, MAT_COMPRESSION_ZLIB, {{"gt", MAT_C_DOUBLE, MAT_T_UINT16, {1, 3}, wide}});
  NDArray b = read_label_variable(path, key);
  EXPECT_EQ(b.dtype(), DType::UInt16);
  EXPECT_EQ(b.at<std::uint16_t>({0, 2}), 65535);

  // Level 7.3 keeps the class type.
  const double d[3] = {0, 1, 2};
  write_mat(path, MAT_FT_MAT73, MAT_COMPRESSION_NONE, {{"gt", MAT_C_DOUBLE, MAT_T_DOUBLE, {1, 3}, d}});
  EXPECT_EQ(read_label_variable(path, key).dtype(), DType::Float64);
}

TEST(GtMat, TextCellsStructsAndHiddenNamesAreNotCandidates) {
  TempDir dir;
  const std::string path = dir / "mixed.mat";
  {
    mat_t* mat = Mat_CreateVer(path.c_str(), nullptr, MAT_FT_MAT5);
    std::size_t d15[2] = {1, 5}, d11[2] = {1, 1}, d33[2] = {3, 3};
    std::vector<double> big(1000, 1.0);
    std::size_t dbig[2] = {10, 100};
    matvar_t* title = Mat_VarCreate("title", MAT_C_CHAR, MAT_T_UINT8, 2, d15, const_cast<char*>("hello"), 0);
    matvar_t* hidden = Mat_VarCreate("_cache", MAT_C_DOUBLE, MAT_T_DOUBLE, 2, dbig, big.data(), 0);
    matvar_t* inner = Mat_VarCreate(nullptr, MAT_C_DOUBLE, MAT_T_DOUBLE, 2, dbig, big.data(), 0);
    matvar_t* cells[1] = {inner};
    matvar_t* cell = Mat_VarCreate("cells", MAT_C_CELL, MAT_T_CELL, 2, d11, cells, 0);
    std::size_t d00[2] = {0, 0};
    matvar_t* no_cells = Mat_VarCreate("nothing", MAT_C_CELL, MAT_T_CELL, 2, d00, nullptr, 0);
    const char* fields[1] = {"a"};
    matvar_t* st = Mat_VarCreateStruct("info", 2, d11, fields, 1);
    Mat_VarSetStructFieldByName(st, "a", 0, Mat_VarCreate(nullptr, MAT_C_DOUBLE, MAT_T_DOUBLE, 2, dbig, big.data(), 0));
    // A logical sparse matrix is larger than the labels, but not an array.
    mat_uint32_t ir[2] = {0, 5}, jc[101] = {};
    for (int j = 1; j <= 100; ++j) jc[j] = 2;
    double ones[2] = {1, 1};
    mat_sparse_t sp{2, ir, 2, jc, 101, 2, ones};
    matvar_t* mask =
        Mat_VarCreate("mask", MAT_C_SPARSE, MAT_T_DOUBLE, 2, dbig, &sp, MAT_F_LOGICAL | MAT_F_DONT_COPY_DATA);
    std::vector<double> nine(9, 2.0);
    matvar_t* labels = Mat_VarCreate("labels", MAT_C_DOUBLE, MAT_T_DOUBLE, 2, d33, nine.data(), 0);
    for (matvar_t* v : {title, hidden, no_cells, cell, st, mask, labels}) {
      Mat_VarWrite(mat, v, MAT_COMPRESSION_ZLIB);
      Mat_VarFree(v);
    }
    Mat_Close(mat);
  }
  EXPECT_EQ(read_key(path), "labels");

  const std::string text_only = dir / "text.mat";
  {
    mat_t* mat = Mat_CreateVer(text_only.c_str(), nullptr, MAT_FT_MAT5);
    std::size_t d15[2] = {1, 5};
    matvar_t* title = Mat_VarCreate("title", MAT_C_CHAR, MAT_T_UINT8, 2, d15, const_cast<char*>("hello"), 0);
    Mat_VarWrite(mat, title, MAT_COMPRESSION_NONE);
    Mat_VarFree(title);
    Mat_Close(mat);
  }
  EXPECT_EQ(error_of([&] { read_key(text_only); }), "No numeric array variable found in " + text_only);
}

TEST(GtMat, BrokenAndHostileFilesGiveClearErrors) {
  TempDir dir;
  const std::string good = dir / "good.mat";
  std::vector<double> v = iota_d(64 * 64);
  write_mat(good, MAT_FT_MAT5, MAT_COMPRESSION_ZLIB, {{"gt", MAT_C_DOUBLE, MAT_T_DOUBLE, {64, 64}, v.data()}});
  const std::string bytes = vexil::test::read_file(good);

  auto read_key_of = [&](const std::string& content) {
    const std::string p = dir / "ok.mat";
    vexil::test::write_file(p, content);
    return read_key(p);
  };
  auto expect_error = [&](const std::string& name, const std::string& content) {
    const std::string p = dir / name;
    vexil::test::write_file(p, content);
    std::string msg = error_of([&] { read_key(p); });
    EXPECT_NE(msg, "<no error>") << name;
    EXPECT_FALSE(msg.empty()) << name;
    return msg;
  };
  EXPECT_NE(expect_error("empty.mat", "").find("empty"), std::string::npos);
  expect_error("garbage.mat", std::string(2000, 'x'));
  EXPECT_NE(expect_error("cut.mat", bytes.substr(0, bytes.size() / 2)).find("truncated"), std::string::npos);
  expect_error("header_only.mat", bytes.substr(0, 128));
  // A compressed element whose zlib stream is garbage.
  std::string bad = bytes;
  for (std::size_t i = 128 + 8 + 20; i < bad.size(); ++i) bad[i] = static_cast<char>(i * 7);
  expect_error("badzlib.mat", bad);
  // A compressed stream that breaks inside the matrix head.
  std::string head_cut = bytes.substr(0, 128 + 8 + 30);
  for (std::size_t i = 128 + 8 + 12; i < head_cut.size(); ++i) head_cut[i] = '\xff';
  head_cut[128 + 4] = 30;  // the element's length, so that it is not merely truncated
  head_cut[128 + 5] = head_cut[128 + 6] = head_cut[128 + 7] = 0;
  EXPECT_NE(expect_error("head_cut.mat", head_cut).find("damaged"), std::string::npos);
  // Dimensions claiming far more than the element holds.
  expect_error("absurd.mat", level5_header() + matrix_element(6, {0x7fffffff, 0x7fffffff}, "gt", 2, "abcd"));
  expect_error("short.mat", level5_header() + matrix_element(6, {100, 100}, "gt", 9, std::string(16, '\0')));
  // Two copies of one name: which one a reader takes differs between readers.
  const std::string twice = matrix_element(6, {1, 2}, "gt", 2, "ab");
  EXPECT_NE(expect_error("twice.mat", level5_header() + twice + twice).find("'gt' is stored 2 times"),
            std::string::npos);
  // Dimensions or a name of another type: matio would lose its place.
  std::string odd_dims = matrix_element(6, {1, 2}, "gt", 2, "ab");
  odd_dims[24] = 0x15;
  EXPECT_NE(expect_error("odd_dims.mat", level5_header() + odd_dims).find("int32 list"), std::string::npos);
  odd_dims[24] = 5;
  odd_dims[28] = 7;  // 7 bytes of dimensions
  EXPECT_NE(expect_error("ragged_dims.mat", level5_header() + odd_dims).find("int32 list"), std::string::npos);
  std::string odd_name = matrix_element(6, {1, 2}, "gt", 2, "ab");
  odd_name[40] = 2;
  EXPECT_NE(expect_error("odd_name.mat", level5_header() + odd_name).find("name of type 2"), std::string::npos);
  // A cell array claiming more elements than its bytes can hold.
  EXPECT_NE(expect_error("cells.mat", level5_header() + matrix_element(1, {100000, 100000}, "c", 2, "ab") +
                                          matrix_element(6, {1, 2}, "gt", 2, "ab"))
                .find("cell array or handle of 10000000000 elements"),
            std::string::npos);
  // Compressed, with a matrix and a name claiming far more than the stream
  // could ever inflate to.
  {
    std::string liar = matrix_element(6, {1, 2}, "gt", 2, "ab");
    for (std::size_t at : {std::size_t{4}, std::size_t{44}}) liar[at + 3] = 0x40;  // + 1 GiB
    std::string z(compressBound(liar.size()), '\0');
    uLongf zn = z.size();
    ASSERT_EQ(
        compress(reinterpret_cast<Bytef*>(z.data()), &zn, reinterpret_cast<const Bytef*>(liar.data()), liar.size()),
        Z_OK);
    z.resize(zn);
    std::string el;
    put_u32(el, 15);
    put_u32(el, static_cast<std::uint32_t>(z.size()));
    EXPECT_NE(expect_error("liar.mat", level5_header() + el + z).find("-byte part"), std::string::npos);
  }
  // Inside a cell: a dimension list claiming 2 GB, and cells nested 150 deep.
  {
    std::string inner;
    for (std::uint32_t w : {6u, 8u, 6u, 0u, 5u, 0x7ffffff0u}) put_u32(inner, w);
    inner += std::string(16, '\0');
    const std::string gt = matrix_element(6, {1, 2}, "gt", 2, "ab");
    EXPECT_NE(expect_error("nested.mat", level5_header() + matrix_element(1, {1, 1}, "c", 14, inner) + gt)
                  .find("holds a 2147483632-byte part"),
              std::string::npos);
    std::string deep = matrix_element(6, {1, 1}, "", 2, "a").substr(8);
    for (int i = 0; i < 150; ++i) deep = matrix_element(1, {1, 1}, "", 14, deep).substr(8);
    EXPECT_NE(expect_error("deep.mat", level5_header() + matrix_element(1, {1, 1}, "c", 14, deep) + gt)
                  .find("nested more than 100 deep"),
              std::string::npos);
    std::string shallow = matrix_element(6, {1, 1}, "", 2, "a").substr(8);
    for (int i = 0; i < 10; ++i) shallow = matrix_element(1, {1, 1}, "", 14, shallow).substr(8);
    EXPECT_EQ(read_key_of(level5_header() + matrix_element(1, {1, 1}, "c", 14, shallow) + gt), "gt");
  }
  // A struct whose elements times fields outnumber its bytes.
  {
    std::string body;
    for (std::uint32_t w : {6u, 8u, 2u, 0u, 5u, 8u, 100000u, 100000u, 1u, 1u}) put_u32(body, w);
    body += std::string("s\0\0\0\0\0\0\0", 8);
    for (std::uint32_t w : {(4u << 16) | 5u, 32u, 1u, 32u}) put_u32(body, w);
    body += "a" + std::string(31, '\0');
    std::string el;
    put_u32(el, 14);
    put_u32(el, static_cast<std::uint32_t>(body.size()));
    EXPECT_NE(
        expect_error("struct.mat", level5_header() + el + body).find("a struct of 10000000000 elements and 1 fields"),
        std::string::npos);
  }
  // A data element whose packed tag claims 8 bytes: matio still lists the variable.
  {
    std::string packed = matrix_element(6, {0, 2}, "gt", 2, "");
    const std::uint32_t word = (8u << 16) | 2u;
    std::memcpy(packed.data() + 56, &word, 4);
    EXPECT_NE(expect_error("packed_data.mat", level5_header() + packed).find("its head is malformed"),
              std::string::npos);
  }
  // Complex, with fewer imaginary values than real ones (matio would read
  // past them), and whole.
  for (const std::uint32_t im_values : {1u, 4u}) {
    std::string el = matrix_element(6, {1, 4}, "gt", 9, std::string(32, '\0'));
    el[17] = 0x08;  // the complex flag
    put_u32(el, 9);
    put_u32(el, 8 * im_values);
    el += std::string(8 * im_values, '\0');
    const std::uint32_t body = static_cast<std::uint32_t>(el.size() - 8);
    std::memcpy(el.data() + 4, &body, 4);
    if (im_values == 1)
      EXPECT_NE(expect_error("short_imaginary.mat", level5_header() + el).find("need 32 bytes of imaginary data"),
                std::string::npos);
    else
      EXPECT_EQ(read_key_of(level5_header() + el), "gt");
  }
  // A name with a NUL inside is the same variable to matio; its checks still apply.
  EXPECT_NE(expect_error("nul_name.mat", level5_header() + matrix_element(6, {100, 100}, std::string("gt\0x", 4), 9,
                                                                          std::string(16, '\0')))
                .find("need 80000 bytes"),
            std::string::npos);
  EXPECT_THROW(read_key(dir / "missing.mat"), vexil::NotFoundError);
}

}  // namespace

// --- the choice of a variable, images, and the variables beside labels -----

namespace {

using vexil::formats::mat::choose_image_variable;
using vexil::formats::mat::choose_label_variable;
using vexil::formats::mat::VariableInfo;

VariableInfo info(const std::string& name, std::int64_t count) {
  VariableInfo v;
  v.name = name;
  v.shape = {count};
  v.count = static_cast<unsigned __int128>(count);
  return v;
}

std::string chosen(const VariableInfo* v) { return v ? v->name : "<none>"; }

}  // namespace

TEST(MatChoice, LabelsPreferTheirNamesImagesTheLargest) {
  const std::vector<VariableInfo> none;
  EXPECT_EQ(chosen(choose_label_variable(none)), "<none>");
  EXPECT_EQ(chosen(choose_image_variable(none)), "<none>");
  const std::vector<VariableInfo> one{info("whatever", 3)};
  EXPECT_EQ(chosen(choose_label_variable(one)), "whatever");
  EXPECT_EQ(chosen(choose_image_variable(one)), "whatever");
  const std::vector<VariableInfo> cube_and_gt{info("paviaU", 1000), info("groundtruth", 10), info("gt", 10)};
  EXPECT_EQ(chosen(choose_label_variable(cube_and_gt)), "gt");
  EXPECT_EQ(chosen(choose_image_variable(cube_and_gt)), "paviaU");
  const std::vector<VariableInfo> groundtruth{info("cube", 1000), info("groundtruth", 10), info("GT", 10)};
  EXPECT_EQ(chosen(choose_label_variable(groundtruth)), "groundtruth");
  const std::vector<VariableInfo> ties{info("a", 5), info("b", 9), info("c", 9)};
  EXPECT_EQ(chosen(choose_label_variable(ties)), "b");
  EXPECT_EQ(chosen(choose_image_variable(ties)), "b");
}

TEST(MatImage, CubeInMatlabOrderChosenOrNamed) {
  TempDir dir;
  // (rows 4, cols 5, bands 3) uint16 as MATLAB stores it (column-major), and its labels.
  std::vector<std::uint16_t> cube(60);
  std::iota(cube.begin(), cube.end(), std::uint16_t{1000});
  std::vector<std::uint8_t> gt(20, 7);
  for (mat_ft version : kVersions) {
    if (version == MAT_FT_MAT4) continue;  // Level 4 holds only 2-D matrices
    SCOPED_TRACE(version);
    const std::string path = dir / "scene.mat";
    write_mat(path, version, MAT_COMPRESSION_ZLIB,
              {{"gt", MAT_C_UINT8, MAT_T_UINT8, {4, 5}, gt.data()},
               {"scene", MAT_C_UINT16, MAT_T_UINT16, {4, 5, 3}, cube.data()}});
    const auto r = vexil::formats::mat::load_mat_image(path);
    ASSERT_EQ(r.data.shape(), (Shape{4, 5, 3}));
    ASSERT_EQ(r.data.dtype(), DType::UInt16);
    for (std::int64_t i = 0; i < 4; ++i)
      for (std::int64_t j = 0; j < 5; ++j)
        for (std::int64_t k = 0; k < 3; ++k)
          ASSERT_EQ(r.data.at<std::uint16_t>({i, j, k}), cube[i + 4 * j + 20 * k]) << i << j << k;
    EXPECT_EQ(r.meta["mat_key"], "scene");
    EXPECT_EQ(r.meta["_source_format"], "MAT");
    EXPECT_EQ(r.meta["_source_file"], path);
    EXPECT_EQ(r.meta["mat_header"].get<std::string>().rfind("MATLAB ", 0), 0u);

    for (const std::string spec : {":gt", "::gt", ":/gt", "::/gt"}) {
      const auto named = vexil::formats::mat::load_mat_image(path + spec);
      EXPECT_EQ(named.data.shape(), (Shape{4, 5})) << spec;
      EXPECT_EQ(named.meta["mat_key"], "gt");
      EXPECT_EQ(named.meta["_source_file"], path);
    }
    EXPECT_EQ(error_of([&] { vexil::formats::mat::load_mat_image(path + "::labels"); }),
              "MAT-file " + path + " has no numeric array variable 'labels'; its numeric arrays: gt, scene");
  }
}

TEST(GtMat, TextCellsAndSmallArraysTravelBesideTheLabels) {
  TempDir dir;
  const std::string path = dir / "labels.mat";
  for (mat_ft version : {MAT_FT_MAT5, MAT_FT_MAT73}) {
    SCOPED_TRACE(version);
    mat_t* mat = Mat_CreateVer(path.c_str(), nullptr, version);
    std::vector<std::uint8_t> gt(12, 2);
    std::size_t d34[2] = {3, 4}, d13[2] = {1, 3}, d23[2] = {2, 3}, d11[2] = {1, 1}, d15[2] = {1, 5}, dbig[2] = {65, 64},
                d22[2] = {2, 2}, d14[2] = {1, 4};
    std::vector<matvar_t*> vars;
    vars.push_back(Mat_VarCreate("gt", MAT_C_UINT8, MAT_T_UINT8, 2, d34, gt.data(), 0));
    matvar_t* names[3] = {Mat_VarCreate(nullptr, MAT_C_CHAR, MAT_T_UINT8, 2, d15, const_cast<char*>("water"), 0),
                          Mat_VarCreate(nullptr, MAT_C_CHAR, MAT_T_UINT8, 2, d14, const_cast<char*>("corn"), 0),
                          Mat_VarCreate(nullptr, MAT_C_CHAR, MAT_T_UINT8, 2, d14, const_cast<char*>("soil"), 0)};
    vars.push_back(Mat_VarCreate("names", MAT_C_CELL, MAT_T_CELL, 2, d13, names, 0));
    double cmap[6] = {0, 1, 0.5, 0.25, 1, 0};  // 2 x 3, column-major
    vars.push_back(Mat_VarCreate("cmap", MAT_C_DOUBLE, MAT_T_DOUBLE, 2, d23, cmap, 0));
    std::int32_t classes = 3;
    vars.push_back(Mat_VarCreate("n_classes", MAT_C_INT32, MAT_T_INT32, 2, d11, &classes, 0));
    vars.push_back(Mat_VarCreate("title", MAT_C_CHAR, MAT_T_UINT8, 2, d15, const_cast<char*>("Pavia"), 0));
    vars.push_back(Mat_VarCreate("rows", MAT_C_CHAR, MAT_T_UINT8, 2, d22, const_cast<char*>("acbd"), 0));
    std::vector<double> big(65 * 64, 1.0);  // more than 4,096 elements: left out
    vars.push_back(Mat_VarCreate("big", MAT_C_DOUBLE, MAT_T_DOUBLE, 2, dbig, big.data(), 0));
    vars.push_back(Mat_VarCreate("_hidden", MAT_C_CHAR, MAT_T_UINT8, 2, d15, const_cast<char*>("quiet"), 0));
    const char* fields[1] = {"a"};
    matvar_t* st = Mat_VarCreateStruct("info", 2, d11, fields, 1);
    Mat_VarSetStructFieldByName(st, "a", 0, Mat_VarCreate(nullptr, MAT_C_INT32, MAT_T_INT32, 2, d11, &classes, 0));
    vars.push_back(st);
    // matio's own compressed cells of text overstate their sizes (the
    // pre-scan refuses them; SciPy and Octave files are covered elsewhere).
    for (matvar_t* v : vars) {
      EXPECT_EQ(Mat_VarWrite(mat, v, MAT_COMPRESSION_NONE), 0);
      Mat_VarFree(v);
    }
    Mat_Close(mat);

    const auto r = vexil::formats::mat::load_mat_labels(path);
    EXPECT_EQ(r.meta["mat_key"], "gt");
    nlohmann::ordered_json expected{
        {"names", {"water", "corn", "soil"}},
        {"cmap", {{0.0, 0.5, 1.0}, {1.0, 0.25, 0.0}}},
        {"n_classes", 3},
        {"title", "Pavia"},
        {"rows", {"ab", "cd"}},
    };
    if (version == MAT_FT_MAT73) {
      // HDF5 lists the variables by name.
      nlohmann::ordered_json by_name = nlohmann::ordered_json::object();
      for (const char* k : {"cmap", "n_classes", "names", "rows", "title"}) by_name[k] = expected[k];
      expected = by_name;
    }
    EXPECT_EQ(r.meta["other_variables"], expected) << r.meta.dump();
    std::vector<std::string> keys;
    for (auto it = r.meta.begin(); it != r.meta.end(); ++it) keys.push_back(it.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"mat_key", "_source_format", "other_variables"}));
  }
  // Nothing beside the labels: no key.
  write_mat(path, MAT_FT_MAT5, MAT_COMPRESSION_NONE, {{"gt", MAT_C_DOUBLE, MAT_T_DOUBLE, {2, 2}, iota_d(4).data()}});
  EXPECT_FALSE(vexil::formats::mat::load_mat_labels(path).meta.contains("other_variables"));
}
