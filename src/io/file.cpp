#include "io/file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace vexil::io {

void Fd::close() {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

Fd open_for_reading(const std::string& path) { return Fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)); }

std::size_t read_at(int fd, void* out, std::size_t n, std::uint64_t offset) {
  auto* p = static_cast<unsigned char*>(out);
  std::size_t got = 0;
  while (got < n) {
    const ssize_t r = ::pread(fd, p + got, n - got, static_cast<off_t>(offset + got));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<std::size_t>(r);
  }
  return got;
}

}  // namespace vexil::io
