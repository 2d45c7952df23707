#include "python/errors.h"

#include <pthread.h>

#include <cerrno>
#include <cstdlib>
#include <exception>

#include "python/py_ref.h"

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

// Messages and notes may hold any bytes a caller put into a name or a path (a NUL included).
PyObject* decode_text(const std::string& text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

void set_exception(PyObject* type, const std::string& message) {
  PyObject* text = decode_text(message);
  if (text == nullptr) return;
  PyErr_SetObject(type, text);
  Py_DECREF(text);
}

// Sets an exception of `type` with `message` as its only argument, so that str() is exactly the
// message, and with the note and errno of `error` where it has them. errno is set alone: an
// OSError with a strerror or a filename renders them in its str().
void set_exception_of(PyObject* type, const Error& error) {
  bool with_errno = error.os_errno() != 0 &&
                    (error.kind() == ErrorKind::kOs || error.kind() == ErrorKind::kFile);
  if (!with_errno && error.note().empty()) {
    set_exception(type, error.message());
    return;
  }
  PyRef text(decode_text(error.message()));
  if (!text) return;
  PyRef exception(PyObject_CallOneArg(type, text.get()));
  if (!exception) return;
  if (with_errno) {
    PyRef number(PyLong_FromLong(error.os_errno()));
    if (!number || PyObject_SetAttrString(exception.get(), "errno", number.get()) != 0) return;
  }
  // A note that cannot be added (memory is short) must not replace the error itself.
  if (!error.note().empty() && !add_note(exception.get(), error.note())) PyErr_Clear();
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
}

}  // namespace

PyObject* panic_exception_type(ModuleState& state) {
  if (state.panic_type == nullptr) {
    state.panic_type = PyErr_NewExceptionWithDoc(
        "tovra.PanicException",
        "Raised for a query that cannot be parsed or an internal failure of tovra.",
        PyExc_BaseException, nullptr);
    if (state.panic_type == nullptr) return nullptr;
  }
  Py_INCREF(state.panic_type);
  return state.panic_type;
}

void raise_error(ModuleState& state, const Error& error) {
  if (error.kind() == ErrorKind::kInterrupted) {
    // The signal handler's exception is pending already: it is what the caller gets.
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
    return;
  }
  if (error.kind() == ErrorKind::kPanic) {
    PyObject* type = panic_exception_type(state);
    if (type == nullptr) return;  // creating the class failed and set its own error
    set_exception_of(type, error);
    Py_DECREF(type);
    return;
  }
  set_exception_of(exception_class(error), error);
}

bool add_note(PyObject* exception, const std::string& note) {
  PyRef text(decode_text(note));
  if (!text) return false;
#if PY_VERSION_HEX >= 0x030B0000
  PyRef result(PyObject_CallMethod(exception, "add_note", "O", text.get()));
  return static_cast<bool>(result);
#else
  // Python 3.10 has no add_note: the note goes into the list __notes__, where later versions
  // keep them.
  PyRef notes(PyObject_GetAttrString(exception, "__notes__"));
  if (!notes) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    notes = PyRef(PyList_New(0));
    if (!notes || PyObject_SetAttrString(exception, "__notes__", notes.get()) != 0) return false;
  }
  if (!PyList_Check(notes.get())) {
    PyErr_SetString(PyExc_TypeError, "Cannot add note: __notes__ is not a list");
    return false;
  }
  return PyList_Append(notes.get(), text.get()) == 0;
#endif
}

RaisedException::RaisedException() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  value_ = PyErr_GetRaisedException();
#else
  PyErr_Fetch(&type_, &value_, &traceback_);
  if (type_ != nullptr) PyErr_NormalizeException(&type_, &value_, &traceback_);
#endif
}

RaisedException::~RaisedException() {
  // An exception raised meanwhile and left set gives way: the one taken is what stays set.
  PyErr_Clear();
#if PY_VERSION_HEX >= 0x030C0000
  if (value_ != nullptr) PyErr_SetRaisedException(value_);
#else
  if (type_ != nullptr) PyErr_Restore(type_, value_, traceback_);
#endif
}

void throw_python(PyObject* type, const std::string& message) {
  set_exception(type, message);
  throw PythonErrorSet{};
}

void raise_unexpected(ModuleState& state, const char* what) noexcept {
  PyObject* type = panic_exception_type(state);
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
// refused. That the small allocation is then served from the memory just returned is best
// effort, not a guarantee: it rests on how the C library's allocator keeps freed memory (glibc
// keeps at least its top padding, 128 KiB, in place), which no interface promises. A thread
// key (no thread-local storage of its own) remembers which threads are done.
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
