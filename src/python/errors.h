// The one place where failures become Python exceptions. Core code throws tovra::Error; binding
// code that finds a Python exception already set throws PythonErrorSet, a marker that carries
// nothing. call_guarded() runs a method body and turns whatever it throws into exactly one
// Python exception, so no C++ exception ever crosses into the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <new>
#include <string>

#include "json/error.h"
#include "python/module_state.h"

namespace tovra::python {

// Thrown when a Python exception is already set and the call must unwind.
struct PythonErrorSet {};

[[noreturn]] inline void throw_python_error() { throw PythonErrorSet{}; }

// Sets the Python exception of `error`: its class by the kind, its only argument the message,
// errno (alone) for an OS error, and the error's note, when it has one, as an exception note.
void raise_error(ModuleState& state, const Error& error);
// Adds `note` to `exception` as BaseException.add_note does (on Python 3.10, which has no
// add_note, into the list __notes__ in the same way). False, with an exception set, on failure.
bool add_note(PyObject* exception, const std::string& note);

// The exception that is set, taken away for the life of this object (so that Python code may
// run meanwhile) and set again when it goes.
class RaisedException {
 public:
  RaisedException() noexcept;
  ~RaisedException();
  RaisedException(const RaisedException&) = delete;
  RaisedException& operator=(const RaisedException&) = delete;
  // The exception object (borrowed), or null when none was set.
  PyObject* value() const noexcept { return value_; }

 private:
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* traceback_ = nullptr;
};
// Sets a Python exception of `type` with `message` and unwinds.
[[noreturn]] void throw_python(PyObject* type, const std::string& message);

// The exception class of rejected queries and broken invariants, derived directly from
// BaseException so that `except Exception` does not catch it. Created on first use, once per
// module object. Returns a new reference, or null with the creation's exception set.
PyObject* panic_exception_type(ModuleState& state);

void raise_unexpected(ModuleState& state, const char* what) noexcept;

// Makes sure the calling thread can throw C++ exceptions (see errors.cc). False, with
// MemoryError set, when memory is too short for that.
bool prepare_thread() noexcept;

// `state` is that of the module whose method runs (module_state() of its class).
template <typename Body>
PyObject* call_guarded(ModuleState& state, Body&& body) noexcept {
  if (!prepare_thread()) return nullptr;
  try {
    return body();
  } catch (const PythonErrorSet&) {
  } catch (const Error& error) {
    raise_error(state, error);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    raise_unexpected(state, error.what());
  } catch (...) {
    raise_unexpected(state, "unknown internal failure");
  }
  return nullptr;
}

}  // namespace tovra::python
