#pragma once
// Exception types of the core. The bindings map each of them (and the
// standard ones they derive from) to the Python exception a Python user
// expects, in one place.
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

namespace mirelo {

/// A value of the right type but an unacceptable content (ValueError).
struct ValueError : std::invalid_argument {
  using std::invalid_argument::invalid_argument;
};

/// A value of the wrong type or form (TypeError).
struct TypeError : std::logic_error {
  using std::logic_error::logic_error;
};

/// A missing mapping key (KeyError). The message is the key itself.
struct KeyError : std::out_of_range {
  using std::out_of_range::out_of_range;
};

/// A position outside a sequence (IndexError).
struct IndexError : std::out_of_range {
  using std::out_of_range::out_of_range;
};

/// A division by zero that the host language would report (ZeroDivisionError).
struct ZeroDivisionError : std::domain_error {
  using std::domain_error::domain_error;
};

/// A file or folder that does not exist (FileNotFoundError).
struct FileNotFoundError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

/// Any other failure of the file system or of a reader/writer (OSError).
struct OSError : std::runtime_error {
  using std::runtime_error::runtime_error;
  OSError(const std::string& message, int errno_value) : std::runtime_error(message), error_number(errno_value) {}
  /// The errno behind the failure, 0 when there is none; it picks the
  /// host's subclass (PermissionError, IsADirectoryError, ...).
  int error_number = 0;
};

/// A shared library of the core that cannot be loaded (ImportError). The
/// message names the library and the loader's reason.
struct LibraryError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

/// A request for more memory than the process can hold (MemoryError),
/// refused before anything is allocated; caught as std::bad_alloc too.
struct MemoryError : std::bad_alloc {
  explicit MemoryError(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

/// "expected X, got Y" message helper.
inline std::string expected_got(const std::string& expected, const std::string& got) {
  return "expected " + expected + ", got " + got;
}

}  // namespace mirelo
