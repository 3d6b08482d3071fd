// NetCDF-3 and HDF4 through GDAL: files from netCDF4-python and GDAL's own
// writers, read back value by value as (height, width, bands), with the
// variable choice, the axis order, GDAL's bottom-up Band1..N layout and the
// band facts; recognised by content where HDF5 claims the extension.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "formats/detect.hpp"
#include "formats/gdal/gdal_containers.hpp"
#include "formats/gdal_module.hpp"
#include "support/recording_reporter.hpp"
#include "support/test_util.hpp"
#include "vexil/errors.hpp"

using namespace vexil;
using namespace vexil::formats;
using vexil::test::TempDir;

namespace {

// Writes the files and, for each, the expected (height, width, bands) cube as raw bytes.
const char* kWriter = R"(
import sys, os, numpy as np, netCDF4
from osgeo import gdal
gdal.UseExceptions()
d = sys.argv[1]
H, W, B = 12, 10, 7
cube = (np.arange(H * W * B, dtype=np.int64).reshape(H, W, B) * 7 - 2000).astype(np.int16)
def save(name, arr): arr.tofile(os.path.join(d, name + '.bin'))
for fmt, name in (('NETCDF3_CLASSIC', 'classic'), ('NETCDF3_64BIT_OFFSET', 'offset64'), ('NETCDF3_64BIT_DATA', 'data64')):
    with netCDF4.Dataset(os.path.join(d, name + '.nc'), 'w', format=fmt) as nc:
        nc.title = 'classic cube'
        nc.createDimension('y', H); nc.createDimension('x', W); nc.createDimension('band', B)
        wv = nc.createVariable('wavelength', 'f8', ('band',)); wv.units = 'nm'; wv[:] = [400 + 10 * i for i in range(B)]
        v = nc.createVariable('radiance', 'i2', ('y', 'x', 'band'), fill_value=np.int16(-32767))
        v.scale_factor = 0.01
        v.set_auto_maskandscale(False)
        v[:] = cube
save('classic', cube)
# Bands first with names that say nothing: only the sizes can tell.
with netCDF4.Dataset(os.path.join(d, 'unnamed.nc'), 'w', format='NETCDF3_CLASSIC') as nc:
    for n, s in (('d0', B), ('d1', H), ('d2', W)): nc.createDimension(n, s)
    v = nc.createVariable('cube', 'f4', ('d0', 'd1', 'd2'))
    v[:] = cube.transpose(2, 0, 1).astype(np.float32)
save('unnamed', cube.astype(np.float32))
# GDAL's multi-band netCDF-3: Band1..BandN, rows bottom-up (or top-down on request).
src = os.path.join(d, 'src.tif')
ds = gdal.GetDriverByName('GTiff').Create(src, W, H, B, gdal.GDT_Int16)
ds.SetGeoTransform([500000, 30, 0, 4500000, 0, -30])
for k in range(B):
    b = ds.GetRasterBand(k + 1); b.WriteArray(cube[:, :, k]); b.SetNoDataValue(-5); b.SetMetadataItem('wavelength', str(500 + k))
ds = None
gdal.Translate(os.path.join(d, 'bands.nc'), src, format='netCDF', creationOptions=['FORMAT=NC'])
gdal.Translate(os.path.join(d, 'topdown.nc'), src, format='netCDF', creationOptions=['FORMAT=NC', 'WRITE_BOTTOMUP=NO'])
gdal.Translate(os.path.join(d, 'scene.hdf'), src, format='HDF4Image')
os.remove(src)
)";

std::vector<std::int16_t> expected_i16(const std::string& path) {
  const std::string b = vexil::test::read_file(path);
  std::vector<std::int16_t> v(b.size() / 2);
  std::memcpy(v.data(), b.data(), v.size() * 2);
  return v;
}

template <class T, class U>
bool equals_cube(const NDArray& a, const std::vector<U>& want, int h, int w, int bands, int y0 = 0, int x0 = 0,
                 int full_w = 10) {
  if (a.shape() != Shape{h, w, bands}) return false;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int k = 0; k < bands; ++k)
        if (a.at<T>({y, x, k}) !=
            static_cast<T>(want[(static_cast<std::size_t>(y + y0) * full_w + x + x0) * bands + k]))
          return false;
  return true;
}

class GdalContainers : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    py_ = vexil::test::system_python_with("numpy, netCDF4, osgeo.gdal");
    if (py_.empty()) return;
    dir_ = new TempDir;
    const auto r = vexil::test::run_program({py_, "-c", kWriter, dir_->path()});
    ASSERT_EQ(r.status, 0) << r.err;
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  void SetUp() override {
    if (!gdal_module::available()) GTEST_SKIP() << "built without GDAL";
    if (py_.empty()) GTEST_SKIP() << "/usr/bin/python3 with NumPy, netCDF4 and GDAL is not installed";
  }
  static std::string at(const std::string& name) { return (*dir_) / name; }

  static inline std::string py_;
  static inline TempDir* dir_ = nullptr;
};

// Through the library's forwarder, as the format table calls it.
LoadResult load_netcdf3(const std::string& path, const ReadOptions& options = {}) {
  return gdal_module::load_netcdf3(path, options);
}

}  // namespace

// All three NetCDF-3 flavours: the variable with the most elements, its axes
// named, its wavelengths from the variable along the band axis.
TEST_F(GdalContainers, Netcdf3CubeWithBandFacts) {
  const auto want = expected_i16(at("classic.bin"));
  for (const char* name : {"classic.nc", "offset64.nc", "data64.nc"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(detect_format(at(name)).key, "netcdf3");
    const LoadResult r = read_image_as(detect_format(at(name)), at(name));
    ASSERT_TRUE(r.data.is_deferred());
    EXPECT_TRUE(equals_cube<std::int16_t>(r.data.materialize(), want, 12, 10, 7));
    const Metadata& m = r.meta;
    EXPECT_EQ(m["available_datasets"].dump(), R"({"wavelength":[7],"radiance":[12,10,7]})");
    EXPECT_EQ(m["dataset_used"], "radiance");
    EXPECT_EQ(m["dataset_attrs"].dump(), R"({"_FillValue":-32767,"scale_factor":0.01})");
    EXPECT_EQ(m["file_attrs"]["title"], "classic cube");
    EXPECT_EQ(m["stored_layout"], "hwb");
    EXPECT_EQ(m["layout_source"], "dimension names");
    EXPECT_EQ(m["wavelength"].dump(), "[400.0,410.0,420.0,430.0,440.0,450.0,460.0]");
    EXPECT_EQ(m["wavelength_units"], "nm");
    EXPECT_EQ(m["fill_value"].dump(), "-32767");
    EXPECT_EQ(m["scale"].dump(), R"({"gain":0.01,"offset":0.0,"apply":"value = gain * DN + offset"})");
    EXPECT_EQ(m["_source_format"], "NetCDF-3");
  }
  // A crop reads its window only.
  const NDArray crop = load_netcdf3(at("classic.nc")).data.window(3, 9, 2, 7).materialize();
  EXPECT_TRUE(equals_cube<std::int16_t>(crop, want, 6, 5, 7, 3, 2));
}

// GDAL's Band1..BandN 2-D variables are one cube in band order, rows put
// right side up when the y coordinate runs upwards; named alone, a band is
// one 2-D variable.
TEST_F(GdalContainers, GdalBandsAreStackedRightSideUp) {
  const auto want = expected_i16(at("classic.bin"));
  for (const char* name : {"bands.nc", "topdown.nc"}) {
    SCOPED_TRACE(name);
    const LoadResult r = load_netcdf3(at(name));
    EXPECT_TRUE(equals_cube<std::int16_t>(r.data.materialize(), want, 12, 10, 7));
    EXPECT_TRUE(equals_cube<std::int16_t>(r.data.window(2, 11, 1, 4).materialize(), want, 9, 3, 7, 2, 1));
    const Metadata& m = r.meta;
    EXPECT_EQ(m["dataset_used"], "Band1 \u2026 Band7");
    EXPECT_EQ(m["bands_from"].size(), 7u);
    EXPECT_EQ(m["band_attrs"][2]["wavelength"], 502.0);
    EXPECT_EQ(m.contains("rows_stored"), std::string(name) == "bands.nc");
    EXPECT_EQ(m["wavelength"].dump(), "[500.0,501.0,502.0,503.0,504.0,505.0,506.0]");
    EXPECT_EQ(m["fill_value"].dump(), "-5");
  }
  const LoadResult one = load_netcdf3(at("bands.nc") + "::Band3");
  const NDArray band3 = one.data.materialize();
  ASSERT_EQ(band3.shape(), (Shape{12, 10}));
  EXPECT_EQ(band3.at<std::int16_t>({0, 0}), want[2]);
  EXPECT_EQ(band3.at<std::int16_t>({11, 9}), want[(11 * 10 + 9) * 7 + 2]);
  EXPECT_EQ(one.meta["dataset_used"], "Band3");
  EXPECT_EQ(one.meta["rows_stored"], "bottom-up");

  const std::string missing = vexil::test::error_of([&] { load_netcdf3(at("classic.nc") + "::reflectance"); });
  EXPECT_EQ(missing, "Dataset 'reflectance' not found in " + at("classic.nc") +
                         ".\nAvailable datasets: ['wavelength', 'radiance']");
  EXPECT_THROW(load_netcdf3(at("bands.nc"), {nullptr, Layout::BHW}), UsageError);
}

// Names that do not tell: the size rule turns a bands-first cube and says
// so in a yellow line; --layout keeps the stored order.
TEST_F(GdalContainers, SizeRuleOnlyWhereNothingElseDecides) {
  const std::string b = vexil::test::read_file(at("unnamed.bin"));
  std::vector<float> want(b.size() / 4);
  std::memcpy(want.data(), b.data(), b.size());
  vexil::test::RecordingJob rec;
  const LoadResult r = load_netcdf3(at("unnamed.nc"), {&rec.job});
  EXPECT_TRUE(equals_cube<float>(r.data.materialize(), want, 12, 10, 7));
  EXPECT_EQ(r.meta["stored_layout"], "bhw");
  EXPECT_EQ(r.meta["layout_source"], "size rule");
  EXPECT_EQ(r.meta["_transposed"], "CHW \u2192 HWC");
  EXPECT_EQ(rec.reporter.text(),
            "  \u26a0 Axis order of 'cube' (7, 12, 10) guessed from its sizes: bands first, turned to (12, 10, 7); "
            "pass --layout hwb to keep it as stored\n");

  vexil::test::RecordingJob quiet;
  const LoadResult kept = load_netcdf3(at("unnamed.nc"), {&quiet.job, Layout::HWB});
  EXPECT_EQ(kept.data.shape(), (Shape{7, 12, 10}));
  EXPECT_EQ(kept.meta["layout_source"], "--layout");
  EXPECT_EQ(quiet.reporter.text(), "");
}

// HDF4 written by GDAL: one 3-D scientific data set with named axes.
TEST_F(GdalContainers, Hdf4FromGdal) {
  const auto want = expected_i16(at("classic.bin"));
  EXPECT_EQ(detect_format(at("scene.hdf")).key, "hdf4");
  const LoadResult r = read_image_as(detect_format(at("scene.hdf")), at("scene.hdf"));
  EXPECT_TRUE(equals_cube<std::int16_t>(r.data.materialize(), want, 12, 10, 7));
  EXPECT_EQ(r.meta["dataset_used"], "3-dimensional Scientific Dataset");
  EXPECT_EQ(r.meta["stored_layout"], "hwb");
  EXPECT_EQ(r.meta["_source_format"], "HDF4");
}

// The content decides between HDF5 and these containers; everything else
// is detected as before.
TEST(GdalContainerDetection, ByContent) {
  TempDir dir;
  vexil::test::write_file(dir / "a.nc", std::string("CDF\x01\0\0\0\0", 8));
  vexil::test::write_file(dir / "b.nc", std::string("CDF\x02\0\0\0\0", 8));
  vexil::test::write_file(dir / "c.hdf", std::string("\x0e\x03\x13\x01\0\0", 6));
  vexil::test::write_file(dir / "d.nc", std::string("\x89HDF\r\n\x1a\n", 8));
  vexil::test::write_file(dir / "e.nc", "plain text");
  vexil::test::write_file(dir / "f.xyz", std::string("CDF\x01\0\0\0\0", 8));
  EXPECT_EQ(detect_format(dir / "a.nc").key, "netcdf3");
  EXPECT_EQ(detect_format(dir / "b.nc::var").key, "netcdf3");
  EXPECT_EQ(detect_format(dir / "c.hdf").key, "hdf4");
  EXPECT_EQ(detect_format(dir / "d.nc").key, "hdf5");
  EXPECT_EQ(detect_format(dir / "e.nc").key, "hdf5");
  EXPECT_EQ(detect_format(dir / "missing.nc").key, "hdf5");
  EXPECT_EQ(detect_format(dir / "f.xyz").key, "netcdf3");
  EXPECT_EQ(vexil::test::error_of([&] { detect_format(dir / "g.xyz"); }),
            "Unrecognised file extension '.xyz'. Supported: envi, hdf5, tiff");
}
