// StrCache: the strs that one conversion to Python makes for the text of keys and short
// string values, reused while their slot keeps them.
//
// Object keys repeat across documents, and so do short values (tags, cities, codes, dates). A
// str is immutable and equal by value, so handing out one str for equal text can be told only
// by an identity check (`is`). Keys and short values (at most JsonValue::kInlineCapacity bytes)
// share one table, keyed by the 16-byte image of the short string (json_value.h: the text, its
// zero padding, the length and the tag), which two words compare and hash: equal text, equal
// image. Keys of up to kMaxLongKey bytes past that have a small table of their own, keyed by
// their text; longer keys and long values get a str of their own each time.
//
// Both tables are direct-mapped: a text that hashes to a taken slot takes it over, so a
// collision costs one str made again and never a longer search. That is why their hashes
// (json/hash.h) take a fixed key instead of the per-process seed of the shape table: text
// crafted to collide can at worst make a conversion as slow as one without the cache. A small
// result (a lookup by key) is converted without the tables, which are made once a conversion
// has asked for kStrsBeforeTable strs, and never when memory for them is lacking. Slots hold a
// reference each until the cache goes. One conversion, one thread: the interpreter lock.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include "json/hash.h"
#include "json/invariant.h"
#include "json/json_value.h"

namespace tovra::python {

// A new str of valid UTF-8 `text` (the kind of str that decoding it would give), or null
// with the exception set.
PyObject* new_str(std::string_view text);

class StrCache {
 public:
  StrCache() = default;
  ~StrCache();
  StrCache(const StrCache&) = delete;
  StrCache& operator=(const StrCache&) = delete;

  // A new reference to a str of the short string `text` (short_string_bytes() not null), or
  // null with the exception set.
  PyObject* short_str(const JsonValue& text) {
    const uint8_t* image = text.short_string_bytes();
    TOVRA_ASSERT(image != nullptr && text.has_zero_padding());
    // The text, read from the image: byte 14 is its length.
    const std::string_view bytes(reinterpret_cast<const char*>(image), image[14]);
    if (!short_slots_ && !make_tables()) return new_str(bytes);
    uint64_t words[2];
    std::memcpy(words, image, 16);
    ShortSlot& slot = short_slots_[hash::short_image(image, kFixedKey) >> (64 - kShortSlotBits)];
    if (slot.str != nullptr && slot.words[0] == words[0] && slot.words[1] == words[1]) {
      return Py_NewRef(slot.str);
    }
    PyObject* str = new_str(bytes);
    if (str == nullptr) return nullptr;
    Py_XSETREF(slot.str, Py_NewRef(str));
    slot.words[0] = words[0];
    slot.words[1] = words[1];
    return str;
  }

  // A new reference to a str of the object key `key` (a string), or null with the exception
  // set.
  PyObject* key_str(const JsonValue& key) {
    if (key.short_string_bytes() != nullptr) return short_str(key);
    return long_key_str(key.as_string());
  }

 private:
  static constexpr unsigned kShortSlotBits = 10;
  static constexpr unsigned kLongKeySlotBits = 7;
  static constexpr size_t kMaxLongKey = 30;
  static constexpr uint32_t kStrsBeforeTable = 64;
  // The hash key of the tables: fixed, as direct-mapped tables need no seed (see above).
  static constexpr uint64_t kFixedKey = 0;

  struct ShortSlot {
    uint64_t words[2] = {0, 0};  // the image of the text that `str` is made of
    PyObject* str = nullptr;
  };
  struct LongKeySlot {
    PyObject* str = nullptr;
    uint8_t length = 0;
    char bytes[kMaxLongKey];
  };

  // Whether the tables are there, made once enough strs have been asked for.
  bool make_tables() noexcept;
  PyObject* long_key_str(std::string_view key);

  std::unique_ptr<ShortSlot[]> short_slots_;
  std::unique_ptr<LongKeySlot[]> long_key_slots_;  // made at the first long key after that
  uint32_t asked_ = 0;
};

}  // namespace tovra::python
