// TIFF/GeoTIFF loader: files built here with GDAL, read back and compared
// value by value and key by key with what rasterio reports for them.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "vexil/errors.hpp"
#include "io/paths.hpp"
#include "formats/libraries.hpp"
#include "formats/detect.hpp"
#include "formats/ground_truth.hpp"
#include "formats/tiff/tiff_format.hpp"
#include "formats/reader.hpp"
#include "support/gdal_writer.hpp"
#include "support/test_util.hpp"

#ifdef VEXIL_HAVE_GDAL
#include <cpl_conv.h>
#include <cpl_string.h>
#include <gdal.h>
#include <ogr_srs_api.h>

using namespace vexil;
using namespace vexil::formats;
using namespace vexil::formats::tiff;
using vexil::test::TempDir;
using namespace std::string_literals;

namespace {

const char* kUtm33Wkt =
    R"(PROJCS["WGS 84 / UTM zone 33N",GEOGCS["WGS 84",DATUM["WGS_1984",SPHEROID["WGS 84",6378137,298.257223563,AUTHORITY["EPSG","7030"]],AUTHORITY["EPSG","6326"]],PRIMEM["Greenwich",0,AUTHORITY["EPSG","8901"]],UNIT["degree",0.0174532925199433,AUTHORITY["EPSG","9122"]],AUTHORITY["EPSG","4326"]],PROJECTION["Transverse_Mercator"],PARAMETER["latitude_of_origin",0],PARAMETER["central_meridian",15],PARAMETER["scale_factor",0.9996],PARAMETER["false_easting",500000],PARAMETER["false_northing",0],UNIT["metre",1,AUTHORITY["EPSG","9001"]],AXIS["Easting",EAST],AXIS["Northing",NORTH],AUTHORITY["EPSG","32633"]])";
const char* kTmercWkt =
    R"(PROJCS["unknown",GEOGCS["WGS 84",DATUM["WGS_1984",SPHEROID["WGS 84",6378137,298.257223563,AUTHORITY["EPSG","7030"]],AUTHORITY["EPSG","6326"]],PRIMEM["Greenwich",0],UNIT["degree",0.0174532925199433,AUTHORITY["EPSG","9122"]],AUTHORITY["EPSG","4326"]],PROJECTION["Transverse_Mercator"],PARAMETER["latitude_of_origin",0],PARAMETER["central_meridian",17.3],PARAMETER["scale_factor",0.9996],PARAMETER["false_easting",123456],PARAMETER["false_northing",0],UNIT["metre",1,AUTHORITY["EPSG","9001"]],AXIS["Easting",EAST],AXIS["Northing",NORTH]])";

using vexil::test::TiffSpec;

void make_tiff(const std::string& path, const TiffSpec& spec, const void* values, GDALDataType buf_type) {
  ASSERT_TRUE(vexil::test::write_tiff(path, spec, values, buf_type));
}

std::vector<std::string> keys_of(const Metadata& m) {
  std::vector<std::string> k;
  for (auto it = m.begin(); it != m.end(); ++it) k.push_back(it.key());
  return k;
}

using Keys = std::vector<std::string>;

}  // namespace

// Every layout GDAL writes (strips/tiles, pixel/band interleave, edge tiles
// that overhang the raster) must come back as the same (rows, cols, bands).
TEST(TiffLoader, LayoutsGiveSameCubeAndPlainMetadata) {
  TempDir dir;
  struct Layout {
    const char* name;
    std::vector<std::string> options;
  };
  const std::vector<Layout> layouts = {
      {"strip_pixel", {"INTERLEAVE=PIXEL", "BLOCKYSIZE=5"}},
      {"strip_band", {"INTERLEAVE=BAND", "BLOCKYSIZE=5"}},
      {"tile_pixel", {"TILED=YES", "BLOCKXSIZE=16", "BLOCKYSIZE=16", "INTERLEAVE=PIXEL"}},
      {"tile_band", {"TILED=YES", "BLOCKXSIZE=16", "BLOCKYSIZE=16", "INTERLEAVE=BAND", "COMPRESS=DEFLATE"}},
  };
  for (int bands : {1, 3, 7}) {
    for (const auto& layout : layouts) {
      SCOPED_TRACE(std::string(layout.name) + " bands=" + std::to_string(bands));
      TiffSpec spec;
      spec.width = 37;
      spec.height = 23;
      spec.bands = bands;
      spec.options = layout.options;
      std::vector<std::uint16_t> v(static_cast<std::size_t>(spec.width) * spec.height * bands);
      auto value = [&](int y, int x, int b) { return static_cast<std::uint16_t>(b * 10000 + y * 100 + x); };
      for (int b = 0; b < bands; ++b)
        for (int y = 0; y < spec.height; ++y)
          for (int x = 0; x < spec.width; ++x)
            v[(static_cast<std::size_t>(b) * spec.height + y) * spec.width + x] = value(y, x, b);
      const std::string path = dir / (std::string(layout.name) + std::to_string(bands) + ".tif");
      make_tiff(path, spec, v.data(), GDT_UInt16);

      const LoadResult r = load_tiff(path);
      ASSERT_EQ(r.data.dtype(), DType::UInt16);
      ASSERT_EQ(r.data.shape(), (Shape{23, 37, bands}));
      bool all_equal = true;
      for (int y = 0; y < spec.height && all_equal; ++y)
        for (int x = 0; x < spec.width; ++x)
          for (int b = 0; b < bands; ++b)
            if (r.data.at<std::uint16_t>({y, x, b}) != value(y, x, b)) all_equal = false;
      EXPECT_TRUE(all_equal);

      const Metadata& m = r.meta;
      EXPECT_EQ(keys_of(m), (Keys{"driver", "dtype", "nodata", "width", "height", "count", "transform", "bounds",
                                  "image_structure", "_source_format", "_source_file"}));
      EXPECT_EQ(m["driver"], "GTiff");
      EXPECT_EQ(m["dtype"], "uint16");
      EXPECT_TRUE(m["nodata"].is_null());
      EXPECT_EQ(m["width"], 37);
      EXPECT_EQ(m["height"], 23);
      EXPECT_EQ(m["count"], bands);
      EXPECT_EQ(m["transform"], Metadata::parse("[1.0, 0.0, 0.0, 0.0, 1.0, 0.0]"));
      EXPECT_EQ(m["bounds"].dump(), R"({"left":0.0,"bottom":23.0,"right":37.0,"top":0.0})");
      EXPECT_EQ(m["_source_format"], "TIFF");
      EXPECT_EQ(m["_source_file"], io::abspath(path));
    }
  }
}

TEST(TiffLoader, GeoTiffWithEpsgAndCustomCrs) {
  TempDir dir;
  {
    TiffSpec spec;
    spec.srs = "EPSG:32633";
    spec.geotransform = {500000, 30, 0, 4500000, 0, -30};
    const std::string path = dir / "utm.tif";
    make_tiff(path, spec, nullptr, GDT_UInt16);
    const Metadata m = load_tiff(path).meta;
    EXPECT_EQ(keys_of(m), (Keys{"driver", "dtype", "nodata", "width", "height", "count", "crs", "crs_wkt", "transform",
                                "bounds", "tags", "image_structure", "_source_format", "_source_file"}));
    EXPECT_EQ(m["crs"], "EPSG:32633");
    EXPECT_EQ(m["crs_wkt"], kUtm33Wkt);
    EXPECT_EQ(m["transform"].dump(), "[30.0,0.0,500000.0,0.0,-30.0,4500000.0]");
    EXPECT_EQ(m["bounds"].dump(), R"({"left":500000.0,"bottom":4499910.0,"right":500120.0,"top":4500000.0})");
    EXPECT_EQ(m["tags"].dump(), R"({"AREA_OR_POINT":"Area"})");
    EXPECT_EQ(m["_source_format"], "GeoTIFF");
  }
  {
    TiffSpec spec;
    spec.srs = "+proj=tmerc +lat_0=0 +lon_0=17.3 +k=0.9996 +x_0=123456 +y_0=0 +datum=WGS84 +units=m";
    spec.geotransform = {10.0, 0.001, 0, 50.0, 0, -0.001};
    const std::string path = dir / "tmerc.tif";
    make_tiff(path, spec, nullptr, GDT_UInt16);
    const Metadata m = load_tiff(path).meta;
    // Only weak authority matches: the text is the WKT itself.
    EXPECT_EQ(m["crs"], kTmercWkt);
    EXPECT_EQ(m["crs_wkt"], kTmercWkt);
    EXPECT_EQ(m["bounds"].dump(), R"({"left":10.0,"bottom":49.997,"right":10.004,"top":50.0})");
    EXPECT_EQ(m["_source_format"], "GeoTIFF");
  }
  {
    TiffSpec spec;
    spec.srs = "ESRI:102001";
    const std::string path = dir / "esri.tif";
    make_tiff(path, spec, nullptr, GDT_Byte);
    EXPECT_EQ(load_tiff(path).meta["crs"], "ESRI:102001");
  }
}

// Transform and bounds vectors measured with rasterio (4 x 3 rasters).
TEST(TiffLoader, TransformAndBounds) {
  TempDir dir;
  struct Row {
    std::vector<double> gt;
    const char* transform;
    const char* bounds;
  };
  const Row rows[] = {
      {{100, 2, 0.5, 200, 0.25, -2},
       "[2.0,0.5,100.0,0.25,-2.0,200.0]",
       R"({"left":100.0,"bottom":194.0,"right":109.5,"top":201.0})"},
      {{1, 2, 0, 3, 0, -4}, "[2.0,0.0,1.0,0.0,-4.0,3.0]", R"({"left":1.0,"bottom":-9.0,"right":9.0,"top":3.0})"},
      {{10.0, 0.001, 0, 50.0, 0, -0.001},
       "[0.001,0.0,10.0,0.0,-0.001,50.0]",
       R"({"left":10.0,"bottom":49.997,"right":10.004,"top":50.0})"},
  };
  int n = 0;
  for (const auto& row : rows) {
    TiffSpec spec;
    spec.geotransform = row.gt;
    const std::string path = dir / ("t" + std::to_string(n++) + ".tif");
    make_tiff(path, spec, nullptr, GDT_Byte);
    const Metadata m = load_tiff(path).meta;
    EXPECT_EQ(m["transform"].dump(), row.transform);
    EXPECT_EQ(m["bounds"].dump(), row.bounds);
    EXPECT_FALSE(m.contains("crs"));
    EXPECT_EQ(m["_source_format"], "TIFF");
  }
}

TEST(TiffLoader, NodataFollowsTheTypeRange) {
  TempDir dir;
  struct Case {
    GDALDataType type;
    std::optional<double> nodata;
    const char* expected;  // JSON text of "nodata"
  };
  const Case cases[] = {
      {GDT_UInt16, 0.0, "0.0"},         {GDT_Float32, std::nan(""), "NaN"}, {GDT_Byte, 300.0, "null"},
      {GDT_UInt16, -1.0, "null"},       {GDT_UInt16, std::nullopt, "null"}, {GDT_Int16, -9999.0, "-9999.0"},
      {GDT_Float64, -1e300, "-1e+300"}, {GDT_Float32, -1e39, "-Infinity"},  {GDT_Byte, 255.0, "255.0"},
      {GDT_CInt16, 40000.0, "null"},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(n);
    TiffSpec spec;
    spec.type = c.type;
    spec.nodata = c.nodata;
    const std::string path = dir / ("n" + std::to_string(n++) + ".tif");
    make_tiff(path, spec, nullptr, GDT_Byte);
    const Metadata m = load_tiff(path).meta;
    const Metadata& v = m["nodata"];
    if (std::string(c.expected) == "-Infinity") {
      // GTiff keeps a float32 band's nodata as a float32: -1e39 becomes -inf.
      ASSERT_TRUE(v.is_number_float());
      EXPECT_EQ(v.get<double>(), -std::numeric_limits<double>::infinity());
    } else if (std::string(c.expected) == "NaN") {
      ASSERT_TRUE(v.is_number_float());
      EXPECT_TRUE(std::isnan(v.get<double>()));
    } else if (std::string(c.expected) == "null") {
      EXPECT_TRUE(v.is_null()) << v.dump();
    } else {
      EXPECT_TRUE(v.is_number_float()) << v.dump();
      EXPECT_EQ(v.get<double>(), std::stod(c.expected));
    }
  }
}

TEST(TiffLoader, DescriptionsAndTags) {
  TempDir dir;
  {
    TiffSpec spec;
    spec.bands = 3;
    spec.descriptions = {std::nullopt, std::string("NIR"), std::nullopt};
    spec.tags = {"Zeta=1", "alpha=x=y", "Mid:B=C"};
    spec.band_tags = {{}, {"unit=nm", "gain=2"}, {}};
    const std::string path = dir / "desc.tif";
    make_tiff(path, spec, nullptr, GDT_Byte);
    const Metadata m = load_tiff(path).meta;
    EXPECT_EQ(keys_of(m),
              (Keys{"driver", "dtype", "nodata", "width", "height", "count", "transform", "bounds", "band_descriptions",
                    "tags", "band_tags", "image_structure", "_source_format", "_source_file"}));
    EXPECT_EQ(m["band_descriptions"].dump(), R"([null,"NIR",null])");
    // GTiff returns items sorted case-insensitively; "Mid:B=C" splits at ':'.
    EXPECT_EQ(m["tags"].dump(), R"({"alpha":"x=y","Mid":"B=C","Zeta":"1"})");
    EXPECT_EQ(m["band_tags"].dump(), R"({"2":{"gain":"2","unit":"nm"}})");
  }
  {
    // An empty description is no description.
    TiffSpec spec;
    spec.bands = 2;
    spec.descriptions = {std::string(""), std::string("b")};
    const std::string path = dir / "empty.tif";
    make_tiff(path, spec, nullptr, GDT_Byte);
    EXPECT_EQ(load_tiff(path).meta["band_descriptions"].dump(), R"([null,"b"])");
  }
  {
    TiffSpec spec;
    spec.bands = 2;
    spec.descriptions = {std::string(""), std::string("")};
    const std::string path = dir / "none.tif";
    make_tiff(path, spec, nullptr, GDT_Byte);
    EXPECT_FALSE(load_tiff(path).meta.contains("band_descriptions"));
  }
}

// Each GDAL type, with values at the edges of its range, in its own array type.
TEST(TiffLoader, ElementTypes) {
  TempDir dir;
  int n = 0;
  auto roundtrip = [&](GDALDataType type, GDALDataType buf, const void* vals, std::vector<std::string> opts = {}) {
    TiffSpec spec;
    spec.width = 2;
    spec.height = 1;
    spec.type = type;
    spec.options = std::move(opts);
    const std::string path = dir / (std::string(GDALGetDataTypeName(type)) + std::to_string(n++) + ".tif");
    make_tiff(path, spec, vals, buf);
    return load_tiff(path);
  };
  {
    const std::int8_t v[2] = {-128, 127};
    const LoadResult r = roundtrip(GDT_Byte, GDT_Byte, v, {"PIXELTYPE=SIGNEDBYTE"});
    EXPECT_EQ(r.meta["dtype"], "int8");
    ASSERT_EQ(r.data.dtype(), DType::Int8);
    EXPECT_EQ(r.data.at<std::int8_t>({0, 0, 0}), -128);
    EXPECT_EQ(r.data.at<std::int8_t>({0, 1, 0}), 127);
  }
  {
    const std::int64_t v[2] = {-1, std::numeric_limits<std::int64_t>::max()};
    const LoadResult r = roundtrip(GDT_Int64, GDT_Int64, v);
    EXPECT_EQ(r.meta["dtype"], "int64");
    ASSERT_EQ(r.data.dtype(), DType::Int64);
    EXPECT_EQ(r.data.at<std::int64_t>({0, 0, 0}), -1);
    EXPECT_EQ(r.data.at<std::int64_t>({0, 1, 0}), std::numeric_limits<std::int64_t>::max());
  }
  {
    const std::uint64_t v[2] = {std::numeric_limits<std::uint64_t>::max(), (std::uint64_t{1} << 53) + 1};
    const LoadResult r = roundtrip(GDT_UInt64, GDT_UInt64, v);
    EXPECT_EQ(r.meta["dtype"], "uint64");
    ASSERT_EQ(r.data.dtype(), DType::UInt64);
    EXPECT_EQ(r.data.at<std::uint64_t>({0, 0, 0}), std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(r.data.at<std::uint64_t>({0, 1, 0}), (std::uint64_t{1} << 53) + 1);
  }
  {
    const std::int16_t v[4] = {-32768, 32767, 5, -6};
    const LoadResult r = roundtrip(GDT_CInt16, GDT_CInt16, v);
    EXPECT_EQ(r.meta["dtype"], "complex_int16");
    ASSERT_EQ(r.data.dtype(), DType::Complex64);
    EXPECT_EQ(r.data.at<std::complex<float>>({0, 0, 0}), std::complex<float>(-32768, 32767));
    EXPECT_EQ(r.data.at<std::complex<float>>({0, 1, 0}), std::complex<float>(5, -6));
  }
  {
    // 2^30 + 1 has no exact float32: complex int32 must come back as complex128.
    const std::int32_t v[4] = {(1 << 30) + 1, -2147483647 - 1, 7, 2147483647};
    const LoadResult r = roundtrip(GDT_CInt32, GDT_CInt32, v);
    EXPECT_EQ(r.meta["dtype"], "complex_int32");
    ASSERT_EQ(r.data.dtype(), DType::Complex128);
    EXPECT_EQ(r.data.at<std::complex<double>>({0, 0, 0}), std::complex<double>((1 << 30) + 1, -2147483648.0));
    EXPECT_EQ(r.data.at<std::complex<double>>({0, 1, 0}), std::complex<double>(7, 2147483647));
  }
  {
    const std::complex<double> v[2] = {{1e300, -0.5}, {std::nan(""), 3}};
    const LoadResult r = roundtrip(GDT_CFloat64, GDT_CFloat64, v);
    EXPECT_EQ(r.meta["dtype"], "complex128");
    ASSERT_EQ(r.data.dtype(), DType::Complex128);
    EXPECT_EQ(r.data.at<std::complex<double>>({0, 0, 0}), v[0]);
    EXPECT_TRUE(std::isnan(r.data.at<std::complex<double>>({0, 1, 0}).real()));
  }
  struct Simple {
    GDALDataType type;
    const char* name;
    DType dtype;
  };
  const Simple simple[] = {
      {GDT_Byte, "uint8", DType::UInt8},        {GDT_UInt16, "uint16", DType::UInt16},
      {GDT_Int16, "int16", DType::Int16},       {GDT_UInt32, "uint32", DType::UInt32},
      {GDT_Int32, "int32", DType::Int32},       {GDT_Float32, "float32", DType::Float32},
      {GDT_Float64, "float64", DType::Float64}, {GDT_CFloat32, "complex64", DType::Complex64},
  };
  for (const auto& s : simple) {
    SCOPED_TRACE(s.name);
    const double v[4] = {3, 1, 2, 4};  // as complex: (3+1j), (2+4j)
    const LoadResult r = roundtrip(s.type, GDALDataTypeIsComplex(s.type) ? GDT_CFloat64 : GDT_Float64, v);
    EXPECT_EQ(r.meta["dtype"], s.name);
    EXPECT_EQ(r.data.dtype(), s.dtype);
    if (s.dtype == DType::Float32) {
      EXPECT_EQ(r.data.at<float>({0, 1, 0}), 1.0f);
    } else if (s.dtype == DType::Int32) {
      EXPECT_EQ(r.data.at<std::int32_t>({0, 1, 0}), 1);
    } else if (s.dtype == DType::Complex64) {
      EXPECT_EQ(r.data.at<std::complex<float>>({0, 1, 0}), std::complex<float>(2, 4));
    }
  }
}

TEST(TiffLoader, OpenAndReadErrorsCarryGdalMessage) {
  TempDir dir;
  const std::string missing = dir / "nope.tif";
  try {
    load_tiff(missing);
    FAIL() << "no error";
  } catch (const ReadError& e) {
    EXPECT_EQ(std::string(e.what()), missing + ": No such file or directory");
  }

  const std::string text = dir / "text.tif";
  vexil::test::write_file(text, std::string("just some text, not an image\n"));
  try {
    load_tiff(text);
    FAIL() << "no error";
  } catch (const ReadError& e) {
    EXPECT_EQ(std::string(e.what()), "'" + text + "' not recognized as a supported file format.");
  }
  EXPECT_THROW(load_tiff(dir.path()), ReadError);

  // A real TIFF cut short: its strips point past the end of the file.
  TiffSpec spec;
  spec.width = 64;
  spec.height = 64;
  spec.bands = 3;
  std::vector<std::uint16_t> v(64 * 64 * 3, 7);
  const std::string full = dir / "full.tif";
  make_tiff(full, spec, v.data(), GDT_UInt16);
  const std::string bytes = vexil::test::read_file(full);
  // Uncompressed data is read through a file mapping: a short file must
  // still be an error, not a bus error.
  for (std::size_t keep : {bytes.size() / 2, bytes.size() - 10}) {
    const std::string cut = dir / ("cut" + std::to_string(keep) + ".tif");
    vexil::test::write_file(cut, bytes.substr(0, keep));
    EXPECT_THROW(load_tiff(cut), ReadError) << keep;
  }

  // Garbage after a valid TIFF signature.
  std::string garbage = "II*\0\x08\0\0\0"s;
  garbage += std::string(200, '\xff');
  const std::string bad = dir / "bad.tif";
  vexil::test::write_file(bad, garbage);
  EXPECT_THROW(load_tiff(bad), ReadError);
}

TEST(TiffLoader, RefusesMixedTypesAndAbsurdSizes) {
  TempDir dir;
  const std::string small = dir / "small.tif";
  TiffSpec spec;
  make_tiff(small, spec, nullptr, GDT_Byte);
  // A VRT (named .tif: the content decides) can mix band types.
  const std::string vrt = dir / "mixed.tif";
  vexil::test::write_file(vrt, R"(<VRTDataset rasterXSize="4" rasterYSize="3">
  <VRTRasterBand dataType="Byte" band="1"><SimpleSource><SourceFilename relativeToVRT="1">small.tif</SourceFilename><SourceBand>1</SourceBand></SimpleSource></VRTRasterBand>
  <VRTRasterBand dataType="Float32" band="2"><SimpleSource><SourceFilename relativeToVRT="1">small.tif</SourceFilename><SourceBand>1</SourceBand></SimpleSource></VRTRasterBand>
</VRTDataset>)");
  try {
    load_tiff(vrt);
    FAIL() << "no error";
  } catch (const BadInputError& e) {
    EXPECT_NE(std::string(e.what()).find("more than one 'dtype' found"), std::string::npos) << e.what();
  }

  // 2,000,000 x 1,000,000 float64 values (16 TB), stored sparse in a few bytes.
  TiffSpec huge;
  huge.width = 2000000;
  huge.height = 1000000;
  huge.type = GDT_Float64;
  huge.options = {"SPARSE_OK=TRUE", "TILED=YES", "BLOCKXSIZE=4096", "BLOCKYSIZE=4096"};
  const std::string big = dir / "huge.tif";
  make_tiff(big, huge, nullptr, GDT_Float64);
  try {
    load_tiff(big);
    FAIL() << "no error";
  } catch (const BadInputError& e) {
    EXPECT_NE(std::string(e.what()).find("more than this machine's memory"), std::string::npos) << e.what();
  }
}

TEST(TiffLoader, GroundTruthReadsBandOneWithCrs) {
  TempDir dir;
  TiffSpec spec;
  spec.width = 5;
  spec.height = 2;
  spec.bands = 3;
  spec.type = GDT_Int16;
  spec.srs = "EPSG:32633";
  spec.geotransform = {500000, 30, 0, 4500000, 0, -30};
  std::vector<std::int16_t> v(30);
  for (int i = 0; i < 30; ++i) v[i] = static_cast<std::int16_t>(i - 15);
  const std::string path = dir / "gt.tif";
  make_tiff(path, spec, v.data(), GDT_Int16);
  std::optional<std::string> crs;
  const NDArray gt = read_band1(path, crs);
  ASSERT_EQ(gt.dtype(), DType::Int16);
  ASSERT_EQ(gt.shape(), (Shape{2, 5}));
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 5; ++x) EXPECT_EQ(gt.at<std::int16_t>({y, x}), y * 5 + x - 15);
  EXPECT_EQ(crs, "EPSG:32633");

  TiffSpec plain;
  const std::string p2 = dir / "plain.tif";
  make_tiff(p2, plain, nullptr, GDT_Byte);
  std::optional<std::string> none;
  EXPECT_EQ(read_band1(p2, none).shape(), (Shape{3, 4}));
  EXPECT_FALSE(none.has_value());
  EXPECT_THROW(read_band1(dir / "missing.tif", none), ReadError);
}

#endif

TEST(TiffLoader, MissingGdalIsReportedBeforeTheFileIsOpened) {
  using namespace vexil::formats;
  set_library_missing_for_testing("gdal", true);
  try {
    read_image_as(detect_format("x.tif"), "x.tif");
    FAIL() << "no error";
  } catch (const vexil::MissingDependencyError& e) {
    EXPECT_EQ(e.library(), "gdal");
    EXPECT_EQ(e.package(), "libgdal-dev");
  }
  EXPECT_THROW(load_gt("x.tif"), vexil::MissingDependencyError);
  set_library_missing_for_testing("gdal", false);
}
