// The single error type of the core. Core code throws tovra::Error; the binding turns it into
// exactly one Python exception (src/python/errors.cc). The kind decides the Python class, the
// message is the exception's text, and an optional note (where and why: a file's path, a
// place in the text or in an argument) is added to the exception as a note, never to its text.
// Notes are made only on the way out of a failure.
#pragma once

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
  kInterrupted,  // the interrupt check asked the operation to stop: the caller's exception
                 // (KeyboardInterrupt) is already pending
};

class Error : public std::exception {
 public:
  Error(ErrorKind kind, std::string message, int os_errno = 0)
      : kind_(kind), os_errno_(os_errno), message_(std::move(message)) {}

  // An operating-system error: `message` is its rendering, "<system text> (os error N)" (the
  // file-system layer makes it).
  static Error os(int err, std::string message) {
    return Error(ErrorKind::kOs, std::move(message), err);
  }
  // A file operation that failed. `err` is the OS error whose "(os error N)" the message
  // carries, or 0 when it carries none (the exception's errno stays unset then).
  static Error file(std::string message, int err = 0) {
    return Error(ErrorKind::kFile, std::move(message), err);
  }
  static Error value(std::string message) { return Error(ErrorKind::kValue, std::move(message)); }
  static Error type(std::string message) { return Error(ErrorKind::kType, std::move(message)); }
  static Error exception(std::string message) {
    return Error(ErrorKind::kException, std::move(message));
  }
  static Error panic(std::string message) { return Error(ErrorKind::kPanic, std::move(message)); }
  static Error interrupted() { return Error(ErrorKind::kInterrupted, "interrupted"); }

  ErrorKind kind() const noexcept { return kind_; }
  int os_errno() const noexcept { return os_errno_; }
  const std::string& message() const noexcept { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

  // The note, empty when there is none.
  const std::string& note() const noexcept { return note_; }
  Error& set_note(std::string note) {
    note_ = std::move(note);
    return *this;
  }

 private:
  ErrorKind kind_;
  int os_errno_;
  std::string message_;
  std::string note_;
};

}  // namespace tovra
