#include "python/arguments.h"

#include <cstring>
#include <vector>

#include "python/py_ref.h"

namespace tovra::python {

namespace {

[[noreturn]] void throw_type_error(const std::string& message) {
  throw_python(PyExc_TypeError, message);
}

std::string quoted_list(const std::vector<const char*>& names) {
  std::string out;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

void check_positional_count(const Signature& signature, size_t nargs) {
  size_t total = signature.parameters.size();
  if (nargs <= total) return;
  std::string message = signature.full_name;
  if (signature.required == total) {
    message += " takes " + std::to_string(total);
  } else {
    message += " takes from " + std::to_string(signature.required) + " to " +
               std::to_string(total);
  }
  message += " positional arguments but " + std::to_string(nargs) +
             (nargs == 1 ? " was given" : " were given");
  throw_type_error(message);
}

void bind_keyword(const Signature& signature, PyObject* name, PyObject* value, PyObject** out) {
  Py_ssize_t length = 0;
  const char* keyword = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &length) : nullptr;
  if (keyword == nullptr) {
    if (PyErr_Occurred()) throw_python_error();
    throw_type_error(std::string(signature.full_name) + " keywords must be strings");
  }
  std::string_view key(keyword, static_cast<size_t>(length));
  size_t index = 0;
  for (const char* parameter : signature.parameters) {
    if (key == parameter) {
      if (out[index] != nullptr) {
        throw_type_error(std::string(signature.full_name) +
                         " got multiple values for argument '" + parameter + "'");
      }
      out[index] = value;
      return;
    }
    ++index;
  }
  throw_type_error(std::string(signature.full_name) + " got an unexpected keyword argument '" +
                   std::string(key) + "'");
}

void check_required(const Signature& signature, PyObject** out) {
  std::vector<const char*> missing;
  size_t index = 0;
  for (const char* parameter : signature.parameters) {
    if (index < signature.required && out[index] == nullptr) missing.push_back(parameter);
    ++index;
  }
  if (missing.empty()) return;
  throw_type_error(std::string(signature.full_name) + " missing " +
                   std::to_string(missing.size()) + " required positional " +
                   (missing.size() == 1 ? "argument: " : "arguments: ") + quoted_list(missing));
}

}  // namespace

void bind_arguments(const Signature& signature, PyObject* const* args, size_t nargs,
                    PyObject* kwnames, PyObject** out) {
  size_t total = signature.parameters.size();
  std::fill(out, out + total, nullptr);
  check_positional_count(signature, nargs);
  for (size_t i = 0; i < nargs; ++i) out[i] = args[i];
  if (kwnames != nullptr) {
    Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
      bind_keyword(signature, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], out);
    }
  }
  check_required(signature, out);
}

void bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                    PyObject** out) {
  size_t total = signature.parameters.size();
  std::fill(out, out + total, nullptr);
  size_t nargs = static_cast<size_t>(PyTuple_GET_SIZE(args));
  check_positional_count(signature, nargs);
  for (size_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject *name, *value;
    while (PyDict_Next(kwargs, &position, &name, &value)) {
      bind_keyword(signature, name, value, out);
    }
  }
  check_required(signature, out);
}

std::string type_qualname(PyObject* object) {
  PyRef name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)),
                                    "__qualname__"));
  const char* text = name && PyUnicode_Check(name.get()) ? PyUnicode_AsUTF8(name.get()) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return "unknown";
  }
  return text;
}

std::string cannot_convert(PyObject* object, const char* expected) {
  // Appended piece by piece: g++ 12 misreports the chained operator+ here (-Wrestrict).
  std::string text = "'";
  text += type_qualname(object);
  text += "' object cannot be converted to '";
  text += expected;
  text += '\'';
  return text;
}

namespace {

[[noreturn]] void throw_argument_error(const char* parameter, PyObject* value,
                                       const char* expected) {
  throw_type_error(std::string("argument '") + parameter + "': " + cannot_convert(value, expected));
}

}  // namespace

std::string_view text_argument(const char* parameter, PyObject* value) {
  if (!PyUnicode_Check(value)) throw_argument_error(parameter, value, "PyString");
  Py_ssize_t length = 0;
  const char* text = PyUnicode_AsUTF8AndSize(value, &length);
  if (text == nullptr) throw_python_error();
  return {text, static_cast<size_t>(length)};
}

PyObject* dict_argument(const char* parameter, PyObject* value) {
  if (!PyDict_Check(value)) throw_argument_error(parameter, value, "PyDict");
  return value;
}

PyObject* list_argument(const char* parameter, PyObject* value) {
  if (!PyList_Check(value)) throw_argument_error(parameter, value, "PyList");
  return value;
}

namespace {

// Whether attribute `name` of `type` is the text `expected`. A type without the attribute
// does not match; any other failure to read it propagates.
bool type_attribute_is(PyObject* type, const char* name, const char* expected) {
  PyRef attribute(PyObject_GetAttrString(type, name));
  if (!attribute) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_python_error();
    PyErr_Clear();
    return false;
  }
  return PyUnicode_Check(attribute.get()) &&
         PyUnicode_CompareWithASCIIString(attribute.get(), expected) == 0;
}

// numpy's boolean scalars are known by their type's module and name (bool_, or bool from
// numpy 2), whatever the type object's internal name says.
bool is_numpy_bool(PyObject* value) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
  return type_attribute_is(type, "__module__", "numpy") &&
         (type_attribute_is(type, "__name__", "bool_") ||
          type_attribute_is(type, "__name__", "bool"));
}

}  // namespace

bool bool_argument(const char* parameter, PyObject* value) {
  if (value == Py_True) return true;
  if (value == Py_False) return false;
  if (is_numpy_bool(value)) {
    int truth = PyObject_IsTrue(value);
    if (truth < 0) throw_python_error();
    return truth != 0;
  }
  throw_argument_error(parameter, value, "PyBool");
}

}  // namespace tovra::python
