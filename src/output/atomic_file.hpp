// A file written under a temporary name in its destination folder and
// renamed into place only when complete. Until then an earlier file of the
// final name stays untouched; a failure or a destructor without commit
// removes the temporary file. Several files written for one result are
// committed one after the other once all of them are complete.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <streambuf>
#include <string>

namespace vexil::output {

class AtomicFile {
 public:
  // Creates the temporary file; throws WriteError naming `final_path` when the
  // folder is not writable.
  explicit AtomicFile(std::string final_path);
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  void write(const void* data, std::size_t len);
  // Overwrites bytes already written (e.g. a length patched after streaming).
  void write_at(std::uint64_t offset, const void* data, std::size_t len);
  std::uint64_t bytes_written() const { return written_; }
  // Closes the file, so that write errors the close reports show now; the
  // temporary file stays until commit() or discard().
  void finish();
  // Closes the file if still open and renames it to the final name.
  void commit();
  // Closes and removes the temporary file (also done by the destructor).
  void discard() noexcept;

  const std::string& final_path() const { return final_path_; }
  const std::string& temp_path() const { return temp_path_; }

 private:
  [[noreturn]] void fail(int err);

  std::string final_path_;
  std::string temp_path_;
  int fd_ = -1;
  std::uint64_t written_ = 0;
  bool committed_ = false;
};

// A stream buffer over an AtomicFile, for text writers that take std::ostream.
// Write errors are kept and rethrown by sync_or_throw().
class AtomicFileBuf : public std::streambuf {
 public:
  explicit AtomicFileBuf(AtomicFile& file);
  // Flushes the buffer; rethrows the first write error.
  void sync_or_throw();

 protected:
  int_type overflow(int_type ch) override;
  std::streamsize xsputn(const char* s, std::streamsize n) override;
  int sync() override;

 private:
  bool flush_buffer();

  AtomicFile& file_;
  char buf_[1 << 16];
  std::exception_ptr error_;
};

}  // namespace vexil::output
