// TIFF and GeoTIFF input: the cube in its stored type and the file's
// georeferencing, nodata, band descriptions and tags.
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "vexil/errors.hpp"
#include "io/paths.hpp"
#include "formats/libraries.hpp"
#include "formats/tiff/tiff_format.hpp"
#include "libs/gdal_util.hpp"
#include "text/utf8.hpp"

#ifdef VEXIL_HAVE_GDAL
#include <cpl_conv.h>
#include <cpl_string.h>
#endif

namespace vexil::formats::tiff {

#ifdef VEXIL_HAVE_GDAL
namespace {

// Band 1's nodata value: a float when set and inside
// the range of the band's type (complex types: of their component), else
// null. 64-bit integers too large for a double stay exact integers.
Metadata nodata_value(GDALRasterBandH band, const libs::gdal::BandType& type) {
  libs::gdal::ErrorCapture quiet;
  int ok = 0;
  if (type.dtype == DType::Int64) {
    const std::int64_t v = GDALGetRasterNoDataValueAsInt64(band, &ok);
    if (!ok) return nullptr;
    if (v >= -(std::int64_t{1} << 53) && v <= (std::int64_t{1} << 53)) return static_cast<double>(v);
    return v;
  }
  if (type.dtype == DType::UInt64) {
    const std::uint64_t v = GDALGetRasterNoDataValueAsUInt64(band, &ok);
    if (!ok) return nullptr;
    if (v <= (std::uint64_t{1} << 53)) return static_cast<double>(v);
    return v;
  }
  const double v = GDALGetRasterNoDataValue(band, &ok);
  if (!ok) return nullptr;

  double lo = 0, hi = 0;
  bool floating = false;
  const std::string_view n = type.name;
  if (n == "uint8") { lo = 0; hi = 255; }
  else if (n == "int8") { lo = -128; hi = 127; }
  else if (n == "uint16") { lo = 0; hi = 65535; }
  else if (n == "int16" || n == "complex_int16") { lo = -32768; hi = 32767; }
  else if (n == "uint32") { lo = 0; hi = 4294967295.0; }
  else if (n == "int32" || n == "complex_int32") { lo = -2147483648.0; hi = 2147483647.0; }
  else if (n == "float32" || n == "complex64") { lo = -FLT_MAX; hi = FLT_MAX; floating = true; }
  else { lo = -DBL_MAX; hi = DBL_MAX; floating = true; }

  if (floating && (std::isnan(v) || std::isinf(v))) return v;
  if (lo <= v && v <= hi) return v;
  return nullptr;
}

// A metadata domain split into key and value at the first '=' or
// ':' of each item; a repeated key keeps its place and takes the last value.
Metadata parse_tags(char** items) {
  Metadata out = Metadata::object();
  for (char** it = items; it && *it; ++it) {
    char* key = nullptr;
    const char* value = CPLParseNameValue(*it, &key);
    if (key && value) out[text::utf8_or_latin1(key)] = text::utf8_or_latin1(value);
    CPLFree(key);
  }
  return out;
}

// The bounds of the raster in map coordinates. The products are rounded
// before the sums (no fused multiply-add), so the numbers are reproducible.
Metadata bounds_of(const double gt[6], int width, int height) {
  const double a = gt[1], b = gt[2], c = gt[0], d = gt[4], e = gt[5], f = gt[3];
  const double w = width, h = height;
  auto mul = [](double x, double y) {
    volatile double p = x * y;
    return static_cast<double>(p);
  };
  Metadata out = Metadata::object();
  if (b == 0 && d == 0) {
    out["left"] = c;
    out["bottom"] = f + mul(e, h);
    out["right"] = c + mul(a, w);
    out["top"] = f;
    return out;
  }
  // T(x, y) = (x*a + y*b + c, x*d + y*e + f), left to right.
  auto tx = [&](double x, double y) {
    volatile double s = mul(x, a) + mul(y, b);
    return static_cast<double>(s) + c;
  };
  auto ty = [&](double x, double y) {
    volatile double s = mul(x, d) + mul(y, e);
    return static_cast<double>(s) + f;
  };
  const double xs[4] = {c, tx(0, h), tx(w, h), tx(w, 0)};
  const double ys[4] = {f, ty(0, h), ty(w, h), ty(w, 0)};
  // Of equal values the first is kept (0.0 before -0.0).
  double minx = xs[0], maxx = xs[0], miny = ys[0], maxy = ys[0];
  for (int i = 1; i < 4; ++i) {
    if (xs[i] < minx) minx = xs[i];
    if (xs[i] > maxx) maxx = xs[i];
    if (ys[i] < miny) miny = ys[i];
    if (ys[i] > maxy) maxy = ys[i];
  }
  out["left"] = minx;
  out["bottom"] = miny;
  out["right"] = maxx;
  out["top"] = maxy;
  return out;
}

}  // namespace
#endif

LoadResult load_tiff(const std::string& path, const ReadOptions&) {
#ifdef VEXIL_HAVE_GDAL
  LoadResult result;
  Metadata& meta = result.meta;

  const libs::gdal::Dataset ds = libs::gdal::open_raster(path);
  const GDALDatasetH h = libs::gdal::handle(ds);
  const int count = GDALGetRasterCount(h);
  if (count < 1) throw ReadError(fmt::format("'{}' has no raster bands", path));

  const libs::gdal::BandType type = libs::gdal::band_type(GDALGetRasterBand(h, 1), path);
  std::vector<int> bands{1};
  for (int i = 2; i <= count; ++i) {
    const libs::gdal::BandType other = libs::gdal::band_type(GDALGetRasterBand(h, i), path);
    if (other.dtype != type.dtype || other.name != type.name)
      throw BadInputError(fmt::format("more than one 'dtype' found in '{}': band 1 is {}, band {} is {}", path,
                                   type.name, i, other.name));
    bands.push_back(i);
  }
  result.data = libs::gdal::read_interleaved(h, bands, type, path);

  const int width = GDALGetRasterXSize(h);
  const int height = GDALGetRasterYSize(h);
  {
    libs::gdal::ErrorCapture quiet;
    const GDALDriverH driver = GDALGetDatasetDriver(h);
    const char* dname = driver ? GDALGetDriverShortName(driver) : nullptr;
    meta["driver"] = dname ? dname : "";
  }
  meta["dtype"] = std::string(type.name);
  meta["nodata"] = nodata_value(GDALGetRasterBand(h, 1), type);
  meta["width"] = width;
  meta["height"] = height;
  meta["count"] = count;

  if (auto crs = libs::gdal::dataset_crs(h)) {
    meta["crs"] = crs->to_string;
    meta["crs_wkt"] = crs->wkt;
  }

  // Without a geotransform GDAL fills in the identity, which is reported as it is.
  double gt[6] = {0, 1, 0, 0, 0, 1};
  {
    libs::gdal::ErrorCapture quiet;
    if (GDALGetGeoTransform(h, gt) != CE_None) {
      gt[0] = 0; gt[1] = 1; gt[2] = 0; gt[3] = 0; gt[4] = 0; gt[5] = 1;
    }
  }
  meta["transform"] = Metadata::array({gt[1], gt[2], gt[0], gt[4], gt[5], gt[3]});
  meta["bounds"] = bounds_of(gt, width, height);

  {
    libs::gdal::ErrorCapture quiet;
    Metadata descriptions = Metadata::array();
    bool any = false;
    for (int i = 1; i <= count; ++i) {
      const char* d = GDALGetDescription(GDALGetRasterBand(h, i));
      if (d && *d) {
        descriptions.push_back(text::utf8_or_latin1(d));
        any = true;
      } else {
        descriptions.push_back(nullptr);
      }
    }
    if (any) meta["band_descriptions"] = std::move(descriptions);

    Metadata tags = parse_tags(GDALGetMetadata(h, nullptr));
    if (!tags.empty()) meta["tags"] = std::move(tags);

    Metadata band_tags = Metadata::object();
    for (int i = 1; i <= count; ++i) {
      Metadata t = parse_tags(GDALGetMetadata(GDALGetRasterBand(h, i), nullptr));
      if (!t.empty()) band_tags[std::to_string(i)] = std::move(t);
    }
    if (!band_tags.empty()) meta["band_tags"] = std::move(band_tags);
  }

  const auto crs_it = meta.find("crs");
  const bool geo = crs_it != meta.end() && crs_it->is_string() && !crs_it->get<std::string>().empty();
  meta["_source_format"] = geo ? "GeoTIFF" : "TIFF";
  meta["_source_file"] = io::abspath(path);
  return result;
#else
  (void)path;
  throw ReadError("TIFF input needs GDAL, which this build does not include");
#endif
}

}  // namespace vexil::formats::tiff
