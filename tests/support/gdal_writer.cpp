#include "support/gdal_writer.hpp"

#ifdef VEXIL_HAVE_GDAL
#include <gtest/gtest.h>

#include <cpl_conv.h>
#include <cpl_string.h>
#include <ogr_srs_api.h>

namespace vexil::test {
namespace {

struct GdalInit {
  GdalInit() {
    GDALAllRegister();
    CPLPushErrorHandler(CPLQuietErrorHandler);
  }
};

}  // namespace

bool write_tiff(const std::string& path, const TiffSpec& spec, const void* values, GDALDataType buf_type) {
  static GdalInit init;
  GDALDriverH drv = GDALGetDriverByName("GTiff");
  char** opts = nullptr;
  for (const auto& o : spec.options) opts = CSLAddString(opts, o.c_str());
  GDALDatasetH ds = GDALCreate(drv, path.c_str(), spec.width, spec.height, spec.bands, spec.type, opts);
  CSLDestroy(opts);
  EXPECT_NE(ds, nullptr) << CPLGetLastErrorMsg();
  if (!ds) return false;
  if (!spec.srs.empty()) {
    OGRSpatialReferenceH srs = OSRNewSpatialReference(nullptr);
    EXPECT_EQ(OSRSetFromUserInput(srs, spec.srs.c_str()), OGRERR_NONE);
    GDALSetSpatialRef(ds, srs);
    OSRDestroySpatialReference(srs);
  }
  if (!spec.geotransform.empty()) {
    double gt[6];
    for (int i = 0; i < 6; ++i) gt[i] = spec.geotransform[i];
    GDALSetGeoTransform(ds, gt);
  }
  for (int b = 1; b <= spec.bands; ++b) {
    GDALRasterBandH band = GDALGetRasterBand(ds, b);
    const auto i = static_cast<std::size_t>(b - 1);
    std::optional<double> nodata = spec.nodata;
    if (spec.band_nodata.size() > i) nodata = spec.band_nodata[i];
    if (nodata) GDALSetRasterNoDataValue(band, *nodata);
    if (spec.descriptions.size() > i && spec.descriptions[i]) GDALSetDescription(band, spec.descriptions[i]->c_str());
    if (spec.band_tags.size() > i) {
      for (const auto& item : spec.band_tags[i]) {
        const auto eq = item.find('=');
        GDALSetMetadataItem(band, item.substr(0, eq).c_str(), item.substr(eq + 1).c_str(), nullptr);
      }
    }
    if (spec.scales.size() > i) GDALSetRasterScale(band, spec.scales[i]);
    if (spec.offsets.size() > i) GDALSetRasterOffset(band, spec.offsets[i]);
    if (spec.units.size() > i) GDALSetRasterUnitType(band, spec.units[i].c_str());
  }
  if (!spec.tags.empty()) {
    char** md = nullptr;
    for (const auto& t : spec.tags) md = CSLAddString(md, t.c_str());
    GDALSetMetadata(ds, md, nullptr);
    CSLDestroy(md);
  }
  for (const auto& [domain, items] : spec.domains) {
    char** md = nullptr;
    for (const auto& t : items) md = CSLAddString(md, t.c_str());
    GDALSetMetadata(ds, md, domain.c_str());
    CSLDestroy(md);
  }
  bool ok = true;
  if (values) {
    const CPLErr err = GDALDatasetRasterIO(ds, GF_Write, 0, 0, spec.width, spec.height, const_cast<void*>(values),
                                           spec.width, spec.height, buf_type, spec.bands, nullptr, 0, 0, 0);
    EXPECT_EQ(err, CE_None);
    ok = err == CE_None;
  }
  GDALClose(ds);
  return ok;
}

}  // namespace vexil::test
#endif
