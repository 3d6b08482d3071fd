// The program loads GDAL only for the files that need it.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/gdal_writer.hpp"
#include "support/test_util.hpp"

#ifdef VEXIL_HAVE_GDAL

namespace {

using vexil::test::RunResult;
using vexil::test::TempDir;

// The program converting `input`, with the dynamic loader reporting every
// library it opens (on stderr).
RunResult convert_tracing_libraries(const std::string& input, const std::string& out_dir) {
  return vexil::test::run_program({VEXIL_BINARY, "convert_to_mat", "--img", input, "--out-dir", out_dir}, "",
                                  {"LD_DEBUG=files"});
}

bool opened(const RunResult& r, const std::string& library) { return r.err.find(library) != std::string::npos; }

}  // namespace

TEST(GdalModule, LoadedOnlyWhenAFileNeedsIt) {
  TempDir dir;
  const std::vector<std::uint16_t> values{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  vexil::test::write_file(dir / "cube.hdr",
                          "ENVI\nsamples = 2\nlines = 3\nbands = 2\ndata type = 12\ninterleave = bsq\n"
                          "byte order = 0\nheader offset = 0\n");
  vexil::test::write_file(dir / "cube.img",
                          std::string(reinterpret_cast<const char*>(values.data()), values.size() * 2));
  const RunResult envi = convert_tracing_libraries(dir / "cube.hdr", dir / "envi");
  ASSERT_EQ(envi.status, 0) << envi.out;
  EXPECT_TRUE(vexil::test::exists(dir / "envi/data.mat"));
  EXPECT_FALSE(opened(envi, "libvexil-gdal")) << "an ENVI cube loaded the GDAL module";
  EXPECT_FALSE(opened(envi, "libgdal")) << "an ENVI cube loaded GDAL";

  vexil::test::TiffSpec spec;
  spec.width = 2;
  spec.height = 3;
  spec.bands = 2;
  ASSERT_TRUE(vexil::test::write_tiff(dir / "cube.tif", spec, values.data(), GDT_UInt16));
  const RunResult tiff = convert_tracing_libraries(dir / "cube.tif", dir / "tiff");
  ASSERT_EQ(tiff.status, 0) << tiff.out;
  EXPECT_TRUE(vexil::test::exists(dir / "tiff/data.mat"));
  EXPECT_TRUE(opened(tiff, "libvexil-gdal"));
  EXPECT_TRUE(opened(tiff, "libgdal"));
  EXPECT_NE(tiff.out.find("Detected format: TIFF"), std::string::npos) << tiff.out;
}

// GeoTIFF's driver is tried alone first, so a TIFF does not register all of
// GDAL's drivers; a file it refuses must still reach the driver GDAL would
// have chosen among all of them.
TEST(GdalModule, FilesGeoTiffRefusesGoToTheirOwnDriver) {
  TempDir dir;
  const std::vector<std::uint16_t> values{10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 110, 120};
  vexil::test::TiffSpec spec;
  spec.width = 3;
  spec.height = 2;
  spec.bands = 2;
  ASSERT_TRUE(vexil::test::write_tiff(dir / "src.tif", spec, values.data(), GDT_UInt16));
  std::string xml = R"(<VRTDataset rasterXSize="3" rasterYSize="2">)";
  for (const char* b : {"1", "2"})
    xml += std::string(R"(<VRTRasterBand dataType="UInt16" band=")") + b +
           R"("><SimpleSource><SourceFilename relativeToVRT="1">src.tif</SourceFilename><SourceBand>)" + b +
           "</SourceBand></SimpleSource></VRTRasterBand>";
  vexil::test::write_file(dir / "virtual.tif", xml + "</VRTDataset>");

  const RunResult r = vexil::test::run_program(
      {VEXIL_BINARY, "convert_to_mat", "--img", dir / "virtual.tif", "--out-dir", dir / "out"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("Value range  : [10, 120]"), std::string::npos) << r.out;
  EXPECT_NE(vexil::test::read_file(dir / "out/metadata.json").find(R"("driver": "VRT")"), std::string::npos);
}

#endif
