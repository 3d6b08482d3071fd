#include "writers.hpp"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <fmt/format.h>

#ifdef VEXIL_HAVE_GDAL
#include <cpl_conv.h>
#include <cpl_string.h>
#include <gdal.h>
#include <ogr_srs_api.h>
#endif
#ifdef VEXIL_HAVE_HDF5
#include <hdf5.h>
#endif

namespace fs = std::filesystem;

namespace bench {

namespace {

// Lines y0 .. y0 + n of the BSQ cube in pixel order (line, sample, band):
// a BIP row block, and the order of an HDF5 (lines, samples, bands) slab.
template <class T>
void pixel_order_rows(const Cube& c, const MappedCube& m, std::int64_t y0, std::int64_t n, std::byte* out) {
  const std::int64_t H = c.lines, W = c.samples, B = c.bands;
  auto* dst = reinterpret_cast<T*>(out);
  const auto* src = reinterpret_cast<const T*>(m.data());
  for (std::int64_t b = 0; b < B; ++b) {
    const T* band = src + (b * H + y0) * W;
    for (std::int64_t p = 0; p < n * W; ++p) dst[p * B + b] = band[p];
  }
}

void pixel_order(const Cube& c, const MappedCube& m, std::int64_t y0, std::int64_t n, std::byte* out) {
  if (c.item() == 2)
    pixel_order_rows<std::uint16_t>(c, m, y0, n, out);
  else
    pixel_order_rows<std::uint32_t>(c, m, y0, n, out);
}

// The cached header with another interleave: every other field (wavelengths,
// map info, band names) stays as the generator wrote it.
void write_envi_header(const Cube& c, const std::string& path, const char* interleave) {
  std::ifstream in(c.hdr);
  std::ofstream out(path);
  bool replaced = false;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("interleave", 0) == 0) {
      line = std::string("interleave = ") + interleave;
      replaced = true;
    }
    out << line << '\n';
  }
  if (!replaced) out << "interleave = " << interleave << '\n';
  if (!out.flush()) throw std::runtime_error("cannot write " + path);
}

WrittenInput write_envi(const Cube& c, const MappedCube& m, InputFormat f, const std::string& dir) {
  const bool bip = f == InputFormat::EnviBip;
  const std::string stem = (fs::path(dir) / (bip ? "cube_bip" : "cube_bil")).string();
  WrittenInput w{f, stem + ".hdr", stem + ".hdr", "", false, {stem + ".img", stem + ".hdr"}};
  const std::int64_t H = c.lines, W = c.samples, B = c.bands;
  const std::size_t s = c.item(), row = static_cast<std::size_t>(W * B) * s;
  std::ofstream out(stem + ".img", std::ios::binary);
  std::vector<std::byte> buf(row * 16);
  for (std::int64_t y0 = 0; y0 < H; y0 += 16) {
    const std::int64_t n = std::min<std::int64_t>(16, H - y0);
    if (bip) {
      pixel_order(c, m, y0, n, buf.data());
    } else {  // BIL: each line holds its bands' rows one after another
      for (std::int64_t y = y0; y < y0 + n; ++y)
        for (std::int64_t b = 0; b < B; ++b)
          std::memcpy(buf.data() + static_cast<std::size_t>((y - y0) * B + b) * W * s,
                      m.data() + static_cast<std::size_t>(b * H + y) * W * s, static_cast<std::size_t>(W) * s);
    }
    out.write(reinterpret_cast<const char*>(buf.data()), static_cast<std::streamsize>(row * n));
  }
  if (!out.flush()) throw std::runtime_error("cannot write " + stem + ".img");
  write_envi_header(c, stem + ".hdr", bip ? "bip" : "bil");
  return w;
}

#ifdef VEXIL_HAVE_GDAL
// Written the way make_cubes.py's rasterio files are: UTM 33N on a 3 m grid,
// nodata 0, a sensor tag, and per band a description and a wavelength.
WrittenInput write_geotiff(const Cube& c, const MappedCube& m, InputFormat f, const std::string& dir) {
  const bool pixel = f == InputFormat::TiffPixel || f == InputFormat::TiffPixelDeflate;
  const bool deflate = f == InputFormat::TiffPixelDeflate || f == InputFormat::TiffBandDeflate;
  const std::string path = (fs::path(dir) / fmt::format("cube_{}.tif", format_info(f).name)).string();
  GDALAllRegister();
  GDALDriverH drv = GDALGetDriverByName("GTiff");
  if (!drv) throw std::runtime_error("GDAL has no GTiff driver");
  CPLStringList opts;
  opts.AddNameValue("INTERLEAVE", pixel ? "PIXEL" : "BAND");
  opts.AddNameValue("BIGTIFF", "IF_NEEDED");
  if (deflate) {
    opts.AddNameValue("COMPRESS", "DEFLATE");
    opts.AddNameValue("TILED", "YES");
    opts.AddNameValue("BLOCKXSIZE", "256");
    opts.AddNameValue("BLOCKYSIZE", "256");
    opts.AddNameValue("NUM_THREADS", "ALL_CPUS");  // only speeds up writing; the file is the same
  } else {
    opts.AddNameValue("COMPRESS", "NONE");
  }
  const GDALDataType type = c.dtype == vexil::DType::UInt16 ? GDT_UInt16 : GDT_Float32;
  const int W = static_cast<int>(c.samples), H = static_cast<int>(c.lines), B = static_cast<int>(c.bands);
  GDALDatasetH ds = GDALCreate(drv, path.c_str(), W, H, B, type, opts.List());
  if (!ds) throw std::runtime_error(std::string("GDALCreate failed: ") + CPLGetLastErrorMsg());
  double gt[6] = {500000.0, 3.0, 0.0, 4100000.0, 0.0, -3.0};
  GDALSetGeoTransform(ds, gt);
  OGRSpatialReferenceH srs = OSRNewSpatialReference(nullptr);
  char* wkt = nullptr;
  if (OSRImportFromEPSG(srs, 32633) == OGRERR_NONE && OSRExportToWkt(srs, &wkt) == OGRERR_NONE)
    GDALSetProjection(ds, wkt);
  CPLFree(wkt);
  OSRDestroySpatialReference(srs);
  GDALSetMetadataItem(ds, "SENSOR", "synthetic", nullptr);
  GDALSetMetadataItem(ds, "WAVELENGTH_UNITS", "nm", nullptr);
  for (int b = 0; b < B; ++b) {
    GDALRasterBandH band = GDALGetRasterBand(ds, b + 1);
    GDALSetRasterNoDataValue(band, 0);
    const double wl = b < static_cast<int>(c.wavelengths.size()) ? c.wavelengths[b] : 0.0;
    GDALSetDescription(band, fmt::format("Band {} ({:.1f} nm)", b + 1, wl).c_str());
    GDALSetMetadataItem(band, "wavelength", fmt::format("{:.2f}", wl).c_str(), nullptr);
  }
  const GSpacing s = static_cast<GSpacing>(c.item());
  const CPLErr err = GDALDatasetRasterIOEx(ds, GF_Write, 0, 0, W, H, const_cast<std::byte*>(m.data()), W, H, type, B,
                                           nullptr, s, s * W, s * W * H, nullptr);
  GDALClose(ds);
  if (err != CE_None) throw std::runtime_error(std::string("GDAL RasterIO failed: ") + CPLGetLastErrorMsg());
  return {f, path, path, "", false, {path}};
}
#endif

#ifdef VEXIL_HAVE_HDF5
void set_string_attribute(hid_t obj, const char* name, const std::string& value, bool& ok) {
  const hid_t type = H5Tcopy(H5T_C_S1);
  H5Tset_size(type, std::max<std::size_t>(1, value.size()));
  const hid_t space = H5Screate(H5S_SCALAR);
  const hid_t a = H5Acreate2(obj, name, type, space, H5P_DEFAULT, H5P_DEFAULT);
  ok = ok && a >= 0 && H5Awrite(a, type, value.c_str()) >= 0;
  if (a >= 0) H5Aclose(a);
  H5Sclose(space);
  H5Tclose(type);
}

// One dataset "radiance" as make_cubes.py writes it with h5py, with its
// wavelengths as an attribute and as a dataset of their own.
WrittenInput write_hdf5(const Cube& c, const MappedCube& m, InputFormat f, const std::string& dir) {
  const bool bands_first = f == InputFormat::H5Bhw || f == InputFormat::H5BhwGzip;
  const bool chunked = f == InputFormat::H5HwbGzip || f == InputFormat::H5BhwGzip;
  const std::string path = (fs::path(dir) / fmt::format("cube_{}.h5", format_info(f).name)).string();
  const hsize_t H = static_cast<hsize_t>(c.lines), W = static_cast<hsize_t>(c.samples),
                B = static_cast<hsize_t>(c.bands);
  const hsize_t dims_hwb[3] = {H, W, B}, dims_bhw[3] = {B, H, W};
  const hsize_t* dims = bands_first ? dims_bhw : dims_hwb;
  const hid_t type = c.dtype == vexil::DType::UInt16 ? H5T_NATIVE_UINT16 : H5T_NATIVE_FLOAT;
  const hid_t file = H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
  if (file < 0) throw std::runtime_error("cannot create " + path);
  bool ok = true;
  set_string_attribute(file, "sensor", "synthetic", ok);
  set_string_attribute(file, "created_by", "vexil_bench", ok);
  const hid_t space = H5Screate_simple(3, dims, nullptr);
  const hid_t dcpl = H5Pcreate(H5P_DATASET_CREATE);
  if (chunked) {
    const hsize_t tile_h = std::min<hsize_t>(64, H), tile_w = std::min<hsize_t>(64, W);
    const hsize_t chunk_hwb[3] = {tile_h, tile_w, B}, chunk_bhw[3] = {B, tile_h, tile_w};
    H5Pset_chunk(dcpl, 3, bands_first ? chunk_bhw : chunk_hwb);
    H5Pset_deflate(dcpl, 4);
  }
  const hid_t d = H5Dcreate2(file, "radiance", type, space, H5P_DEFAULT, dcpl, H5P_DEFAULT);
  ok = ok && d >= 0;
  if (ok && bands_first) {
    // BSQ bytes are the (bands, lines, samples) array in C order.
    ok = H5Dwrite(d, type, H5S_ALL, H5S_ALL, H5P_DEFAULT, m.data()) >= 0;
  } else if (ok) {
    // Whole chunk rows per write, so no chunk is compressed twice.
    const std::int64_t rows = 64;
    std::vector<std::byte> block(static_cast<std::size_t>(rows * c.samples * c.bands) * c.item());
    for (std::int64_t y0 = 0; ok && y0 < c.lines; y0 += rows) {
      const std::int64_t n = std::min(rows, c.lines - y0);
      pixel_order(c, m, y0, n, block.data());
      const hsize_t start[3] = {static_cast<hsize_t>(y0), 0, 0}, count[3] = {static_cast<hsize_t>(n), W, B};
      const hid_t mem = H5Screate_simple(3, count, nullptr);
      H5Sselect_hyperslab(space, H5S_SELECT_SET, start, nullptr, count, nullptr);
      ok = H5Dwrite(d, type, mem, space, H5P_DEFAULT, block.data()) >= 0;
      H5Sclose(mem);
    }
  }
  if (ok && !c.wavelengths.empty()) {
    const hsize_t n = c.wavelengths.size();
    const hid_t wspace = H5Screate_simple(1, &n, nullptr);
    const hid_t a = H5Acreate2(d, "wavelength", H5T_NATIVE_DOUBLE, wspace, H5P_DEFAULT, H5P_DEFAULT);
    ok = a >= 0 && H5Awrite(a, H5T_NATIVE_DOUBLE, c.wavelengths.data()) >= 0;
    if (a >= 0) H5Aclose(a);
    const hid_t wd = H5Dcreate2(file, "wavelength", H5T_NATIVE_DOUBLE, wspace, H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
    ok = ok && wd >= 0 && H5Dwrite(wd, H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, c.wavelengths.data()) >= 0;
    if (wd >= 0) H5Dclose(wd);
    H5Sclose(wspace);
  }
  if (d >= 0) {
    set_string_attribute(d, "units", "nm", ok);
    H5Dclose(d);
  }
  H5Pclose(dcpl);
  H5Sclose(space);
  if (H5Fclose(file) < 0) ok = false;
  if (!ok) throw std::runtime_error("cannot write the HDF5 cube " + path);
  return {f, path, path, "radiance", bands_first, {path}};
}
#endif

}  // namespace

const std::vector<FormatInfo>& all_formats() {
  static const std::vector<FormatInfo> formats{
      {InputFormat::EnviBsq, "envi-bsq", "envi"},
      {InputFormat::EnviBil, "envi-bil", "envi"},
      {InputFormat::EnviBip, "envi-bip", "envi"},
      {InputFormat::TiffPixel, "tiff-pixel", "tiff"},
      {InputFormat::TiffBand, "tiff-band", "tiff"},
      {InputFormat::TiffPixelDeflate, "tiff-pixel-deflate", "tiff"},
      {InputFormat::TiffBandDeflate, "tiff-band-deflate", "tiff"},
      {InputFormat::H5Hwb, "h5-hwb", "hdf5"},
      {InputFormat::H5HwbGzip, "h5-hwb-gzip", "hdf5"},
      {InputFormat::H5Bhw, "h5-bhw", "hdf5"},
      {InputFormat::H5BhwGzip, "h5-bhw-gzip", "hdf5"},
  };
  return formats;
}

std::optional<InputFormat> parse_format(const std::string& name) {
  for (const auto& f : all_formats())
    if (name == f.name) return f.format;
  return std::nullopt;
}

const FormatInfo& format_info(InputFormat format) {
  for (const auto& f : all_formats())
    if (f.format == format) return f;
  throw std::logic_error("unlisted input format");
}

WrittenInput write_input(const Cube& c, const MappedCube& m, InputFormat f, const std::string& dir) {
  switch (f) {
    case InputFormat::EnviBsq: return {f, c.hdr, c.hdr, "", false, {}};
    case InputFormat::EnviBil:
    case InputFormat::EnviBip: return write_envi(c, m, f, dir);
    case InputFormat::TiffPixel:
    case InputFormat::TiffBand:
    case InputFormat::TiffPixelDeflate:
    case InputFormat::TiffBandDeflate:
#ifdef VEXIL_HAVE_GDAL
      return write_geotiff(c, m, f, dir);
#else
      throw std::runtime_error(std::string("this build has no GDAL: cannot write ") + format_info(f).name);
#endif
    case InputFormat::H5Hwb:
    case InputFormat::H5HwbGzip:
    case InputFormat::H5Bhw:
    case InputFormat::H5BhwGzip:
#ifdef VEXIL_HAVE_HDF5
      return write_hdf5(c, m, f, dir);
#else
      throw std::runtime_error(std::string("this build has no HDF5: cannot write ") + format_info(f).name);
#endif
  }
  throw std::logic_error("unhandled input format");
}

}  // namespace bench
