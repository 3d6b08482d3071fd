#include "formats/hdf5/hdf5_layout.hpp"

#include <algorithm>
#include <cctype>

#include <fmt/format.h>

#include "vexil/errors.hpp"

namespace vexil::formats::hdf5 {
namespace {

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

bool any_name(const std::vector<std::string>& names, bool (*test)(std::string_view)) {
  return std::any_of(names.begin(), names.end(), [&](const std::string& n) { return test(n); });
}

// The order with band axis `b` and rows before columns in stored order.
std::vector<int> perm_with_band_axis(int b) {
  std::vector<int> p;
  for (int a = 0; a < 3; ++a)
    if (a != b) p.push_back(a);
  p.push_back(b);
  return p;
}

std::string stored_letters(const std::vector<int>& perm) {
  std::string s(perm.size(), '?');
  const char letters[] = {'h', 'w', 'b'};
  for (std::size_t i = 0; i < perm.size() && i < 3; ++i) s[static_cast<std::size_t>(perm[i])] = letters[i];
  return s;
}

AxisOrder with_band_axis(int b, std::string source) {
  AxisOrder o;
  o.perm = perm_with_band_axis(b);
  o.stored = stored_letters(o.perm);
  o.source = std::move(source);
  return o;
}

std::vector<int> perm_of(Layout l) {
  switch (l) {
    case Layout::BHW: return {1, 2, 0};
    case Layout::HBW: return {0, 2, 1};
    case Layout::HWB:
    case Layout::Auto: break;
  }
  return {0, 1, 2};
}

}  // namespace

bool AxisOrder::identity() const {
  for (std::size_t i = 0; i < perm.size(); ++i)
    if (perm[i] != static_cast<int>(i)) return false;
  return true;
}

bool is_band_axis_name(std::string_view name) {
  static const char* const kWords[] = {"band",     "bands",    "wavelength", "wavelengths",
                                       "spectral", "spectrum", "channel",    "channels"};
  const std::string s = lower(name);
  std::size_t pos = 0;
  while (pos < s.size()) {
    while (pos < s.size() && !std::isalpha(static_cast<unsigned char>(s[pos]))) ++pos;
    std::size_t end = pos;
    while (end < s.size() && std::isalpha(static_cast<unsigned char>(s[end]))) ++end;
    std::string_view word(s.data() + pos, end - pos);
    for (const char* w : kWords) {
      const std::string_view k(w);
      // "nbands", "numbands", "n_bands" count as the word itself.
      if (word == k || (word.size() == k.size() + 1 && word[0] == 'n' && word.substr(1) == k) ||
          (word.size() == k.size() + 3 && word.substr(0, 3) == "num" && word.substr(3) == k))
        return true;
    }
    pos = end;
  }
  return false;
}

bool is_spatial_axis_name(std::string_view name) {
  static const char* const kNames[] = {
      "y",       "x",       "lat",       "lon",        "latitude",    "longitude",    "row",
      "rows",    "line",    "lines",     "col",        "cols",        "column",       "columns",
      "sample",  "samples", "downtrack", "crosstrack", "along_track", "across_track", "northing",
      "easting", "height",  "width",     "ortho_y",    "ortho_x"};
  const std::string s = lower(name);
  return std::any_of(std::begin(kNames), std::end(kNames), [&](const char* k) { return s == k; });
}

std::string transposed_text(const std::string& stored) {
  std::string from;
  for (char c : stored) from += c == 'b' ? 'C' : c == 'h' ? 'H' : c == 'w' ? 'W' : '?';
  std::string to = stored.size() == 2 ? "HW" : "HWC";
  return from + " \u2192 " + to;
}

AxisOrder decide_axes(const AxisEvidence& e, Layout requested, const std::string& key) {
  const std::size_t rank = e.shape.size();
  AxisOrder o;
  o.perm.resize(rank);
  for (std::size_t i = 0; i < rank; ++i) o.perm[i] = static_cast<int>(i);

  if (requested != Layout::Auto) {
    if (rank != 3)
      throw UsageError(fmt::format("argument --layout: {} does not fit dataset '{}' of shape {}: it needs three axes",
                                   layout_name(requested), key, shape_str(e.shape)));
    o.perm = perm_of(requested);
    o.stored = std::string(layout_name(requested));
    o.source = "--layout";
    return o;
  }

  if (e.mat73 && rank >= 2) {
    std::reverse(o.perm.begin(), o.perm.end());
    if (rank == 3) o.stored = "bwh";
    if (rank == 2) o.stored = "wh";
    o.source = "MAT-file 7.3 (column-major)";
    return o;
  }
  if (rank != 3) return o;

  // Dimension names: one axis named as bands; or, failing that, two named
  // as rows/columns and a third named otherwise.
  if (e.dim_names.size() == 3) {
    int band = -1, bands_named = 0, spatial = 0, named = 0;
    for (int a = 0; a < 3; ++a) {
      const auto& names = e.dim_names[static_cast<std::size_t>(a)];
      if (names.empty()) continue;
      ++named;
      if (any_name(names, is_band_axis_name)) {
        band = a;
        ++bands_named;
      } else if (any_name(names, is_spatial_axis_name)) {
        ++spatial;
      }
    }
    if (bands_named == 1) return with_band_axis(band, "dimension names");
    if (bands_named == 0 && named == 3 && spatial == 2) {
      for (int a = 0; a < 3; ++a)
        if (!any_name(e.dim_names[static_cast<std::size_t>(a)], is_spatial_axis_name))
          return with_band_axis(a, "dimension names");
    }
  }

  if (e.product_layout && *e.product_layout != Layout::Auto) {
    o.perm = perm_of(*e.product_layout);
    o.stored = std::string(layout_name(*e.product_layout));
    o.source = "product " + e.product_name;
    return o;
  }

  if (e.wavelength_count && *e.wavelength_count > 1) {
    int match = -1, matches = 0;
    for (int a = 0; a < 3; ++a)
      if (e.shape[static_cast<std::size_t>(a)] == *e.wavelength_count) {
        match = a;
        ++matches;
      }
    if (matches == 1) return with_band_axis(match, "wavelength count");
  }

  const auto& s = e.shape;
  o.source = "size rule";
  if (s[0] < s[1] && s[0] < s[2]) {
    o.perm = {1, 2, 0};
    o.stored = "bhw";
    o.size_rule_moved = true;
  } else {
    o.stored = "hwb";
  }
  return o;
}

}  // namespace vexil::formats::hdf5
