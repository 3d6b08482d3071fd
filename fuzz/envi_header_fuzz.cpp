// Feeds arbitrary bytes to the ENVI header parser and the layout checks.
// Anything but a BadInputError/MissingKeyError with a message, or text that is not
// valid UTF-8 in the parsed fields (it goes into the JSON sidecar), is a bug.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include <nlohmann/json.hpp>

#include "vexil/errors.hpp"
#include "formats/envi/envi_header.hpp"

namespace envi = vexil::formats::envi;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  envi::Header header;
  try {
    header = envi::parse_header(bytes);
  } catch (const vexil::BadInputError& e) {
    if (!*e.what()) std::abort();
    return 0;
  }

  nlohmann::ordered_json j = nlohmann::ordered_json::object();
  for (const auto& [key, value] : header.fields()) {
    if (value.is_list) {
      if (value.items.empty()) std::abort();  // a braced value always has at least one piece
      j[key] = value.items;
    } else {
      j[key] = value.text;
    }
  }
  (void)j.dump();  // throws (and so crashes the run) on invalid UTF-8

  try {
    const envi::Layout lay = envi::layout_from_header(header);
    if (lay.lines < 0 || lay.samples < 0 || lay.bands < 0) std::abort();
    const auto item = static_cast<std::uint64_t>(vexil::itemsize(lay.dtype));
    if (lay.data_bytes != static_cast<std::uint64_t>(lay.lines) * static_cast<std::uint64_t>(lay.samples) *
                              static_cast<std::uint64_t>(lay.bands) * item)
      std::abort();
  } catch (const vexil::BadInputError&) {
  } catch (const vexil::MissingKeyError&) {
  }
  return 0;
}
