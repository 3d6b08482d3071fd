// Console colours. Empty strings unless standard output is a terminal and
// NO_COLOR is unset, so piped output is plain text.
#pragma once

#include <string>

namespace vexil::utils::display {

extern std::string BOLD;
extern std::string RESET;
extern std::string CYAN;
extern std::string GREEN;
extern std::string YELLOW;
extern std::string RED;
extern std::string GRAY;

// Wraps text in a colour and RESET (empty colours leave it unchanged).
std::string c(const std::string& text, const std::string& colour);
// A boxed key/value listing; part of the display module's interface.
void print_config_box(const std::string& title, const std::string& body);

// Switches every colour on or off (the default follows the terminal test).
void set_colours_enabled(bool enabled);

}  // namespace vexil::utils::display
