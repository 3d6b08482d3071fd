// vexil/errors.hpp — the errors the library throws.
//
// Every failure of a conversion or a read is thrown as one of the classes
// below, all derived from vexil::Error (itself a std::exception). what() is
// the complete user-facing message, exactly as the command line prints it
// after "vexil convert_to_mat: error: "; a message may span several lines.
// kind() tells the failures apart without a chain of catch clauses.
//
// Errors of the reader libraries (GDAL, HDF5, matio) are wrapped into these
// classes with the library's own message. Out-of-memory stays std::bad_alloc.
#pragma once

#include <stdexcept>
#include <string>

namespace vexil {

enum class ErrorKind {
  Usage,              // the request itself is wrong (variable name, option value)
  NotFound,           // an input file or folder does not exist
  UnsupportedFormat,  // a file of a kind the library cannot read
  BadInput,           // a file or value that cannot be used as it is
  MissingKey,         // a named dataset, variable or mandatory field is absent
  MissingDependency,  // the reader library a file needs was not built in
  Read,               // reading failed at the operating-system or library level
  Write,              // writing an output failed (permissions, full disk ...)
  Cancelled,          // the caller stopped the conversion
};

class Error : public std::runtime_error {
 public:
  Error(ErrorKind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
  ErrorKind kind() const noexcept { return kind_; }

 private:
  ErrorKind kind_;
};

struct UsageError : Error {
  explicit UsageError(const std::string& message) : Error(ErrorKind::Usage, message) {}
};
struct NotFoundError : Error {
  explicit NotFoundError(const std::string& message) : Error(ErrorKind::NotFound, message) {}
};
struct BadInputError : Error {
  explicit BadInputError(const std::string& message) : Error(ErrorKind::BadInput, message) {}

 protected:
  BadInputError(ErrorKind kind, const std::string& message) : Error(kind, message) {}
};
// An unsupported format is bad input of a particular kind.
struct UnsupportedFormatError : BadInputError {
  explicit UnsupportedFormatError(const std::string& message) : BadInputError(ErrorKind::UnsupportedFormat, message) {}
};
struct MissingKeyError : Error {
  explicit MissingKeyError(const std::string& message) : Error(ErrorKind::MissingKey, message) {}
};
struct ReadError : Error {
  explicit ReadError(const std::string& message) : Error(ErrorKind::Read, message) {}
};
struct WriteError : Error {
  explicit WriteError(const std::string& message) : Error(ErrorKind::Write, message) {}
};
struct CancelledError : Error {
  explicit CancelledError(const std::string& message = "conversion cancelled") : Error(ErrorKind::Cancelled, message) {}
};

// The reader library a file needs ("gdal", "hdf5") is not part of this build.
// package() is the Debian development package that provides it.
class MissingDependencyError : public Error {
 public:
  MissingDependencyError(std::string library, std::string package)
      : Error(ErrorKind::MissingDependency,
              "Missing dependency: " + library + " (install " + package + " and rebuild vexil)"),
        library_(std::move(library)),
        package_(std::move(package)) {}
  const std::string& library() const noexcept { return library_; }
  const std::string& package() const noexcept { return package_; }

 private:
  std::string library_;
  std::string package_;
};

}  // namespace vexil
