#include "formats/tiff/envi_sidecar.hpp"

#include <cmath>
#include <string_view>
#include <vector>

#include "formats/envi/envi_header.hpp"
#include "formats/tiff/tiff_format.hpp"
#include "io/paths.hpp"
#include "text/text_format.hpp"
#include "text/utf8.hpp"
#include "vexil/errors.hpp"

namespace vexil::formats::tiff {
namespace {

const Metadata* field(const Metadata& fields, const char* key) {
  if (!fields.is_object()) return nullptr;
  const auto it = fields.find(key);
  return it == fields.end() ? nullptr : &*it;
}

std::optional<double> number(const Metadata& v) {
  if (v.is_number()) return v.get<double>();
  if (!v.is_string()) return std::nullopt;
  double d = 0;
  if (!text::parse_float(v.get<std::string>(), d)) return std::nullopt;
  return d;
}

// One number per band, or nothing.
std::optional<std::vector<double>> per_band(const Metadata* v, std::int64_t bands) {
  if (!v || !v->is_array() || static_cast<std::int64_t>(v->size()) != bands) return std::nullopt;
  std::vector<double> out;
  out.reserve(v->size());
  for (const auto& item : *v) {
    const auto d = number(item);
    if (!d) return std::nullopt;
    out.push_back(*d);
  }
  return out;
}

Metadata numbers(const std::vector<double>& v) {
  Metadata a = Metadata::array();
  for (double x : v) a.push_back(x);
  return a;
}

// A declared value as written: an integer text stays an integer.
std::optional<Metadata> declared_number(const Metadata& v) {
  if (v.is_number()) return v;
  if (!v.is_string()) return std::nullopt;
  std::int64_t i = 0;
  if (envi::parse_int(v.get<std::string>(), i)) return Metadata(i);
  if (const auto d = number(v)) return Metadata(*d);
  return std::nullopt;
}

bool is_regular(const std::string& p) { return io::isfile(p); }

}  // namespace

Metadata envi_header_fields(const std::string& hdr_path) {
  const envi::Header header = envi::read_header_file(hdr_path);
  Metadata out = Metadata::object();
  auto& obj = out.get_ref<Metadata::object_t&>();
  for (const auto& [key, value] : header.fields()) {
    if (!value.is_list) {
      obj.emplace_back(key, value.text);
      continue;
    }
    Metadata items = Metadata::array();
    for (const auto& item : value.items) items.push_back(item);
    obj.emplace_back(key, std::move(items));
  }
  return out;
}

BandFacts envi_header_facts(const Metadata& fields, std::int64_t bands) {
  BandFacts facts;
  facts.wavelength = per_band(field(fields, "wavelength"), bands);
  facts.fwhm = per_band(field(fields, "fwhm"), bands);
  if (const Metadata* u = field(fields, "wavelength units"); u && u->is_string()) {
    const std::string_view s = text::strip_whitespace(u->get_ref<const std::string&>());
    if (!s.empty()) facts.wavelength_units = std::string(s);
  }
  if (const auto bbl = per_band(field(fields, "bbl"), bands)) {
    std::vector<std::int64_t> bad;
    for (std::size_t i = 0; i < bbl->size(); ++i)
      if ((*bbl)[i] == 0) bad.push_back(static_cast<std::int64_t>(i));
    facts.bad_bands = std::move(bad);
  }
  if (const Metadata* v = field(fields, "data ignore value")) facts.fill_value = declared_number(*v);

  const auto gain = per_band(field(fields, "data gain values"), bands);
  const auto offset = per_band(field(fields, "data offset values"), bands);
  if (gain || offset) {
    Metadata scale = Metadata::object();
    if (gain) scale["gain"] = numbers(*gain);
    if (offset) scale["offset"] = numbers(*offset);
    scale["apply"] = gain && offset ? "value = gain * DN + offset" : gain ? "value = gain * DN" : "value = DN + offset";
    facts.scale = std::move(scale);
  } else if (const Metadata* r = field(fields, "reflectance scale factor")) {
    if (const auto f = number(*r); f && *f != 0 && std::isfinite(*f)) {
      facts.scale = Metadata{{"reflectance_scale_factor", *f}, {"apply", "value = DN / reflectance_scale_factor"}};
    }
  }
  return facts;
}

std::optional<std::string> envi_header_beside(const std::string& tiff_path) {
  const std::string stem = io::splitext(tiff_path).first;
  for (const std::string& candidate : {stem + ".hdr", stem + ".HDR", tiff_path + ".hdr", tiff_path + ".HDR"}) {
    if (!is_regular(candidate)) continue;
    try {
      const envi::Header header = envi::read_header_file(candidate);
      const envi::HeaderValue* type = header.find("file type");
      if (type && !type->is_list && envi_file_type_is_foreign(type->text)) return candidate;
    } catch (const Error&) {
      // Not a readable ENVI header: it describes nothing.
    }
  }
  return std::nullopt;
}

std::optional<std::string> data_file_beside_header(const std::string& hdr_path) {
  const auto [stem, ext] = io::splitext(hdr_path);
  // x.tif.hdr describes x.tif.
  if (text::lower(ext) == ".hdr" && !io::splitext(stem).second.empty() && is_regular(stem)) return stem;
  for (const char* e : {".tif", ".TIF", ".tiff", ".TIFF", ".geotiff", ".GEOTIFF", ".Tif", ".GeoTIFF"}) {
    const std::string candidate = stem + e;
    if (is_regular(candidate)) return candidate;
  }
  return std::nullopt;
}

}  // namespace vexil::formats::tiff
