// How the TIFF reader delivers pixels: a mapped view or a deferred array,
// the same bytes GDAL's whole-raster RasterIO gives in every layout, a crop
// that decodes only its blocks, progress, cancellation and refusals made
// before any pixel is read.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "formats/tiff/tiff_format.hpp"
#include "support/gdal_writer.hpp"
#include "support/test_util.hpp"
#include "vexil/errors.hpp"

#ifdef VEXIL_HAVE_GDAL
#include <cpl_conv.h>

#include "formats/tiff/tiff_pixels.hpp"
#include "io/mapped_file.hpp"
#include "libs/gdal_util.hpp"

using namespace vexil;
using namespace vexil::formats;
using vexil::test::TempDir;
using vexil::test::TiffSpec;

namespace {

// Band-sequential values, every one distinct, of `type` (8 bytes each in the buffer).
std::vector<double> ramp(const TiffSpec& s) {
  std::vector<double> v(static_cast<std::size_t>(s.width) * s.height * s.bands);
  for (std::size_t i = 0; i < v.size(); ++i)
    v[i] = static_cast<double>((i * 37) % 251) + (s.type == GDT_Float32 || s.type == GDT_Float64 ? 0.25 : 0);
  return v;
}

std::string write(const TempDir& dir, const std::string& name, const TiffSpec& s) {
  const std::string path = dir / name;
  const std::vector<double> v = ramp(s);
  EXPECT_TRUE(vexil::test::write_tiff(path, s, v.data(), GDT_Float64));
  return path;
}

// What GDAL's one whole-raster RasterIO gives: the reader's former path.
NDArray gdal_reference(const std::string& path) {
  const libs::gdal::Dataset ds = libs::gdal::open_raster(path);
  const GDALDatasetH h = libs::gdal::handle(ds);
  std::vector<int> bands;
  for (int b = 1; b <= GDALGetRasterCount(h); ++b) bands.push_back(b);
  return libs::gdal::read_interleaved(h, bands, libs::gdal::band_type(GDALGetRasterBand(h, 1), path), path);
}

// `a` against bands [k0, k0 + a's bands) of `b`, element by element.
bool same_bands(const NDArray& a, const NDArray& b, std::int64_t k0) {
  if (a.shape() != Shape{b.shape()[0], b.shape()[1], a.shape()[2]} || a.dtype() != b.dtype() ||
      k0 + a.shape()[2] > b.shape()[2])
    return false;
  const std::size_t item = a.itemsize();
  for (std::int64_t y = 0; y < a.shape()[0]; ++y)
    for (std::int64_t x = 0; x < a.shape()[1]; ++x)
      for (std::int64_t k = 0; k < a.shape()[2]; ++k) {
        const std::int64_t i[3] = {y, x, k}, j[3] = {y, x, k + k0};
        if (std::memcmp(a.data() + a.offset_of(i), b.data() + b.offset_of(j), item) != 0) return false;
      }
  return true;
}

bool same_values(const NDArray& a, const NDArray& b) { return a.shape() == b.shape() && same_bands(a, b, 0); }

// A file's block (tile) offset as GDAL reports it.
std::uint64_t block_offset(const std::string& path, int band, int bx, int by) {
  const libs::gdal::Dataset ds = libs::gdal::open_raster(path);
  const std::string key = "BLOCK_OFFSET_" + std::to_string(bx) + "_" + std::to_string(by);
  const char* v = GDALGetMetadataItem(GDALGetRasterBand(libs::gdal::handle(ds), band), key.c_str(), "TIFF");
  return v ? std::stoull(v) : 0;
}

}  // namespace

// Every layout, codec, byte order and type: the reader's array holds what
// GDAL's RasterIO holds. Uncompressed little-endian data lying in one run is
// mapped (not deferred); everything else is decoded when needed.
TEST(TiffPixels, EveryLayoutGivesGdalsValues) {
  TempDir dir;
  struct Layout {
    const char* name;
    std::vector<std::string> options;
    bool mapped;
  };
  const std::vector<Layout> layouts = {
      {"strips_pixel", {"INTERLEAVE=PIXEL", "BLOCKYSIZE=5"}, true},
      {"strips_band", {"INTERLEAVE=BAND", "BLOCKYSIZE=4"}, true},
      {"one_strip_band", {"INTERLEAVE=BAND", "BLOCKYSIZE=23"}, true},
      {"tiles_pixel", {"TILED=YES", "BLOCKXSIZE=16", "BLOCKYSIZE=16", "INTERLEAVE=PIXEL"}, false},
      {"tiles_band", {"TILED=YES", "BLOCKXSIZE=16", "BLOCKYSIZE=16", "INTERLEAVE=BAND"}, false},
      {"big_endian", {"ENDIANNESS=BIG", "INTERLEAVE=PIXEL"}, false},
      {"big_endian_band", {"ENDIANNESS=BIG", "INTERLEAVE=BAND"}, false},
      {"deflate_pred2", {"COMPRESS=DEFLATE", "PREDICTOR=2", "TILED=YES", "BLOCKXSIZE=16", "BLOCKYSIZE=16"}, false},
      {"lzw_band", {"COMPRESS=LZW", "INTERLEAVE=BAND", "BLOCKYSIZE=3"}, false},
      {"zstd", {"COMPRESS=ZSTD", "BLOCKYSIZE=7"}, false},
      {"packbits", {"COMPRESS=PACKBITS", "INTERLEAVE=BAND"}, false},
      {"deflate_big_endian",
       {"COMPRESS=DEFLATE", "ENDIANNESS=BIG", "TILED=YES", "BLOCKXSIZE=16", "BLOCKYSIZE=16"},
       false},
      {"jpeg", {"COMPRESS=JPEG", "INTERLEAVE=BAND"}, false},
      // Deflate without predictor is decoded by our own inflater.
      {"zip_tiles_pixel", {"COMPRESS=DEFLATE", "TILED=YES", "BLOCKXSIZE=16", "BLOCKYSIZE=16"}, false},
      {"zip_tiles_band", {"COMPRESS=DEFLATE", "TILED=YES", "BLOCKXSIZE=32", "BLOCKYSIZE=16", "INTERLEAVE=BAND"}, false},
      {"zip_strips_pixel", {"COMPRESS=DEFLATE", "BLOCKYSIZE=5"}, false},
      {"zip_strips_band", {"COMPRESS=DEFLATE", "BLOCKYSIZE=4", "INTERLEAVE=BAND", "ZLEVEL=1"}, false},
  };
  const GDALDataType types[] = {GDT_Byte, GDT_UInt16, GDT_Int16, GDT_Int32, GDT_Float32, GDT_Float64, GDT_CInt16};
  int n = 0;
  for (const auto& layout : layouts) {
    for (GDALDataType type : types) {
      for (int bands : {1, 3}) {
        const bool jpeg = std::string(layout.name) == "jpeg";
        if (jpeg && type != GDT_Byte) continue;  // 8-bit JPEG only
        SCOPED_TRACE(std::string(layout.name) + " " + GDALGetDataTypeName(type) + " bands=" + std::to_string(bands));
        TiffSpec s;
        s.width = 37;
        s.height = 23;
        s.bands = bands;
        s.type = type;
        s.options = layout.options;
        if (std::string(layout.name).starts_with("deflate") && (type == GDT_Float32 || type == GDT_Float64))
          s.options.push_back("PREDICTOR=3");
        const std::string path = write(dir, "f" + std::to_string(n++) + ".tif", s);
        const LoadResult r = tiff::load_tiff(path);
        // Complex integers are widened by GDAL, so they are never mapped;
        // single bytes have no byte order.
        const bool big_endian_bytes = std::string(layout.name).starts_with("big_endian") && type == GDT_Byte;
        const bool mapped = (layout.mapped || big_endian_bytes) && type != GDT_CInt16;
        EXPECT_EQ(r.data.is_deferred(), !mapped);
        const NDArray got = r.data.materialize({.threads = 2});
        EXPECT_TRUE(same_values(got, gdal_reference(path)));
        // A window of the deferred array: the same values as the whole one's window.
        const NDArray win = r.data.window(3, 20, 5, 33).materialize({.threads = 2});
        EXPECT_TRUE(same_values(win, got.window(3, 20, 5, 33)));
        // Band by band, where blocks hold one band each: the same values again.
        if (mapped) continue;
        const NDArray fresh = tiff::load_tiff(path).data.window(3, 20, 5, 33);
        const bool separate =
            bands == 1 || std::find(s.options.begin(), s.options.end(), "INTERLEAVE=BAND") != s.options.end();
        EXPECT_EQ(fresh.band_step(), separate ? 1 : 0);
        if (fresh.band_step() == 0) continue;
        std::vector<std::byte> into(static_cast<std::size_t>(win.nbytes()));
        for (int b = 0; b < bands; ++b) {
          const NDArray one = fresh.read_bands(b, b + 1, {}, b % 2 ? into.data() : nullptr);
          EXPECT_TRUE(same_bands(one, win, b)) << "band " << b;
          EXPECT_EQ(one.strides(), NDArray::f_strides(one.shape(), one.itemsize()));
        }
      }
    }
  }
}

// Deflate blocks larger than the pieces they are read and decoded in
// (256 KiB): noise that does not compress, in tiles and in strips, whole and
// cropped across piece boundaries.
TEST(TiffPixels, DeflateBlocksLargerThanOnePiece) {
  TempDir dir;
  std::uint32_t seed = 12345;
  TiffSpec base;
  base.width = 300;
  base.height = 280;
  base.bands = 9;
  std::vector<std::uint16_t> noise(static_cast<std::size_t>(base.width) * base.height * base.bands);
  for (auto& v : noise) v = static_cast<std::uint16_t>((seed = seed * 1664525u + 1013904223u) >> 16);
  const std::vector<std::vector<std::string>> layouts = {
      {"COMPRESS=DEFLATE", "TILED=YES", "BLOCKXSIZE=256", "BLOCKYSIZE=256"},
      {"COMPRESS=DEFLATE", "TILED=YES", "BLOCKXSIZE=256", "BLOCKYSIZE=256", "INTERLEAVE=BAND"},
      {"COMPRESS=DEFLATE", "BLOCKYSIZE=200"},
  };
  int n = 0;
  for (const auto& options : layouts) {
    SCOPED_TRACE(options.back());
    TiffSpec s = base;
    s.options = options;
    const std::string path = dir / ("noise" + std::to_string(n++) + ".tif");
    ASSERT_TRUE(vexil::test::write_tiff(path, s, noise.data(), GDT_UInt16));
    const NDArray want = gdal_reference(path);
    const NDArray data = tiff::load_tiff(path).data;
    EXPECT_TRUE(same_values(data.materialize({.threads = 2}), want));
    EXPECT_TRUE(
        same_values(data.window(61, 279, 250, 300).materialize({.threads = 1}), want.window(61, 279, 250, 300)));
    EXPECT_TRUE(same_values(data.window(100, 101, 3, 290).materialize(), want.window(100, 101, 3, 290)));

    // One byte changed inside the first block's stored data decodes without
    // error; only the stream's checksum shows it.
    std::string bytes = vexil::test::read_file(path);
    const std::uint64_t off = block_offset(path, 1, 0, 0);
    ASSERT_GT(off, 0u);
    bytes[off + 100000] = static_cast<char>(bytes[off + 100000] ^ 0x01);
    const std::string damaged = dir / ("damaged" + std::to_string(n) + ".tif");
    vexil::test::write_file(damaged, bytes);
    EXPECT_THROW(tiff::load_tiff(damaged).data.materialize({.threads = 2}), ReadError);
  }

  // Rows of 2.4 MB, each decoded and placed on its own.
  TiffSpec wide;
  wide.width = 40000;
  wide.height = 5;
  wide.bands = 30;
  wide.options = {"COMPRESS=DEFLATE", "BLOCKYSIZE=3"};
  std::vector<std::uint16_t> wide_noise(static_cast<std::size_t>(wide.width) * wide.height * wide.bands);
  for (auto& v : wide_noise) v = static_cast<std::uint16_t>((seed = seed * 1664525u + 1013904223u) >> 16);
  const std::string wide_path = dir / "wide.tif";
  ASSERT_TRUE(vexil::test::write_tiff(wide_path, wide, wide_noise.data(), GDT_UInt16));
  EXPECT_TRUE(same_values(tiff::load_tiff(wide_path).data.materialize({.threads = 2}), gdal_reference(wide_path)));
}

// A file stored as one LZW strip of 17.6 MB: libtiff decodes a strip whole,
// so it lands in place in the stored order rather than through a buffer.
TEST(TiffPixels, OneLargeStripGivesGdalsValues) {
  TempDir dir;
  TiffSpec spec;
  spec.width = 2200;
  spec.height = 1000;
  spec.bands = 4;
  spec.options = {"COMPRESS=LZW", "BLOCKYSIZE=1000"};
  std::vector<std::uint16_t> v(static_cast<std::size_t>(spec.width) * spec.height * spec.bands);
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = static_cast<std::uint16_t>((i * 7) % 5003);
  const std::string path = dir / "one_strip.tif";
  ASSERT_TRUE(vexil::test::write_tiff(path, spec, v.data(), GDT_UInt16));
  const NDArray want = gdal_reference(path);
  const NDArray data = tiff::load_tiff(path).data;
  EXPECT_TRUE(same_values(data.materialize({.threads = 2}), want));
  EXPECT_TRUE(same_values(data.window(17, 980, 3, 2111).materialize(), want.window(17, 980, 3, 2111)));
}

// A crop decodes only the blocks it touches: the counter says so, and blocks
// outside it may even be corrupt.
TEST(TiffPixels, CropDecodesOnlyItsBlocks) {
  TempDir dir;
  for (const char* interleave : {"INTERLEAVE=PIXEL", "INTERLEAVE=BAND"}) {
    SCOPED_TRACE(interleave);
    TiffSpec s;
    s.width = 64;
    s.height = 64;
    s.bands = 3;
    s.options = {"COMPRESS=DEFLATE", "TILED=YES", "BLOCKXSIZE=16", "BLOCKYSIZE=16", interleave};
    const std::string path = write(dir, std::string("crop_") + (interleave[11] == 'P' ? "pixel" : "band") + ".tif", s);
    const NDArray whole = gdal_reference(path);
    const bool pixel = interleave[11] == 'P';

    // Rows 20..40 and columns 17..31 lie in tile rows 1..2 and tile column 1.
    const std::uint64_t before = tiff::blocks_read_for_testing();
    const NDArray crop = tiff::load_tiff(path).data.window(20, 41, 17, 32).materialize({.threads = 2});
    EXPECT_EQ(tiff::blocks_read_for_testing() - before, pixel ? 2u : 6u);
    EXPECT_TRUE(same_values(crop, whole.window(20, 41, 17, 32)));

    // Spoil tile (0, 0) of every band: the crop still reads, the whole image does not.
    std::string bytes = vexil::test::read_file(path);
    for (int b = 1; b <= (pixel ? 1 : 3); ++b) {
      const std::uint64_t off = block_offset(path, b, 0, 0);
      ASSERT_GT(off, 0u);
      for (std::uint64_t i = off; i < off + 16; ++i) bytes[i] = '\x5a';
    }
    const std::string spoiled = dir / (std::string("spoiled_") + (pixel ? "pixel" : "band") + ".tif");
    vexil::test::write_file(spoiled, bytes);
    const NDArray crop2 = tiff::load_tiff(spoiled).data.window(20, 41, 17, 32).materialize({.threads = 2});
    EXPECT_TRUE(same_values(crop2, whole.window(20, 41, 17, 32)));
    const std::string message =
        vexil::test::error_of([&] { tiff::load_tiff(spoiled).data.materialize({.threads = 2}); });
    EXPECT_NE(message.find("Read or write failed. "), std::string::npos) << message;
    EXPECT_NE(message.find(spoiled), std::string::npos) << message;
  }
}

// Progress counts the bytes placed, ends at the total and comes from the
// calling thread; a raised cancel flag stops the read.
TEST(TiffPixels, ProgressAndCancellation) {
  TempDir dir;
  TiffSpec s;
  s.width = 200;
  s.height = 150;
  s.bands = 4;
  s.options = {"COMPRESS=DEFLATE", "TILED=YES", "BLOCKXSIZE=32", "BLOCKYSIZE=32", "INTERLEAVE=BAND"};
  const std::string path = write(dir, "progress.tif", s);
  const NDArray deferred = tiff::load_tiff(path).data;
  ASSERT_TRUE(deferred.is_deferred());

  std::vector<std::pair<std::uint64_t, std::uint64_t>> calls;
  const auto caller = std::this_thread::get_id();
  bool other_thread = false;
  ReadControl control;
  control.threads = 3;
  control.progress = [&](std::uint64_t done, std::uint64_t total) {
    if (std::this_thread::get_id() != caller) other_thread = true;
    calls.emplace_back(done, total);
  };
  const NDArray got = deferred.materialize(control);
  ASSERT_FALSE(calls.empty());
  EXPECT_FALSE(other_thread);
  const std::uint64_t total = 200ull * 150 * 4 * 2;
  for (std::size_t i = 0; i < calls.size(); ++i) {
    EXPECT_EQ(calls[i].second, total);
    EXPECT_LE(calls[i].first, total);
    if (i) {
      EXPECT_GE(calls[i].first, calls[i - 1].first);
    }
  }
  EXPECT_EQ(calls.back().first, total);
  EXPECT_TRUE(same_values(got, gdal_reference(path)));

  std::atomic<bool> cancel{true};
  ReadControl stop;
  stop.cancel = &cancel;
  EXPECT_THROW(tiff::load_tiff(path).data.materialize(stop), CancelledError);
  // A progress callback that throws stops the read the same way.
  ReadControl thrower;
  thrower.threads = 2;
  thrower.progress = [](std::uint64_t, std::uint64_t) { throw CancelledError(); };
  EXPECT_THROW(tiff::load_tiff(path).data.materialize(thrower), CancelledError);
}

// Files whose blocks run past their end are refused when opened, before
// anything is read, with a message naming the file.
TEST(TiffPixels, TruncatedFilesAreRefusedAtLoad) {
  TempDir dir;
  for (const char* codec : {"COMPRESS=NONE", "COMPRESS=DEFLATE"}) {
    SCOPED_TRACE(codec);
    TiffSpec s;
    s.width = 64;
    s.height = 64;
    s.bands = 2;
    s.options = {codec, "INTERLEAVE=BAND"};
    const std::string path = write(dir, std::string("t_") + codec + ".tif", s);
    const std::string bytes = vexil::test::read_file(path);
    const std::string cut = dir / (std::string("cut_") + codec + ".tif");
    vexil::test::write_file(cut, bytes.substr(0, bytes.size() - 100));
    const std::string message = vexil::test::error_of([&] { tiff::load_tiff(cut); });
    EXPECT_NE(message.find("'" + cut + "' is truncated or corrupt"), std::string::npos) << message;
  }
}

// A mapped view shares the file's pages: no cube-sized buffer, and its
// storage outlives the dataset handle.
TEST(TiffPixels, MappedViewIsTheFilesBytes) {
  TempDir dir;
  TiffSpec s;
  s.width = 300;
  s.height = 200;
  s.bands = 5;
  s.type = GDT_Int16;
  s.options = {"INTERLEAVE=BAND"};
  const std::string path = write(dir, "mapped.tif", s);
  NDArray a = tiff::load_tiff(path).data;
  ASSERT_FALSE(a.is_deferred());
  // The view's bytes lie inside the file at the first strip of band 1.
  const std::string bytes = vexil::test::read_file(path);
  const std::uint64_t off = block_offset(path, 1, 0, 0);
  EXPECT_EQ(std::memcmp(a.data(), bytes.data() + off, 600), 0);
  EXPECT_EQ(a.strides(), (Strides{600, 2, 300 * 200 * 2}));
  EXPECT_TRUE(same_values(a, gdal_reference(path)));

  // The file shrinking under the mapping is an error naming it, not SIGBUS.
  EXPECT_NO_THROW(vexil::io::check_mapping_intact(a.keep_alive()));
  ASSERT_EQ(::truncate(path.c_str(), 4096), 0);
  EXPECT_EQ(a.at<std::int16_t>({199, 299, 4}), 0);
  const std::string msg = vexil::test::error_of([&] { vexil::io::check_mapping_intact(a.keep_alive()); });
  EXPECT_NE(msg.find(path + " changed while it was being read"), std::string::npos) << msg;
}

#endif
