#include "output/atomic_file.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <fmt/format.h>

#include "vexil/errors.hpp"
#include "text/text_format.hpp"

namespace vexil::output {
namespace {

std::string random_suffix() {
  std::uint64_t r = 0;
  if (getrandom(&r, sizeof r, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof r))
    r = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&r)) ^ static_cast<std::uint64_t>(time(nullptr));
  return fmt::format("{:012x}", r & 0xFFFFFFFFFFFFull);
}

[[noreturn]] void throw_os_error(int err, const std::string& path) {
  const std::string msg = fmt::format("[Errno {}] {}: {}", err, std::strerror(err), text::str_repr(path));
  if (err == ENOENT) throw NotFoundError(msg);
  throw WriteError(msg);
}

}  // namespace

AtomicFile::AtomicFile(std::string final_path) : final_path_(std::move(final_path)) {
  const auto slash = final_path_.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : final_path_.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? final_path_ : final_path_.substr(slash + 1);
  for (int attempt = 0; attempt < 100; ++attempt) {
    temp_path_ = fmt::format("{}.{}.tmp-{}-{}", dir, base, getpid(), random_suffix());
    fd_ = ::open(temp_path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_ >= 0) break;
    if (errno != EEXIST) {
      const int err = errno;
      temp_path_.clear();
      throw_os_error(err, final_path_);
    }
  }
  if (fd_ < 0) throw_os_error(EEXIST, final_path_);
}

AtomicFile::~AtomicFile() {
  if (!committed_) discard();
}

void AtomicFile::discard() noexcept {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  if (!temp_path_.empty() && !committed_) {
    ::unlink(temp_path_.c_str());
    temp_path_.clear();
  }
}

void AtomicFile::fail(int err) {
  discard();
  throw_os_error(err, final_path_);
}

void AtomicFile::write(const void* data, std::size_t len) {
  if (fd_ < 0) throw WriteError("write to a closed file: " + final_path_);
  const char* p = static_cast<const char*>(data);
  while (len) {
    const ssize_t n = ::write(fd_, p, std::min<std::size_t>(len, 1u << 30));
    if (n < 0) {
      if (errno == EINTR) continue;
      fail(errno);
    }
    p += n;
    len -= static_cast<std::size_t>(n);
    written_ += static_cast<std::uint64_t>(n);
  }
}

void AtomicFile::write_at(std::uint64_t offset, const void* data, std::size_t len) {
  if (fd_ < 0) throw WriteError("write to a closed file: " + final_path_);
  const char* p = static_cast<const char*>(data);
  while (len) {
    const ssize_t n = ::pwrite(fd_, p, len, static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      fail(errno);
    }
    p += n;
    offset += static_cast<std::uint64_t>(n);
    len -= static_cast<std::size_t>(n);
  }
}

void AtomicFile::finish() {
  if (fd_ < 0) {
    if (temp_path_.empty() || committed_) throw WriteError("finish of a closed file: " + final_path_);
    return;
  }
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) fail(errno);
}

void AtomicFile::commit() {
  if (committed_ || temp_path_.empty()) throw WriteError("commit of a closed file: " + final_path_);
  if (fd_ >= 0) finish();
  if (::rename(temp_path_.c_str(), final_path_.c_str()) != 0) fail(errno);
  committed_ = true;
}

AtomicFileBuf::AtomicFileBuf(AtomicFile& file) : file_(file) { setp(buf_, buf_ + sizeof buf_); }

bool AtomicFileBuf::flush_buffer() {
  if (error_) return false;
  const std::ptrdiff_t n = pptr() - pbase();
  try {
    if (n > 0) file_.write(pbase(), static_cast<std::size_t>(n));
  } catch (...) {
    error_ = std::current_exception();
    return false;
  }
  setp(buf_, buf_ + sizeof buf_);
  return true;
}

AtomicFileBuf::int_type AtomicFileBuf::overflow(int_type ch) {
  if (!flush_buffer()) return traits_type::eof();
  if (!traits_type::eq_int_type(ch, traits_type::eof())) {
    *pptr() = traits_type::to_char_type(ch);
    pbump(1);
  }
  return traits_type::not_eof(ch);
}

std::streamsize AtomicFileBuf::xsputn(const char* s, std::streamsize n) {
  std::streamsize done = 0;
  while (done < n) {
    if (pptr() == epptr() && !flush_buffer()) return done;
    const std::streamsize room = epptr() - pptr();
    const std::streamsize k = std::min(room, n - done);
    std::memcpy(pptr(), s + done, static_cast<std::size_t>(k));
    pbump(static_cast<int>(k));
    done += k;
  }
  return done;
}

int AtomicFileBuf::sync() { return flush_buffer() ? 0 : -1; }

void AtomicFileBuf::sync_or_throw() {
  flush_buffer();
  if (error_) std::rethrow_exception(error_);
}

}  // namespace vexil::output
