#include "vexil/layout.hpp"

namespace vexil {

std::optional<Layout> parse_layout(std::string_view text) {
  if (text == "auto") return Layout::Auto;
  if (text == "hwb") return Layout::HWB;
  if (text == "bhw") return Layout::BHW;
  if (text == "hbw") return Layout::HBW;
  return std::nullopt;
}

std::string_view layout_name(Layout layout) {
  switch (layout) {
    case Layout::HWB: return "hwb";
    case Layout::BHW: return "bhw";
    case Layout::HBW: return "hbw";
    case Layout::Auto: break;
  }
  return "auto";
}

}  // namespace vexil
