// Writes the bundled sample: a small agricultural scene as an ENVI cube
// (uint16 reflectance x 10000, BIL) with its ground-truth label map as PNG.
//   make_sample [out_dir]        (default data/sample)
// The output is the same on every run: a fixed seed and a generator whose
// sequence the C++ standard fixes (mt19937), with our own Gaussian transform.
#include <gdal_priv.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "formats/envi/envi_format.hpp"

namespace {

constexpr int kLines = 96;
constexpr int kSamples = 96;
constexpr int kBands = 100;
constexpr double kFirstNm = 400.0;
constexpr double kLastNm = 2500.0;
constexpr double kScale = 10000.0;

const char* const kClassNames[] = {"Unlabelled", "Corn", "Soybean", "Grass-pasture", "Woods", "Bare soil", "Water"};
constexpr int kClasses = 6;

double gauss(double x, double mu, double sigma) { return std::exp(-0.5 * (x - mu) * (x - mu) / (sigma * sigma)); }
double sigmoid(double x) { return 1.0 / (1.0 + std::exp(-x)); }

// Green vegetation: chlorophyll absorption, red edge, NIR plateau and the
// leaf-water absorptions in the short-wave infrared.
double vegetation(double nm, double vigour, double nir) {
  double r = 0.03 + 0.05 * vigour * gauss(nm, 550, 35);
  r += (nir - 0.04) * sigmoid((nm - 715) / 18);
  r *= 1 - 0.10 * gauss(nm, 970, 30) - 0.18 * gauss(nm, 1200, 45);
  if (nm > 1300)
    r = r * (0.72 - 0.18 * (nm - 1300) / 1200) - 0.2 * nir * gauss(nm, 1450, 60) - 0.25 * nir * gauss(nm, 1940, 70);
  return std::max(r, 0.01);
}

double soil(double nm, double brightness) {
  double r = brightness * (0.10 + 0.22 * (1 - std::exp(-(nm - 400) / 700)));
  r *= 1 - 0.25 * gauss(nm, 1420, 40) - 0.3 * gauss(nm, 1920, 50) - 0.12 * gauss(nm, 2210, 30);
  return r;
}

double water(double nm) { return 0.005 + 0.05 * gauss(nm, 480, 90) + 0.01 * gauss(nm, 700, 60); }
double asphalt(double nm) { return 0.07 + 0.03 * (nm - 400) / 2100; }

// Residual atmospheric water absorption, as in real at-surface reflectance.
double atmosphere(double nm) {
  return 1 - 0.35 * gauss(nm, 940, 20) - 0.3 * gauss(nm, 1130, 25) - 0.9 * gauss(nm, 1400, 35) -
         0.95 * gauss(nm, 1880, 45) - 0.4 * gauss(nm, 2500, 60);
}

struct Rng {
  std::mt19937 gen{20240611u};
  double uniform() { return (static_cast<double>(gen()) + 0.5) / 4294967296.0; }
  double normal() {
    const double u = uniform(), v = uniform();
    return std::sqrt(-2 * std::log(u)) * std::cos(2 * M_PI * v);
  }
};

// Fields separated by roads, a wood lot, a pond; 0 marks the unlabelled roads.
std::vector<std::uint8_t> make_labels() {
  std::vector<std::uint8_t> gt(kLines * kSamples, 0);
  const int plot[3][3] = {{1, 2, 3}, {2, 5, 1}, {3, 1, 2}};
  for (int y = 0; y < kLines; ++y) {
    for (int x = 0; x < kSamples; ++x) {
      const bool road = (y % 32) < 3 || (x % 32) < 3;
      std::uint8_t c = road ? 0 : static_cast<std::uint8_t>(plot[y / 32][x / 32]);
      // A wood lot in the south-east corner, with a ragged boundary.
      if (x + y / 2 > 118 + 4 * std::sin(y * 0.4)) c = 4;
      if (std::hypot(y - 70.0, x - 22.0) < 11 + 1.5 * std::sin(x * 0.35)) c = 6;
      gt[y * kSamples + x] = c;
    }
  }
  return gt;
}

std::vector<double> wavelengths() {
  std::vector<double> nm(kBands);
  for (int b = 0; b < kBands; ++b) nm[b] = kFirstNm + (kLastNm - kFirstNm) * b / (kBands - 1);
  return nm;
}

std::string list_text(const std::vector<std::string>& items, int per_line) {
  std::string s = "{\n  ";
  for (std::size_t i = 0; i < items.size(); ++i) {
    s += items[i];
    if (i + 1 < items.size()) s += (static_cast<int>(i + 1) % per_line == 0) ? ",\n  " : ", ";
  }
  return s + "}";
}

void write_cube(const std::string& out_dir, const std::vector<std::uint8_t>& gt) {
  Rng rng;
  const std::vector<double> nm = wavelengths();
  std::vector<double> atm(kBands);
  for (int b = 0; b < kBands; ++b) atm[b] = atmosphere(nm[b]);

  // BIL: for each line, every band's row of samples.
  std::vector<std::uint8_t> bytes;
  bytes.reserve(static_cast<std::size_t>(kLines) * kSamples * kBands * 2);
  std::vector<double> spectrum(kBands);
  std::vector<std::vector<double>> line(kSamples, std::vector<double>(kBands));
  for (int y = 0; y < kLines; ++y) {
    for (int x = 0; x < kSamples; ++x) {
      const int c = gt[y * kSamples + x];
      // Slow spatial variation of vigour and soil moisture within fields.
      const double vig = 0.85 + 0.15 * std::sin(x * 0.11 + y * 0.05) + 0.05 * rng.normal();
      const double wet = 0.9 + 0.1 * std::cos(y * 0.09 - x * 0.03) + 0.04 * rng.normal();
      const double illum = 1.0 + 0.03 * rng.normal();
      for (int b = 0; b < kBands; ++b) {
        const double w = nm[b];
        double r = 0;
        switch (c) {
          case 1: r = 0.65 * vegetation(w, vig, 0.42) + 0.35 * soil(w, wet); break;
          case 2: r = 0.5 * vegetation(w, 0.8 * vig, 0.38) + 0.5 * soil(w, wet); break;
          case 3: r = 0.85 * vegetation(w, 1.1 * vig, 0.36) + 0.15 * soil(w, wet * 1.1); break;
          case 4: r = 0.95 * vegetation(w, 0.7 * vig, 0.30) + 0.05 * soil(w, 0.6); break;
          case 5: r = soil(w, wet); break;
          case 6: r = 0.9 * water(w) + 0.1 * vegetation(w, vig, 0.3); break;
          default: r = asphalt(w) * wet; break;
        }
        line[x][b] = std::max(0.0, r * illum * atm[b] + 0.003 * rng.normal());
      }
    }
    for (int b = 0; b < kBands; ++b) {
      for (int x = 0; x < kSamples; ++x) {
        const auto v = static_cast<std::uint16_t>(std::clamp(std::lround(line[x][b] * kScale), 0L, 65535L));
        bytes.push_back(static_cast<std::uint8_t>(v & 0xff));  // little-endian, byte order = 0
        bytes.push_back(static_cast<std::uint8_t>(v >> 8));
      }
    }
  }
  std::ofstream img(out_dir + "/indian_sample.img", std::ios::binary);
  img.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!img) throw std::runtime_error("cannot write indian_sample.img");

  std::vector<std::string> wl, fwhm, names;
  const double step = (kLastNm - kFirstNm) / (kBands - 1);
  for (int b = 0; b < kBands; ++b) {
    wl.push_back(fmt::format("{:.2f}", nm[b]));
    fwhm.push_back(fmt::format("{:.2f}", step * 1.1));
    names.push_back(fmt::format("Band {}", b + 1));
  }
  std::ofstream hdr(out_dir + "/indian_sample.hdr", std::ios::binary);
  hdr << "ENVI\n"
      << "description = {\n  Synthetic agricultural scene for vexil convert_to_mat: fields of corn,\n"
      << "  soybean and pasture, a wood lot, bare soil and a pond, separated by roads.\n"
      << "  Reflectance x 10000 with residual water-vapour absorption and sensor noise.}\n"
      << "samples = " << kSamples << "\n"
      << "lines   = " << kLines << "\n"
      << "bands   = " << kBands << "\n"
      << "header offset = 0\n"
      << "file type = ENVI Standard\n"
      << "data type = 12\n"
      << "interleave = bil\n"
      << "sensor type = AVIRIS\n"
      << "byte order = 0\n"
      << "map info = {UTM, 1.000, 1.000, 509780.000, 4484740.000, 2.0000000000e+01, 2.0000000000e+01, 16, North, "
         "WGS-84, units=Meters}\n"
      << "coordinate system string = {PROJCS[\"WGS_1984_UTM_Zone_16N\",GEOGCS[\"GCS_WGS_1984\","
         "DATUM[\"D_WGS_1984\",SPHEROID[\"WGS_1984\",6378137.0,298.257223563]],PRIMEM[\"Greenwich\",0.0],"
         "UNIT[\"Degree\",0.0174532925199433]],PROJECTION[\"Transverse_Mercator\"],"
         "PARAMETER[\"False_Easting\",500000.0],PARAMETER[\"False_Northing\",0.0],"
         "PARAMETER[\"Central_Meridian\",-87.0],PARAMETER[\"Scale_Factor\",0.9996],"
         "PARAMETER[\"Latitude_Of_Origin\",0.0],UNIT[\"Meter\",1.0]]}\n"
      << "default bands = {28, 13, 4}\n"
      << "wavelength units = Nanometers\n"
      << "reflectance scale factor = 10000\n"
      << "data ignore value = 0\n"
      << "acquisition time = 2023-06-12T16:20:00Z\n"
      << "wavelength = " << list_text(wl, 8) << "\n"
      << "fwhm = " << list_text(fwhm, 8) << "\n"
      << "band names = " << list_text(names, 8) << "\n";
  if (!hdr) throw std::runtime_error("cannot write indian_sample.hdr");
}

void write_labels_png(const std::string& out_dir, std::vector<std::uint8_t> gt) {
  GDALAllRegister();
  GDALDriver* mem = GetGDALDriverManager()->GetDriverByName("MEM");
  GDALDriver* png = GetGDALDriverManager()->GetDriverByName("PNG");
  if (!mem || !png) throw std::runtime_error("GDAL lacks the MEM or PNG driver");
  GDALDataset* src = mem->Create("", kSamples, kLines, 1, GDT_Byte, nullptr);
  if (!src) throw std::runtime_error("cannot create an in-memory raster");
  const CPLErr err =
      src->GetRasterBand(1)->RasterIO(GF_Write, 0, 0, kSamples, kLines, gt.data(), kSamples, kLines, GDT_Byte, 0, 0);
  const std::string path = out_dir + "/indian_sample_gt.png";
  GDALDataset* out = err == CE_None ? png->CreateCopy(path.c_str(), src, FALSE, nullptr, nullptr, nullptr) : nullptr;
  GDALClose(src);
  if (!out) throw std::runtime_error("cannot write " + path + ": " + CPLGetLastErrorMsg());
  GDALClose(out);
  std::filesystem::remove(path + ".aux.xml");
}

// Reads the cube back through the converter's own loader and compares it
// with the bytes just written, so a broken sample never gets committed.
void verify(const std::string& out_dir) {
  using vexil::formats::envi::load_envi;
  const auto r = load_envi(out_dir + "/indian_sample.hdr");
  if (r.data.shape() != vexil::Shape{kLines, kSamples, kBands} || r.data.dtype() != vexil::DType::UInt16)
    throw std::runtime_error("the sample does not load with the expected shape and type");
  std::ifstream img(out_dir + "/indian_sample.img", std::ios::binary);
  std::vector<char> raw((std::istreambuf_iterator<char>(img)), std::istreambuf_iterator<char>());
  for (int y = 0; y < kLines; y += 7)
    for (int b = 0; b < kBands; b += 3)
      for (int x = 0; x < kSamples; x += 5) {
        const std::size_t at = ((static_cast<std::size_t>(y) * kBands + b) * kSamples + x) * 2;
        const auto v = static_cast<std::uint16_t>(static_cast<std::uint8_t>(raw[at]) |
                                                  (static_cast<std::uint8_t>(raw[at + 1]) << 8));
        if (r.data.at<std::uint16_t>({y, x, b}) != v) throw std::runtime_error("sample read-back mismatch");
      }
}

}  // namespace

int main(int argc, char** argv) {
  const std::string out_dir = argc > 1 ? argv[1] : "data/sample";
  try {
    std::filesystem::create_directories(out_dir);
    const std::vector<std::uint8_t> gt = make_labels();
    write_cube(out_dir, gt);
    write_labels_png(out_dir, gt);
    verify(out_dir);
    std::vector<int> counts(kClasses + 1, 0);
    for (auto c : gt) ++counts[c];
    std::printf("wrote %s/indian_sample.{hdr,img} (%d x %d x %d uint16) and indian_sample_gt.png\n", out_dir.c_str(),
                kLines, kSamples, kBands);
    for (int c = 0; c <= kClasses; ++c) std::printf("  class %d %-14s %5d pixels\n", c, kClassNames[c], counts[c]);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "make_sample: %s\n", e.what());
    return 1;
  }
  return 0;
}
