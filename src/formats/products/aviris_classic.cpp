// AVIRIS-Classic radiance: an ENVI cube f<yymmdd>t<nn>p<nn>r<nn>…_img whose
// radiometric gains (one per band) sit beside it in a text file named after
// the flight run, e.g. f130522t01p00r11rdn_e.gain for
// f130522t01p00r11rdn_e_sc01_ort_img. Radiance = DN / gain.
#include <dirent.h>

#include <cctype>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "formats/envi/envi_header.hpp"
#include "formats/products/product_table.hpp"
#include "io/paths.hpp"

namespace vexil::formats::products {
namespace {

// f + 6 digits + t: the start of every AVIRIS-Classic flight-line name.
bool aviris_classic_name(const std::string& name) {
  if (name.size() < 8 || name[0] != 'f' || name[7] != 't') return false;
  for (int i = 1; i <= 6; ++i)
    if (!std::isdigit(static_cast<unsigned char>(name[i]))) return false;
  return true;
}

std::string folder_of(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
}

// The .gain file beside `path` whose name without ".gain" is the longest
// start of the image's name; empty when there is none.
std::string gain_file(const std::string& path) {
  const std::string name = io::basename(path);
  const std::string folder = folder_of(path);
  std::string best;
  std::size_t best_stem = 0;
  DIR* d = ::opendir(folder.c_str());
  if (!d) return best;
  while (const dirent* e = ::readdir(d)) {
    const std::string f = e->d_name;
    if (f.size() <= 5 || f.compare(f.size() - 5, 5, ".gain") != 0) continue;
    const std::size_t stem = f.size() - 5;
    if (stem > best_stem && name.compare(0, stem, f, 0, stem) == 0 && io::isfile(folder + "/" + f)) {
      best = folder + "/" + f;
      best_stem = stem;
    }
  }
  ::closedir(d);
  return best;
}

// "gain band" per line; the gains in band order, empty unless bands 1..n
// each appear once.
std::vector<double> read_gains(const std::string& file) {
  std::ifstream in(file);
  std::map<long, double> by_band;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream ls(line);
    double gain = 0;
    long band = 0;
    if (!(ls >> gain)) continue;
    if (!(ls >> band) || band < 1 || by_band.count(band)) return {};
    by_band[band] = gain;
  }
  std::vector<double> out;
  for (const auto& [band, gain] : by_band) {
    if (band != static_cast<long>(out.size()) + 1) return {};
    out.push_back(gain);
  }
  return out;
}

std::int64_t band_count(const ProductInput& in) {
  std::int64_t n = -1;
  if (!in.meta) return n;
  const auto it = in.meta->find("bands");
  if (it == in.meta->end() || !it->is_string() || !envi::parse_int(it->get_ref<const std::string&>(), n)) return -1;
  return n;
}

bool matches(const ProductInput& in) {
  return aviris_classic_name(io::basename(in.path)) && !gain_file(in.path).empty();
}

void describe(const ProductInput& in, const std::string&, BandFacts& facts) {
  const std::string file = gain_file(in.path);
  const std::vector<double> gains = read_gains(file);
  if (gains.empty() || static_cast<std::int64_t>(gains.size()) != band_count(in)) return;
  Metadata divide_by = Metadata::array();
  for (double g : gains) divide_by.push_back(g);
  facts.scale = Metadata{{"gain_file", io::basename(file)},
                         {"divide_by", std::move(divide_by)},
                         {"apply", "radiance = DN / gain (uW/cm^2/nm/sr)"}};
  facts.source = "AVIRIS-Classic gain file";
}

}  // namespace

extern const Product kAvirisClassic{"AVIRIS-Classic", "envi", &matches, nullptr, nullptr, &describe};

}  // namespace vexil::formats::products
