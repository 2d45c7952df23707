#include "python/convert.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "json/error.h"
#include "json/hash.h"
#include "json/utf8.h"
#include "python/arguments.h"
#include "python/dict_entries.h"
#include "python/errors.h"
#include "python/py_ref.h"
#include "python/value_place.h"

namespace tovra::python {

namespace {


PyRef check(PyObject* new_reference) {
  if (new_reference == nullptr) throw_python_error();
  return PyRef(new_reference);
}

// collections.abc.Sequence or Mapping, imported once per module object and kept in `slot` of
// its state. Returns a new reference.
PyObject* abstract_type(PyObject*& slot, const char* name) {
  if (slot == nullptr) {
    PyRef module = check(PyImport_ImportModule("collections.abc"));
    slot = check(PyObject_GetAttrString(module.get(), name)).release();
  }
  Py_INCREF(slot);
  return slot;
}

// Whether exact int `value` lies on the same side of `bound` (given as decimal text) as `op`
// says. Both are exact ints, so the comparison is int's own and runs no code of the caller's.
bool compare_exact(PyObject* value, const char* bound, int op) {
  PyRef limit = check(PyLong_FromString(bound, nullptr, 10));
  int result = PyObject_RichCompareBool(value, limit.get(), op);
  if (result < 0) throw_python_error();
  return result != 0;
}

// isinstance(object, abc); an instance check that raises is reported as unraisable and counts
// as false.
bool is_instance(PyObject* object, PyObject* abc) {
  int result = PyObject_IsInstance(object, abc);
  if (result < 0) {
    PyErr_WriteUnraisable(object);
    return false;
  }
  return result != 0;
}

class Depythonizer {
 public:
  Depythonizer(ModuleState& state, Arena* arena, bool outermost_in_arena)
      : state_(state), arena_(arena), heap_levels_(outermost_in_arena ? 0 : 1) {}
  ~Depythonizer() {
    for (KeyLayout& layout : layouts_) {
      for (PyObject* key : layout.keys) Py_DECREF(key);
    }
  }
  Depythonizer(const Depythonizer&) = delete;
  Depythonizer& operator=(const Depythonizer&) = delete;

  // Where inside the value the conversion failed, once it has.
  const ValuePlace& place() const noexcept { return place_; }

  JsonValue convert(PyObject* object, int depth) {
    if (--until_signal_check_ == 0) {
      until_signal_check_ = kItemsPerSignalCheck;
      if (PyErr_CheckSignals() != 0) throw_python_error();
    }
    if (object == Py_None) return JsonValue::null();
    PyTypeObject* type = Py_TYPE(object);
    // Exact built-in types first: they behave as the general tests below would decide.
    if (type == &PyUnicode_Type) return string(object, arena_for(depth));
    if (type == &PyLong_Type) return integer(object);
    if (type == &PyFloat_Type) return JsonValue::number(PyFloat_AS_DOUBLE(object));
    if (type == &PyBool_Type) return JsonValue::boolean(object == Py_True);
    if (type == &PyDict_Type) return exact_dict(object, depth);
    if (type == &PyList_Type) return exact_list(object, depth);
    if (type == &PyTuple_Type) return tuple(object, depth);
    return general(object, depth);
  }

  // The documents of insert_many: the items of `list` converted straight into the vector that
  // an empty collection then takes over, so that no array of them is made and copied.
  std::vector<JsonValue> documents(PyObject* list) {
    std::vector<JsonValue> converted(static_cast<size_t>(PyList_GET_SIZE(list)));
    list_items(list, 1, converted);
    return converted;
  }

 private:
  // The tests in their defining order, for every type that is not an exact built-in.
  JsonValue general(PyObject* object, int depth) {
    if (PyLong_Check(object)) return integer(object);
    if (PyList_Check(object) || PyTuple_Check(object)) return sequence(object, depth);
    if (PyDict_Check(object)) return mapping(object, depth);
    if (PyUnicode_Check(object)) return string(object, arena_for(depth));
    if (PyBytes_Check(object)) {
      throw Error::exception("invalid type: byte array, expected any valid JSON value");
    }
    if (PyByteArray_Check(object)) {
      throw Error::type("unexpected type: " + cannot_convert(object, "PyBytes"));
    }
    if (PyFloat_Check(object)) return JsonValue::number(PyFloat_AS_DOUBLE(object));
    if (PyAnySet_Check(object)) return set(object, depth);
    if (is_instance(object, PyRef(abstract_type(state_.sequence_abc, "Sequence")).get())) {
      return sequence(object, depth);
    }
    if (is_instance(object, PyRef(abstract_type(state_.mapping_abc, "Mapping")).get())) {
      return mapping(object, depth);
    }
    throw Error::type("unsupported type " + type_qualname(object));
  }

  static void enter(int depth) {
    if (depth > kMaxNesting) {
      throw Error::value("Value nested too deeply: lists and dicts may nest at most " +
                         std::to_string(kMaxNesting) + " levels");
    }
  }

  // Blocks of the outermost value stay on the heap unless asked otherwise (the list of
  // insert_many is taken apart); everything inside it goes to the arena, when there is one.
  Arena* arena_for(int depth) const noexcept { return depth > heap_levels_ ? arena_ : nullptr; }

  // Short ASCII text, most of what documents hold, inline; everything else out of line.
  static JsonValue string(PyObject* object, Arena* arena) {
#if !defined(__SANITIZE_ADDRESS__)
    if (PyUnicode_IS_COMPACT_ASCII(object)) {
      // Taken with one 16-byte load when those bytes lie in one page (the bytes past the
      // text, read from the str's own page, are dropped).
      const char* data = reinterpret_cast<const char*>(PyUnicode_DATA(object));
      size_t length = static_cast<size_t>(PyUnicode_GET_LENGTH(object));
      if (length <= JsonValue::kInlineCapacity &&
          (reinterpret_cast<uintptr_t>(data) & 4095) <= 4096 - 16) {
        return JsonValue::short_string_of_padded(data, length);
      }
    }
#endif
    return any_string(object, arena);
  }

  [[gnu::noinline]] static JsonValue any_string(PyObject* object, Arena* arena) {
    if (PyUnicode_IS_COMPACT_ASCII(object)) {
      // ASCII text is its own UTF-8, stored right after the object header.
      const char* data = reinterpret_cast<const char*>(PyUnicode_DATA(object));
      return JsonValue::string({data, static_cast<size_t>(PyUnicode_GET_LENGTH(object))}, arena);
    }
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(object) < 0) throw_python_error();
#endif
    // A str that already carries its UTF-8 form (another library asked CPython for it, as
    // JSON encoders do) is copied from there: the same bytes, without encoding them again.
    const auto* compact = reinterpret_cast<const PyCompactUnicodeObject*>(object);
    if (compact->utf8 != nullptr) {
      return JsonValue::string({compact->utf8, static_cast<size_t>(compact->utf8_length)}, arena);
    }
    // Other text is encoded from the str's own representation (1, 2 or 4 bytes per code
    // point) straight into the value: asking CPython for UTF-8 would also keep a copy of it
    // inside the caller's str for as long as the str lives.
    const void* data = PyUnicode_DATA(object);
    size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(object));
    switch (PyUnicode_KIND(object)) {
      case PyUnicode_1BYTE_KIND:
        return encoded(object, static_cast<const uint8_t*>(data), n, arena);
      case PyUnicode_2BYTE_KIND:
        return encoded(object, static_cast<const uint16_t*>(data), n, arena);
      default:
        return encoded(object, static_cast<const uint32_t*>(data), n, arena);
    }
  }

  template <typename Unit>
  static JsonValue encoded(PyObject* object, const Unit* text, size_t n, Arena* arena) {
    size_t length = utf8_length(text, n);
    if (length == kNotEncodable) {
      // A lone surrogate: CPython's own encoder raises its UnicodeEncodeError for it.
      PyRef bytes = check(PyUnicode_AsUTF8String(object));
      throw_python(PyExc_SystemError, "a surrogate escaped the UTF-8 encoder");
    }
    return JsonValue::string_filled(
        length, [&](char* out) { encode_utf8(text, n, out, length); }, arena);
  }

  // An int is judged by its value alone: a subclass's own comparison methods never run.
  static JsonValue integer(PyObject* object) {
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(object, &overflow);
    if (overflow == 0) {
      if (value == -1 && PyErr_Occurred()) throw_python_error();
      return JsonValue::integer(value);
    }
    if (overflow > 0) {
      unsigned long long unsigned_value = PyLong_AsUnsignedLongLong(object);
      if (!(unsigned_value == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
        return JsonValue::uint(unsigned_value);
      }
      PyErr_Clear();
    }
    // An exact copy of the value (an exact int is its own).
    PyRef exact = check(PyNumber_Index(object));
    // Up to 2**128 - 1 and down to -(2**127) the value is a number JSON cannot hold here;
    // beyond that it is too big to convert at all.
    bool within_128_bits =
        overflow > 0
            ? compare_exact(exact.get(), "340282366920938463463374607431768211456", Py_LT)
            : compare_exact(exact.get(), "-170141183460469231731687303715884105728", Py_GE);
    if (within_128_bits) throw Error::exception("JSON number out of range");
    throw_python(PyExc_OverflowError, "int too big to convert");
  }

  JsonValue exact_list(PyObject* list, int depth) {
    enter(depth);  // before the array is allocated for a list nested too deeply
    JsonValue array =
        JsonValue::array(static_cast<size_t>(PyList_GET_SIZE(list)), arena_for(depth));
    list_items(list, depth, array.elements());
    return array;
  }

  // Converts the items of `list`, at `depth` (within the nesting limit), into `elements` (one
  // place for each).
  void list_items(PyObject* list, int depth, std::span<JsonValue> elements) {
    Py_ssize_t length = static_cast<Py_ssize_t>(elements.size());
    // A list of many documents is where dicts repeat their keys.
    if (length >= kListOfDocuments) layouts_enabled_ = true;
    for (Py_ssize_t i = 0; i < length; ++i) {
      // Converting an element may run Python code that shrinks the list.
      if (i >= PyList_GET_SIZE(list)) throw_python(PyExc_IndexError, "list index out of range");
      if (layouts_enabled_) prefetch_documents_after(list, i);
      PyRef item = PyRef::borrow(PyList_GET_ITEM(list, i));
      try {
        elements[static_cast<size_t>(i)] = convert(item.get(), depth + 1);
      } catch (...) {
        place_.add_index(i);
        throw;
      }
    }
  }

  // The dicts of a list of documents lie apart in memory, and so do their values: converting
  // them one by one waits on memory at every dict and at every value. While element i is
  // converted, the dict object four ahead, the entry table of the dict two ahead and the values
  // of the next dict are fetched. Only the addresses are read (no reference is taken, nothing
  // runs), and a prefetch never faults.
  static void prefetch_documents_after(PyObject* list, Py_ssize_t i) noexcept {
    Py_ssize_t length = PyList_GET_SIZE(list);
    if (i + 4 < length) prefetch_line(PyList_GET_ITEM(list, i + 4));
    if (i + 2 < length) {
      PyObject* later = PyList_GET_ITEM(list, i + 2);
      if (PyDict_CheckExact(later)) {
        const char* keys = reinterpret_cast<const char*>(
            reinterpret_cast<PyDictObject*>(later)->ma_keys);
        for (int line = 0; line < 4; ++line) prefetch_line(keys + 64 * line);
      }
    }
    if (i + 1 < length) {
      PyObject* next = PyList_GET_ITEM(list, i + 1);
      if (PyDict_CheckExact(next)) {
        DictEntries entries(next);
        PyObject *key, *value;
        while (entries.next(&key, &value)) prefetch_line(value);
      }
    }
  }

  JsonValue tuple(PyObject* tuple, int depth) {
    enter(depth);
    Py_ssize_t length = PyTuple_GET_SIZE(tuple);
    JsonValue array = JsonValue::array(static_cast<size_t>(length), arena_for(depth));
    std::span<JsonValue> elements = array.elements();
    for (Py_ssize_t i = 0; i < length; ++i) {
      try {
        elements[static_cast<size_t>(i)] = convert(PyTuple_GET_ITEM(tuple, i), depth + 1);
      } catch (...) {
        place_.add_index(i);
        throw;
      }
    }
    return array;
  }

  // len() once, then the items at indices 0 to len - 1, through the object's own methods. The
  // length is only a claim of user code, so memory grows with the items actually produced.
  JsonValue sequence(PyObject* object, int depth) {
    enter(depth);
    Py_ssize_t length = PySequence_Size(object);
    if (length < 0) throw_python_error();
    constexpr Py_ssize_t kTrustedReservation = 4096;
    std::vector<JsonValue> items;
    items.reserve(static_cast<size_t>(std::min(length, kTrustedReservation)));
    for (Py_ssize_t i = 0; i < length; ++i) {
      try {
        PyRef item = check(PySequence_GetItem(object, i));
        items.push_back(convert(item.get(), depth + 1));
      } catch (...) {
        place_.add_index(i);
        throw;
      }
    }
    return JsonValue::array_from(items, arena_for(depth));
  }

  JsonValue set(PyObject* object, int depth) {
    enter(depth);
    PyRef iterator = check(PyObject_GetIter(object));
    std::vector<JsonValue> items;
    items.reserve(static_cast<size_t>(PySet_GET_SIZE(object)));
    while (PyObject* raw = PyIter_Next(iterator.get())) {
      PyRef item(raw);
      try {
        items.push_back(convert(item.get(), depth + 1));
      } catch (...) {
        place_.add_set_element();
        throw;
      }
    }
    if (PyErr_Occurred()) throw_python_error();
    return JsonValue::array_from(items, arena_for(depth));
  }

  JsonMember member(PyObject* key, PyObject* value, int depth) {
    try {
      if (!PyUnicode_Check(key)) {
        throw Error::type("unexpected type: " + cannot_convert(key, "PyString"));
      }
      // A key is kept by its object's shape (interned apart from the arena's blocks), so a
      // long one is not copied into the arena here.
      JsonMember m{string(key, nullptr), JsonValue()};
      m.value = convert(value, depth + 1);
      return m;
    } catch (...) {
      place_.add_key(key);
      throw;
    }
  }

  // Members are gathered on one stack shared by all levels, then sorted into the object.
  JsonValue build_object(size_t first_member, int depth) {
    std::span<JsonMember> members(members_.data() + first_member, members_.size() - first_member);
    JsonValue object = JsonValue::object(members, arena_for(depth));
    members_.resize(first_member);
    return object;
  }

  JsonValue exact_dict(PyObject* dict, int depth) {
    enter(depth);
    // Snapshot the entries, as keys() and values() would, so that Python code run while a
    // value converts cannot change what this dict contributes.
    size_t first_entry = entries_.size();
    entries_.resize(first_entry + 2 * static_cast<size_t>(PyDict_GET_SIZE(dict)));
    PyObject** slot = entries_.data() + first_entry;
    PyObject** const last = entries_.data() + entries_.size();
    DictEntries dict_entries(dict);
    PyObject *entry_key, *entry_value;
    while (slot != last && dict_entries.next(&entry_key, &entry_value)) {
      Py_INCREF(entry_key);
      Py_INCREF(entry_value);
      slot[0] = entry_key;
      slot[1] = entry_value;
      slot += 2;
    }
    // A dict yields as many entries as its size says; should it yield fewer, so be it.
    entries_.resize(static_cast<size_t>(slot - entries_.data()));
    EntryRelease release{entries_, first_entry};
    size_t first_member = members_.size();
    const size_t end = entries_.size();  // nested dicts push and pop above this mark
    size_t count = (end - first_entry) / 2;
    KeyLayout* layout = layouts_enabled_ ? find_layout(first_entry, count) : nullptr;
    if (layout != nullptr) {
      // The keys are known, and so is their order: each value goes straight to its place. The
      // keys are placed and the positions copied first, since converting a value (a nested
      // dict of another layout) may take this slot over.
      uint32_t position[kMaxLayoutKeys];
      for (size_t k = 0; k < count; ++k) position[k] = layout->position[k];
      if (Arena* arena = arena_for(depth); arena != nullptr) {
        // An object in the arena takes the layout's shape: only its values are written.
        JsonValue object = JsonValue::object_of_shape(shape_of(*layout, arena), arena);
        layout = nullptr;
        JsonValue* values = object.values().data();
        for (size_t k = 0; k < count; ++k) {
          try {
            values[position[k]] = convert(entries_[first_entry + 2 * k + 1], depth + 1);
          } catch (...) {
            place_.add_key(entries_[first_entry + 2 * k]);
            throw;
          }
        }
        return object;
      }
      members_.resize(first_member + count);
      for (size_t k = 0; k < count; ++k) {
        members_[first_member + position[k]].key = layout->converted[k];
      }
      layout = nullptr;
      for (size_t k = 0; k < count; ++k) {
        try {
          JsonValue value = convert(entries_[first_entry + 2 * k + 1], depth + 1);
          members_[first_member + position[k]].value = std::move(value);
        } catch (...) {
          place_.add_key(entries_[first_entry + 2 * k]);
          throw;
        }
      }
      std::span<JsonMember> members(members_.data() + first_member, count);
      JsonValue object = JsonValue::object_from_sorted(members, arena_for(depth));
      members_.resize(first_member);
      return object;
    }
    for (size_t i = first_entry; i < end; i += 2) {
      JsonMember m = member(entries_[i], entries_[i + 1], depth);
      members_.push_back(std::move(m));
    }
    if (layouts_enabled_) remember(victim(first_entry, count), first_entry, first_member, count);
    return build_object(first_member, depth);
  }

  // Dicts of one insert_many mostly share their keys: the same str objects in the same order.
  // A layout remembers one such sequence, the keys converted and where each entry goes in key
  // order, so that a dict of a known layout skips converting and sorting its keys. It holds
  // references to its keys, so that a match by identity is never a new str at an old address.
  // Only exact str keys short enough to own no memory are remembered: such keys are distinct
  // in a dict and copy for free.
  struct KeyLayout {
    std::vector<PyObject*> keys;
    std::vector<JsonValue> converted;
    std::vector<uint32_t> position;  // position[k]: where entry k goes in key order
    const Shape* shape = nullptr;    // the keys interned in the arena, once asked for
    uint64_t last_used = 0;
  };

  const Shape* shape_of(KeyLayout& layout, Arena* arena) {
    if (layout.shape == nullptr) {
      std::vector<JsonValue> sorted(layout.converted.size());
      for (size_t k = 0; k < sorted.size(); ++k) sorted[layout.position[k]] = layout.converted[k];
      layout.shape = Shape::intern(*arena, std::span<const JsonValue>(sorted));
    }
    return layout.shape;
  }
  static constexpr size_t kLayoutSlots = 8;
  static constexpr size_t kMaxLayoutKeys = 64;
  static constexpr Py_ssize_t kListOfDocuments = 8;

  // A layout may sit in either of two slots, so that a document and a dict nested in it
  // that hash to the same slot do not take it from each other at every document.
  std::pair<size_t, size_t> layout_slots(size_t first_entry, size_t count) const noexcept {
    if (count == 0) return {0, 1};
    auto first = reinterpret_cast<uintptr_t>(entries_[first_entry]);
    auto last = reinterpret_cast<uintptr_t>(entries_[first_entry + 2 * (count - 1)]);
    uint64_t h = (first ^ (last << 7) ^ count) * hash::kGolden;
    size_t one = static_cast<size_t>(h >> 61) & (kLayoutSlots - 1);
    size_t other = static_cast<size_t>(h >> 58) & (kLayoutSlots - 1);
    return {one, other != one ? other : one ^ 1};
  }

  KeyLayout* find_layout(size_t first_entry, size_t count) noexcept {
    auto [one, other] = layout_slots(first_entry, count);
    for (size_t slot : {one, other}) {
      if (matches(layouts_[slot], first_entry, count)) {
        layouts_[slot].last_used = ++layout_clock_;
        return &layouts_[slot];
      }
    }
    return nullptr;
  }

  // The slot that a new layout takes: the one of its two used longer ago.
  KeyLayout& victim(size_t first_entry, size_t count) noexcept {
    auto [one, other] = layout_slots(first_entry, count);
    return layouts_[layouts_[one].last_used <= layouts_[other].last_used ? one : other];
  }

  bool matches(const KeyLayout& layout, size_t first_entry, size_t count) const noexcept {
    if (layout.keys.size() != count || count == 0) return false;
    for (size_t k = 0; k < count; ++k) {
      if (layout.keys[k] != entries_[first_entry + 2 * k]) return false;
    }
    return true;
  }

  // Takes the keys just converted at members_[first_member, + count) as the slot's layout,
  // when they qualify. Never throws: without memory the slot is left empty.
  void remember(KeyLayout& layout, size_t first_entry, size_t first_member,
                size_t count) noexcept {
    if (count == 0 || count > kMaxLayoutKeys) return;
    for (size_t k = 0; k < count; ++k) {
      if (!PyUnicode_CheckExact(entries_[first_entry + 2 * k]) ||
          members_[first_member + k].key.has_block()) {
        return;
      }
    }
    for (PyObject* key : layout.keys) Py_DECREF(key);
    layout.keys.clear();
    layout.shape = nullptr;
    try {
      std::vector<uint32_t> order(count);
      for (size_t k = 0; k < count; ++k) order[k] = static_cast<uint32_t>(k);
      std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
        return compare_key_bytes(members_[first_member + a].key_view(),
                                 members_[first_member + b].key_view()) < 0;
      });
      layout.position.resize(count);
      for (size_t j = 0; j < count; ++j) layout.position[order[j]] = static_cast<uint32_t>(j);
      layout.converted.clear();
      for (size_t k = 0; k < count; ++k) layout.converted.push_back(members_[first_member + k].key);
      layout.keys.reserve(count);
    } catch (const std::bad_alloc&) {
      return;
    }
    for (size_t k = 0; k < count; ++k) {
      PyObject* key = entries_[first_entry + 2 * k];
      Py_INCREF(key);
      layout.keys.push_back(key);
    }
    layout.last_used = ++layout_clock_;
  }

  // keys(), values() and len() of any mapping, then the entries in index order.
  JsonValue mapping(PyObject* object, int depth) {
    enter(depth);
    PyRef keys = check(PyMapping_Keys(object));
    PyRef values = check(PyMapping_Values(object));
    Py_ssize_t length = PyMapping_Size(object);
    if (length < 0) throw_python_error();
    size_t first_member = members_.size();
    for (Py_ssize_t i = 0; i < length; ++i) {
      if (i >= PyList_GET_SIZE(keys.get()) || i >= PyList_GET_SIZE(values.get())) {
        throw_python(PyExc_IndexError, "list index out of range");
      }
      PyRef key = PyRef::borrow(PyList_GET_ITEM(keys.get(), i));
      PyRef value = PyRef::borrow(PyList_GET_ITEM(values.get(), i));
      JsonMember m = member(key.get(), value.get(), depth);
      members_.push_back(std::move(m));
    }
    return build_object(first_member, depth);
  }

  // Releases the snapshot references of one dict, whether its conversion succeeded or not.
  struct EntryRelease {
    std::vector<PyObject*>& entries;
    size_t first;
    ~EntryRelease() {
      for (size_t i = first; i < entries.size(); ++i) Py_DECREF(entries[i]);
      entries.resize(first);
    }
  };

  ModuleState& state_;
  Arena* arena_;
  int heap_levels_;
  // Where the value that failed lies, recorded as the failure unwinds.
  ValuePlace place_;
  bool layouts_enabled_ = false;
  KeyLayout layouts_[kLayoutSlots];
  uint64_t layout_clock_ = 0;
  std::vector<JsonMember> members_;
  std::vector<PyObject*> entries_;
  uint32_t until_signal_check_ = kItemsPerSignalCheck;
};

}  // namespace

// Runs `convert`; a failure carries a note of where inside `argument` it happened.
template <typename Convert>
auto noting_place(const Depythonizer& converter, const char* argument, Convert&& convert) {
  try {
    return convert();
  } catch (Error& error) {
    converter.place().note(error, argument);
    throw;
  } catch (const PythonErrorSet&) {
    converter.place().note_raised(argument);
    throw;
  }
}

JsonValue depythonize(ModuleState& state, PyObject* object, const char* argument, Arena* arena,
                      bool outermost_in_arena) {
  Depythonizer converter(state, arena, outermost_in_arena);
  return noting_place(converter, argument, [&] { return converter.convert(object, 1); });
}

std::vector<JsonValue> depythonize_documents(ModuleState& state, PyObject* list,
                                             const char* argument, Arena* arena) {
  Depythonizer converter(state, arena, /*outermost_in_arena=*/false);
  return noting_place(converter, argument, [&] {
    if (PyList_CheckExact(list)) return converter.documents(list);
    // A subclass of list is read through its own methods, as any sequence is.
    JsonValue array = converter.convert(list, 1);
    std::span<JsonValue> elements = array.elements();
    return std::vector<JsonValue>(std::make_move_iterator(elements.begin()),
                                  std::make_move_iterator(elements.end()));
  });
}

}  // namespace tovra::python
