// The ground-truth loader's dispatch by extension and the dictionary each
// reading path builds.
#include <gtest/gtest.h>
#include <matio.h>

#include <cstdint>
#include <filesystem>
#include <numeric>
#include <string>
#include <vector>

#include "vexil/errors.hpp"
#include "io/paths.hpp"
#include "formats/envi/envi_format.hpp"
#include "formats/ground_truth.hpp"
#include "support/test_util.hpp"

#ifdef VEXIL_HAVE_GDAL
#include <gdal.h>
#include <ogr_srs_api.h>
#endif

namespace {

using vexil::DType;
using vexil::Metadata;
using vexil::Shape;
using vexil::formats::load_gt;
using vexil::formats::envi::load_envi;
using vexil::test::TempDir;

std::vector<std::string> keys(const Metadata& m) {
  std::vector<std::string> k;
  for (auto it = m.begin(); it != m.end(); ++it) k.push_back(it.key());
  return k;
}

void write_double_mat(const std::string& path, const char* name, std::vector<std::size_t> dims) {
  std::size_t n = 1;
  for (auto d : dims) n *= d;
  std::vector<double> v(n);
  std::iota(v.begin(), v.end(), 0.0);
  mat_t* mat = Mat_CreateVer(path.c_str(), nullptr, MAT_FT_MAT5);
  ASSERT_NE(mat, nullptr);
  matvar_t* mv =
      Mat_VarCreate(name, MAT_C_DOUBLE, MAT_T_DOUBLE, static_cast<int>(dims.size()), dims.data(), v.data(), 0);
  Mat_VarWrite(mat, mv, MAT_COMPRESSION_ZLIB);
  Mat_VarFree(mv);
  Mat_Close(mat);
}

TEST(GtLoader, MatFilesAreSqueezedAndNamed) {
  TempDir dir;
  const std::string map = dir / "labels.MAT";  // the extension matches in any case
  write_double_mat(map, "indian_pines_gt", {120, 80, 1});
  auto r = load_gt(map);
  EXPECT_EQ(r.data.shape(), (Shape{120, 80}));
  EXPECT_EQ(r.data.at<double>({1, 0}), 1.0);  // MATLAB's row 2, column 1
  EXPECT_EQ(r.data.at<double>({0, 1}), 120.0);
  EXPECT_EQ(keys(r.meta), (std::vector<std::string>{"_source_file", "mat_key", "_source_format"}));
  EXPECT_EQ(r.meta["_source_file"], vexil::io::abspath(map));
  EXPECT_EQ(r.meta["mat_key"], "indian_pines_gt");
  EXPECT_EQ(r.meta["_source_format"], "MAT");

  const std::string row = dir / "row.mat";
  write_double_mat(row, "gt", {1, 50});
  auto rr = load_gt(row);
  EXPECT_EQ(rr.data.shape(), (Shape{50}));
  EXPECT_EQ(rr.data.at<double>({49}), 49.0);
}

TEST(GtLoader, UnsupportedExtensionsNameTheLowerCasedExtension) {
  struct Case {
    const char* path;
    const char* message;
  };
  for (const Case& c :
       {Case{"labels.gif", "Unsupported ground truth format: .gif"},
        Case{"labels.NPY", "Unsupported ground truth format: .npy"},
        Case{"archive.tar.GZ", "Unsupported ground truth format: .gz"},
        Case{"labels", "Unsupported ground truth format: "}, Case{".mat", "Unsupported ground truth format: "},
        // A dataset specifier counts only after a file a label reader knows.
        Case{"scans:/labels.gif", "Unsupported ground truth format: .gif"},
        Case{"labels.gif::gt", "Unsupported ground truth format: .gif::gt"}}) {
    try {
      load_gt(c.path);
      ADD_FAILURE() << c.path;
    } catch (const vexil::BadInputError& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
    }
  }
}

TEST(GtLoader, EnviLabelsAreSqueezedAndKeepTheirDictionary) {
  TempDir dir;
  const std::string hdr = dir / "labels.hdr";
  const std::string img = dir / "labels.img";
  vexil::test::write_file(hdr,
                          "ENVI\nsamples = 3\nlines = 4\nbands = 1\nheader offset = 0\nfile type = ENVI Standard\n"
                          "data type = 1\ninterleave = bsq\nbyte order = 0\n");
  std::vector<std::uint8_t> px(12);
  std::iota(px.begin(), px.end(), std::uint8_t{0});
  vexil::test::write_file(img, px);
  for (const std::string& p : {hdr, img}) {
    auto r = load_gt(p);
    auto envi = load_envi(p);
    EXPECT_EQ(r.data.shape(), (Shape{4, 3})) << p;
    EXPECT_EQ(r.data.at<std::uint8_t>({2, 1}), 7);
    auto k = keys(r.meta);
    ASSERT_FALSE(k.empty());
    EXPECT_EQ(k.front(), "_source_file");
    EXPECT_EQ(r.meta["_source_file"], envi.meta["_source_file"]);
    EXPECT_EQ(r.meta["_source_format"], "ENVI");
    EXPECT_EQ(k.size(), keys(envi.meta).size());
  }
}

#ifdef VEXIL_HAVE_GDAL
void write_raster(const std::string& path, const char* driver, int bands, bool with_crs) {
  GDALAllRegister();
  GDALDatasetH mem = GDALCreate(GDALGetDriverByName("MEM"), "", 5, 4, bands, GDT_Byte, nullptr);
  ASSERT_NE(mem, nullptr);
  std::vector<std::uint8_t> px(20);
  for (int b = 1; b <= bands; ++b) {
    std::iota(px.begin(), px.end(), static_cast<std::uint8_t>(10 * b));
    ASSERT_EQ(GDALRasterIO(GDALGetRasterBand(mem, b), GF_Write, 0, 0, 5, 4, px.data(), 5, 4, GDT_Byte, 0, 0), CE_None);
  }
  if (with_crs) {
    OGRSpatialReferenceH srs = OSRNewSpatialReference(nullptr);
    OSRImportFromEPSG(srs, 32633);
    GDALSetSpatialRef(mem, srs);
    double gt[6] = {500000, 30, 0, 4000000, 0, -30};
    GDALSetGeoTransform(mem, gt);
    OSRDestroySpatialReference(srs);
  }
  GDALDatasetH out = GDALCreateCopy(GDALGetDriverByName(driver), path.c_str(), mem, FALSE, nullptr, nullptr, nullptr);
  ASSERT_NE(out, nullptr);
  GDALClose(out);
  GDALClose(mem);
}

TEST(GtLoader, ImagesAndTiffs) {
  TempDir dir;
  const std::string grey = dir / "grey.PNG", rgb = dir / "rgb.png", tif = dir / "labels.tif", geo = dir / "geo.TIFF";
  write_raster(grey, "PNG", 1, false);
  write_raster(rgb, "PNG", 3, false);
  write_raster(tif, "GTiff", 3, false);
  write_raster(geo, "GTiff", 1, true);

  auto g = load_gt(grey);
  EXPECT_EQ(g.data.shape(), (Shape{4, 5}));
  EXPECT_EQ(keys(g.meta), (std::vector<std::string>{"_source_file", "_source_format"}));
  EXPECT_EQ(g.meta["_source_format"], "image");

  auto c = load_gt(rgb);
  EXPECT_EQ(c.data.shape(), (Shape{4, 5, 3}));
  EXPECT_EQ(keys(c.meta), (std::vector<std::string>{"_source_file", "_source_format", "_note"}));
  EXPECT_EQ(c.meta["_note"],
            "Ground truth loaded as RGB image. You may need to map RGB values to class labels manually.");

  auto t = load_gt(tif);
  EXPECT_EQ(t.data.shape(), (Shape{4, 5}));  // band 1 only
  EXPECT_EQ(t.data.at<std::uint8_t>({0, 0}), 10);
  EXPECT_EQ(keys(t.meta), (std::vector<std::string>{"_source_file", "_source_format"}));
  EXPECT_EQ(t.meta["_source_format"], "GeoTIFF");

  auto gt = load_gt(geo);
  EXPECT_EQ(keys(gt.meta), (std::vector<std::string>{"_source_file", "crs", "_source_format"}));
  EXPECT_EQ(gt.meta["crs"], "EPSG:32633");
}
#endif

}  // namespace

// The files a label reader read travel with the labels (so no output can
// replace one), and a dataset or variable specifier picks the reader by the
// file's own extension.
TEST(GtLoader, FilesReadAndVariableSpecifiers) {
  TempDir dir;
  vexil::test::write_file(dir / "labels.hdr",
                          "ENVI\nsamples = 2\nlines = 2\nbands = 1\ndata type = 1\ninterleave = bsq\nbyte order = 0\n");
  vexil::test::write_file(dir / "labels.img", std::string(4, '\x02'));
  EXPECT_EQ(load_gt(dir / "labels.hdr").files, (std::vector<std::string>{dir / "labels.hdr", dir / "labels.img"}));

  write_double_mat(dir / "gt.mat", "classes", {3, 4});
  EXPECT_EQ(load_gt(dir / "gt.mat").files, std::vector<std::string>{dir / "gt.mat"});
  for (const std::string spec : {":classes", "::classes", ":/classes"}) {
    const auto r = load_gt(dir / "gt.mat" + spec);
    EXPECT_EQ(r.data.shape(), (Shape{3, 4})) << spec;
    EXPECT_EQ(r.meta["_source_file"], dir / "gt.mat") << spec;
    EXPECT_EQ(r.meta["mat_key"], "classes");
  }
  EXPECT_EQ(vexil::test::error_of([&] { load_gt(dir / "missing.mat:classes"); }),
            "Unsupported ground truth format: .mat:classes");

  // A label header whose data file is this run's gt.mat: refused before
  // anything is written, the file left as it was.
  vexil::test::write_file(dir / "img.hdr",
                          "ENVI\nsamples = 2\nlines = 2\nbands = 1\ndata type = 1\ninterleave = bsq\nbyte order = 0\n");
  vexil::test::write_file(dir / "img.img", std::string(4, '\x01'));
  std::filesystem::create_directories(dir / "out");
  vexil::test::write_file(dir / "out/gt.mat.hdr",
                          "ENVI\nsamples = 2\nlines = 2\nbands = 1\ndata type = 1\ninterleave = bsq\nbyte order = 0\n");
  vexil::test::write_file(dir / "out/gt.mat", std::string(4, '\x03'));
  const auto run = vexil::test::run_vexil(
      {"convert_to_mat", "--img", dir / "img.hdr", "--gt", dir / "out/gt.mat.hdr", "--out-dir", dir / "out"});
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_NE(run.err.find("is the output file"), std::string::npos) << run.err;
  EXPECT_EQ(vexil::test::read_file(dir / "out/gt.mat"), std::string(4, '\x03'));
  EXPECT_FALSE(vexil::test::exists(dir / "out/data.mat"));
}
