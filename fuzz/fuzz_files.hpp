// The files fuzz targets write their inputs to: a scratch folder in /dev/shm
// made once per process, and whole writes that abort on failure (a target
// that cannot write its input would only fuzz the error path).
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace vexil::fuzz {

// A new folder "/dev/shm/<prefix>-XXXXXX"; call once and keep the name.
inline std::string make_scratch_dir(const std::string& prefix) {
  std::string tmpl = "/dev/shm/" + prefix + "-XXXXXX";
  if (!mkdtemp(tmpl.data())) std::abort();
  return tmpl;
}

inline void put_file(const std::string& path, const std::uint8_t* p, std::size_t n) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) std::abort();
  while (n > 0) {
    const ssize_t w = write(fd, p, n);
    if (w <= 0) std::abort();
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  close(fd);
}

}  // namespace vexil::fuzz
