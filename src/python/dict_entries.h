// DictEntries: the (key, value) entries of an exact dict, visited in its iteration order.
//
// PyDict_Next costs some forty instructions an entry, and converting a list of documents visits
// every entry twice (once to fetch its value ahead, once to take it). On the interpreters whose
// dict layout is known here (CPython 3.11 to 3.14 with the GIL), a dict with a combined table
// is read in place instead: its entries follow the index table, each a key and a value (after
// a cached hash when not all keys are str), and a deleted entry has no value. Split tables (the
// dicts of instances), other interpreters, and a layout that fails the check made once per
// process against PyDict_Next take PyDict_Next. Either way the entries are those PyDict_Next
// gives, in its order. The dict must not change during the visit (no Python code may run);
// references are borrowed.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace tovra::python {

// Whether this interpreter's combined dict tables read as DictEntries expects: 0 until checked,
// then 1 or -1. Read and written with the GIL held.
inline int dict_entries_state = 0;
bool check_dict_entries() noexcept;
inline bool dict_entries_readable() noexcept {
  return dict_entries_state > 0 || (dict_entries_state == 0 && check_dict_entries());
}

class DictEntries {
 public:
  explicit DictEntries(PyObject* dict) noexcept : dict_(dict) {
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030F0000 && !defined(Py_GIL_DISABLED)
    const auto* object = reinterpret_cast<const PyDictObject*>(dict);
    if (object->ma_values == nullptr && dict_entries_readable()) {
      const auto* keys = reinterpret_cast<const KeysHeader*>(object->ma_keys);
      const char* indices = reinterpret_cast<const char*>(keys + 1);
      const bool general = keys->kind == kGeneralKeys;
      cursor_ = indices + (size_t{1} << keys->log2_index_bytes) + (general ? sizeof(Py_hash_t) : 0);
      end_ = cursor_ + static_cast<size_t>(keys->entries) * (general ? 24 : 16);
      stride_ = general ? 24 : 16;
      direct_ = true;
    }
#endif
  }

  // The next entry; false after the last.
  bool next(PyObject** key, PyObject** value) noexcept {
    if (!direct_) return PyDict_Next(dict_, &position_, key, value) != 0;
    for (; cursor_ != end_; cursor_ += stride_) {
      PyObject* found = reinterpret_cast<PyObject* const*>(cursor_)[1];
      if (found != nullptr) {
        *key = reinterpret_cast<PyObject* const*>(cursor_)[0];
        *value = found;
        cursor_ += stride_;
        return true;
      }
    }
    return false;
  }

 private:
  // The head of the keys object of a combined table, as these interpreters lay it out; the
  // index table follows it, then the entries.
  struct KeysHeader {
    Py_ssize_t refcnt;
    uint8_t log2_size;
    uint8_t log2_index_bytes;
    uint8_t kind;
    uint32_t version;
    Py_ssize_t usable;
    Py_ssize_t entries;
  };
  static constexpr uint8_t kGeneralKeys = 0;

  PyObject* dict_;
  Py_ssize_t position_ = 0;
  const char* cursor_ = nullptr;  // at the key of the next entry to look at
  const char* end_ = nullptr;
  size_t stride_ = 0;
  bool direct_ = false;
};

}  // namespace tovra::python
