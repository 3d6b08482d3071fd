// Cubes streamed into data.mat band group by band group: the bytes are those
// of the cube read whole, each group is read once and never the whole cube,
// statistics come out as over the whole cube, and a failed read ends the
// run as it would have before anything was saved.
#include <gtest/gtest.h>
#include <zlib.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <string>
#include <vector>

#include "output/atomic_file.hpp"
#include "output/band_stream.hpp"
#include "output/mat5_writer.hpp"
#include "output/save_outputs.hpp"
#include "support/gdal_writer.hpp"
#include "support/recording_reporter.hpp"
#include "support/test_util.hpp"
#include "vexil/convert.hpp"
#include "vexil/errors.hpp"

#ifdef VEXIL_HAVE_GDAL
#include "formats/tiff/tiff_pixels.hpp"
#endif

using namespace vexil;
using vexil::test::TempDir;

namespace {

// Serves bands of an in-memory (H, W, B) uint16 cube the way a reader of
// band-interleaved blocks does, counting its reads; `fail_band` makes any
// read including that band fail.
class CubeSource final : public PixelSource {
 public:
  CubeSource(NDArray cube, std::int64_t step, std::int64_t fail_band = -1)
      : cube_(std::move(cube)), step_(step), fail_band_(fail_band) {}

  NDArray read(std::int64_t y0, std::int64_t y1, std::int64_t x0, std::int64_t x1, const ReadControl&) const override {
    ++whole_reads;
    return cube_.window(y0, y1, x0, x1).contiguous(true);
  }
  std::int64_t band_step() const override { return step_; }
  NDArray read_bands(std::int64_t y0, std::int64_t y1, std::int64_t x0, std::int64_t x1, std::int64_t b0,
                     std::int64_t b1, const ReadControl&, std::byte* into) const override {
    ++band_reads;
    if (fail_band_ >= b0 && fail_band_ < b1) throw ReadError("band " + std::to_string(fail_band_) + " is damaged");
    const Shape f{b1 - b0, x1 - x0, y1 - y0};
    NDArray out = into ? NDArray::view(DType::UInt16, f, NDArray::c_strides(f, 2), into, nullptr).transpose({2, 1, 0})
                       : NDArray::allocate(DType::UInt16, f).transpose({2, 1, 0});
    for (std::int64_t y = y0; y < y1; ++y)
      for (std::int64_t x = x0; x < x1; ++x)
        for (std::int64_t b = b0; b < b1; ++b) {
          const std::int64_t src[3] = {y, x, b}, dst[3] = {y - y0, x - x0, b - b0};
          std::memcpy(out.mutable_data() + out.offset_of(dst), cube_.data() + cube_.offset_of(src), 2);
        }
    return out;
  }

  mutable std::atomic<int> whole_reads{0}, band_reads{0};

 private:
  NDArray cube_;
  std::int64_t step_, fail_band_;
};

NDArray test_cube(std::int64_t h, std::int64_t w, std::int64_t b) {
  NDArray a = NDArray::allocate(DType::UInt16, {h, w, b});
  auto* p = reinterpret_cast<std::uint16_t*>(a.mutable_data());
  for (std::int64_t i = 0; i < a.size(); ++i) p[i] = static_cast<std::uint16_t>((i * 7919) % 65521);
  return a;
}

// A checksum of a uint16 array's values that ignores their order and layout.
std::uint64_t value_checksum(const NDArray& a) {
  const NDArray c = a.contiguous();
  const auto* p = reinterpret_cast<const std::uint16_t*>(c.data());
  std::uint64_t s = 0;
  for (std::int64_t i = 0; i < c.size(); ++i) s += std::uint64_t{p[i]} * p[i] + p[i];
  return s;
}

// The inflated payload of a one-variable MAT-file (after the 128-byte header
// and the compressed element's tag).
std::string payload(const std::string& path) {
  const std::string f = vexil::test::read_file(path);
  if (f.size() < 136) return {};
  std::string out(std::size_t{64} << 20, '\0');
  uLongf n = out.size();
  EXPECT_EQ(uncompress(reinterpret_cast<Bytef*>(out.data()), &n, reinterpret_cast<const Bytef*>(f.data() + 136),
                       f.size() - 136),
            Z_OK);
  out.resize(n);
  return out;
}

struct Tuning {
  Tuning(std::int64_t group_bytes, int max_groups) {
    output::BandStream::set_tuning_for_testing(group_bytes, max_groups);
  }
  ~Tuning() { output::BandStream::set_tuning_for_testing(0, 0); }
};

}  // namespace

// Whole and windowed, with groups that stay and with a cache of one group
// that several threads fight over (groups evicted and read again): the
// stream holds the bytes the cube read whole gives, the tap sees every
// element exactly once, and the cube is never read whole.
TEST(BandStream, WritesWhatTheWholeCubeWritesAndTapsEachElementOnce) {
  TempDir dir;
  const NDArray cube = test_cube(37, 29, 11);
  struct Setup {
    const char* name;
    std::int64_t group_bytes;
    int max_groups, threads;
    std::size_t block;
  };
  const Setup setups[] = {{"default", 0, 0, 2, 0},
                          {"one group held, evicted under four threads", 37 * 29 * 2 * 2, 1, 4, 1000},
                          {"groups of one step, small blocks", 1, 3, 3, 777}};
  for (const Setup& s : setups) {
    for (bool windowed : {false, true}) {
      SCOPED_TRACE(std::string(s.name) + (windowed ? ", windowed" : ""));
      const Tuning tuning(s.group_bytes, s.max_groups);
      auto source = std::make_shared<CubeSource>(cube, 2);
      NDArray deferred = NDArray::deferred(DType::UInt16, cube.shape(), source);
      NDArray whole = cube;
      if (windowed) {
        deferred = deferred.window(3, 31, 2, 27);
        whole = cube.window(3, 31, 2, 27);
      }
      ASSERT_EQ(deferred.band_step(), 2);
      std::mutex mu;
      std::int64_t seen = 0;
      std::uint64_t sum = 0;
      output::Mat5Options o;
      o.threads = s.threads;
      o.block_size = s.block;
      o.stream_bands = true;
      o.value_tap = [&](const NDArray& values) {
        std::lock_guard lock(mu);
        seen += values.size();
        sum += value_checksum(values);
      };
      output::write_mat5(dir / "streamed.mat", "data", deferred, o);
      output::write_mat5(dir / "whole.mat", "data", whole, output::Mat5Options{});
      EXPECT_EQ(payload(dir / "streamed.mat"), payload(dir / "whole.mat"));
      // Every element once, with the cube's values.
      EXPECT_EQ(seen, whole.size());
      EXPECT_EQ(sum, value_checksum(whole));
      EXPECT_EQ(source->whole_reads.load(), 0);
      EXPECT_TRUE(deferred.is_deferred());
      if (s.group_bytes == 0) {
        EXPECT_EQ(source->band_reads.load(), 1) << "every group read once";
      }
    }
  }
}

// Without being asked to stream, the writer reads a deferred cube whole.
TEST(BandStream, OnlyWhenAsked) {
  TempDir dir;
  auto source = std::make_shared<CubeSource>(test_cube(9, 8, 6), 1);
  const NDArray deferred = NDArray::deferred(DType::UInt16, {9, 8, 6}, source);
  output::write_mat5(dir / "a.mat", "data", deferred, output::Mat5Options{});
  EXPECT_EQ(source->whole_reads.load(), 1);
  EXPECT_EQ(source->band_reads.load(), 0);
}

// A band that cannot be read: the writer throws BandReadFailure holding the
// source's own error, and a run saving such a cube ends as one whose input
// failed before anything was saved: no "Saving" line, no folder made.
TEST(BandStream, ReadFailureEndsTheRunAsBeforeSaving) {
  TempDir dir;
  const NDArray cube = test_cube(40, 30, 12);
  {
    auto source = std::make_shared<CubeSource>(cube, 1, 9);
    output::Mat5Options o;
    o.threads = 3;
    o.block_size = 1024;
    o.stream_bands = true;
    try {
      output::write_mat5(dir / "x.mat", "data", NDArray::deferred(DType::UInt16, {40, 30, 12}, source), o);
      ADD_FAILURE() << "no error";
    } catch (const output::BandReadFailure& f) {
      EXPECT_EQ(vexil::test::error_of([&] { std::rethrow_exception(f.error); }), "band 9 is damaged");
    }
    EXPECT_FALSE(vexil::test::exists(dir / "x.mat"));
  }

  const NDArray data = NDArray::deferred(DType::UInt16, {40, 30, 12}, std::make_shared<CubeSource>(cube, 1, 9));
  const std::string out = dir / "made/for/this";
  const std::string key = "data", gt_key = "gt";
  const std::optional<NDArray> no_gt;
  const Metadata meta = Metadata::object();
  const std::optional<Metadata> no_gt_meta;
  output::SaveInputs in{out, key, gt_key, data, no_gt, meta, no_gt_meta};
  ASSERT_TRUE(output::streams_bands(data, key));
  vexil::test::RecordingJob rec;
  EXPECT_THROW(output::save_outputs(in, rec.job), ReadError);
  EXPECT_EQ(rec.reporter.text(), "");
  EXPECT_FALSE(vexil::test::exists(dir / "made"));
}

#ifdef VEXIL_HAVE_GDAL
// Through a whole run: a band-interleaved DEFLATE GeoTIFF of float32 with
// NaNs and a nodata value gives the console text and data.mat that the same
// cube stored uncompressed (read from a mapping) gives, cropped or not, and
// its blocks are each decoded once.
TEST(BandStream, ConversionMatchesTheUncompressedCube) {
  TempDir dir;
  vexil::test::TiffSpec s;
  s.width = 70;
  s.height = 50;
  s.bands = 7;
  s.type = GDT_Float32;
  s.nodata = -9999;
  std::vector<float> v(static_cast<std::size_t>(s.width) * s.height * s.bands);
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = static_cast<float>((i * 31) % 977) * 0.5f - 7;
  // Values are band-sequential; these lie inside the crop too.
  v[17] = v[2 * 3500 + 10 * 70 + 40] = std::numeric_limits<float>::quiet_NaN();
  v[5000] = v[4 * 3500 + 20 * 70 + 50] = v[5 * 70 + 35] = -9999;
  s.options = {"INTERLEAVE=BAND"};
  ASSERT_TRUE(vexil::test::write_tiff(dir / "plain.tif", s, v.data(), GDT_Float32));
  s.options = {"INTERLEAVE=BAND", "COMPRESS=DEFLATE", "TILED=YES", "BLOCKXSIZE=32", "BLOCKYSIZE=16"};
  ASSERT_TRUE(vexil::test::write_tiff(dir / "zip.tif", s, v.data(), GDT_Float32));

  // One band per group, so that groups are put together and tallied.
  const Tuning tuning(1, 0);
  for (bool crop : {false, true}) {
    SCOPED_TRACE(crop ? "cropped" : "whole");
    auto run = [&](const std::string& name) {
      ConversionRequest req;
      req.image = dir / (name + ".tif");
      req.out_dir = dir / ("out_" + name);
      req.threads = 2;
      if (crop) req.crop = CropWindow{3, 33, 40, 30};
      vexil::test::RecordingReporter reporter;
      convert(req, reporter);
      std::string text = reporter.text();
      // The paths and the time differ between the two runs.
      for (const std::string& p : {req.image, req.out_dir}) {
        for (std::size_t at; (at = text.find(p)) != std::string::npos;) text.replace(at, p.size(), "<path>");
      }
      text.erase(text.find("Elapsed"), text.find('\n', text.find("Elapsed")) - text.find("Elapsed"));
      return std::make_pair(text, payload(req.out_dir + "/data.mat"));
    };
    const auto plain = run("plain");
    const std::uint64_t blocks = formats::tiff::blocks_read_for_testing();
    const std::uint64_t groups = output::BandStream::groups_decoded_for_testing();
    const auto zip = run("zip");
    EXPECT_EQ(zip.first, plain.first);
    EXPECT_EQ(zip.second, plain.second);
    EXPECT_NE(zip.first.find("NaN)"), std::string::npos) << zip.first;
    EXPECT_EQ(zip.first.find("(0 px)"), std::string::npos) << zip.first;
    // Each tile of the window once, for each of the 7 bands: 3 rows of one
    // column of tiles, or 4 rows of 3.
    EXPECT_EQ(formats::tiff::blocks_read_for_testing() - blocks, crop ? 3u * 1 * 7 : 4u * 3 * 7);
    EXPECT_GT(output::BandStream::groups_decoded_for_testing(), groups);
  }
}
#endif
