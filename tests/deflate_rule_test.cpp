// The Level 5 writer's default compression stays within 3% of single-threaded
// zlib level 6 on scenes built like real ones, from well-compressible
// low-noise radiance to noisy 16-bit data and rounded float reflectance
// (whose ISA-L output is large enough to look incompressible while still
// losing 5% to zlib), whatever the thread count.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "output/mat5_writer.hpp"
#include "output/parallel_deflate.hpp"
#include "support/test_util.hpp"

namespace vexil::output {
namespace {

using test::TempDir;

double gauss(double x, double mu, double sigma) { return std::exp(-0.5 * (x - mu) * (x - mu) / (sigma * sigma)); }
double sigmoid(double x, double mu, double w) { return 1.0 / (1.0 + std::exp(-(x - mu) / w)); }

// How a sensor and its processing turn reflectance into stored values.
struct Sensor {
  double gain = 1;   // DN per unit of a 12-bit sensor's gain
  double noise = 1;  // read and shot noise, relative
  double max_dn = 4095;
  double quantum = 0;  // > 0: stored as float32 reflectance rounded to this
};

// A (lines, samples, bands) scene: a few smooth material spectra mixed over
// irregular fields, under a solar curve with absorption bands, push-broom
// column gain, dark level and noise.
NDArray scene(std::int64_t h, std::int64_t w, std::int64_t b, const Sensor& s, unsigned seed = 7) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> normal;
  std::uniform_real_distribution<double> uniform;
  std::vector<std::vector<double>> spectra(4, std::vector<double>(b));
  std::vector<double> sun(b), dark(b);
  for (std::int64_t k = 0; k < b; ++k) {
    const double wl = 400 + 2100.0 * k / std::max<std::int64_t>(b - 1, 1);
    const double water = 1 - 0.6 * gauss(wl, 1450, 70) - 0.75 * gauss(wl, 1940, 90);
    spectra[0][k] = (0.035 + 0.07 * gauss(wl, 550, 35) + 0.45 * sigmoid(wl, 718, 13)) * water;
    spectra[1][k] = (0.06 + 0.30 * sigmoid(wl, 800, 350)) * (1 - 0.2 * gauss(wl, 1420, 50));
    spectra[2][k] = 0.02 + 0.06 * gauss(wl, 480, 80) * (1 - sigmoid(wl, 720, 30));
    spectra[3][k] = 0.22 + 0.10 * sigmoid(wl, 500, 80) - 0.04 * gauss(wl, 2330, 60);
    const double planck = std::exp(-0.5 * std::pow((wl - 600) / 700, 2));
    sun[k] = planck *
             std::max(0.02, 1 - 0.96 * gauss(wl, 1380, 45) - 0.97 * gauss(wl, 1880, 65) - 0.35 * gauss(wl, 940, 25));
    dark[k] = (90 + 15 * uniform(rng)) * s.gain;
  }
  // Fields: nearest of a few seeds, each with its own mixture.
  const int nseeds = 12;
  std::vector<double> sy(nseeds), sx(nseeds), mix(nseeds * 4);
  for (int i = 0; i < nseeds; ++i) {
    sy[i] = uniform(rng) * static_cast<double>(h);
    sx[i] = uniform(rng) * static_cast<double>(w);
    double sum = 0;
    for (int m = 0; m < 4; ++m) sum += mix[i * 4 + m] = std::pow(uniform(rng), 3);
    for (int m = 0; m < 4; ++m) mix[i * 4 + m] /= sum;
  }
  std::vector<double> col_gain(w);
  for (auto& g : col_gain) g = 1 + 0.004 * normal(rng);

  NDArray a = NDArray::allocate(s.quantum > 0 ? DType::Float32 : DType::UInt16, {h, w, b});
  const double gain = 3600.0 / 0.35 * s.gain;
  for (std::int64_t y = 0; y < h; ++y)
    for (std::int64_t x = 0; x < w; ++x) {
      int field = 0;
      double best = 1e300;
      for (int i = 0; i < nseeds; ++i) {
        const double d =
            std::pow(y - sy[i] + 4 * std::sin(x * 0.13), 2) + std::pow(x - sx[i] + 4 * std::sin(y * 0.11), 2);
        if (d < best) best = d, field = i;
      }
      const double illum = 1 + 0.12 * std::sin(y * 0.05 + 1) * std::cos(x * 0.04) + 0.04 * std::sin(x * 0.9 + y * 0.7);
      const double wobble = 0.3 * std::sin(x * 0.21 + y * 0.17);
      for (std::int64_t k = 0; k < b; ++k) {
        double r = 0;
        for (int m = 0; m < 4; ++m) r += mix[field * 4 + m] * (1 + (m == 0 ? wobble : -wobble / 3)) * spectra[m][k];
        const double sig = r * illum * col_gain[x] * gain * sun[k];
        const double dn = std::clamp(
            std::rint(sig + dark[k] + s.noise * std::sqrt(9 * s.gain * s.gain + 0.35 * sig * s.gain) * normal(rng)),
            0.0, s.max_dn);
        const std::int64_t at = (y * w + x) * b + k;
        if (s.quantum > 0) {
          const double refl = (dn - dark[k]) / (illum * col_gain[x] * gain * sun[k]);
          reinterpret_cast<float*>(a.mutable_data())[at] = static_cast<float>(std::round(refl / s.quantum) * s.quantum);
        } else {
          reinterpret_cast<std::uint16_t*>(a.mutable_data())[at] = static_cast<std::uint16_t>(dn);
        }
      }
    }
  return a;
}

// Bytes of one zlib stream of the whole element at level 6, single-threaded.
std::uint64_t zlib6_size(const NDArray& a) {
  const auto source = mat5_element_source(a, "data");
  std::vector<std::uint8_t> raw(source->size());
  source->read(0, raw.size(), reinterpret_cast<std::byte*>(raw.data()));
  uLongf n = compressBound(raw.size());
  std::vector<std::uint8_t> out(n);
  EXPECT_EQ(compress2(out.data(), &n, raw.data(), raw.size(), 6), Z_OK);
  return n;
}

// The compressed stream's size in a written data.mat (after the header and element tag).
std::uint64_t written_size(const NDArray& a, int threads) {
  TempDir tmp;
  write_mat5(tmp / "data.mat", "data", a, {.threads = threads});
  return test::read_file(tmp / "data.mat").size() - 128 - 8;
}

}  // namespace

TEST(CompressionRule, WithinThreePercentOfZlib6FromHalfToFiveSixthsOfRawSize) {
  struct Case {
    std::string what;
    Sensor sensor;
    std::int64_t h = 96, w = 80, b = 96;
  };
  // Small planes get short blocks; planes of 1 MiB and more long ones.
  const std::vector<Case> cases = {
      {"11-bit radiance, low noise", {.gain = 0.5, .noise = 0.5}},
      {"12-bit radiance", {}},
      {"14-bit radiance", {.gain = 4, .max_dn = 16383}},
      {"16-bit radiance", {.gain = 16, .max_dn = 65535}},
      {"float32 reflectance rounded to 1e-4", {.quantum = 1e-4}},
      {"float32 reflectance rounded to 2e-5", {.quantum = 2e-5}},
      {"12-bit radiance, 1 MiB planes", {}, 1024, 512, 6},
      {"float32 reflectance rounded to 2e-5, 1 MiB planes", {.quantum = 2e-5}, 512, 512, 6},
  };
  double lowest = 1, highest = 0;
  for (const Case& c : cases) {
    const NDArray cube = scene(c.h, c.w, c.b, c.sensor);
    const double z6 = static_cast<double>(zlib6_size(cube));
    const double ratio = z6 / static_cast<double>(cube.nbytes());
    lowest = std::min(lowest, ratio);
    highest = std::max(highest, ratio);
    for (int threads : {1, 2}) {
      const double size = static_cast<double>(written_size(cube, threads));
      SCOPED_TRACE(fmt::format("{}: zlib-6 gives {:.3f} of raw; {} thread(s)", c.what, ratio, threads));
      EXPECT_LE(size, 1.03 * z6) << fmt::format("{:.4f} x zlib-6", size / z6);
      std::printf("%-40s zlib-6 %.3f of raw, written %.4f x zlib-6 (%d thread%s)\n", c.what.c_str(), ratio, size / z6,
                  threads, threads == 1 ? "" : "s");
    }
  }
  // The textures span what real scenes do.
  EXPECT_LE(lowest, 0.55);
  EXPECT_GE(highest, 0.8);
}

}  // namespace vexil::output

namespace vexil::output {

// Which worker decides a chunk, and in which order chunks finish, must not
// show in the bytes: with the chunks fixed, every thread count writes the
// same stream, on a texture where some chunks keep ISA-L and some do not.
TEST(CompressionRule, TheStreamDoesNotDependOnTheThreadCount) {
  const NDArray cube = scene(64, 60, 96, {.quantum = 2e-5}, 11);
  std::string first;
  for (int threads : {1, 2, 3, 5}) {
    TempDir tmp;
    write_mat5(tmp / "data.mat", "data", cube, {.threads = threads, .block_size = 40000});
    const std::string stream = test::read_file(tmp / "data.mat").substr(128);
    if (first.empty())
      first = stream;
    else
      EXPECT_TRUE(stream == first) << threads << " threads wrote other bytes";
  }
}

}  // namespace vexil::output

namespace vexil::output {
namespace {

// Bytes i * 7 / 3 (compressible, never constant); read() fails at one offset.
class FailingSource : public ByteSource {
 public:
  FailingSource(std::uint64_t size, std::uint64_t fail_at) : size_(size), fail_at_(fail_at) {}
  std::uint64_t size() const override { return size_; }
  void read(std::uint64_t offset, std::size_t len, std::byte* out) const override {
    if (offset <= fail_at_ && fail_at_ < offset + len) {
      // Late, so the chunks after it have started and wait for its tail.
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      throw std::runtime_error("source failed");
    }
    for (std::size_t i = 0; i < len; ++i) out[i] = static_cast<std::byte>((offset + i) * 7 / 3);
  }

 private:
  std::uint64_t size_, fail_at_;
};

std::string inflate_all(const std::string& z) {
  std::string out(1 << 22, '\0');
  uLongf n = static_cast<uLongf>(out.size());
  if (uncompress(reinterpret_cast<Bytef*>(out.data()), &n, reinterpret_cast<const Bytef*>(z.data()),
                 static_cast<uLong>(z.size())) != Z_OK)
    return "not a zlib stream";
  out.resize(n);
  return out;
}

}  // namespace

// Each chunk is primed with the end of the one before, handed over between
// workers; blocks shorter than the 32 KiB window take part of it from the
// chunk before that. The stream still inflates to the source, and a read
// that fails stops every worker, waiting or not, with its error.
TEST(ParallelZlib, DictionariesHandedOverAndFailuresStopEveryWorker) {
  const std::uint64_t size = 300000;
  const FailingSource good(size, ~std::uint64_t{0});
  std::string want(size, '\0');
  good.read(0, size, reinterpret_cast<std::byte*>(want.data()));
  for (std::size_t block : {std::size_t{1000}, std::size_t{20000}, std::size_t{65536}}) {
    for (int threads : {1, 2, 4}) {
      std::string z;
      parallel_zlib(good, [&](const std::uint8_t* p, std::size_t n) { z.append(reinterpret_cast<const char*>(p), n); },
                    {.threads = threads, .block_size = block});
      EXPECT_TRUE(inflate_all(z) == want) << "block " << block << ", " << threads << " threads";
      const FailingSource bad(size, size / 2);
      EXPECT_THROW(
          parallel_zlib(bad, [](const std::uint8_t*, std::size_t) {}, {.threads = threads, .block_size = block}),
          std::runtime_error);
    }
  }
}

}  // namespace vexil::output
