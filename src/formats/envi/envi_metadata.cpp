#include "formats/envi/envi_metadata.hpp"

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "text/text_format.hpp"

namespace vexil::formats::envi {
namespace {

// Header fields that lead the metadata, in this order; every other field
// follows in header order.
constexpr std::string_view kLeadingFields[] = {"description",
                                               "samples",
                                               "lines",
                                               "bands",
                                               "header offset",
                                               "data type",
                                               "interleave",
                                               "byte order",
                                               "wavelength",
                                               "wavelength units",
                                               "band names",
                                               "map info",
                                               "coordinate system string",
                                               "default bands",
                                               "fwhm",
                                               "reflectance scale factor",
                                               "sensor type"};

bool is_leading(std::string_view key) {
  for (std::string_view k : kLeadingFields)
    if (k == key) return true;
  return false;
}

Metadata to_json(const HeaderValue& v) {
  if (!v.is_list) return Metadata(v.text);
  Metadata arr = Metadata::array();
  for (const auto& item : v.items) arr.push_back(item);
  return arr;
}

// int(float(text)) when it is defined and fits in 64 bits.
std::optional<std::int64_t> int_of_float_text(std::string_view text) {
  double d = 0;
  if (!text::parse_float(text, d) || !std::isfinite(d)) return std::nullopt;
  d = std::trunc(d);
  if (d < -9223372036854775808.0 || d >= 9223372036854775808.0) return std::nullopt;
  return static_cast<std::int64_t>(d);
}

// The bad band list as integers; a value that is not a number leaves the
// whole list as it was written.
Metadata bbl_value(const HeaderValue& v) {
  const std::vector<std::string> items = v.is_list ? v.items : std::vector<std::string>{v.text};
  Metadata out = Metadata::array();
  for (const std::string& item : items) {
    const std::optional<std::int64_t> n = int_of_float_text(item);
    if (!n) return to_json(v);
    out.push_back(*n);
  }
  return out;
}

Metadata field_value(const std::string& key, const HeaderValue& v) { return key == "bbl" ? bbl_value(v) : to_json(v); }

const Metadata* field(const Metadata& fields, const char* key) {
  if (!fields.is_object()) return nullptr;
  const auto it = fields.find(key);
  return it == fields.end() ? nullptr : &*it;
}

// A list of `bands` numbers, or nothing.
std::optional<std::vector<double>> numbers(const Metadata& fields, const char* key, std::int64_t bands) {
  const Metadata* v = field(fields, key);
  if (!v || !v->is_array() || static_cast<std::int64_t>(v->size()) != bands) return std::nullopt;
  std::vector<double> out;
  for (const Metadata& item : *v) {
    double d = 0;
    if (item.is_number())
      d = item.get<double>();
    else if (!item.is_string() || !text::parse_float(item.get_ref<const std::string&>(), d))
      return std::nullopt;
    out.push_back(d);
  }
  return out;
}

// A number as written: an integer stays one ("-9999"), anything else is a float ("-9999.0", "nan").
std::optional<Metadata> declared_number(const Metadata* v) {
  if (v && v->is_number()) return *v;
  if (!v || !v->is_string()) return std::nullopt;
  const std::string& t = v->get_ref<const std::string&>();
  std::int64_t i = 0;
  if (parse_int(t, i)) return Metadata(i);
  double d = 0;
  if (text::parse_float(t, d)) return Metadata(d);
  return std::nullopt;
}

}  // namespace

Metadata header_metadata(const Header& header) {
  Metadata meta = Metadata::object();
  for (std::string_view key : kLeadingFields)
    if (const HeaderValue* v = header.find(key)) meta[std::string(key)] = field_value(std::string(key), *v);
  // Header keys are already unique, so append to the ordered object directly:
  // ordered_json's own insert searches linearly, quadratic on a huge header.
  auto& obj = meta.get_ref<Metadata::object_t&>();
  for (const auto& [key, value] : header.fields()) {
    if (is_leading(key) || key == "_source_format" || key == "_source_file") continue;
    obj.emplace_back(key, field_value(key, value));
  }
  return meta;
}

BandFacts band_facts_from_header(const Metadata& fields, std::int64_t bands) {
  BandFacts facts;
  facts.wavelength = numbers(fields, "wavelength", bands);
  facts.fwhm = numbers(fields, "fwhm", bands);

  if (const auto bbl = numbers(fields, "bbl", bands)) {
    std::vector<std::int64_t> bad;
    for (std::size_t i = 0; i < bbl->size(); ++i)
      if ((*bbl)[i] == 0) bad.push_back(static_cast<std::int64_t>(i));
    facts.bad_bands = std::move(bad);
  }

  if (const Metadata* units = field(fields, "wavelength units"); units && units->is_string()) {
    const std::string_view u = text::strip_whitespace(units->get_ref<const std::string&>());
    if (!u.empty()) facts.wavelength_units = std::string(u);
  }

  facts.fill_value = declared_number(field(fields, "data ignore value"));

  const auto gain = numbers(fields, "data gain values", bands);
  const auto offset = numbers(fields, "data offset values", bands);
  if (gain || offset) {
    Metadata scale = Metadata::object();
    auto list = [](const std::vector<double>& v) {
      Metadata a = Metadata::array();
      for (double x : v) a.push_back(x);
      return a;
    };
    if (gain) scale["gain"] = list(*gain);
    if (offset) scale["offset"] = list(*offset);
    scale["apply"] = gain && offset ? "value = gain * DN + offset" : gain ? "value = gain * DN" : "value = DN + offset";
    facts.scale = std::move(scale);
  } else if (const auto factor = declared_number(field(fields, "reflectance scale factor"));
             factor && factor->get<double>() != 1.0 && factor->get<double>() != 0.0) {
    facts.scale = Metadata{{"divide_by", *factor}, {"apply", "reflectance = DN / reflectance scale factor"}};
  }
  return facts;
}

}  // namespace vexil::formats::envi
