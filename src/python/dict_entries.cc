#include "python/dict_entries.h"

#include <vector>

namespace tovra::python {

namespace {

// Whether DictEntries gives what PyDict_Next gives for `dict`.
bool same_as_next(PyObject* dict) {
  std::vector<PyObject*> expected;
  Py_ssize_t position = 0;
  PyObject *key, *value;
  while (PyDict_Next(dict, &position, &key, &value)) {
    expected.push_back(key);
    expected.push_back(value);
  }
  DictEntries entries(dict);
  size_t i = 0;
  while (entries.next(&key, &value)) {
    if (i + 2 > expected.size() || expected[i] != key || expected[i + 1] != value) return false;
    i += 2;
  }
  return i == expected.size();
}

// Reads two probe dicts, one of str keys and one of other keys, each with a deleted entry and
// more entries than fit its first table. False when the layout is not the expected one, or
// when the probes cannot be made.
bool probe() {
  bool good = true;
  for (int general = 0; general < 2 && good; ++general) {
    PyObject* dict = PyDict_New();
    good = dict != nullptr;
    for (long i = 0; i < 12 && good; ++i) {
      PyObject* key = general ? PyLong_FromLong(i * 7919) : PyUnicode_FromFormat("k%ld", i);
      PyObject* value = PyLong_FromLong(i);
      good = key != nullptr && value != nullptr && PyDict_SetItem(dict, key, value) == 0;
      if (good && i == 3) good = PyDict_DelItem(dict, key) == 0;
      Py_XDECREF(key);
      Py_XDECREF(value);
    }
    if (good) good = same_as_next(dict);
    Py_XDECREF(dict);
  }
  if (PyErr_Occurred()) PyErr_Clear();
  return good;
}

}  // namespace

bool check_dict_entries() noexcept {
  // The probe reads in place as DictEntries does once trusted; it runs no Python code.
  dict_entries_state = 1;
  try {
    dict_entries_state = probe() ? 1 : -1;
  } catch (...) {
    dict_entries_state = -1;
  }
  return dict_entries_state > 0;
}

}  // namespace tovra::python
