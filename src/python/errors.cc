#include "python/errors.h"

#include <cerrno>

namespace tovra::python {

namespace {

PyObject* os_error_class(int err) {
  switch (err) {
    case ENOENT:
      return PyExc_FileNotFoundError;
    case EACCES:
    case EPERM:
      return PyExc_PermissionError;
    case EEXIST:
      return PyExc_FileExistsError;
    case EAGAIN:
      return PyExc_BlockingIOError;
    case EINTR:
      return PyExc_InterruptedError;
    case ETIMEDOUT:
      return PyExc_TimeoutError;
    case EPIPE:
      return PyExc_BrokenPipeError;
    case ECONNREFUSED:
      return PyExc_ConnectionRefusedError;
    case ECONNRESET:
      return PyExc_ConnectionResetError;
    case ECONNABORTED:
      return PyExc_ConnectionAbortedError;
    default:
      return PyExc_OSError;
  }
}

PyObject* exception_class(const Error& error) {
  switch (error.kind()) {
    case ErrorKind::kOs:
      return os_error_class(error.os_errno());
    case ErrorKind::kFile:
      return PyExc_OSError;
    case ErrorKind::kValue:
      return PyExc_ValueError;
    case ErrorKind::kType:
      return PyExc_TypeError;
    case ErrorKind::kException:
      return PyExc_Exception;
    case ErrorKind::kPanic:
      return panic_exception_type();
    case ErrorKind::kInterrupted:
      return nullptr;
  }
  return PyExc_SystemError;
}

// Messages may hold any bytes a caller put into a name (a NUL included).
void set_exception(PyObject* type, const std::string& message) {
  PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                        "replace");
  if (text == nullptr) return;
  PyErr_SetObject(type, text);
  Py_DECREF(text);
}

}  // namespace

PyObject* panic_exception_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(
        "tovra.PanicException",
        "Raised for a query that cannot be parsed or an internal failure of tovra.",
        PyExc_BaseException, nullptr);
  }
  return type;
}

void raise_error(const Error& error) {
  if (error.kind() == ErrorKind::kInterrupted) {
    // The signal handler's exception is pending already: it is what the caller gets.
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
    return;
  }
  PyObject* type = exception_class(error);
  if (type == nullptr) return;  // creating the panic class failed and set its own error
  // The message is the only argument, so an OSError carries no errno.
  set_exception(type, error.message());
}

void throw_python(PyObject* type, const std::string& message) {
  set_exception(type, message);
  throw PythonErrorSet{};
}

void raise_unexpected(const char* what) noexcept {
  PyObject* type = panic_exception_type();
  if (type != nullptr) PyErr_SetString(type, what);
}

}  // namespace tovra::python
