// Path rules of Python's os.path (purely lexical; symlinks are not resolved).
#pragma once

#include <string>
#include <string_view>
#include <utility>

namespace vexil::io {

// os.path.splitext: (root, ext); leading dots of the last component never start an extension.
std::pair<std::string, std::string> splitext(std::string_view p);
// os.path.join(a, b) for two parts.
std::string join(std::string_view a, std::string_view b);
// The last component (after the last '/'), as os.path.basename gives it.
std::string basename(std::string_view p);
// os.path.normpath
std::string normpath(std::string_view p);
// os.path.abspath: normpath(join(getcwd(), p)).
std::string abspath(std::string_view p);
// os.path.isfile: a regular file, symbolic links followed.
bool isfile(const std::string& p);

}  // namespace vexil::io
