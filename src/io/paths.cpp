#include "io/paths.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace vexil::io {

std::pair<std::string, std::string> splitext(std::string_view p) {
  std::size_t sep = p.rfind('/');
  std::size_t dot = p.rfind('.');
  if (dot != std::string_view::npos && (sep == std::string_view::npos || dot > sep)) {
    // A dot counts only when something other than dots precedes it in the
    // last component: ".hdr" and "..hdr" are names, not extensions.
    std::size_t name = sep == std::string_view::npos ? 0 : sep + 1;
    for (std::size_t i = name; i < dot; ++i) {
      if (p[i] != '.') return {std::string(p.substr(0, dot)), std::string(p.substr(dot))};
    }
  }
  return {std::string(p), std::string()};
}

std::string join(std::string_view a, std::string_view b) {
  if (!b.empty() && b.front() == '/') return std::string(b);
  std::string out(a);
  if (!out.empty() && out.back() != '/') out += '/';
  out += b;
  return out;
}

std::string basename(std::string_view p) {
  const auto slash = p.rfind('/');
  return std::string(slash == std::string_view::npos ? p : p.substr(slash + 1));
}

std::string normpath(std::string_view p) {
  if (p.empty()) return ".";
  // POSIX leaves the meaning of exactly two leading slashes to the system,
  // so they are kept; three or more mean the root.
  std::size_t initial = 0;
  if (p.front() == '/') initial = (p.size() >= 2 && p[1] == '/' && (p.size() < 3 || p[2] != '/')) ? 2 : 1;

  std::vector<std::string_view> comps;
  std::size_t i = 0;
  while (i <= p.size()) {
    std::size_t next = p.find('/', i);
    if (next == std::string_view::npos) next = p.size();
    std::string_view comp = p.substr(i, next - i);
    i = next + 1;
    if (comp.empty() || comp == ".") continue;
    if (comp != ".." || (initial == 0 && comps.empty()) || (!comps.empty() && comps.back() == "..")) {
      comps.push_back(comp);
    } else if (!comps.empty()) {
      comps.pop_back();
    }
  }
  std::string out(initial, '/');
  for (std::size_t k = 0; k < comps.size(); ++k) {
    if (k) out += '/';
    out += comps[k];
  }
  return out.empty() ? "." : out;
}

std::string abspath(std::string_view p) {
  if (!p.empty() && p.front() == '/') return normpath(p);
  std::vector<char> buf(4096);
  while (::getcwd(buf.data(), buf.size()) == nullptr) {
    if (errno != ERANGE || buf.size() > (1u << 20)) {
      throw std::runtime_error(std::string("cannot determine the current directory: ") + std::strerror(errno));
    }
    buf.resize(buf.size() * 2);
  }
  return normpath(join(buf.data(), p));
}

bool isfile(const std::string& p) {
  // Python answers False for a path with a NUL byte; the C call would see a prefix.
  if (p.find('\0') != std::string::npos) return false;
  struct stat st;
  return ::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace vexil::io
