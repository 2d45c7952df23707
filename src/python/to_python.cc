#include "python/convert.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <vector>

#include "json/byte_scan.h"
#include "json/invariant.h"
#include "json/utf8.h"
#include "python/errors.h"
#include "python/py_ref.h"

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

PyObject* new_str(std::string_view text) {
  // One character below U+0100: the interpreter's own shared str, as decoding gives.
  if (text.size() == 1) return PyUnicode_FromOrdinal(static_cast<unsigned char>(text[0]));
  if (text.size() == 2 && (static_cast<unsigned char>(text[0]) & 0xFE) == 0xC2) {
    return PyUnicode_FromOrdinal(((static_cast<unsigned char>(text[0]) & 0x1F) << 6) |
                                 (static_cast<unsigned char>(text[1]) & 0x3F));
  }
  if (is_ascii(text.data(), text.size())) {
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127);
    if (str == nullptr) return nullptr;
    std::memcpy(PyUnicode_DATA(str), text.data(), text.size());
    return str;
  }
  // Stored text is valid UTF-8: its widest code point decides the kind of str, which is then
  // filled in place (the same str that decoding would give, without its checks and regrowth).
  Utf8Shape shape = utf8_shape(text);
  Py_UCS4 widest = shape.width == 1 ? 0xFF : (shape.width == 2 ? 0xFFFF : 0x10FFFF);
  PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(shape.code_points), widest);
  if (str == nullptr) return nullptr;
  void* data = PyUnicode_DATA(str);
  switch (PyUnicode_KIND(str)) {
    case PyUnicode_1BYTE_KIND:
      decode_utf8(text, static_cast<uint8_t*>(data), shape.code_points);
      break;
    case PyUnicode_2BYTE_KIND:
      decode_utf8(text, static_cast<uint16_t*>(data), shape.code_points);
      break;
    default:
      decode_utf8(text, static_cast<uint32_t*>(data), shape.code_points);
      break;
  }
  return str;
}

class Pythonizer {
 public:
  Pythonizer() = default;
  ~Pythonizer() {
    if (keys_) {
      for (size_t i = 0; i < kKeySlots; ++i) Py_XDECREF(keys_[i].str);
    }
    for (ShapeSlot& slot : shapes_) slot.release();
    if (short_strs_) {
      for (size_t i = 0; i < (size_t{1} << kShortSlotBits); ++i) Py_XDECREF(short_strs_[i].str);
    }
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
        if (const uint8_t* bytes = value.short_string_bytes()) {
          TOVRA_ASSERT(value.has_zero_padding());
          return short_str(bytes);
        }
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
    ShapeSlot& slot = shapes_[(reinterpret_cast<uintptr_t>(shape) >> 4) & (kShapeSlots - 1)];
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

  // Object keys repeat across documents: recently made key strings are reused (a str is
  // immutable, so sharing one between dicts cannot be observed). Returns a new reference.
  PyObject* key_str(std::string_view key) {
    if (key.size() > kMaxCachedKey) return new_str(key);
    if (!keys_) {
      // A small result (a lookup by key) makes its few keys without the table.
      if (++keys_made_ >= kKeysBeforeTable) keys_.reset(new (std::nothrow) KeySlot[kKeySlots]());
      if (!keys_) return new_str(key);
    }
    KeySlot& slot = keys_[slot_of(key)];
    if (slot.str != nullptr && slot.length == key.size() &&
        std::memcmp(slot.bytes, key.data(), key.size()) == 0) {
      Py_INCREF(slot.str);
      return slot.str;
    }
    PyObject* str = new_str(key);
    if (str == nullptr) return nullptr;
    Py_XDECREF(slot.str);
    Py_INCREF(str);
    slot.str = str;
    slot.length = static_cast<uint8_t>(key.size());
    std::memcpy(slot.bytes, key.data(), key.size());
    return str;
  }

  static size_t slot_of(std::string_view key) noexcept {
    uint64_t h = 1469598103934665603ull ^ key.size();
    for (unsigned char c : key) h = (h ^ c) * 1099511628211ull;
    return static_cast<size_t>(h >> 32) & (kKeySlots - 1);
  }

  // Short values repeat across documents too (tags, cities, states, codes): a str made for the
  // 16 bytes of one is reused while its slot keeps it. Returns a new reference.
  // The 16 bytes are the short string's, zero-padded (json/json_value.h): equal text, equal key.
  PyObject* short_str(const uint8_t* bytes) {
    uint64_t low, high;
    std::memcpy(&low, bytes, 8);
    std::memcpy(&high, bytes + 8, 8);
    uint64_t hash = (low * 0x9e3779b97f4a7c15ull) ^ (high * 0xc2b2ae3d27d4eb4full);
    if (!short_strs_) {
      // A small result is converted without the table, and so is everything when memory for
      // it is lacking.
      if (++short_strs_made_ >= kShortStrsBeforeTable) {
        short_strs_.reset(new (std::nothrow) ShortSlot[size_t{1} << kShortSlotBits]());
      }
      if (!short_strs_) return new_str({reinterpret_cast<const char*>(bytes), bytes[14]});
    }
    ShortSlot& slot = short_strs_[hash >> (64 - kShortSlotBits)];
    if (slot.str != nullptr && slot.low == low && slot.high == high) {
      Py_INCREF(slot.str);
      return slot.str;
    }
    PyObject* str = new_str({reinterpret_cast<const char*>(bytes), bytes[14]});
    if (str == nullptr) return nullptr;
    Py_XSETREF(slot.str, Py_NewRef(str));
    slot.low = low;
    slot.high = high;
    return str;
  }

  static constexpr unsigned kShortSlotBits = 10;
  struct ShortSlot {
    uint64_t low = 0;
    uint64_t high = 0;
    PyObject* str = nullptr;
  };
  static constexpr uint32_t kShortStrsBeforeTable = 64;
  std::unique_ptr<ShortSlot[]> short_strs_;  // made once a conversion meets many short strings
  uint32_t short_strs_made_ = 0;

  static constexpr size_t kMaxCachedKey = 30;
  static constexpr size_t kKeySlots = 256;
  struct KeySlot {
    PyObject* str = nullptr;
    uint8_t length = 0;
    char bytes[kMaxCachedKey];
  };
  static constexpr uint32_t kKeysBeforeTable = 32;
  std::unique_ptr<KeySlot[]> keys_;  // made once a conversion has made a few keys
  uint32_t keys_made_ = 0;

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
        PyObject* str = converter.key_str(key.as_string());
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
