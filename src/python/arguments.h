// Argument matching and the type checks on arguments, with the exact TypeError messages callers
// see: "Tovra.find() takes from 1 to 2 positional arguments but 3 were given", "argument
// 'documents': 'tuple' object cannot be converted to 'PyList'", and so on.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <initializer_list>
#include <string>
#include <string_view>

#include "python/errors.h"

namespace tovra::python {

// The parameters of one method: all may be given by position or keyword.
struct Signature {
  const char* full_name;  // "Tovra.find()"
  std::initializer_list<const char*> parameters;
  size_t required;  // the first `required` parameters have no default
};

// Matches a vectorcall argument list to `signature`, filling `out` (borrowed references).
void bind_arguments(const Signature& signature, PyObject* const* args, size_t nargs,
                    PyObject* kwnames, PyObject** out);
// The same for a classic call (positional tuple and keyword dict).
void bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                    PyObject** out);

// The qualified name of the object's type ("date", "Outer.Inner").
std::string type_qualname(PyObject* object);

// "'<type>' object cannot be converted to '<expected>'"
std::string cannot_convert(PyObject* object, const char* expected);

// The argument as UTF-8 text; a str subclass counts as str. A non-TypeError failure (a lone
// surrogate) propagates as it is.
std::string_view text_argument(const char* parameter, PyObject* value);
// A dict or dict subclass, or a TypeError naming PyDict.
PyObject* dict_argument(const char* parameter, PyObject* value);
// A list or list subclass, or a TypeError naming PyList.
PyObject* list_argument(const char* parameter, PyObject* value);
// True or False, or a numpy boolean scalar taken by its truth value.
bool bool_argument(const char* parameter, PyObject* value);

}  // namespace tovra::python
