// The single error type of the core. Core code throws tovra::Error; the binding turns it into
// exactly one Python exception (src/python/errors.cc). The kind decides the Python class, the
// message is the exception's text.
#pragma once

#include <cstring>
#include <exception>
#include <string>
#include <utility>

namespace tovra {

enum class ErrorKind {
  kOs,         // an operating-system error passed on unchanged: class chosen by errno
  kFile,       // a file operation reported in the system's own words: exactly OSError
  kValue,      // invalid data, a missing collection, a non-numeric operand: ValueError
  kType,       // a value of the wrong type: TypeError
  kException,  // a conversion failure reported as the plain Exception class
  kPanic,      // a rejected query or a broken internal invariant: PanicException
};

class Error : public std::exception {
 public:
  Error(ErrorKind kind, std::string message, int os_errno = 0)
      : kind_(kind), os_errno_(os_errno), message_(std::move(message)) {}

  // "<system text> (os error N)", the form every operating-system error takes.
  static std::string os_text(int err) {
    char buffer[256];
    // GNU strerror_r returns the text, which may or may not live in buffer.
    const char* text = strerror_r(err, buffer, sizeof buffer);
    return std::string(text) + " (os error " + std::to_string(err) + ")";
  }
  static Error os(int err) { return Error(ErrorKind::kOs, os_text(err), err); }
  static Error file(std::string message) { return Error(ErrorKind::kFile, std::move(message)); }
  static Error value(std::string message) { return Error(ErrorKind::kValue, std::move(message)); }
  static Error type(std::string message) { return Error(ErrorKind::kType, std::move(message)); }
  static Error exception(std::string message) {
    return Error(ErrorKind::kException, std::move(message));
  }
  static Error panic(std::string message) { return Error(ErrorKind::kPanic, std::move(message)); }

  ErrorKind kind() const noexcept { return kind_; }
  int os_errno() const noexcept { return os_errno_; }
  const std::string& message() const noexcept { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  ErrorKind kind_;
  int os_errno_;
  std::string message_;
};

}  // namespace tovra
