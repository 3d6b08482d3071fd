// A read-only memory map of part of a file that survives the file shrinking
// while it is mapped.
//
// Reading a mapped page past the end of a file that was truncated after it
// was mapped raises SIGBUS, which would kill the process in the middle of a
// write. While at least one MappedFile exists, a SIGBUS handler is installed
// that recognises faults inside these mappings only: it puts zero pages in
// place of the lost ones (from the faulting page to the end of the mapping),
// marks the mapping damaged and lets the reader go on. Whoever consumed the
// bytes then asks check() (or check_mapping_intact() for an array's storage)
// before trusting what it produced; a damaged mapping throws ReadError naming
// the file. A fault anywhere else goes to the handler that was installed
// before, and the previous handler is put back when the last mapping goes.
//
// Any thread may read a mapping; faults are handled on the faulting thread.
//
// Bulk readers should prefer stage(): it copies through the kernel into a
// buffer that is reused, which on virtual machines costs a fraction of
// touching the mapped pages (each first touch is a fault and a page-table
// entry of this process; measured at 2-3 times the cost of the copy).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace vexil::io {

class MappedFile {
 public:
  // Maps `length` bytes (> 0) of the open file `fd` starting at `offset`
  // (any alignment). Returns null when the file system cannot map it or too
  // many mappings are live; the caller then reads the file instead. `path`
  // only names the file in errors.
  static std::shared_ptr<MappedFile> map(int fd, const std::string& path, std::uint64_t offset, std::size_t length);

  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  // The first mapped byte (the one at `offset` in the file).
  const std::byte* data() const { return data_; }
  std::size_t size() const { return length_; }
  const std::string& path() const { return path_; }

  // Tells the kernel the mapping will be read front to back (read-ahead).
  void advise_sequential() const;

  // True once a read hit a page the file no longer holds (the bytes read
  // there were zeros, not the file's).
  bool damaged() const;
  // Throws ReadError naming the file when damaged().
  void check() const;

  // Copies `n` bytes from `offset` within the mapping; false when the
  // mapping is damaged afterwards (the copy then holds zeros where the file
  // lost its bytes).
  bool copy(std::size_t offset, std::byte* out, std::size_t n) const;

  // The same bytes read from the file instead of the mapping. Bytes the
  // file no longer holds read as zeros and mark the mapping damaged; false
  // then, like copy().
  bool read(std::size_t offset, std::byte* out, std::size_t n) const;

  // `rows` runs of `row_bytes`, `stride` bytes apart from p (inside the
  // mapping), read from the file back to back into a buffer of the calling
  // thread, valid until its next stage(); null when they are not all inside
  // the mapping. A file that shrank reads as zeros there, as read() does.
  const std::byte* stage(const std::byte* p, std::size_t rows, std::size_t stride, std::size_t row_bytes) const;

  // The mapping `storage` (an array's keep_alive()) is, or null.
  static const MappedFile* of(const std::shared_ptr<void>& storage);

 private:
  MappedFile() = default;

  void* base_ = nullptr;        // page-aligned start of the mapping
  std::size_t map_length_ = 0;  // bytes mapped from base_
  const std::byte* data_ = nullptr;
  std::size_t length_ = 0;
  int slot_ = -1;
  int fd_ = -1;                    // the mapped file, duplicated, for read()
  std::uint64_t file_offset_ = 0;  // of data_
  std::string path_;
};

// When `storage` (an array's keep_alive()) is a MappedFile, throws
// ReadError if it was damaged; does nothing for any other storage.
void check_mapping_intact(const std::shared_ptr<void>& storage);

}  // namespace vexil::io
