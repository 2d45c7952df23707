#include "python/str_cache.h"

#include <new>

#include "json/byte_scan.h"
#include "json/utf8.h"

namespace tovra::python {

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

StrCache::~StrCache() {
  if (short_slots_) {
    for (size_t i = 0; i < (size_t{1} << kShortSlotBits); ++i) Py_XDECREF(short_slots_[i].str);
  }
  if (long_key_slots_) {
    for (size_t i = 0; i < (size_t{1} << kLongKeySlotBits); ++i) {
      Py_XDECREF(long_key_slots_[i].str);
    }
  }
}

bool StrCache::make_tables() noexcept {
  if (++asked_ < kStrsBeforeTable) return false;
  short_slots_.reset(new (std::nothrow) ShortSlot[size_t{1} << kShortSlotBits]());
  return short_slots_ != nullptr;
}

PyObject* StrCache::long_key_str(std::string_view key) {
  if (key.size() > kMaxLongKey) return new_str(key);
  if (!long_key_slots_) {
    if (!short_slots_ && !make_tables()) return new_str(key);
    long_key_slots_.reset(new (std::nothrow) LongKeySlot[size_t{1} << kLongKeySlotBits]());
    if (!long_key_slots_) return new_str(key);
  }
  LongKeySlot& slot = long_key_slots_[hash::text(key, kFixedKey) >> (64 - kLongKeySlotBits)];
  if (slot.str != nullptr && slot.length == key.size() &&
      std::memcmp(slot.bytes, key.data(), key.size()) == 0) {
    return Py_NewRef(slot.str);
  }
  PyObject* str = new_str(key);
  if (str == nullptr) return nullptr;
  Py_XSETREF(slot.str, Py_NewRef(str));
  slot.length = static_cast<uint8_t>(key.size());
  std::memcpy(slot.bytes, key.data(), key.size());
  return str;
}

}  // namespace tovra::python
