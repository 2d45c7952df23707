#include "python/convert.h"

#include <cstdint>
#include <new>
#include <string_view>
#include <vector>

#include "json/hash.h"
#include "json/invariant.h"
#include "python/errors.h"
#include "python/py_ref.h"
#include "python/str_cache.h"

namespace tovra::python {

namespace {

// Disables the cyclic collector while a result is built, which saves most of the cost of
// creating many containers. The conversion itself runs no Python code of the caller's, but it
// runs signal handlers (every kItemsPerSignalCheck items, so that Ctrl-C stops it): a handler
// that looks at the collector sees it disabled, and the objects it makes are not collected
// until the result is done. The collector is enabled again however the conversion ends.
class CollectorPause {
 public:
  CollectorPause() noexcept : was_enabled_(PyGC_Disable() != 0) {}
  ~CollectorPause() {
    if (was_enabled_) PyGC_Enable();
  }
  CollectorPause(const CollectorPause&) = delete;
  CollectorPause& operator=(const CollectorPause&) = delete;

 private:
  bool was_enabled_;
};

class Pythonizer {
 public:
  Pythonizer() = default;
  ~Pythonizer() {
    for (ShapeSlot& slot : shapes_) slot.release();
  }
  Pythonizer(const Pythonizer&) = delete;
  Pythonizer& operator=(const Pythonizer&) = delete;

  // A new reference, or null with the exception set.
  PyObject* convert(const JsonValue& value) {
    if (--until_signal_check_ == 0) {
      until_signal_check_ = kItemsPerSignalCheck;
      if (PyErr_CheckSignals() != 0) return nullptr;
    }
    switch (value.type()) {
      case JsonType::kNull:
        Py_RETURN_NONE;
      case JsonType::kBool:
        return PyBool_FromLong(value.as_bool());
      case JsonType::kUInt:
        return PyLong_FromUnsignedLongLong(value.as_uint());
      case JsonType::kInt:
        return PyLong_FromLongLong(value.as_int());
      case JsonType::kDouble:
        return PyFloat_FromDouble(value.as_double());
      case JsonType::kString:
        if (value.short_string_bytes() != nullptr) return strs_.short_str(value);
        return new_str(value.as_string());
      case JsonType::kArray:
        return list(value.elements());
      case JsonType::kObject:
        return dict(value);
    }
    return nullptr;
  }

  PyObject* list(std::span<const JsonValue> values) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(values.size()));
    if (list == nullptr) return nullptr;
    for (size_t i = 0; i < values.size(); ++i) {
      PyObject* item = convert(values[i]);
      if (item == nullptr) {
        Py_DECREF(list);
        return nullptr;
      }
      PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
    }
    return list;
  }

 private:
  PyObject* dict(const JsonValue& object) {
    const size_t size = object.size();
    PyObject* dict = _PyDict_NewPresized(static_cast<Py_ssize_t>(size));
    if (dict == nullptr || size == 0) return dict;
    const Shape* shape = object.shape();
    ShapeSlot& slot = shapes_[hash::pointer(shape) & (kShapeSlots - 1)];
    bool filled;
    if (slot.shape == shape || slot.users == 0) {
      // The slot is not being read by an enclosing dict: it may take this shape's keys.
      filled = slot.shape == shape || slot.take(shape, *this);
      if (filled) {
        ++slot.users;
        filled = fill(dict, slot.keys.data(), object.values());
        --slot.users;
      }
    } else {
      ShapeSlot own;
      filled = own.take(shape, *this) && fill(dict, own.keys.data(), object.values());
      own.release();
    }
    if (!filled) {
      Py_DECREF(dict);
      return nullptr;
    }
    return dict;
  }

  bool fill(PyObject* dict, PyObject* const* keys, std::span<const JsonValue> values) {
    for (size_t i = 0; i < values.size(); ++i) {
      PyObject* value = convert(values[i]);
      if (value == nullptr) return false;
      int failed = PyDict_SetItem(dict, keys[i], value);
      Py_DECREF(value);
      if (failed < 0) return false;
    }
    return true;
  }

  // The strs of keys and short string values (str_cache.h).
  StrCache strs_;

  // The key strings of a shape, made once per shape (a str is immutable, so sharing one between
  // dicts cannot be observed). Objects of one arena share a few shapes, so a handful of
  // recently seen shapes keep theirs. A slot that an enclosing dict is reading (users > 0) is
  // never taken over: a nested dict of another shape then makes its keys for itself.
  static constexpr size_t kShapeSlots = 16;
  struct ShapeSlot {
    const Shape* shape = nullptr;  // null: the keys belong to no shape that may be met again
    std::vector<PyObject*> keys;   // new references
    int users = 0;

    // Makes the keys of `shape`; false with the exception set.
    bool take(const Shape* new_shape, Pythonizer& converter) {
      release();
      std::span<const JsonValue> shape_keys = new_shape->keys();
      try {
        keys.reserve(shape_keys.size());
      } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
      }
      for (const JsonValue& key : shape_keys) {
        PyObject* str = converter.strs_.key_str(key);
        if (str == nullptr) {
          release();
          return false;
        }
        keys.push_back(str);
      }
      // Only a shape that an arena shares stays the same for as long as its address does.
      if (new_shape->owner() != nullptr) shape = new_shape;
      return true;
    }
    void release() noexcept {
      for (PyObject* key : keys) Py_DECREF(key);
      keys.clear();
      shape = nullptr;
    }
  };
  ShapeSlot shapes_[kShapeSlots];
  uint32_t until_signal_check_ = kItemsPerSignalCheck;
};

}  // namespace

PyObject* pythonize(const Collection& collection) {
  Collection::ReadGuard guard(collection);
  CollectorPause pause;
  Pythonizer converter;
  const std::vector<JsonValue>& documents = guard.documents();
  PyObject* list = converter.list(documents);
  if (list == nullptr) throw_python_error();
  return list;
}

PyObject* pythonize(const FindResult& result) {
  Collection::ReadGuard guard(*result.source());
  CollectorPause pause;
  Pythonizer converter;
  PyRef list(PyList_New(static_cast<Py_ssize_t>(result.size())));
  if (!list) throw_python_error();
  Py_ssize_t filled = 0;
  result.for_each(guard.documents(), [&](const JsonValue& document) {
    PyObject* item = converter.convert(document);
    if (item == nullptr) throw_python_error();
    PyList_SET_ITEM(list.get(), filled++, item);
  });
  TOVRA_ASSERT(filled == static_cast<Py_ssize_t>(result.size()));
  return list.release();
}

}  // namespace tovra::python
