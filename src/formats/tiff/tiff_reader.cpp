// TIFF and GeoTIFF input: the cube in its stored type and the file's
// georeferencing, nodata, band descriptions and tags, then what the file and
// known products say about the bands.
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "core/job.hpp"
#include "formats/envi/envi_metadata.hpp"
#include "formats/band_facts.hpp"
#include "formats/libraries.hpp"
#include "formats/products/product_table.hpp"
#include "formats/tiff/envi_sidecar.hpp"
#include "formats/tiff/tiff_format.hpp"
#include "formats/tiff/tiff_pixels.hpp"
#include "formats/tiff/tiff_read.hpp"
#include "io/paths.hpp"
#include "libs/gdal_util.hpp"
#include "text/text_format.hpp"
#include "text/utf8.hpp"
#include "vexil/errors.hpp"

#include <cpl_conv.h>
#include <cpl_string.h>

namespace vexil::formats::tiff {

namespace {

// A band's nodata value: a float when set and inside the range of the
// band's type (complex types: of their component), else null. 64-bit
// integers too large for a double stay exact integers.
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
  if (n == "uint8") {
    lo = 0;
    hi = 255;
  } else if (n == "int8") {
    lo = -128;
    hi = 127;
  } else if (n == "uint16") {
    lo = 0;
    hi = 65535;
  } else if (n == "int16" || n == "complex_int16") {
    lo = -32768;
    hi = 32767;
  } else if (n == "uint32") {
    lo = 0;
    hi = 4294967295.0;
  } else if (n == "int32" || n == "complex_int32") {
    lo = -2147483648.0;
    hi = 2147483647.0;
  } else if (n == "float32" || n == "complex64") {
    lo = -FLT_MAX;
    hi = FLT_MAX;
    floating = true;
  } else {
    lo = -DBL_MAX;
    hi = DBL_MAX;
    floating = true;
  }

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

// ---------------------------------------------------------------- pages

struct PageInfo {
  int page = 0;  // 1-based
  int width = 0, height = 0, count = 0;
  std::string dtype;  // every band's type name, or "mixed"
};

std::string page_text(const PageInfo& p) {
  return fmt::format("page {} ({} x {}, {} band{}, {})", p.page, p.height, p.width, p.count, p.count == 1 ? "" : "s",
                     p.dtype);
}

// The pages of a multi-page TIFF after the first, as GDAL lists them
// (reduced-resolution copies and masks are not pages).
std::vector<std::string> later_pages(GDALDatasetH ds) {
  std::vector<std::string> names;
  libs::gdal::ErrorCapture quiet;
  const char* driver = GDALGetDriverShortName(GDALGetDatasetDriver(ds));
  if (!driver || std::string_view(driver) != "GTiff") return names;
  for (int i = 2;; ++i) {
    const std::string key = fmt::format("SUBDATASET_{}_NAME", i);
    const char* name = GDALGetMetadataItem(ds, key.c_str(), "SUBDATASETS");
    if (!name) break;
    names.emplace_back(name);
  }
  return names;
}

PageInfo page_info(GDALDatasetH ds, int page, const std::string& path) {
  PageInfo p;
  p.page = page;
  p.width = GDALGetRasterXSize(ds);
  p.height = GDALGetRasterYSize(ds);
  p.count = GDALGetRasterCount(ds);
  for (int b = 1; b <= p.count; ++b) {
    std::string name;
    try {
      name = std::string(libs::gdal::band_type(GDALGetRasterBand(ds, b), path).name);
    } catch (const Error&) {
      name = GDALGetDataTypeName(GDALGetRasterDataType(GDALGetRasterBand(ds, b)));
    }
    if (b == 1)
      p.dtype = name;
    else if (name != p.dtype)
      p.dtype = "mixed";
  }
  return p;
}

// ---------------------------------------------------------------- band facts

std::optional<double> to_number(const char* text) {
  if (!text) return std::nullopt;
  double d = 0;
  if (!text::parse_float(text, d)) return std::nullopt;
  return d;
}

// A value per band from each band's own metadata item `key`, when every band has a number there.
std::optional<std::vector<double>> band_items(const std::vector<GDALRasterBandH>& bands, const char* key) {
  std::vector<double> out;
  for (GDALRasterBandH b : bands) {
    const auto v = to_number(GDALGetMetadataItem(b, key, nullptr));
    if (!v) return std::nullopt;
    out.push_back(*v);
  }
  if (out.empty()) return std::nullopt;
  return out;
}

// What the file itself declares: nodata as the fill value, per-band scale
// and offset, and band centres and widths kept as band metadata.
BandFacts file_facts(GDALDatasetH ds, const std::vector<GDALRasterBandH>& bands, const Metadata& nodata,
                     const libs::gdal::BandType& type) {
  libs::gdal::ErrorCapture quiet;
  BandFacts f;
  std::vector<std::string> sources;
  if (nodata.is_number()) {
    const bool integral = type.dtype != DType::Float32 && type.dtype != DType::Float64 &&
                          type.dtype != DType::Complex64 && type.dtype != DType::Complex128;
    if (nodata.is_number_float() && integral) {
      const double v = nodata.get<double>();
      f.fill_value = std::trunc(v) == v && std::fabs(v) < 9.2e18 ? Metadata(static_cast<std::int64_t>(v)) : nodata;
    } else {
      f.fill_value = nodata;
    }
    sources.emplace_back("nodata");
  }
  std::vector<double> gain, offset;
  bool scaled = false;
  for (GDALRasterBandH b : bands) {
    int ok_scale = 0, ok_offset = 0;
    double s = GDALGetRasterScale(b, &ok_scale);
    double o = GDALGetRasterOffset(b, &ok_offset);
    if (!ok_scale) s = 1.0;
    if (!ok_offset) o = 0.0;
    if (s != 1.0 || o != 0.0) scaled = true;
    gain.push_back(s);
    offset.push_back(o);
  }
  if (scaled) {
    Metadata g = Metadata::array(), o = Metadata::array();
    for (double x : gain) g.push_back(x);
    for (double x : offset) o.push_back(x);
    f.scale = Metadata{{"gain", std::move(g)}, {"offset", std::move(o)}, {"apply", "value = gain * DN + offset"}};
    sources.emplace_back("band scale and offset");
  }
  if ((f.wavelength = band_items(bands, "wavelength"))) {
    sources.emplace_back("band metadata");
    f.fwhm = band_items(bands, "fwhm");
    const char* units = bands.empty() ? nullptr : GDALGetMetadataItem(bands[0], "wavelength_units", nullptr);
    if (!units) units = GDALGetMetadataItem(ds, "wavelength_units", nullptr);
    if (units && *units) f.wavelength_units = text::utf8_or_latin1(units);
  }
  for (const auto& s : sources) f.source += (f.source.empty() ? "" : ", ") + s;
  if (!f.source.empty()) f.source = "TIFF " + f.source;
  return f;
}

// `into` keeps what it has and takes from `more` what it lacks.
void merge_facts(BandFacts& into, const BandFacts& more) {
  if (take_missing_facts(into, more) && !more.source.empty())
    into.source += (into.source.empty() ? "" : "; ") + more.source;
}

}  // namespace

LoadResult load_tiff(const std::string& path, const ReadOptions& options) { return read_tiff(path, options, {}); }

LoadResult read_tiff(const std::string& path, const ReadOptions& options, const TiffContext& context) {
  const core::Job& job = core::job_or_silent(options.job);
  LoadResult result;
  Metadata& meta = result.meta;

  const libs::gdal::Dataset ds = libs::gdal::open_raster(path);
  const GDALDatasetH h = libs::gdal::handle(ds);
  const int page1_count = GDALGetRasterCount(h);
  if (page1_count < 1) throw ReadError(fmt::format("'{}' has no raster bands", path));

  const libs::gdal::BandType type = libs::gdal::band_type(GDALGetRasterBand(h, 1), path);
  for (int i = 2; i <= page1_count; ++i) {
    const libs::gdal::BandType other = libs::gdal::band_type(GDALGetRasterBand(h, i), path);
    if (other.dtype != type.dtype || other.name != type.name)
      throw BadInputError(fmt::format("more than one 'dtype' found in '{}': band 1 is {}, band {} is {}", path,
                                      type.name, i, other.name));
  }
  const int width = GDALGetRasterXSize(h);
  const int height = GDALGetRasterYSize(h);

  // Pages of one size and type are the bands of one cube, in page order;
  // pages that differ are named and left out.
  std::vector<RasterPart> parts{{path, page1_count}};
  std::vector<libs::gdal::Dataset> page_ds;
  std::vector<PageInfo> left_out;
  const std::vector<std::string> pages = later_pages(h);
  if (!pages.empty()) {
    std::vector<PageInfo> infos;
    bool alike = true;
    for (std::size_t i = 0; i < pages.size(); ++i) {
      page_ds.push_back(libs::gdal::open_raster(pages[i]));
      const PageInfo info = page_info(libs::gdal::handle(page_ds.back()), static_cast<int>(i) + 2, path);
      if (info.width != width || info.height != height || info.dtype != type.name) alike = false;
      infos.push_back(info);
    }
    if (alike) {
      for (std::size_t i = 0; i < pages.size(); ++i) parts.push_back({pages[i], infos[i].count});
    } else {
      page_ds.clear();
      left_out = std::move(infos);
      const PageInfo first = page_info(h, 1, path);
      std::string rest;
      for (const auto& p : left_out) rest += (rest.empty() ? "" : ", ") + page_text(p);
      const Palette& pal = job.palette();
      job.line("  " + pal.yellow + "\u26a0 " + io::basename(path) + " holds " + std::to_string(pages.size() + 1) +
               " pages that differ in size or type: " + page_text(first) + " is converted; not converted: " + rest +
               pal.reset);
    }
  }
  int count = 0;
  for (const auto& p : parts) count += p.bands;

  // Every band of the cube, in cube order.
  std::vector<GDALRasterBandH> bands;
  for (int b = 1; b <= page1_count; ++b) bands.push_back(GDALGetRasterBand(h, b));
  for (const auto& d : page_ds)
    for (int b = 1; b <= GDALGetRasterCount(libs::gdal::handle(d)); ++b)
      bands.push_back(GDALGetRasterBand(libs::gdal::handle(d), b));

  result.data = tiff_cube(path, h, parts, type);

  {
    libs::gdal::ErrorCapture quiet;
    const GDALDriverH driver = GDALGetDatasetDriver(h);
    const char* dname = driver ? GDALGetDriverShortName(driver) : nullptr;
    meta["driver"] = dname ? dname : "";
  }
  meta["dtype"] = std::string(type.name);
  const Metadata nodata = nodata_value(bands[0], type);
  meta["nodata"] = nodata;
  meta["width"] = width;
  meta["height"] = height;
  meta["count"] = count;

  if (auto crs = libs::gdal::dataset_crs(h)) {
    meta["crs"] = crs->to_string;
    meta["crs_wkt"] = crs->wkt;
  }

  // Without a geotransform GDAL fills in the identity, which is reported as
  // it is, unless the file is georeferenced by ground control points: the
  // identity would then pass for georeferencing it does not describe.
  double gt[6] = {0, 1, 0, 0, 0, 1};
  bool has_transform = true;
  int gcp_count = 0;
  {
    libs::gdal::ErrorCapture quiet;
    if (GDALGetGeoTransform(h, gt) != CE_None) {
      has_transform = false;
      gt[0] = 0;
      gt[1] = 1;
      gt[2] = 0;
      gt[3] = 0;
      gt[4] = 0;
      gt[5] = 1;
    }
    gcp_count = GDALGetGCPCount(h);
  }
  if (!has_transform && gcp_count > 0) {
    meta["transform"] = nullptr;
    meta["bounds"] = nullptr;
  } else {
    meta["transform"] = Metadata::array({gt[1], gt[2], gt[0], gt[4], gt[5], gt[3]});
    meta["bounds"] = bounds_of(gt, width, height);
  }

  libs::gdal::ErrorCapture quiet;
  {
    Metadata descriptions = Metadata::array();
    bool any = false;
    for (GDALRasterBandH b : bands) {
      const char* d = GDALGetDescription(b);
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
    for (std::size_t i = 0; i < bands.size(); ++i) {
      Metadata t = parse_tags(GDALGetMetadata(bands[i], nullptr));
      if (!t.empty()) band_tags[std::to_string(i + 1)] = std::move(t);
    }
    if (!band_tags.empty()) meta["band_tags"] = std::move(band_tags);
  }

  // What rasterio's reading left out: units, per-band nodata, RPCs, GCPs
  // and the ENVI and IMAGE_STRUCTURE domains.
  {
    Metadata units = Metadata::array();
    bool any = false;
    for (GDALRasterBandH b : bands) {
      const char* u = GDALGetRasterUnitType(b);
      if (u && *u) {
        units.push_back(text::utf8_or_latin1(u));
        any = true;
      } else {
        units.push_back(nullptr);
      }
    }
    if (any) meta["units"] = std::move(units);

    Metadata per_band = Metadata::array();
    bool differ = false;
    for (GDALRasterBandH b : bands) {
      per_band.push_back(nodata_value(b, type));
      if (per_band.back().dump() != nodata.dump()) differ = true;
    }
    if (differ) meta["band_nodata"] = std::move(per_band);

    Metadata rpc = parse_tags(GDALGetMetadata(h, "RPC"));
    if (!rpc.empty()) meta["rpc"] = std::move(rpc);

    if (gcp_count > 0) {
      const GDAL_GCP* gcps = GDALGetGCPs(h);
      Metadata list = Metadata::array();
      for (int i = 0; gcps && i < gcp_count; ++i) {
        const GDAL_GCP& g = gcps[i];
        Metadata item = Metadata::object();
        if (g.pszId && *g.pszId) item["id"] = text::utf8_or_latin1(g.pszId);
        if (g.pszInfo && *g.pszInfo) item["info"] = text::utf8_or_latin1(g.pszInfo);
        item["pixel"] = g.dfGCPPixel;
        item["line"] = g.dfGCPLine;
        item["x"] = g.dfGCPX;
        item["y"] = g.dfGCPY;
        item["z"] = g.dfGCPZ;
        list.push_back(std::move(item));
      }
      meta["gcps"] = std::move(list);
      if (auto crs = libs::gdal::crs_texts(GDALGetGCPSpatialRef(h))) {
        meta["gcp_crs"] = crs->to_string;
        meta["gcp_crs_wkt"] = crs->wkt;
      }
    }

    Metadata structure = parse_tags(GDALGetMetadata(h, "IMAGE_STRUCTURE"));
    if (!structure.empty()) meta["image_structure"] = std::move(structure);
    Metadata envi = parse_tags(GDALGetMetadata(h, "ENVI"));
    if (!envi.empty()) meta["envi_metadata"] = std::move(envi);
  }

  if (!pages.empty()) {
    meta["pages"] = static_cast<int>(pages.size()) + 1;
    if (!left_out.empty()) {
      Metadata list = Metadata::array();
      for (const auto& p : left_out)
        list.push_back(Metadata{
            {"page", p.page}, {"width", p.width}, {"height", p.height}, {"count", p.count}, {"dtype", p.dtype}});
      meta["pages_not_converted"] = std::move(list);
    }
  }

  BandFacts facts;
  if (context.envi_header) {
    meta["envi_header"] = *context.envi_header;
    meta["envi_header_file"] = io::abspath(context.envi_header_path);
    facts = envi::band_facts_from_header(*context.envi_header, count);
    if (facts.wavelength || facts.fwhm || facts.bad_bands || facts.wavelength_units || facts.fill_value || facts.scale)
      facts.source = "ENVI header " + io::basename(context.envi_header_path);
  }
  products::ProductInput in;
  in.path = path;
  in.container = "tiff";
  in.meta = &meta;
  if (const products::Product* product = products::find_product(in)) {
    BandFacts from_product;
    product->describe(in, "", from_product);
    if (from_product.source.empty()) from_product.source = std::string(product->name);
    merge_facts(facts, from_product);
  }
  merge_facts(facts, file_facts(h, bands, nodata, type));
  add_band_facts(meta, facts);

  const auto crs_it = meta.find("crs");
  const bool geo = crs_it != meta.end() && crs_it->is_string() && !crs_it->get<std::string>().empty();
  meta["_source_format"] = geo ? "GeoTIFF" : "TIFF";
  meta["_source_file"] = io::abspath(path);
  return result;
}

}  // namespace vexil::formats::tiff
