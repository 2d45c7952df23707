#include "python/value_place.h"

#include <new>

#include "python/errors.h"
#include "python/py_ref.h"

namespace tovra::python {

namespace {

// Keys are shown as repr() shows them, cut to a readable length.
constexpr Py_ssize_t kLongestKey = 60;

std::string key_text(PyObject* key) {
  PyRef repr(PyObject_Repr(key));
  if (!repr) {
    PyErr_Clear();
    return "<key>";
  }
  Py_ssize_t length = PyUnicode_GET_LENGTH(repr.get());
  if (length > kLongestKey) {
    repr = PyRef(PyUnicode_Substring(repr.get(), 0, kLongestKey - 3));
    if (!repr) {
      PyErr_Clear();
      return "<key>";
    }
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(repr.get(), &size);
  if (utf8 == nullptr) {
    PyErr_Clear();
    return "<key>";
  }
  std::string text(utf8, static_cast<size_t>(size));
  if (length > kLongestKey) text += "...";
  return text;
}

}  // namespace

ValuePlace::~ValuePlace() {
  for (const Step& step : steps_) Py_XDECREF(step.key);
}

void ValuePlace::add_index(Py_ssize_t index) noexcept {
  try {
    steps_.push_back({nullptr, index});
  } catch (const std::bad_alloc&) {
  }
}

void ValuePlace::add_key(PyObject* key) noexcept {
  try {
    steps_.push_back({key, 0});
    Py_INCREF(key);
  } catch (const std::bad_alloc&) {
  }
}

void ValuePlace::add_set_element() noexcept { add_index(-1); }

std::string ValuePlace::describe(const char* argument) const {
  std::string text = "at ";
  text += argument;
  for (auto step = steps_.rbegin(); step != steps_.rend(); ++step) {
    if (step->key != nullptr) {
      text += "[" + key_text(step->key) + "]";
    } else if (step->index >= 0) {
      text += "[" + std::to_string(step->index) + "]";
    } else {
      text += " (an element of a set)";
    }
  }
  return text;
}

void ValuePlace::note(Error& error, const char* argument) const noexcept {
  if (error.kind() == ErrorKind::kInterrupted || !error.note().empty()) return;
  try {
    error.set_note(describe(argument));
  } catch (const std::bad_alloc&) {
  }
}

void ValuePlace::note_raised(const char* argument) const noexcept {
  RaisedException raised;
  PyObject* exception = raised.value();
  if (exception == nullptr || !PyErr_GivenExceptionMatches(exception, PyExc_Exception) ||
      PyErr_GivenExceptionMatches(exception, PyExc_MemoryError)) {
    return;
  }
  try {
    if (!add_note(exception, describe(argument))) PyErr_Clear();
  } catch (const std::bad_alloc&) {
  }
}

}  // namespace tovra::python
