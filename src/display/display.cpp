#include "display/display.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <vector>

#include "core/console.hpp"
#include "core/pytext.hpp"

namespace vexil::utils::display {

namespace {

// Colour only for a terminal; NO_COLOR set to anything (even empty) turns it off.
bool colours_wanted() {
  if (std::getenv("NO_COLOR") != nullptr) return false;
  return ::isatty(1) == 1;
}

std::string pick(const char* code, bool on) { return on ? std::string(code) : std::string(); }

const bool kInitial = colours_wanted();

std::size_t code_points(const std::string& s) {
  std::size_t n = 0;
  for (std::size_t pos = 0; pos < s.size();) {
    pytext::decode_utf8(s, pos);
    ++n;
  }
  return n;
}

}  // namespace

std::string BOLD = pick("\033[1m", kInitial);
std::string RESET = pick("\033[0m", kInitial);
std::string CYAN = pick("\033[36m", kInitial);
std::string GREEN = pick("\033[32m", kInitial);
std::string YELLOW = pick("\033[33m", kInitial);
std::string RED = pick("\033[31m", kInitial);
std::string GRAY = pick("\033[90m", kInitial);

void set_colours_enabled(bool enabled) {
  BOLD = pick("\033[1m", enabled);
  RESET = pick("\033[0m", enabled);
  CYAN = pick("\033[36m", enabled);
  GREEN = pick("\033[32m", enabled);
  YELLOW = pick("\033[33m", enabled);
  RED = pick("\033[31m", enabled);
  GRAY = pick("\033[90m", enabled);
}

std::string c(const std::string& text, const std::string& colour) {
  if (colour.empty()) return text;
  return colour + text + RESET;
}

void print_config_box(const std::string& title, const std::string& body) {
  std::vector<std::string> lines;
  std::istringstream in(body);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::size_t width = code_points(title);
  for (const auto& line : lines) width = std::max(width, code_points(line));

  std::string rule;
  for (std::size_t i = 0; i < width + 2; ++i) rule += "─";
  println("┌" + rule + "┐");
  println("│ " + c(pytext::pad_right(title, width), BOLD) + " │");
  if (!lines.empty()) {
    println("├" + rule + "┤");
    for (const auto& line : lines) println("│ " + pytext::pad_right(line, width) + " │");
  }
  println("└" + rule + "┘");
}

}  // namespace vexil::utils::display
