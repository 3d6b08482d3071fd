// What the TIFF reader says about a file beyond rasterio's keys: per-band
// scale, offset, units and no-data, RPCs, GCPs, metadata domains, pages,
// and the band facts of known products (EnMAP's XML, an ENVI header beside
// the image). End to end, cubes written by GDAL, rasterio and Pillow are
// converted and read back with SciPy.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "formats/detect.hpp"
#include "formats/tiff/tiff_format.hpp"
#include "io/paths.hpp"
#include "support/gdal_writer.hpp"
#include "support/recording_reporter.hpp"
#include "support/test_util.hpp"
#include "vexil/errors.hpp"

#ifdef VEXIL_HAVE_GDAL
#include <cpl_conv.h>
#include <ogr_srs_api.h>

#include "formats/tiff/envi_sidecar.hpp"

using namespace vexil;
using namespace vexil::formats;
using vexil::test::TempDir;
using vexil::test::TiffSpec;

namespace {

std::vector<std::string> keys_of(const Metadata& m) {
  std::vector<std::string> k;
  for (auto it = m.begin(); it != m.end(); ++it) k.push_back(it.key());
  return k;
}
using Keys = std::vector<std::string>;

std::string write(const TempDir& dir, const std::string& name, const TiffSpec& s) {
  std::vector<double> v(static_cast<std::size_t>(s.width) * s.height * s.bands);
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = static_cast<double>(i % 200);
  const std::string path = dir / name;
  EXPECT_TRUE(vexil::test::write_tiff(path, s, v.data(), GDT_Float64));
  return path;
}

}  // namespace

// Scale, offset, units and no-data per band; the common keys come after
// rasterio's and before the provenance keys.
TEST(TiffMetadata, BandScalesUnitsAndNodata) {
  TempDir dir;
  TiffSpec s;
  s.bands = 3;
  s.type = GDT_Int16;
  s.srs = "EPSG:32632";
  s.geotransform = {600000, 30, 0, 5100000, 0, -30};
  s.nodata = -9999.0;
  s.scales = {1e-4, 2e-4, 1.0};
  s.offsets = {0.0, 0.5, 0.0};
  s.units = {"W/(m2 sr um)", "", "W/(m2 sr um)"};
  s.band_tags = {{"wavelength=400.5"}, {"wavelength=410"}, {"wavelength=420"}};
  s.tags = {"wavelength_units=nm"};
  const Metadata m = tiff::load_tiff(write(dir, "bands.tif", s)).meta;
  EXPECT_EQ(keys_of(m), (Keys{"driver",
                              "dtype",
                              "nodata",
                              "width",
                              "height",
                              "count",
                              "crs",
                              "crs_wkt",
                              "transform",
                              "bounds",
                              "tags",
                              "band_tags",
                              "units",
                              "image_structure",
                              "wavelength",
                              "wavelength_units",
                              "fill_value",
                              "scale",
                              "band_facts_source",
                              "_source_format",
                              "_source_file"}));
  EXPECT_EQ(m["nodata"].dump(), "-9999.0");  // rasterio's: band 1, as a float
  EXPECT_EQ(m["units"].dump(), R"j(["W/(m2 sr um)",null,"W/(m2 sr um)"])j");
  EXPECT_EQ(m["fill_value"].dump(), "-9999");  // declared for an integer band: an integer
  EXPECT_EQ(m["scale"].dump(),
            R"({"gain":[0.0001,0.0002,1.0],"offset":[0.0,0.5,0.0],"apply":"value = gain * DN + offset"})");
  EXPECT_EQ(m["wavelength"].dump(), "[400.5,410.0,420.0]");
  EXPECT_EQ(m["wavelength_units"], "nm");
  EXPECT_EQ(m["transform"].dump(), "[30.0,0.0,600000.0,0.0,-30.0,5100000.0]");

  // A float band's fill value stays a float; NaN included.
  TiffSpec f;
  f.type = GDT_Float32;
  f.nodata = std::nan("");
  const Metadata mf = tiff::load_tiff(write(dir, "nan.tif", f)).meta;
  ASSERT_TRUE(mf["fill_value"].is_number_float());
  EXPECT_TRUE(std::isnan(mf["fill_value"].get<double>()));
  EXPECT_FALSE(mf.contains("scale"));
  EXPECT_FALSE(mf.contains("band_nodata"));

  // GeoTIFF holds one no-data value for all bands; other rasters (a VRT, say)
  // may hold one per band, and then every band's is listed.
  TiffSpec one;
  one.bands = 1;
  write(dir, "one.tif", one);
  vexil::test::write_file(dir / "mixed.tif", R"(<VRTDataset rasterXSize="4" rasterYSize="3">
  <VRTRasterBand dataType="UInt16" band="1"><NoDataValue>7</NoDataValue><SimpleSource><SourceFilename relativeToVRT="1">one.tif</SourceFilename><SourceBand>1</SourceBand></SimpleSource></VRTRasterBand>
  <VRTRasterBand dataType="UInt16" band="2"><SimpleSource><SourceFilename relativeToVRT="1">one.tif</SourceFilename><SourceBand>1</SourceBand></SimpleSource></VRTRasterBand>
</VRTDataset>)");
  const Metadata mv = tiff::load_tiff(dir / "mixed.tif").meta;
  EXPECT_EQ(mv["nodata"].dump(), "7.0");
  EXPECT_EQ(mv["band_nodata"].dump(), "[7.0,null]");
  EXPECT_EQ(mv["fill_value"].dump(), "7");
}

// RPCs are kept; GCPs come with their CRS, and a file georeferenced only by
// GCPs reports no transform (null) instead of the identity.
TEST(TiffMetadata, RpcAndGcps) {
  TempDir dir;
  TiffSpec r;
  r.domains = {{"RPC",
                {"LINE_OFF=6", "SAMP_OFF=5", "LAT_OFF=45.5", "LONG_OFF=9.2", "HEIGHT_OFF=250", "LINE_SCALE=6",
                 "SAMP_SCALE=5", "LAT_SCALE=0.01", "LONG_SCALE=0.01", "HEIGHT_SCALE=500",
                 "LINE_NUM_COEFF=0.001 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0",
                 "LINE_DEN_COEFF=1 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0",
                 "SAMP_NUM_COEFF=0 1.002 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0",
                 "SAMP_DEN_COEFF=1 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0"}}};
  const Metadata mr = tiff::load_tiff(write(dir, "rpc.tif", r)).meta;
  ASSERT_TRUE(mr.contains("rpc"));
  EXPECT_EQ(mr["rpc"]["LAT_OFF"], "45.5");
  EXPECT_EQ(mr["rpc"]["SAMP_NUM_COEFF"], "0 1.002 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0");
  // No GCPs: the identity transform stays, as rasterio reports it.
  EXPECT_EQ(mr["transform"].dump(), "[1.0,0.0,0.0,0.0,1.0,0.0]");

  const std::string gcp_path = dir / "gcps.tif";
  {
    TiffSpec g;
    g.width = 10;
    g.height = 12;
    ASSERT_TRUE(vexil::test::write_tiff(gcp_path, g, nullptr, GDT_Byte));
    GDALDatasetH ds = GDALOpen(gcp_path.c_str(), GA_Update);
    ASSERT_NE(ds, nullptr);
    GDAL_GCP gcps[3];
    GDALInitGCPs(3, gcps);
    const double pts[3][4] = {{0.5, 0.5, 9.1, 45.6}, {9.5, 0.5, 9.2, 45.61}, {0.5, 11.5, 9.09, 45.5}};
    for (int i = 0; i < 3; ++i) {
      gcps[i].dfGCPPixel = pts[i][0];
      gcps[i].dfGCPLine = pts[i][1];
      gcps[i].dfGCPX = pts[i][2];
      gcps[i].dfGCPY = pts[i][3];
    }
    OGRSpatialReferenceH srs = OSRNewSpatialReference(nullptr);
    OSRImportFromEPSG(srs, 4326);
    ASSERT_EQ(GDALSetGCPs2(ds, 3, gcps, srs), CE_None);
    OSRDestroySpatialReference(srs);
    GDALDeinitGCPs(3, gcps);
    GDALClose(ds);
  }
  const Metadata mg = tiff::load_tiff(gcp_path).meta;
  EXPECT_TRUE(mg["transform"].is_null());
  EXPECT_TRUE(mg["bounds"].is_null());
  ASSERT_EQ(mg["gcps"].size(), 3u);
  EXPECT_EQ(mg["gcps"][1]["pixel"], 9.5);
  EXPECT_EQ(mg["gcps"][1]["line"], 0.5);
  EXPECT_EQ(mg["gcps"][1]["x"], 9.2);
  EXPECT_EQ(mg["gcps"][1]["y"], 45.61);
  EXPECT_EQ(mg["gcp_crs"], "EPSG:4326");
  EXPECT_TRUE(mg["gcp_crs_wkt"].get<std::string>().starts_with("GEOGCS[\"WGS 84\""));
}

// The ENVI and IMAGE_STRUCTURE domains are kept, and the ENVI domain's band
// fields become band facts.
TEST(TiffMetadata, EnviAndImageStructureDomains) {
  TempDir dir;
  TiffSpec s;
  s.bands = 4;
  s.options = {"COMPRESS=LZW"};
  s.domains = {{"ENVI",
                {"wavelength={0.45, 0.5,0.55,0.6}", "fwhm={0.01,0.01,0.01,0.02}", "wavelength_units=Micrometers",
                 "bbl={1,0,1,1}", "data_gain_values={2,2,2,2}"}}};
  const Metadata m = tiff::load_tiff(write(dir, "envi.tif", s)).meta;
  EXPECT_EQ(m["image_structure"]["COMPRESSION"], "LZW");
  EXPECT_EQ(m["image_structure"]["INTERLEAVE"], "PIXEL");
  EXPECT_EQ(m["envi_metadata"]["wavelength_units"], "Micrometers");
  EXPECT_EQ(m["wavelength"].dump(), "[0.45,0.5,0.55,0.6]");
  EXPECT_EQ(m["fwhm"].dump(), "[0.01,0.01,0.01,0.02]");
  EXPECT_EQ(m["bad_bands"].dump(), "[1]");
  EXPECT_EQ(m["wavelength_units"], "Micrometers");
  EXPECT_EQ(m["scale"]["gain"].dump(), "[2.0,2.0,2.0,2.0]");
  EXPECT_EQ(m["band_facts_source"], "GDAL ENVI metadata domain");

  // Lists of another length than the band count say nothing about these bands.
  TiffSpec bad = s;
  bad.domains = {{"ENVI", {"wavelength={0.45,0.5}"}}};
  EXPECT_FALSE(tiff::load_tiff(write(dir, "short.tif", bad)).meta.contains("wavelength"));
}

// EnMAP keeps band facts only in its METADATA.XML; L1B splits VNIR and SWIR
// into two images that share one table of all bands.
TEST(TiffProducts, EnmapXmlBesideTheImage) {
  TempDir dir;
  const std::string stem = "ENMAP01-____L1B-DT0000004950_20221103T162438Z_001_V010111_20221108T072331Z";
  std::string bands;
  for (int i = 1; i <= 5; ++i)
    bands += fmt::format(R"(<bandID number="{}"><wavelengthCenterOfBand>{}</wavelengthCenterOfBand>)"
                         "<FWHMOfBand>{}</FWHMOfBand><GainOfBand>2e-05</GainOfBand><OffsetOfBand>{}</OffsetOfBand>"
                         "</bandID>\n",
                         i, 400 + 10 * i, 6.5 + i, i == 5 ? "-0.5" : "0");
  vexil::test::write_file(dir / (stem + "-METADATA.XML"),
                          "<?xml version=\"1.0\"?>\n<level_X><specific><backgroundValue>-32768</backgroundValue>"
                          "<bandCharacterisation>\n" +
                              bands + "</bandCharacterisation></specific></level_X>\n");
  TiffSpec s;
  s.type = GDT_Int16;
  s.nodata = -1;  // the XML's background value wins over the file's own
  s.bands = 5;
  for (const char* ext : {"-SPECTRAL_IMAGE.TIF", "-SPECTRAL_IMAGE.GEOTIFF", "-SPECTRAL_IMAGE_COG.TIF"}) {
    SCOPED_TRACE(ext);
    const Metadata m = tiff::load_tiff(write(dir, stem + ext, s)).meta;
    EXPECT_EQ(m["wavelength"].dump(), "[410.0,420.0,430.0,440.0,450.0]");
    EXPECT_EQ(m["fwhm"].dump(), "[7.5,8.5,9.5,10.5,11.5]");
    EXPECT_EQ(m["fill_value"].dump(), "-32768");
    EXPECT_EQ(
        m["scale"].dump(),
        R"({"gain":[2e-05,2e-05,2e-05,2e-05,2e-05],"offset":[0.0,0.0,0.0,0.0,-0.5],"apply":"value = gain * DN + offset"})");
    EXPECT_EQ(m["band_facts_source"], "EnMAP " + stem + "-METADATA.XML");
  }
  s.bands = 3;
  EXPECT_EQ(tiff::load_tiff(write(dir, stem + "-SPECTRAL_IMAGE_VNIR.TIF", s)).meta["wavelength"].dump(),
            "[410.0,420.0,430.0]");
  s.bands = 2;
  EXPECT_EQ(tiff::load_tiff(write(dir, stem + "-SPECTRAL_IMAGE_SWIR.TIF", s)).meta["wavelength"].dump(),
            "[440.0,450.0]");
  // Without the XML nothing is claimed: the file's own nodata is the fill value.
  s.bands = 5;
  const Metadata plain = tiff::load_tiff(write(dir, "ENMAP01-other-SPECTRAL_IMAGE.TIF", s)).meta;
  EXPECT_FALSE(plain.contains("wavelength"));
  EXPECT_EQ(plain["fill_value"].dump(), "-1");
}

// DESIS: a TIFF and an ENVI header that describes it. Named by the TIFF or
// by the header, the cube and the band facts are the same; the header's own
// fields come along when the header was named.
TEST(TiffProducts, EnviHeaderDescribingATiff) {
  TempDir dir;
  const std::string stem = dir / "DESIS-HSI-L2A-DT0483531728_001-20200627T135428-V0210-SPECTRAL_IMAGE";
  TiffSpec s;
  s.type = GDT_Int16;
  s.bands = 3;
  s.nodata = -32768;
  s.srs = "EPSG:32633";
  s.geotransform = {500000, 30, 0, 4500000, 0, -30};
  write(dir, io::basename(stem) + ".tif", s);
  vexil::test::write_file(stem + ".hdr",
                          "ENVI\nsamples = 4\nlines = 3\nbands = 3\nheader offset = 0\nfile type = TIFF\n"
                          "data type = 2\ninterleave = bip\nbyte order = 0\ndata ignore value = -32768\n"
                          "wavelength units = Nanometers\nwavelength = { 401.9 , 404.45 , 407.0 }\n"
                          "fwhm = {3.5, 3.5, 3.6}\ndata gain values = {0.0001, 0.0001, 0.0001}\n"
                          "data offset values = {0, 0, 0.5}\n");
  const LoadResult by_tif = tiff::load_tiff(stem + ".tif");
  const Metadata fields = tiff::envi_header_fields(stem + ".hdr");
  const LoadResult by_hdr = tiff::load_tiff_described_by_envi_header(stem + ".hdr", "", fields);
  for (const Metadata* m : {&by_tif.meta, &by_hdr.meta}) {
    EXPECT_EQ((*m)["wavelength"].dump(), "[401.9,404.45,407.0]");
    EXPECT_EQ((*m)["fwhm"].dump(), "[3.5,3.5,3.6]");
    EXPECT_EQ((*m)["wavelength_units"], "Nanometers");
    EXPECT_EQ((*m)["fill_value"].dump(), "-32768");
    EXPECT_EQ((*m)["scale"]["offset"].dump(), "[0.0,0.0,0.5]");
    EXPECT_EQ((*m)["_source_format"], "GeoTIFF");
    EXPECT_EQ((*m)["_source_file"], io::abspath(stem + ".tif"));
  }
  EXPECT_FALSE(by_tif.meta.contains("envi_header"));
  EXPECT_EQ(by_hdr.meta["envi_header"], fields);
  EXPECT_EQ(by_hdr.meta["envi_header"]["file type"], "TIFF");
  EXPECT_EQ(by_hdr.meta["envi_header_file"], io::abspath(stem + ".hdr"));
  EXPECT_EQ(by_hdr.data.materialize().shape(), (Shape{3, 4, 3}));

  EXPECT_TRUE(tiff::envi_file_type_is_foreign(" TIFF "));
  EXPECT_TRUE(tiff::envi_file_type_is_foreign("HDF Scientific Data"));
  EXPECT_FALSE(tiff::envi_file_type_is_foreign("ENVI Standard"));
  EXPECT_FALSE(tiff::envi_file_type_is_foreign("envi classification"));
  EXPECT_FALSE(tiff::envi_file_type_is_foreign(""));

  // A header whose TIFF is missing names what it looked for.
  const std::string lonely = dir / "lonely.hdr";
  vexil::test::write_file(lonely, "ENVI\nsamples = 4\nlines = 3\nbands = 3\nfile type = TIFF\n");
  const std::string message = vexil::test::error_of(
      [&] { tiff::load_tiff_described_by_envi_header(lonely, "", tiff::envi_header_fields(lonely)); });
  EXPECT_NE(message.find(lonely), std::string::npos) << message;
  EXPECT_NE(message.find("lonely.tif"), std::string::npos) << message;
}

// Pages of one size and type are one cube in page order; pages that differ
// leave page 1 converted and the rest named in a yellow line.
TEST(TiffPages, PillowPagesAreBands) {
  const std::string py = vexil::test::system_python_with("numpy, PIL.Image");
  if (py.empty()) GTEST_SKIP() << "/usr/bin/python3 with NumPy and Pillow is not installed";
  TempDir dir;
  const auto r = vexil::test::run_program(
      {py, "-c",
       "import sys, numpy as np\nfrom PIL import Image\n"
       "pages = [Image.fromarray((np.arange(120, dtype=np.uint16).reshape(12, 10) * 13 + k * 1000).astype(np.uint16)) "
       "for k in range(13)]\n"
       "pages[0].save(sys.argv[1] + '/stack.tif', save_all=True, append_images=pages[1:])\n"
       "odd = [pages[0], Image.fromarray(np.zeros((6, 5), np.uint16)), Image.fromarray(np.ones((12, 10), "
       "np.float32))]\n"
       "odd[0].save(sys.argv[1] + '/odd.tif', save_all=True, append_images=odd[1:])\n",
       dir.path()});
  ASSERT_EQ(r.status, 0) << r.err;

  vexil::test::RecordingJob rec;
  const LoadResult stack = tiff::load_tiff(dir / "stack.tif", {&rec.job});
  EXPECT_EQ(rec.reporter.text(), "");
  const NDArray a = stack.data.materialize({.threads = 2});
  ASSERT_EQ(a.shape(), (Shape{12, 10, 13}));
  bool all = true;
  for (int y = 0; y < 12; ++y)
    for (int x = 0; x < 10; ++x)
      for (int k = 0; k < 13; ++k) all = all && a.at<std::uint16_t>({y, x, k}) == (y * 10 + x) * 13 + k * 1000;
  EXPECT_TRUE(all);
  EXPECT_EQ(stack.meta["count"], 13);
  EXPECT_EQ(stack.meta["pages"], 13);
  // A crop of the stack reads its window from every page.
  const NDArray crop = stack.data.window(2, 5, 3, 9).materialize();
  EXPECT_EQ(crop.at<std::uint16_t>({0, 0, 12}), (2 * 10 + 3) * 13 + 12000);

  vexil::test::RecordingJob rec2;
  const LoadResult odd = tiff::load_tiff(dir / "odd.tif", {&rec2.job});
  EXPECT_EQ(rec2.reporter.text(),
            "  \u26a0 odd.tif holds 3 pages that differ in size or type: page 1 (12 x 10, 1 band, uint16) is "
            "converted; not converted: page 2 (6 x 5, 1 band, uint16), page 3 (12 x 10, 1 band, float32)\n");
  EXPECT_EQ(odd.data.shape(), (Shape{12, 10, 1}));
  EXPECT_EQ(odd.meta["pages"], 3);
  EXPECT_EQ(odd.meta["pages_not_converted"].dump(),
            R"([{"page":2,"width":5,"height":6,"count":1,"dtype":"uint16"},)"
            R"({"page":3,"width":10,"height":12,"count":1,"dtype":"float32"}])");
}

// Names a user types: .geotiff in any case is TIFF; a folder named .tif is
// refused in one line that says so.
TEST(TiffInput, GeotiffExtensionAndDirectories) {
  EXPECT_EQ(detect_format("scene.GEOTIFF").key, "tiff");
  EXPECT_EQ(detect_format("scene.GeoTiff").key, "tiff");
  TempDir dir;
  const std::string folder = dir / "scene.tif";
  ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
  const auto r = vexil::test::run_vexil({"convert_to_mat", "--img", folder, "--out-dir", dir / "out"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "vexil convert_to_mat: error: " + folder + " is a directory, not a file.\n");
}

// Cubes written by GDAL, rasterio and Pillow in the layouts of real
// products, converted by the program and read back with SciPy: every value,
// and the facts the writers put in.
TEST(TiffFixtures, ConvertedCubesMatchWhatTheWritersWrote) {
  const std::string py = vexil::test::system_python_with("numpy, scipy.io, osgeo.gdal, rasterio, PIL.Image");
  if (py.empty()) GTEST_SKIP() << "/usr/bin/python3 with NumPy, SciPy, GDAL, rasterio and Pillow is not installed";
  TempDir dir;
  const std::string cases =
      "tiff_gdal_pixel_nocrs,tiff_gdal_band_crs,tiff_gdal_deflate_tiled,tiff_gdal_lzw,tiff_rasterio_band_meta,"
      "tiff_gdal_rpc,tiff_gdal_gcps_only,tiff_gdal_envi_domain,tiff_pillow_multipage_13,tiff_gdal_bigtiff,"
      "tiff_geotiff_extension,enmap_l2a_tif,enmap_l2a_geotiff,desis_tif_with_hdr";
  const auto made = vexil::test::run_program(
      {py, std::string(VEXIL_SOURCE_DIR) + "/tests/fixtures/make_fixtures.py", "--out", dir / "fx", "--only", cases});
  ASSERT_EQ(made.status, 0) << made.err;
  const char* check = R"(
import json, os, subprocess, sys
import numpy as np, scipy.io
vexil, fx, work = sys.argv[1:4]
manifest = json.load(open(os.path.join(fx, 'manifest.json')))
for case in manifest['cases']:
    name = case['name']
    out = os.path.join(work, name)
    r = subprocess.run([vexil, 'convert_to_mat', '--img', os.path.join(fx, case['img']), '--out-dir', out],
                       capture_output=True, text=True)
    if r.returncode != 0:
        print('FAIL', name, 'status', r.returncode, r.stderr.strip()); continue
    want = np.load(os.path.join(fx, case['expected']['data']['npy']))
    got = scipy.io.loadmat(os.path.join(out, 'data.mat'))['data']
    if got.dtype != want.dtype or got.shape != want.shape or not np.array_equal(got, want):
        print('FAIL', name, 'data', got.dtype, got.shape, 'expected', want.dtype, want.shape); continue
    meta = json.load(open(os.path.join(out, 'metadata.json')))['image']
    facts = case['expected'].get('metadata', {})
    for key in ('wavelength', 'fwhm', 'fill_value', 'scale', 'gcp_crs', 'wavelength_units',
                'band_descriptions', 'units'):
        if key in facts and meta.get(key) != facts[key]:
            print('FAIL', name, key, meta.get(key), 'expected', facts[key])
    # GDAL adds its own RPC items (ERR_BIAS, ERR_RAND) to those written.
    if 'rpc' in facts and any(meta.get('rpc', {}).get(k) != v for k, v in facts['rpc'].items()):
        print('FAIL', name, 'rpc', meta.get('rpc'))
    if 'gcps' in facts:
        got_gcps = [{k: g[k] for k in ('x', 'y', 'z', 'pixel', 'line')} for g in meta.get('gcps', [])]
        if got_gcps != facts['gcps']: print('FAIL', name, 'gcps', got_gcps)
    if 'transform' in facts and facts['transform'] is None and meta.get('transform') is not None:
        print('FAIL', name, 'transform', meta.get('transform'))
    if 'pages' in facts and meta.get('pages') != facts['pages']:
        print('FAIL', name, 'pages', meta.get('pages'))
    print('ok', name)
)";
  const auto r = vexil::test::run_program({py, "-c", check, VEXIL_BINARY, dir / "fx", dir / "out"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.find("FAIL"), std::string::npos) << r.out;
  std::size_t ok = 0;
  for (std::size_t at = r.out.find("ok "); at != std::string::npos; at = r.out.find("ok ", at + 1)) ++ok;
  EXPECT_EQ(ok, 14u) << r.out;
}

#endif
