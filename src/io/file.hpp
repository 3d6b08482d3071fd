// Reading files through descriptors: one that closes itself, opened so that
// a FIFO never makes the caller wait, and positioned reads that retry short
// and interrupted ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vexil::io {

struct Fd {
  int fd = -1;

  Fd() = default;
  explicit Fd(int descriptor) : fd(descriptor) {}
  ~Fd() { close(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;

  void close();
};

// `path` opened read-only, close-on-exec and non-blocking (callers refuse
// what is not a regular file); fd < 0 with errno set when it cannot be.
Fd open_for_reading(const std::string& path);

// Reads up to n bytes at `offset`; fewer only at the end of the file or on
// an error.
std::size_t read_at(int fd, void* out, std::size_t n, std::uint64_t offset);

}  // namespace vexil::io
