// The one place where failures become Python exceptions. Core code throws tovra::Error; binding
// code that finds a Python exception already set throws PythonErrorSet, a marker that carries
// nothing. call_guarded() runs a method body and turns whatever it throws into exactly one
// Python exception, so no C++ exception ever crosses into the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <string>

#include "json/error.h"

namespace tovra::python {

// Thrown when a Python exception is already set and the call must unwind.
struct PythonErrorSet {};

[[noreturn]] inline void throw_python_error() { throw PythonErrorSet{}; }

// Sets the Python exception of `error`.
void raise_error(const Error& error);
// Sets a Python exception of `type` with `message` and unwinds.
[[noreturn]] void throw_python(PyObject* type, const std::string& message);

// The exception class of rejected queries and broken invariants, derived directly from
// BaseException so that `except Exception` does not catch it. Created on first use.
PyObject* panic_exception_type();

void raise_unexpected(const char* what) noexcept;

template <typename Body>
PyObject* call_guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const PythonErrorSet&) {
  } catch (const Error& error) {
    raise_error(error);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    raise_unexpected(error.what());
  } catch (...) {
    raise_unexpected("unknown internal failure");
  }
  return nullptr;
}

}  // namespace tovra::python
