// ValuePlace: where inside an argument a value lies that could not be converted, such as
// documents[3]['created']. The converter records the steps while a failure unwinds through its
// containers (innermost first), so nothing is recorded, or costs anything, while conversions
// succeed. It holds a reference to each dict key it records.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <vector>

#include "json/error.h"

namespace tovra::python {

class ValuePlace {
 public:
  ValuePlace() = default;
  ~ValuePlace();
  ValuePlace(const ValuePlace&) = delete;
  ValuePlace& operator=(const ValuePlace&) = delete;

  // The failing value is element `index` of a list, tuple or sequence.
  void add_index(Py_ssize_t index) noexcept;
  // ... is the value under `key` of a dict or mapping (or `key` itself, when it is no str).
  void add_key(PyObject* key) noexcept;
  // ... is an element of a set or frozenset.
  void add_set_element() noexcept;

  // Gives the failure that unwinds the conversion of `argument` the note "at <argument><steps>":
  // a core Error (not an interruption) as its note, a Python exception that is set (an
  // Exception, MemoryError excepted) with add_note. Never throws; a note that cannot be made
  // leaves the failure as it was.
  void note(Error& error, const char* argument) const noexcept;
  void note_raised(const char* argument) const noexcept;

 private:
  // "at documents[3]['created']"; may call repr() of a key, so it runs with no exception set.
  std::string describe(const char* argument) const;

  struct Step {
    PyObject* key;     // a new reference, or null
    Py_ssize_t index;  // without a key: the index, or -1 for an element of a set
  };
  std::vector<Step> steps_;
};

}  // namespace tovra::python
