#include "python/errors.h"

#include <pthread.h>

#include <cerrno>
#include <cstdlib>
#include <exception>

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

int64_t current_interpreter() noexcept {
  return PyInterpreterState_GetID(PyInterpreterState_Get());
}

}  // namespace

PyObject* InterpreterCache::get() const noexcept {
  return object_ != nullptr && interpreter_ == current_interpreter() ? object_ : nullptr;
}

PyObject* InterpreterCache::fill(PyObject* object) noexcept {
  if (object_ == nullptr) {
    object_ = object;
    interpreter_ = current_interpreter();
    Py_INCREF(object);
  }
  return object;
}

PyObject* panic_exception_type() {
  static InterpreterCache cache;
  if (PyObject* type = cache.get()) {
    Py_INCREF(type);
    return type;
  }
  PyObject* type = PyErr_NewExceptionWithDoc(
      "tovra.PanicException",
      "Raised for a query that cannot be parsed or an internal failure of tovra.",
      PyExc_BaseException, nullptr);
  return type == nullptr ? nullptr : cache.fill(type);
}

void raise_error(const Error& error) {
  if (error.kind() == ErrorKind::kInterrupted) {
    // The signal handler's exception is pending already: it is what the caller gets.
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
    return;
  }
  if (error.kind() == ErrorKind::kPanic) {
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;  // creating the class failed and set its own error
    set_exception(type, error.message());
    Py_DECREF(type);
    return;
  }
  // The message is the only argument, so an OSError carries no errno.
  set_exception(exception_class(error), error.message());
}

void throw_python(PyObject* type, const std::string& message) {
  set_exception(type, message);
  throw PythonErrorSet{};
}

void raise_unexpected(const char* what) noexcept {
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;
  PyErr_SetString(type, what);
  Py_DECREF(type);
}

// The C++ runtime keeps each thread's exception state in thread-local storage of a library
// loaded at run time. The C library allocates such storage on the thread's first use of it and
// aborts the process when that allocation fails, so the first exception a thread throws (even
// std::bad_alloc) would end the process once memory is exhausted. Each thread therefore makes
// that state exist on its first call into the module, at a point where it can still refuse:
// it takes and returns a block far larger than the state, so the allocation that follows is
// served from memory the thread just had, and fails with MemoryError when even the block is
// refused. A returned block keeps at least the allocator's top padding (128 KiB) in place, so
// the small allocation cannot miss. A thread key (no thread-local storage of its own) remembers
// which threads are done.
namespace {

constexpr size_t kThreadStateRoom = 16 * 1024;

pthread_key_t prepared_key;
const bool prepared_key_made = pthread_key_create(&prepared_key, nullptr) == 0;

}  // namespace

bool prepare_thread() noexcept {
  if (prepared_key_made && pthread_getspecific(prepared_key) != nullptr) return true;
  void* room = std::malloc(kThreadStateRoom);
  if (room == nullptr) {
    PyErr_NoMemory();
    return false;
  }
  std::free(room);
  // Reads the exception state, which allocates it. The function is declared pure: the volatile
  // store keeps the call from being dropped.
  volatile int uncaught = std::uncaught_exceptions();
  static_cast<void>(uncaught);
  // A key that could not be made or set only means that the next call prepares again.
  if (prepared_key_made) pthread_setspecific(prepared_key, &prepared_key);
  return true;
}

}  // namespace tovra::python
