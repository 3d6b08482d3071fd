// Benchmark of "vexil convert_to_mat" against baselines measured in the same
// run: single-threaded zlib level 6 over the same column-major bytes (what
// SciPy and matio write), and, where the system Python has NumPy and SciPy,
// the Python pipeline (NumPy read + scipy.io.savemat with compression).
// It generates synthetic ENVI cubes (smooth spectra mixed from a few
// endmembers plus sensor noise), converts them with the vexil program and
// prints one table row per cube, then the compressor's scaling per thread
// count. With --formats the same cube is also written as GeoTIFF (pixel- and
// band-interleaved) and as an HDF5 dataset (contiguous, chunked + deflate) and
// converted from each. Not a test: numbers depend on the machine.
#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <fmt/format.h>

#ifdef VEXIL_HAVE_GDAL
#include <cpl_conv.h>
#include <gdal.h>
#include <ogr_srs_api.h>
#endif
#ifdef VEXIL_HAVE_HDF5
#include <hdf5.h>
#endif

#include "vexil/array.hpp"
#include "output/mat5_writer.hpp"
#include "output/parallel_deflate.hpp"

extern char** environ;

namespace fs = std::filesystem;
using namespace vexil;
using Clock = std::chrono::steady_clock;

namespace {

struct Options {
  std::vector<std::uint64_t> sizes{64ull << 20};
  std::vector<std::string> dtypes{"uint16"};
  std::vector<std::string> interleaves{"bsq", "bip"};
  std::vector<std::string> noises{"noisy"};
  std::vector<std::string> formats{"envi"};
  std::string vexil;
  std::string scratch;
  bool keep = false;
  bool zlib_baseline = true;
  bool python = true;
  bool thread_scan = true;
  bool methods = false;
  std::uint64_t methods_sample = 64ull << 20;
  bool summary = false;
  bool convert = true;
  int bands = 200;
};

[[noreturn]] void usage(int status) {
  std::fputs(
      "usage: vexil_bench [options]\n"
      "  --sizes LIST        cube sizes, e.g. 8M,64M,256M,1G (default 64M)\n"
      "  --dtypes LIST       uint16,float32 (default uint16)\n"
      "  --interleaves LIST  bsq,bip (default bsq,bip)\n"
      "  --noise LIST        noisy,smooth (default noisy)\n"
      "  --formats LIST      inputs converted from the same cube: envi,tiff-pixel,tiff-band,\n"
      "                      h5-contiguous,h5-chunked (default envi)\n"
      "  --bands N           bands per cube (default 200)\n"
      "  --vexil PATH        the vexil program (default: next to this program)\n"
      "  --scratch DIR       folder for cubes and outputs (default: a new folder in /tmp)\n"
      "  --keep              keep the scratch folder\n"
      "  --no-zlib           skip the single-threaded zlib level 6 baseline\n"
      "  --no-python         skip the Python pipeline baseline\n"
      "  --no-scan           skip the compression scaling per thread count\n"
      "  --methods           compare deflate methods and levels on a sample of each cube\n"
      "  --methods-sample S  bytes of that sample (default 64M)\n"
      "  --no-convert        skip running vexil (baselines and compression only)\n"
      "  --summary           also show the share of the run spent in the closing summary\n",
      status ? stderr : stdout);
  std::exit(status);
}

std::uint64_t parse_size(const std::string& s) {
  std::size_t pos = 0;
  const double v = std::stod(s, &pos);
  const std::string unit = s.substr(pos);
  double mult = 1;
  if (unit == "K" || unit == "k") mult = 1024.0;
  else if (unit == "M" || unit == "m") mult = 1048576.0;
  else if (unit == "G" || unit == "g") mult = 1073741824.0;
  else if (!unit.empty()) throw std::invalid_argument("bad size: " + s);
  return static_cast<std::uint64_t>(v * mult);
}

std::vector<std::string> split_list(const std::string& s) {
  std::vector<std::string> out;
  std::stringstream ss(s);
  std::string item;
  while (std::getline(ss, item, ',')) if (!item.empty()) out.push_back(item);
  return out;
}

Options parse_args(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= argc) usage(2);
      return argv[++i];
    };
    if (a == "--sizes") {
      o.sizes.clear();
      for (const auto& s : split_list(next())) o.sizes.push_back(parse_size(s));
    } else if (a == "--dtypes") o.dtypes = split_list(next());
    else if (a == "--interleaves") o.interleaves = split_list(next());
    else if (a == "--noise") o.noises = split_list(next());
    else if (a == "--formats") o.formats = split_list(next());
    else if (a == "--bands") o.bands = std::stoi(next());
    else if (a == "--vexil") o.vexil = next();
    else if (a == "--scratch") o.scratch = next();
    else if (a == "--keep") o.keep = true;
    else if (a == "--no-zlib") o.zlib_baseline = false;
    else if (a == "--no-python") o.python = false;
    else if (a == "--no-scan") o.thread_scan = false;
    else if (a == "--methods") o.methods = true;
    else if (a == "--methods-sample") o.methods_sample = parse_size(next());
    else if (a == "--summary") o.summary = true;
    else if (a == "--no-convert") o.convert = false;
    else if (a == "-h" || a == "--help") usage(0);
    else usage(2);
  }
  for (const auto& d : o.dtypes)
    if (d != "uint16" && d != "float32") usage(2);
  for (const auto& d : o.interleaves)
    if (d != "bsq" && d != "bip") usage(2);
  for (const auto& d : o.noises)
    if (d != "noisy" && d != "smooth") usage(2);
  for (const auto& d : o.formats)
    if (d != "envi" && d != "tiff-pixel" && d != "tiff-band" && d != "h5-contiguous" && d != "h5-chunked") usage(2);
  return o;
}

std::string find_vexil(const char* argv0, const std::string& given) {
  if (!given.empty()) return given;
  std::error_code ec;
  const fs::path self = fs::canonical("/proc/self/exe", ec);
  const fs::path dir = ec ? fs::path(argv0).parent_path() : self.parent_path();
  for (const fs::path& p : {dir / "vexil", dir.parent_path() / "vexil"})
    if (fs::exists(p)) return p.string();
#ifdef VEXIL_BINARY
  if (fs::exists(VEXIL_BINARY)) return VEXIL_BINARY;
#endif
  throw std::runtime_error("cannot find the vexil program; give it with --vexil");
}

// ---------------------------------------------------------------- cubes

struct Cube {
  std::string name;
  std::string dtype;
  std::string interleave;
  std::string noise;
  std::int64_t lines = 0, samples = 0, bands = 0;
  std::string hdr, img;
  std::uint64_t bytes() const { return static_cast<std::uint64_t>(lines * samples * bands) * (dtype == "uint16" ? 2 : 4); }
};

// A few endmember spectra mixed by smooth abundance maps, plus noise: the
// band-to-band correlation and noise floor of real airborne cubes.
void generate(Cube& c) {
  constexpr int kEnd = 4;
  const std::int64_t H = c.lines, W = c.samples, B = c.bands;
  std::vector<float> spectra(kEnd * B);
  std::mt19937 rng(42);
  std::uniform_real_distribution<float> U(0.f, 1.f);
  for (int m = 0; m < kEnd; ++m) {
    const float base = 0.05f + 0.3f * U(rng);
    for (std::int64_t b = 0; b < B; ++b) {
      const float t = static_cast<float>(b) / static_cast<float>(B);
      float v = base + 0.2f * t * U(rng) * 0.1f;
      for (int g = 0; g < 3; ++g) {
        const float centre = 0.15f + 0.3f * static_cast<float>(g) + 0.05f * static_cast<float>(m);
        const float width = 0.05f + 0.03f * static_cast<float>(m + g);
        const float amp = (g == 1 ? -0.15f : 0.25f) * (0.5f + 0.5f * static_cast<float>(m) / kEnd);
        v += amp * std::exp(-(t - centre) * (t - centre) / (2 * width * width));
      }
      spectra[m * B + b] = std::clamp(v, 0.01f, 0.95f);
    }
  }
  std::vector<float> abundance(H * W * kEnd);
  for (std::int64_t y = 0; y < H; ++y) {
    for (std::int64_t x = 0; x < W; ++x) {
      float a[kEnd], sum = 0;
      for (int m = 0; m < kEnd; ++m) {
        const float fy = 0.011f * static_cast<float>(m + 1), fx = 0.017f * static_cast<float>(kEnd - m);
        a[m] = 0.55f + 0.45f * std::sin(fx * static_cast<float>(x) + fy * static_cast<float>(y) + static_cast<float>(m)) *
                           std::cos(0.003f * static_cast<float>(x * (m + 1) - y));
        a[m] = std::max(a[m], 0.01f);
        sum += a[m];
      }
      for (int m = 0; m < kEnd; ++m) abundance[(y * W + x) * kEnd + m] = a[m] / sum;
    }
  }
  const bool u16 = c.dtype == "uint16";
  const float sigma = (c.noise == "noisy" ? 0.004f : 0.0004f);
  const float scale = u16 ? 10000.f : 1.f;
  const std::size_t item = u16 ? 2 : 4;

  // Rows of the file are generated in parallel and written in order.
  const std::int64_t rows = c.interleave == "bip" ? H : B;
  const std::int64_t row_elems = c.interleave == "bip" ? W * B : H * W;
  const int nthreads = std::max(1u, std::thread::hardware_concurrency());
  std::ofstream out(c.img, std::ios::binary);
  std::vector<std::vector<char>> bufs(nthreads, std::vector<char>(row_elems * item));
  for (std::int64_t r0 = 0; r0 < rows; r0 += nthreads) {
    std::vector<std::thread> pool;
    for (int t = 0; t < nthreads && r0 + t < rows; ++t) {
      pool.emplace_back([&, t] {
        const std::int64_t r = r0 + t;
        std::uint64_t s = 0x9E3779B97F4A7C15ull * static_cast<std::uint64_t>(r + 1);
        auto noise = [&] {
          // Sum of four uniforms: close enough to Gaussian, and fast.
          float acc = 0;
          for (int k = 0; k < 4; ++k) {
            s ^= s << 13;
            s ^= s >> 7;
            s ^= s << 17;
            acc += static_cast<float>(s >> 40) * (1.0f / 16777216.0f);
          }
          return (acc - 2.0f) * 1.7320508f;
        };
        char* dst = bufs[t].data();
        auto put = [&](std::int64_t i, float v) {
          v = v * scale + noise() * sigma * scale;
          if (u16) {
            const std::uint16_t q = static_cast<std::uint16_t>(std::clamp(std::lround(v), 0l, 65535l));
            std::memcpy(dst + i * 2, &q, 2);
          } else {
            std::memcpy(dst + i * 4, &v, 4);
          }
        };
        if (c.interleave == "bip") {
          for (std::int64_t x = 0; x < W; ++x) {
            const float* a = &abundance[(r * W + x) * kEnd];
            for (std::int64_t b = 0; b < B; ++b) {
              float v = 0;
              for (int m = 0; m < kEnd; ++m) v += a[m] * spectra[m * B + b];
              put(x * B + b, v);
            }
          }
        } else {
          for (std::int64_t p = 0; p < H * W; ++p) {
            const float* a = &abundance[p * kEnd];
            float v = 0;
            for (int m = 0; m < kEnd; ++m) v += a[m] * spectra[m * B + r];
            put(p, v);
          }
        }
      });
    }
    for (int t = 0; t < static_cast<int>(pool.size()); ++t) {
      pool[t].join();
      out.write(bufs[t].data(), static_cast<std::streamsize>(bufs[t].size()));
    }
  }
  if (!out.flush()) throw std::runtime_error("cannot write " + c.img);

  std::ofstream h(c.hdr);
  h << "ENVI\ndescription = {synthetic benchmark cube}\n"
    << "samples = " << W << "\nlines = " << H << "\nbands = " << B << "\nheader offset = 0\n"
    << "file type = ENVI Standard\ndata type = " << (u16 ? 12 : 4) << "\ninterleave = " << c.interleave
    << "\nbyte order = 0\nwavelength units = Nanometers\nwavelength = {";
  for (std::int64_t b = 0; b < B; ++b) h << (b ? ", " : "") << fmt::format("{:.2f}", 400.0 + 2000.0 * b / B);
  h << "}\n";
}

// The cube as the (lines, samples, bands) view vexil hands to its writer.
struct Mapped {
  void* p = MAP_FAILED;
  std::size_t len = 0;
  NDArray view;
  explicit Mapped(const Cube& c) {
    const int fd = ::open(c.img.c_str(), O_RDONLY);
    if (fd < 0) throw std::runtime_error("cannot open " + c.img);
    len = c.bytes();
    p = mmap(nullptr, len, PROT_READ, MAP_PRIVATE, fd, 0);
    ::close(fd);
    if (p == MAP_FAILED) throw std::runtime_error("cannot map " + c.img);
    const std::int64_t s = c.dtype == "uint16" ? 2 : 4, H = c.lines, W = c.samples, B = c.bands;
    const Strides st = c.interleave == "bip" ? Strides{W * B * s, B * s, s} : Strides{W * s, s, H * W * s};
    view = NDArray::view(c.dtype == "uint16" ? DType::UInt16 : DType::Float32, {H, W, B}, st,
                         static_cast<std::byte*>(p), nullptr);
  }
  ~Mapped() {
    if (p != MAP_FAILED) munmap(p, len);
  }
};

// ---------------------------------------------------------------- other inputs

// Writes `rows` lines of the cube at a time as a (rows, W, B) pixel-ordered
// block, whatever the ENVI interleave: the order an HDF5 (H, W, B) dataset
// wants.
template <class Fn>
void for_each_hwc_block(const Cube& c, const Mapped& m, std::int64_t rows, Fn&& fn) {
  const std::int64_t H = c.lines, W = c.samples, B = c.bands;
  const std::size_t s = c.dtype == "uint16" ? 2 : 4;
  const auto* base = static_cast<const std::byte*>(m.p);
  std::vector<std::byte> block(static_cast<std::size_t>(rows * W * B) * s);
  for (std::int64_t y0 = 0; y0 < H; y0 += rows) {
    const std::int64_t n = std::min(rows, H - y0);
    if (c.interleave == "bip") {
      std::memcpy(block.data(), base + static_cast<std::size_t>(y0 * W * B) * s, static_cast<std::size_t>(n * W * B) * s);
    } else {
      for (std::int64_t b = 0; b < B; ++b) {
        const std::byte* band = base + (static_cast<std::size_t>(b * H + y0) * W) * s;
        for (std::int64_t p = 0; p < n * W; ++p)
          std::memcpy(block.data() + static_cast<std::size_t>(p * B + b) * s, band + static_cast<std::size_t>(p) * s, s);
      }
    }
    fn(y0, n, block.data());
  }
}

#ifdef VEXIL_HAVE_GDAL
// An uncompressed GeoTIFF of the cube with a UTM 33N CRS and a 2 m grid.
void write_geotiff(const Cube& c, const Mapped& m, const std::string& path, bool pixel_interleaved) {
  GDALAllRegister();
  GDALDriverH drv = GDALGetDriverByName("GTiff");
  if (!drv) throw std::runtime_error("GDAL has no GTiff driver");
  const char* opts[] = {pixel_interleaved ? "INTERLEAVE=PIXEL" : "INTERLEAVE=BAND", "COMPRESS=NONE", "BIGTIFF=IF_NEEDED",
                        nullptr};
  const GDALDataType type = c.dtype == "uint16" ? GDT_UInt16 : GDT_Float32;
  const int W = static_cast<int>(c.samples), H = static_cast<int>(c.lines), B = static_cast<int>(c.bands);
  GDALDatasetH ds = GDALCreate(drv, path.c_str(), W, H, B, type, const_cast<char**>(opts));
  if (!ds) throw std::runtime_error(std::string("GDALCreate failed: ") + CPLGetLastErrorMsg());
  double gt[6] = {500000.0, 2.0, 0.0, 5500000.0, 0.0, -2.0};
  GDALSetGeoTransform(ds, gt);
  OGRSpatialReferenceH srs = OSRNewSpatialReference(nullptr);
  char* wkt = nullptr;
  if (OSRImportFromEPSG(srs, 32633) == OGRERR_NONE && OSRExportToWkt(srs, &wkt) == OGRERR_NONE) GDALSetProjection(ds, wkt);
  CPLFree(wkt);
  OSRDestroySpatialReference(srs);
  const GSpacing s = c.dtype == "uint16" ? 2 : 4;
  const GSpacing pix = c.interleave == "bip" ? s * B : s, line = pix * W,
                 band = c.interleave == "bip" ? s : s * static_cast<GSpacing>(W) * H;
  const CPLErr err = GDALDatasetRasterIOEx(ds, GF_Write, 0, 0, W, H, m.p, W, H, type, B, nullptr, pix, line, band, nullptr);
  GDALClose(ds);
  if (err != CE_None) throw std::runtime_error(std::string("GDAL RasterIO failed: ") + CPLGetLastErrorMsg());
}
#endif

#ifdef VEXIL_HAVE_HDF5
// The cube as dataset /cube of shape (H, W, B), contiguous or chunked
// (64, 64, B) with deflate level 4.
void write_hdf5(const Cube& c, const Mapped& m, const std::string& path, bool chunked) {
  const hsize_t dims[3] = {static_cast<hsize_t>(c.lines), static_cast<hsize_t>(c.samples), static_cast<hsize_t>(c.bands)};
  const hid_t type = c.dtype == "uint16" ? H5T_NATIVE_UINT16 : H5T_NATIVE_FLOAT;
  const hid_t f = H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
  if (f < 0) throw std::runtime_error("cannot create " + path);
  const hid_t space = H5Screate_simple(3, dims, nullptr);
  const hid_t dcpl = H5Pcreate(H5P_DATASET_CREATE);
  if (chunked) {
    const hsize_t chunk[3] = {std::min<hsize_t>(64, dims[0]), std::min<hsize_t>(64, dims[1]), dims[2]};
    H5Pset_chunk(dcpl, 3, chunk);
    H5Pset_deflate(dcpl, 4);
  }
  const hid_t d = H5Dcreate2(f, "cube", type, space, H5P_DEFAULT, dcpl, H5P_DEFAULT);
  bool ok = d >= 0;
  // Whole chunk rows per write, so no chunk is compressed twice.
  if (ok)
    for_each_hwc_block(c, m, 64, [&](std::int64_t y0, std::int64_t n, const std::byte* data) {
      if (!ok) return;
      const hsize_t start[3] = {static_cast<hsize_t>(y0), 0, 0}, count[3] = {static_cast<hsize_t>(n), dims[1], dims[2]};
      const hid_t mem = H5Screate_simple(3, count, nullptr);
      H5Sselect_hyperslab(space, H5S_SELECT_SET, start, nullptr, count, nullptr);
      ok = H5Dwrite(d, type, mem, space, H5P_DEFAULT, data) >= 0;
      H5Sclose(mem);
    });
  if (d >= 0) H5Dclose(d);
  H5Pclose(dcpl);
  H5Sclose(space);
  if (H5Fclose(f) < 0) ok = false;
  if (!ok) throw std::runtime_error("cannot write the HDF5 cube " + path);
}
#endif

// Writes the cube in `format` next to its ENVI files and returns the --img
// argument for it.
std::string write_input(const Cube& c, const std::string& format, const std::string& stem) {
  if (format == "envi") return c.hdr;
  const Mapped m(c);
  if (format == "tiff-pixel" || format == "tiff-band") {
#ifdef VEXIL_HAVE_GDAL
    const std::string p = stem + (format == "tiff-pixel" ? "_pixel.tif" : "_band.tif");
    write_geotiff(c, m, p, format == "tiff-pixel");
    return p;
#else
    throw std::runtime_error("this build has no GDAL: cannot write " + format);
#endif
  }
#ifdef VEXIL_HAVE_HDF5
  const std::string p = stem + (format == "h5-chunked" ? "_chunked.h5" : "_contiguous.h5");
  write_hdf5(c, m, p, format == "h5-chunked");
  return p;
#else
  throw std::runtime_error("this build has no HDF5: cannot write " + format);
#endif
}

// ---------------------------------------------------------------- runs

struct ChildResult {
  int status = -1;
  double seconds = 0;
  double max_rss_mb = 0;
  std::string out;
  // Seconds from the start to the arrival of the "metadata.json" saved line
  // and to the end of the output (-1 when absent). The child flushes every
  // line, so arrival times through the pipe are the times it printed them.
  double t_metadata = -1;
  double t_output_end = -1;
};

// Runs a program with its stdout on a pipe read here line by line as it
// arrives; stderr goes to ours.
ChildResult run_child(const std::vector<std::string>& argv) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  // The child shares our memory until it execs, and exec keeps the larger of
  // that memory's peak RSS and the child's own in ru_maxrss: reset our peak
  // to our current RSS first, or the cubes this program mapped or wrote
  // earlier would show up as the child's peak.
  if (std::FILE* f = std::fopen("/proc/self/clear_refs", "w")) {
    std::fputs("5", f);
    std::fclose(f);
  }
  ChildResult r;
  const auto t0 = Clock::now();
  pid_t pid;
  const int rc = posix_spawn(&pid, args[0], &fa, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  ::close(fds[1]);
  if (rc != 0) {
    ::close(fds[0]);
    throw std::runtime_error("cannot start " + argv[0]);
  }
  std::size_t line_start = 0;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fds[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    const double now = std::chrono::duration<double>(Clock::now() - t0).count();
    r.out.append(buf, static_cast<std::size_t>(n));
    for (std::size_t nl; (nl = r.out.find('\n', line_start)) != std::string::npos; line_start = nl + 1) {
      const std::string_view line(r.out.data() + line_start, nl - line_start);
      if (r.t_metadata < 0 && line.find("\u2713") != std::string_view::npos &&
          line.find("metadata.json") != std::string_view::npos)
        r.t_metadata = now;
    }
  }
  r.t_output_end = std::chrono::duration<double>(Clock::now() - t0).count();
  ::close(fds[0]);
  int status = 0;
  struct rusage ru {};
  while (wait4(pid, &status, 0, &ru) < 0 && errno == EINTR) {
  }
  r.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.max_rss_mb = static_cast<double>(ru.ru_maxrss) / 1024.0;
  return r;
}

struct NullSink {
  std::uint64_t bytes = 0;
};

// Single-threaded zlib at its default level over the whole element, as one
// ordinary stream: the size the common writers produce.
std::pair<std::uint64_t, double> zlib6_baseline(const output::ByteSource& src) {
  z_stream zs{};
  deflateInit(&zs, 6);
  const std::size_t piece = 4u << 20;
  std::vector<std::uint8_t> in(piece), out(deflateBound(&zs, piece) + 1024);
  std::uint64_t produced = 0;
  const auto t0 = Clock::now();
  for (std::uint64_t off = 0;;) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(piece, src.size() - off));
    src.read(off, n, reinterpret_cast<std::byte*>(in.data()));
    off += n;
    const bool last = off == src.size();
    zs.next_in = in.data();
    zs.avail_in = static_cast<uInt>(n);
    int rc;
    do {
      zs.next_out = out.data();
      zs.avail_out = static_cast<uInt>(out.size());
      rc = deflate(&zs, last ? Z_FINISH : Z_NO_FLUSH);
      produced += out.size() - zs.avail_out;
    } while (zs.avail_out == 0 || (last && rc != Z_STREAM_END));
    if (last) break;
  }
  deflateEnd(&zs);
  return {produced, std::chrono::duration<double>(Clock::now() - t0).count()};
}

std::pair<std::uint64_t, double> compress_with(const output::ByteSource& src, const output::DeflateOptions& o) {
  std::uint64_t produced = 0;
  const auto t0 = Clock::now();
  output::parallel_zlib(src, [&](const std::uint8_t*, std::size_t n) { produced += n; }, o);
  return {produced, std::chrono::duration<double>(Clock::now() - t0).count()};
}

// The first `limit` bytes of another source.
class Prefix final : public output::ByteSource {
 public:
  Prefix(const output::ByteSource& s, std::uint64_t limit) : s_(s), n_(std::min(limit, s.size())) {}
  std::uint64_t size() const override { return n_; }
  void read(std::uint64_t off, std::size_t len, std::byte* out) const override { s_.read(off, len, out); }

 private:
  const output::ByteSource& s_;
  std::uint64_t n_;
};

std::string python_with_scipy() {
  const ChildResult r = run_child({"/usr/bin/python3", "-c", "import numpy, scipy.io"});
  return r.status == 0 ? "/usr/bin/python3" : "";
}

const char* kPythonPipeline = R"(
import sys, numpy as np, scipy.io
img, dtype, inter, H, W, B, out = sys.argv[1], sys.argv[2], sys.argv[3], *map(int, sys.argv[4:7]), sys.argv[7]
a = np.fromfile(img, dtype=np.dtype(dtype).newbyteorder('<'))
a = a.reshape(B, H, W).transpose(1, 2, 0) if inter == 'bsq' else a.reshape(H, W, B)
scipy.io.savemat(out, {'data': a}, do_compression=True)
)";

double mb(std::uint64_t b) { return static_cast<double>(b) / 1048576.0; }

std::string human(std::uint64_t b) {
  if (b >= (1ull << 30)) return fmt::format("{:.2f} GiB", static_cast<double>(b) / 1073741824.0);
  return fmt::format("{:.1f} MiB", mb(b));
}

double parse_elapsed(const std::string& out) {
  const auto pos = out.rfind("Elapsed: ");
  if (pos == std::string::npos) return -1;
  return std::atof(out.c_str() + pos + 9);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const Options opt = parse_args(argc, argv);
    const std::string vexil_path = opt.convert ? find_vexil(argv[0], opt.vexil) : "(not run)";
    std::string scratch = opt.scratch;
    const bool own_scratch = scratch.empty();
    if (own_scratch) {
      std::string tmpl = (fs::temp_directory_path() / "vexil-bench-XXXXXX").string();
      if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
      scratch = tmpl;
    }
    fs::create_directories(scratch);
    const std::string python = opt.python ? python_with_scipy() : "";
    const int ncpu = output::resolve_threads(0);

    fmt::print("vexil_bench: {} hardware threads; writer deflate: {}; vexil: {}\n", ncpu,
               output::describe_method({}), vexil_path);
    if (opt.python && python.empty()) fmt::print("Python pipeline baseline skipped: /usr/bin/python3 lacks numpy or scipy\n");
    fmt::print("\n");

    struct Row {
      std::string cube;
      std::string format;
      std::uint64_t bytes;
      ChildResult run;
      std::uint64_t mat_size = 0;
      std::optional<std::pair<std::uint64_t, double>> zlib6;
      std::optional<ChildResult> py;
      std::optional<std::uint64_t> py_size;
      std::vector<std::pair<int, double>> scan;
      std::vector<std::string> methods;
    };
    std::vector<Row> rows;
    auto print_row = [&](const Row& r) {
      std::string z_size = "-", z_time = "-", z_ratio = "-", py_time = "-", py_ratio = "-", py_rss = "-";
      if (r.zlib6) {
        const std::uint64_t file = 136 + r.zlib6->first;
        z_size = fmt::format("{:.4f}", static_cast<double>(r.mat_size) / static_cast<double>(file));
        z_time = fmt::format("{:.1f} s", r.zlib6->second);
        z_ratio = fmt::format("{:.1f}x", r.zlib6->second / r.run.seconds);
      }
      if (r.py) {
        if (r.py->status == 0) {
          py_time = fmt::format("{:.1f} s", r.py->seconds);
          py_ratio = fmt::format("{:.1f}x", r.py->seconds / r.run.seconds);
          py_rss = fmt::format("{:.0f} MiB", r.py->max_rss_mb);
        } else {
          py_time = fmt::format("failed ({})", r.py->status);
        }
      }
      fmt::print("| {} | {} | {} | {:.2f} s | {:.0f} | {:.0f} MiB | {:.2f} | {} | {} | {} | {} | {} | {} | {} |\n", r.cube,
                 r.format, human(r.bytes), r.run.seconds, mb(r.bytes) / r.run.seconds, r.run.max_rss_mb,
                 r.run.max_rss_mb / mb(r.bytes),
                 human(r.mat_size) + (r.run.out.find("Written as MAT-file 7.3") != std::string::npos ? " (MAT 7.3)" : ""),
                 z_size, z_time, z_ratio, py_time, py_ratio,
                 py_rss);
        };
    fmt::print("| cube (lines x samples x bands) | input | size | vexil wall | MB/s | peak RSS | RSS / cube | data.mat | vs zlib-6 size | zlib-6 1-thread | vs zlib-6 time | Python pipeline | speed-up vs Python | Python RSS |\n");
    fmt::print("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|\n");

    for (std::uint64_t size : opt.sizes) {
      for (const auto& dtype : opt.dtypes) {
        for (const auto& inter : opt.interleaves) {
          for (const auto& noise : opt.noises) {
            Cube c;
            c.dtype = dtype;
            c.interleave = inter;
            c.noise = noise;
            c.bands = opt.bands;
            const std::uint64_t item = dtype == "uint16" ? 2 : 4;
            const std::int64_t pixels = std::max<std::int64_t>(1, static_cast<std::int64_t>(size / (item * c.bands)));
            c.lines = std::max<std::int64_t>(1, static_cast<std::int64_t>(std::sqrt(static_cast<double>(pixels) * 0.8)));
            c.samples = std::max<std::int64_t>(1, pixels / c.lines);
            c.name = fmt::format("{}x{}x{} {} {} {}", c.lines, c.samples, c.bands, dtype, inter, noise);
            const std::string stem = fmt::format("{}/cube_{}_{}_{}_{}", scratch, c.lines, dtype, inter, noise);
            c.hdr = stem + ".hdr";
            c.img = stem + ".img";
            fmt::print(stderr, "[{}] generating ({})\n", c.name, human(c.bytes()));
            generate(c);

            Row row;
            row.cube = c.name;
            row.format = opt.formats.front();
            row.bytes = c.bytes();
            const std::string out_dir = stem + "_out";
            // One conversion per input format; the baselines below go with
            // the first of them.
            std::vector<Row> conversions;
            if (opt.convert) {
              for (const auto& format : opt.formats) {
                Row fr = row;
                fr.format = format;
                if (format != "envi") fmt::print(stderr, "[{}] writing {}\n", c.name, format);
                const std::string input = write_input(c, format, stem);
                fmt::print(stderr, "[{}] vexil convert_to_mat ({})\n", c.name, format);
                fr.run = run_child({vexil_path, "convert_to_mat", "--img", input, "--out-dir", out_dir});
                if (format != "envi" && !opt.keep) fs::remove(input);
                if (fr.run.status != 0)
                  throw std::runtime_error("vexil failed on " + c.name + " (" + format + "):\n" + fr.run.out);
                fr.mat_size = fs::file_size(out_dir + "/data.mat");
                if (!opt.keep || &format != &opt.formats.back()) fs::remove_all(out_dir);
                conversions.push_back(std::move(fr));
              }
              row = conversions.front();
            }

            // The zlib baseline reproduces a Level 5 file, whose element
            // sizes are 32-bit; bigger cubes convert only.
            const bool fits_level5 = c.bytes() + 4096 < 0xFFFFFFFFull;
            if (!fits_level5 && (opt.zlib_baseline || opt.thread_scan || opt.methods || !python.empty()))
              fmt::print(stderr, "[{}] cube exceeds 4 GiB: baselines skipped (vexil run only)\n", c.name);
            if (fits_level5) {
              Mapped m(c);
              const auto src = output::mat5_element_source(m.view, "data");
              if (opt.zlib_baseline) {
                fmt::print(stderr, "[{}] zlib level 6, one thread\n", c.name);
                row.zlib6 = zlib6_baseline(*src);
              }
              if (opt.thread_scan) {
                for (int t = 1; t <= ncpu; ++t) {
                  output::DeflateOptions o;
                  o.threads = t;
                  const auto [n, secs] = compress_with(*src, o);
                  row.scan.push_back({t, mb(src->size()) / secs});
                }
              }
              if (opt.methods) {
                const Prefix sample(*src, opt.methods_sample);
                const auto [ref, ref_secs] = zlib6_baseline(sample);
                std::vector<std::pair<output::DeflateMethod, int>> ms;
                if (output::isal_available())
                  for (int l = 1; l <= 3; ++l) ms.push_back({output::DeflateMethod::Isal, l});
                for (int l : {1, 2, 3, 6}) ms.push_back({output::DeflateMethod::Zlib, l});
                {
                  std::vector<std::byte> buf(4u << 20);
                  const auto g0 = Clock::now();
                  for (std::uint64_t off = 0; off < sample.size(); off += buf.size())
                    sample.read(off, static_cast<std::size_t>(std::min<std::uint64_t>(buf.size(), sample.size() - off)), buf.data());
                  row.methods.push_back(fmt::format("column-major gather only   {:8.1f} MB/s",
                                                    mb(sample.size()) / std::chrono::duration<double>(Clock::now() - g0).count()));
                }
                row.methods.push_back(fmt::format("zlib level 6 (one stream)  {:8.1f} MB/s  size 1.000", mb(sample.size()) / ref_secs));
                for (auto [method, level] : ms) {
                  output::DeflateOptions o;
                  o.threads = 1;
                  o.method = method;
                  o.level = level;
                  const auto [n, secs] = compress_with(sample, o);
                  row.methods.push_back(fmt::format("{:<26} {:8.1f} MB/s  size {:.3f}  ratio {:.3f}",
                                                    output::describe_method(o), mb(sample.size()) / secs,
                                                    static_cast<double>(n) / static_cast<double>(ref),
                                                    static_cast<double>(n) / static_cast<double>(sample.size())));
                }
              }
            }
            if (!python.empty() && fits_level5) {
              fmt::print(stderr, "[{}] Python pipeline\n", c.name);
              const std::string py_out = stem + "_py.mat";
              row.py = run_child({python, "-c", kPythonPipeline, c.img, dtype, inter, std::to_string(c.lines),
                                  std::to_string(c.samples), std::to_string(c.bands), py_out});
              if (row.py->status == 0) row.py_size = fs::file_size(py_out);
              fs::remove(py_out);
            }
            print_row(row);
            for (std::size_t k = 1; k < conversions.size(); ++k) print_row(conversions[k]);
            std::fflush(stdout);
            {
              std::string sc;
              for (auto [t, v] : row.scan) sc += fmt::format("  {}: {:.0f}", t, v);
              fmt::print(stderr, "[{}] done; elapsed line {:.2f} s; scan MB/s:{}\n", c.name, parse_elapsed(row.run.out), sc);
            }
            rows.push_back(std::move(row));
            for (std::size_t k = 1; k < conversions.size(); ++k) rows.push_back(std::move(conversions[k]));
            if (!opt.keep) {
              fs::remove(c.img);
              fs::remove(c.hdr);
              fs::remove_all(out_dir);
            }
          }
        }
      }
    }

    if (opt.summary) {
      // The summary's own time: from the arrival of the "metadata.json" saved
      // line (the last file written) to the end of vexil's output, set against
      // the run's own Elapsed figure. The old figure, wall time minus Elapsed,
      // also holds process start and exit (loading libraries, unmapping).
      fmt::print("\nShare of the closing summary (from the \"metadata.json\" line to the end of output):\n");
      for (const auto& r : rows) {
        const double e = parse_elapsed(r.run.out);
        const std::string who = fmt::format("{} [{}]", r.cube, r.format);
        if (e <= 0 || r.run.t_metadata < 0) {
          fmt::print("  {}: no Elapsed or metadata.json line in the output\n", who);
          continue;
        }
        const double summary = r.run.t_output_end - r.run.t_metadata;
        fmt::print("  {}: summary {:.3f} s = {:.1f}% of Elapsed {:.2f} s ({:.1f}% of the wall time up to that line, "
                   "{:.2f} s); wall {:.2f} s, wall minus Elapsed {:.2f} s\n",
                   who, summary, 100.0 * summary / e, e, 100.0 * summary / r.run.t_metadata, r.run.t_metadata,
                   r.run.seconds, r.run.seconds - e);
      }
    }
    if (opt.thread_scan && std::any_of(rows.begin(), rows.end(), [](const Row& r) { return !r.scan.empty(); })) {
      fmt::print("\nCompression of the column-major element alone ({}), MB/s of input by thread count:\n",
                 output::describe_method({}));
      for (const auto& r : rows) {
        if (r.scan.empty()) continue;
        std::string s;
        for (auto [t, v] : r.scan) s += fmt::format("  {}: {:.0f}", t, v);
        fmt::print("  {}:{}\n", r.cube, s);
      }
    }
    if (opt.methods) {
      fmt::print("\nDeflate methods on the first {} of each element, one thread:\n", human(opt.methods_sample));
      for (const auto& r : rows) {
        if (r.methods.empty()) continue;
        fmt::print("  {}\n", r.cube);
        for (const auto& m : r.methods) fmt::print("    {}\n", m);
      }
    }
    if (!opt.keep && own_scratch) fs::remove_all(scratch);
    return 0;
  } catch (const std::exception& e) {
    fmt::print(stderr, "vexil_bench: error: {}\n", e.what());
    return 1;
  }
}
