// HDF5-based files as the tools users have write them (h5py, netCDF4, GDAL),
// in the layouts of real products, converted by the program and read back
// with SciPy: data.mat must hold the true (height, width, bands) cube and
// metadata.json what the product declares about its bands.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "support/test_util.hpp"

#ifdef VEXIL_HAVE_HDF5

using vexil::test::run_program;
using vexil::test::run_vexil;
using vexil::test::TempDir;
using Json = nlohmann::json;

namespace {

const char* const kCases =
    "emit_l2a_rfl,emit_l2a_rfl_subset,prisma_l2d_vnir,prisma_l2d_auto,h5_dimension_scales,"
    "gdal_netcdf_bands,h5_lzf_bhw,h5_gzip_chunked_hwb,h5_contiguous_bhw,h5_cube_and_gt,h5_hwb_40x48x285,"
    "mat73_cube";

// Compares MAT-file variables with .npy files: prints "ok" or what differs.
const char* const kCompare = R"PY(
import sys, numpy as np, scipy.io
mat, key, npy = sys.argv[1:4]
got = scipy.io.loadmat(mat)[key]
want = np.load(npy)
if got.shape != want.shape:
    print("shape", got.shape, "expected", want.shape)
elif got.dtype != want.dtype:
    print("dtype", got.dtype, "expected", want.dtype)
elif not np.array_equal(got, want):
    print("values differ")
else:
    print("ok")
)PY";

class Hdf5Products : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    py_ = vexil::test::system_python_with("numpy, scipy.io, h5py, netCDF4");
    if (py_.empty()) return;
    dir_ = new TempDir();
    const auto r = run_program({py_, std::string(VEXIL_SOURCE_DIR) + "/tests/fixtures/make_fixtures.py", "--out",
                                dir_->path(), "--only", kCases});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    vexil::test::write_file(*dir_ / "compare.py", std::string(kCompare));
    const Json manifest = Json::parse(vexil::test::read_file(*dir_ / "manifest.json"));
    for (const auto& c : manifest["cases"]) cases_[c["name"]] = c;
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  void SetUp() override {
    if (py_.empty()) GTEST_SKIP() << "/usr/bin/python3 with numpy, scipy, h5py and netCDF4 is not installed";
  }

  static std::string path(const std::string& rel) { return *dir_ / rel; }
  static const Json& expected(const std::string& name) { return cases_.at(name)["expected"]; }

  // Runs the program on a case; the output folder is <dir>/<case>.<tag>.
  static vexil::test::RunResult convert(const std::string& name, const std::vector<std::string>& extra = {},
                                        const std::string& tag = "out") {
    std::vector<std::string> args{"convert_to_mat", "--img", path(cases_.at(name)["img"]), "--out-dir", out(name, tag)};
    if (!cases_.at(name)["gt"].is_null()) {
      args.push_back("--gt");
      args.push_back(path(cases_.at(name)["gt"]));
    }
    args.insert(args.end(), extra.begin(), extra.end());
    return run_vexil(args);
  }
  static std::string out(const std::string& name, const std::string& tag = "out") { return *dir_ / (name + "." + tag); }
  static std::string compare(const std::string& mat, const std::string& key, const std::string& npy) {
    const auto r = run_program({py_, *dir_ / "compare.py", mat, key, path(npy)});
    return r.status == 0 ? r.out.substr(0, r.out.find('\n')) : r.err;
  }
  static Json sidecar(const std::string& name, const std::string& tag = "out") {
    return Json::parse(vexil::test::read_file(out(name, tag) + "/metadata.json"));
  }

  static std::string py_;
  static TempDir* dir_;
  static std::map<std::string, Json> cases_;
};

std::string Hdf5Products::py_;
TempDir* Hdf5Products::dir_ = nullptr;
std::map<std::string, Json> Hdf5Products::cases_;

void expect_numbers(const Json& got, const Json& want, const char* what) {
  ASSERT_TRUE(got.is_array()) << what << ": " << got.dump();
  ASSERT_EQ(got.size(), want.size()) << what;
  for (std::size_t i = 0; i < want.size(); ++i) EXPECT_EQ(got[i].get<double>(), want[i].get<double>()) << what << i;
}

}  // namespace

TEST_F(Hdf5Products, EmitCubesKeepTheirOrderAndGainTheirBandTables) {
  for (const char* name : {"emit_l2a_rfl", "emit_l2a_rfl_subset"}) {
    SCOPED_TRACE(name);
    const auto r = convert(name);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    // The subset has fewer rows than columns and bands: the names decide, no guess is announced.
    EXPECT_EQ(r.out.find("\u26a0"), std::string::npos) << r.out;
    EXPECT_EQ(compare(out(name) + "/data.mat", "data", expected(name)["data"]["npy"]), "ok");
    const Json im = sidecar(name)["image"];
    const Json& facts = expected(name)["metadata"];
    expect_numbers(im["wavelength"], facts["wavelength"], "wavelength");
    expect_numbers(im["fwhm"], facts["fwhm"], "fwhm");
    EXPECT_EQ(im["bad_bands"], facts["bad_bands"]);
    EXPECT_EQ(im["wavelength_units"], "nm");
    EXPECT_EQ(im["fill_value"].dump(), "-9999.0");
    EXPECT_EQ(im["product"], "EMIT");
    EXPECT_EQ(im["stored_layout"], "hwb");
    EXPECT_EQ(im["layout_source"], "dimension names");
    EXPECT_FALSE(im.contains("_transposed"));
    EXPECT_EQ(im["dataset_used"], "reflectance");
    EXPECT_EQ(im["band_facts_source"], "EMIT sensor_band_parameters group, dataset attributes");
  }
}

TEST_F(Hdf5Products, PrismaCubesAreTurnedFromRowsBandsColumns) {
  auto r = convert("prisma_l2d_vnir");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(compare(out("prisma_l2d_vnir") + "/data.mat", "data", expected("prisma_l2d_vnir")["data"]["npy"]), "ok");
  Json im = sidecar("prisma_l2d_vnir")["image"];
  const Json& vnir = expected("prisma_l2d_vnir")["metadata"];
  expect_numbers(im["wavelength"], vnir["wavelength"], "wavelength");
  expect_numbers(im["fwhm"], vnir["fwhm"], "fwhm");
  EXPECT_EQ(im["bad_bands"], vnir["bad_bands"]);
  EXPECT_EQ(im["scale"]["min"], 0.0);
  EXPECT_EQ(im["scale"]["max"], 1.0);
  EXPECT_EQ(im["scale"]["apply"], "value = min + DN * (max - min) / 65535");
  EXPECT_EQ(im["stored_layout"], "hbw");
  EXPECT_EQ(im["layout_source"], "product PRISMA");
  EXPECT_EQ(im["_transposed"], "HCW \u2192 HWC");

  // No specifier: the SWIR cube, and the other cubes of the scene named on the console.
  r = convert("prisma_l2d_auto");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(compare(out("prisma_l2d_auto") + "/data.mat", "data", expected("prisma_l2d_auto")["data"]["npy"]), "ok");
  im = sidecar("prisma_l2d_auto")["image"];
  const Json& swir = expected("prisma_l2d_auto")["metadata"];
  expect_numbers(im["wavelength"], swir["wavelength"], "wavelength");
  EXPECT_EQ(im["bad_bands"], swir["bad_bands"]);
  EXPECT_NEAR(im["scale"]["max"].get<double>(), 0.8, 1e-7);
  const std::string df = "HDFEOS/SWATHS/PRS_L2D_HCO/Data Fields/";
  EXPECT_NE(r.out.find("  \u26a0 Also in this file, not converted: '" + df +
                       "SWIR_PIXEL_L2_ERR_MATRIX' (12, 40, 10), '" + df + "VNIR_Cube' (12, 8, 10), '" + df +
                       "VNIR_PIXEL_L2_ERR_MATRIX' (12, 8, 10); name one with --img "
                       "PRS_L2D_STD_20200627101424_20200627101428_0001.he5::DATASET\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find("Latitude"), std::string::npos);
  EXPECT_EQ(r.out.find("PAN_Cube"), std::string::npos);
}

TEST_F(Hdf5Products, DimensionScalesGdalBandsAndCompressedDatasets) {
  for (const char* name :
       {"h5_dimension_scales", "gdal_netcdf_bands", "h5_lzf_bhw", "h5_gzip_chunked_hwb", "h5_contiguous_bhw"}) {
    SCOPED_TRACE(name);
    const auto r = convert(name);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(compare(out(name) + "/data.mat", "data", expected(name)["data"]["npy"]), "ok");
  }
  Json im = sidecar("h5_dimension_scales")["image"];
  expect_numbers(im["wavelength"], expected("h5_dimension_scales")["metadata"]["wavelength"], "wavelength");
  EXPECT_EQ(im["layout_source"], "dimension names");
  EXPECT_EQ(im["band_facts_source"], "dimension scale 'wavelength'");

  // GDAL's Band1..Band7, stored bottom-up: one cube, right side up.
  im = sidecar("gdal_netcdf_bands")["image"];
  EXPECT_EQ(im["bands_from"], Json({"Band1", "Band2", "Band3", "Band4", "Band5", "Band6", "Band7"}));
  EXPECT_EQ(im["dataset_used"], "Band1 \u2026 Band7");
  EXPECT_EQ(im["rows_stored"], "bottom-up");
  expect_numbers(im["wavelength"], expected("gdal_netcdf_bands")["metadata"]["wavelength"], "wavelength");
  EXPECT_EQ(im["fill_value"], 0);
  EXPECT_EQ(im["band_attrs"].size(), 7u);

  // The wavelength list on the dataset tells the band axis; no guess is needed.
  im = sidecar("h5_contiguous_bhw")["image"];
  EXPECT_EQ(im["layout_source"], "wavelength count");
  EXPECT_EQ(im["stored_layout"], "bhw");
}

TEST_F(Hdf5Products, GroundTruthFromADatasetBesideTheCube) {
  const auto r = convert("h5_cube_and_gt");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(compare(out("h5_cube_and_gt") + "/data.mat", "data", expected("h5_cube_and_gt")["data"]["npy"]), "ok");
  EXPECT_EQ(compare(out("h5_cube_and_gt") + "/gt.mat", "gt", expected("h5_cube_and_gt")["gt"]["npy"]), "ok");
  const Json gt = sidecar("h5_cube_and_gt")["ground_truth"];
  EXPECT_EQ(gt.begin().key(), "_source_file");
  EXPECT_EQ(gt["_source_file"], path("h5_cube_and_gt/PaviaU.h5"));
  EXPECT_EQ(gt["dataset_used"], "paviaU_gt");
  EXPECT_EQ(gt["_source_format"], "HDF5");
  EXPECT_NE(r.out.find("Loading ground truth: " + path("h5_cube_and_gt/PaviaU.h5::paviaU_gt")), std::string::npos);
}

TEST_F(Hdf5Products, TheSizeRuleAnnouncesItselfAndLayoutOverridesIt) {
  const std::string name = "h5_hwb_40x48x285";
  auto r = convert(name);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("\n  \u26a0 Axis order of 'reflectance' (40, 48, 285) guessed from its sizes: bands first, "
                       "turned to (48, 285, 40); --layout hwb keeps it as stored\n"),
            std::string::npos)
      << r.out;
  Json im = sidecar(name)["image"];
  EXPECT_EQ(im["stored_layout"], "bhw");
  EXPECT_EQ(im["layout_source"], "size rule");
  EXPECT_EQ(im["_transposed"], "CHW \u2192 HWC");

  r = convert(name, {"--layout", "hwb"}, "hwb");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out.find("\u26a0"), std::string::npos) << r.out;
  EXPECT_EQ(compare(out(name, "hwb") + "/data.mat", "data", expected(name)["data"]["npy"]), "ok");
  im = sidecar(name, "hwb")["image"];
  EXPECT_EQ(im["stored_layout"], "hwb");
  EXPECT_EQ(im["layout_source"], "--layout");
  EXPECT_FALSE(im.contains("_transposed"));

  // An order that cannot describe the dataset is a usage error, before anything is written.
  r = run_vexil({"convert_to_mat", "--img", path("h5_cube_and_gt/PaviaU.h5::paviaU_gt"), "--out-dir", out(name, "bad"),
                 "--layout", "bhw"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "vexil convert_to_mat: error: argument --layout: bhw does not fit dataset 'paviaU_gt' of shape "
            "(12, 10): it needs three axes\n");
  EXPECT_FALSE(vexil::test::exists(out(name, "bad")));
}

TEST_F(Hdf5Products, MatFile73FromH5pyReadThroughHdf5) {
  // Renamed so the HDF5 reader takes it: MATLAB's header alone tells the order.
  const std::string copy = out("mat73_cube", "h5") + ".h5";
  vexil::test::write_file(copy, vexil::test::read_file(path("mat73_cube/Houston.mat")));
  const auto r = run_vexil({"convert_to_mat", "--img", copy, "--out-dir", out("mat73_cube")});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(compare(out("mat73_cube") + "/data.mat", "data", expected("mat73_cube")["data"]["npy"]), "ok");
  EXPECT_EQ(sidecar("mat73_cube")["image"]["layout_source"], "MAT-file 7.3 (column-major)");
}

// GDAL's netCDF rows are bottom-up unless written with WRITE_BOTTOMUP=NO,
// which its y coordinate then says; both come out right side up.
TEST_F(Hdf5Products, GdalNetcdfRowsComeOutRightSideUpEitherWay) {
  const std::string gdal_py = vexil::test::system_python_with("numpy, osgeo.gdal");
  if (gdal_py.empty()) GTEST_SKIP() << "GDAL's Python bindings are not installed";
  TempDir d;
  vexil::test::write_file(d / "make.py", R"PY(
import sys, numpy as np
from osgeo import gdal, osr
gdal.UseExceptions()
out = sys.argv[1]
a = (np.arange(5 * 4 * 3, dtype="uint16").reshape(3, 5, 4) * 7 + 11)
src = gdal.GetDriverByName("MEM").Create("", 4, 5, 3, gdal.GDT_UInt16)
for k in range(3):
    src.GetRasterBand(k + 1).WriteArray(a[k])
src.SetGeoTransform([500000, 30, 0, 4500000, 0, -30])
srs = osr.SpatialReference(); srs.ImportFromEPSG(32633)
src.SetProjection(srs.ExportToWkt())
gdal.Translate(out + "/up.nc", src, format="netCDF")
gdal.Translate(out + "/down.nc", src, format="netCDF", creationOptions=["WRITE_BOTTOMUP=NO"])
plain = gdal.GetDriverByName("MEM").Create("", 4, 5, 1, gdal.GDT_UInt16)
plain.GetRasterBand(1).WriteArray(a[0])
gdal.Translate(out + "/one.nc", plain, format="netCDF")
np.save(out + "/cube.npy", a.transpose(1, 2, 0))
np.save(out + "/one.npy", a[0][:, :, None])
np.save(out + "/crop.npy", a.transpose(1, 2, 0)[1:4, 1:3])
)PY");
  const auto made = run_program({gdal_py, d / "make.py", d.path()});
  ASSERT_EQ(made.status, 0) << made.err;
  for (const auto& [file, npy, flipped] : {std::tuple<const char*, const char*, bool>{"up.nc", "cube.npy", true},
                                           {"down.nc", "cube.npy", false},
                                           {"one.nc", "one.npy", true}}) {
    SCOPED_TRACE(file);
    const std::string o = d / (std::string(file) + ".out");
    const auto r = run_vexil({"convert_to_mat", "--img", d / file, "--out-dir", o});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const auto c = run_program({py_, *dir_ / "compare.py", o + "/data.mat", "data", d / npy});
    EXPECT_EQ(c.out, "ok\n") << c.err;
    const Json im = Json::parse(vexil::test::read_file(o + "/metadata.json"))["image"];
    EXPECT_EQ(im.contains("rows_stored"), flipped);
    if (std::string(npy) != "cube.npy") continue;
    // Each band its own dataset: streamed band by band, a window too.
    const auto cr =
        run_vexil({"convert_to_mat", "--img", d / file, "--out-dir", o + "c", "--crop", "1", "1", "3", "2"});
    ASSERT_EQ(cr.status, 0) << cr.out << cr.err;
    const auto cc = run_program({py_, *dir_ / "compare.py", o + "c/data.mat", "data", d / "crop.npy"});
    EXPECT_EQ(cc.out, "ok\n") << cc.err;
  }
}

// h5py's small chunks: more of them than the library's place lookup can
// walk for each (each found by a tree search instead), some never written
// (the fill value); and a file with fewer, read straight from the file.
TEST_F(Hdf5Products, H5pySmallChunksManyOrFewPartlyWritten) {
  TempDir d;
  vexil::test::write_file(d / "make.py", R"PY(
import sys, numpy as np, h5py
out = sys.argv[1]
a = (np.arange(48 * 50 * 6, dtype="uint16").reshape(48, 50, 6) * 13 + 5)
for name, chunks in (("many", (1, 1, 6)), ("few", (1, 50, 6))):
    with h5py.File(out + "/" + name + ".h5", "w") as f:
        d = f.create_dataset("cube", shape=a.shape, dtype="uint16", chunks=chunks, compression="gzip",
                             shuffle=True, fillvalue=9)
        d[5:] = a[5:]
    with h5py.File(out + "/" + name + ".h5", "r") as f:
        np.save(out + "/" + name + ".npy", f["cube"][()])
)PY");
  const auto made = run_program({py_, d / "make.py", d.path()});
  ASSERT_EQ(made.status, 0) << made.err;
  for (const char* name : {"many", "few"}) {
    SCOPED_TRACE(name);
    const std::string o = d / (std::string(name) + ".out");
    const auto r = run_vexil({"convert_to_mat", "--img", d / (std::string(name) + ".h5"), "--out-dir", o});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const auto c = run_program({py_, *dir_ / "compare.py", o + "/data.mat", "data", d / (std::string(name) + ".npy")});
    EXPECT_EQ(c.out, "ok\n") << c.err;
  }
}

#endif  // VEXIL_HAVE_HDF5
