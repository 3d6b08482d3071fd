#include "formats/envi/envi_pairing.hpp"

#include <fmt/format.h>

#include "vexil/errors.hpp"
#include "io/paths.hpp"
#include "text/utf8.hpp"

namespace vexil::formats::envi {

namespace {

constexpr std::string_view kDataExtensions[] = {"", ".img", ".dat", ".raw", ".bsq", ".bil", ".bip"};

std::string ascii_upper(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return out;
}

}  // namespace

std::vector<std::string> header_candidates(const std::string& data_path) {
  const std::string base = io::splitext(data_path).first;
  std::vector<std::string> out{base + ".hdr", base + ".HDR"};
  if (base != data_path) {
    out.push_back(data_path + ".hdr");
    out.push_back(data_path + ".HDR");
  }
  return out;
}

std::optional<std::string> find_header(const std::string& data_path) {
  for (std::string& candidate : header_candidates(data_path))
    if (io::isfile(candidate)) return std::move(candidate);
  return std::nullopt;
}

EnviPaths pair_paths(const std::string& path) {
  const auto [base, ext] = io::splitext(path);
  EnviPaths out;
  if (text::lower(ext) == ".hdr") {
    out.hdr_path = path;
    for (std::string_view candidate_ext : kDataExtensions) {
      std::string candidate = base + std::string(candidate_ext);
      if (candidate != path && io::isfile(candidate)) {
        out.img_path = std::move(candidate);
        break;
      }
    }
    return out;
  }
  std::optional<std::string> hdr = find_header(path);
  // Of the names tried, the message shows the plain one.
  if (!hdr)
    throw NotFoundError("Cannot find ENVI header: " + base + ".hdr" +
                        "\nENVI files require a .hdr header alongside the data file.");
  out.hdr_path = std::move(*hdr);
  out.img_path = path;
  return out;
}

std::vector<std::string> fallback_candidates(const std::string& hdr_path, std::string_view interleave_text) {
  const std::string base = io::splitext(hdr_path).first;
  std::vector<std::string> out;
  out.push_back(base);
  for (std::string_view e : {".img", ".dat", ".sli", ".hyspex", ".raw"}) out.push_back(base + std::string(e));
  out.push_back(base + "." + text::lower(interleave_text));
  for (std::string_view e : {".IMG", ".DAT", ".SLI", ".HYSPEX", ".RAW"}) out.push_back(base + std::string(e));
  out.push_back(base + "." + ascii_upper(interleave_text));
  return out;
}

std::string find_data_file(const std::string& hdr_path, std::string_view interleave_text) {
  for (const std::string& candidate : fallback_candidates(hdr_path, interleave_text))
    if (io::isfile(candidate)) return candidate;
  const std::string base = io::splitext(hdr_path).first;
  throw BadInputError(
      fmt::format("Unable to determine the ENVI data file name for the given header file {}. No data file named "
                  "{} with no extension or with .img, .dat, .raw, .bsq, .bil, .bip, .sli or .hyspex lies beside it; "
                  "rename the data file to one of these.",
                  hdr_path, base));
}

}  // namespace vexil::formats::envi
