#include "json/json_value.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <new>

#include "json/error.h"

namespace tovra {

// Key prefixes are read as words and swapped to big-endian order for comparison.
static_assert(std::endian::native == std::endian::little);

namespace {

uint32_t checked_size(size_t n) {
  if (n > std::numeric_limits<uint32_t>::max()) {
    throw Error::value("JSON value too large");
  }
  return static_cast<uint32_t>(n);
}

bool key_less(const JsonMember& a, const JsonMember& b) noexcept {
  return compare_key_bytes(a.key_view(), b.key_view()) < 0;
}

}  // namespace

JsonValue JsonValue::boolean(bool b) noexcept {
  JsonValue v;
  v.bytes_[0] = b ? 1 : 0;
  v.set_tag(JsonType::kBool);
  return v;
}

JsonValue JsonValue::uint(uint64_t u) noexcept {
  JsonValue v;
  v.store(u);
  v.set_tag(JsonType::kUInt);
  return v;
}

JsonValue JsonValue::integer(int64_t i) noexcept {
  if (i >= 0) return uint(static_cast<uint64_t>(i));
  JsonValue v;
  v.store(i);
  v.set_tag(JsonType::kInt);
  return v;
}

JsonValue JsonValue::number(double d) noexcept {
  JsonValue v;
  if (!std::isfinite(d)) return v;
  v.store(d);
  v.set_tag(JsonType::kDouble);
  return v;
}

JsonValue JsonValue::string_block(size_t size, Arena* arena) {
  JsonValue v;
  uint32_t n = checked_size(size);
  v.store(allocate_block(n, arena));
  v.store_size(n);
  v.set_tag(JsonType::kString, kHeapFlag | block_flag(arena));
  return v;
}

JsonValue JsonValue::block_string(std::string_view text, Arena* arena) {
  JsonValue v = string_block(text.size(), arena);
  std::memcpy(v.load_ptr(), text.data(), text.size());
  return v;
}

JsonValue JsonValue::array(size_t size, Arena* arena) {
  JsonValue v;
  uint32_t n = checked_size(size);
  JsonValue* block = nullptr;
  if (n > 0) {
    block = static_cast<JsonValue*>(allocate_block(n * sizeof(JsonValue), arena));
    std::uninitialized_default_construct_n(block, n);
  }
  v.store(static_cast<void*>(block));
  v.store_size(n);
  v.set_tag(JsonType::kArray, block_flag(arena));
  return v;
}

JsonValue JsonValue::array_from(std::span<JsonValue> elements, Arena* arena) {
  JsonValue array = JsonValue::array(elements.size(), arena);
  std::move(elements.begin(), elements.end(), array.elements().begin());
  return array;
}

namespace {

// The keys of members in the order `order` gives (the identity when it is null).
struct OrderedKeys {
  const JsonMember* members;
  const uint32_t* order;
  size_t count;

  size_t size() const noexcept { return count; }
  const JsonValue& operator[](size_t i) const noexcept {
    return members[order != nullptr ? order[i] : i].key;
  }
};

// Keys with the one at `skipped` left out.
struct KeysWithout {
  std::span<const JsonValue> keys;
  size_t skipped;

  size_t size() const noexcept { return keys.size() - 1; }
  const JsonValue& operator[](size_t i) const noexcept { return keys[i < skipped ? i : i + 1]; }
};

}  // namespace

JsonValue JsonValue::object_block(const Shape* shape, uint32_t size, Arena* arena) {
  JsonValue v;
  if (size == 0) {
    v.store(static_cast<void*>(nullptr));
    v.store_size(0);
    v.set_tag(JsonType::kObject, block_flag(arena));
    return v;
  }
  TOVRA_ASSERT((shape == nullptr) == (arena == nullptr));
  const size_t values_end = sizeof(void*) + size * sizeof(JsonValue);
  const size_t bytes =
      shape != nullptr ? values_end : values_end + sizeof(Shape) + size * sizeof(JsonValue);
  char* block = static_cast<char*>(allocate_block(bytes, arena));
  if (shape == nullptr) {
    Shape* own = new (block + values_end) Shape(nullptr, size, 0);
    std::uninitialized_default_construct_n(own->mutable_keys(), size);
    shape = own;
  }
  std::memcpy(block, &shape, sizeof shape);
  std::uninitialized_default_construct_n(reinterpret_cast<JsonValue*>(block + sizeof(void*)),
                                         size);
  v.store(static_cast<void*>(block));
  v.store_size(size);
  // Tagged only once it owns its block: until then a failed allocation leaves a null.
  v.set_tag(JsonType::kObject, block_flag(arena));
  return v;
}

JsonValue JsonValue::object_of_shape(const Shape* shape, Arena* arena) {
  TOVRA_ASSERT(shape->owner() == arena);
  return object_block(shape, shape->size(), arena);
}

// Builds an object of the members at `order` (ascending, distinct keys; all of them in turn
// when `order` is null). The members are moved from only once nothing can fail.
JsonValue JsonValue::build_object(std::span<JsonMember> members, const uint32_t* order,
                                  size_t count, Arena* arena) {
  OrderedKeys keys{members.data(), order, count};
  auto at = [&](size_t i) -> JsonMember& { return members[order != nullptr ? order[i] : i]; };
  uint32_t n = static_cast<uint32_t>(count);
  const Shape* shape = arena != nullptr && n > 0 ? Shape::intern(*arena, keys) : nullptr;
  JsonValue v = object_block(shape, n, arena);
  if (n == 0) return v;
  JsonValue* values = v.value_block();
  if (shape == nullptr) {
    Shape* own = *static_cast<Shape**>(v.load_ptr());
    JsonValue* own_keys = own->mutable_keys();
    for (size_t i = 0; i < n; ++i) own_keys[i] = std::move(at(i).key);
    own->hash_ = Shape::hash_keys(own->keys());
  }
  // The values in the block are nulls, which own nothing: they are built over, not assigned.
  for (size_t i = 0; i < n; ++i) std::construct_at(values + i, std::move(at(i).value));
  return v;
}

JsonValue JsonValue::object_from_sorted(std::span<JsonMember> members, Arena* arena) {
  return build_object(members, nullptr, checked_size(members.size()), arena);
}

JsonValue JsonValue::object(std::span<JsonMember> members, Arena* arena) {
  const size_t n = checked_size(members.size());
  size_t unsorted_at = 1;
  while (unsorted_at < n && key_less(members[unsorted_at - 1], members[unsorted_at])) {
    ++unsorted_at;
  }
  if (unsorted_at >= n) return build_object(members, nullptr, n, arena);

  // Sort positions rather than members, so that each member moves once, into its block.
  // Documents have a handful of keys: insertion sort (stable). The small arrays are left
  // uninitialised: they are written before they are read.
  constexpr size_t kSmall = 32;
  uint32_t small_order[kSmall];
  std::vector<uint32_t> large_order;
  uint32_t* order = small_order;
  if (n > kSmall) {
    large_order.resize(n);
    order = large_order.data();
  }
  auto key = [&](uint32_t i) { return members[i].key_view(); };
  // The first eight bytes of each key as a big-endian number decide most comparisons.
  uint64_t small_prefixes[kSmall];
  std::vector<uint64_t> large_prefixes;
  uint64_t* prefixes = small_prefixes;
  if (n > kSmall) {
    large_prefixes.resize(n);
    prefixes = large_prefixes.data();
  }
  for (size_t i = 0; i < n; ++i) {
    order[i] = static_cast<uint32_t>(i);
    std::string_view text = members[i].key_view();
    // Eight bytes are always readable: an inline key lies in its 16-byte value, and a key on
    // the heap is longer than that. Bytes past the key's end are masked off.
    uint64_t word;
    std::memcpy(&word, text.data(), 8);
    word = __builtin_bswap64(word);
    size_t length = text.size();
    prefixes[i] = length >= 8 ? word : (length == 0 ? 0 : word & (~0ull << (8 * (8 - length))));
  }
  auto before = [&](uint32_t x, uint32_t y) {
    if (prefixes[x] != prefixes[y]) return prefixes[x] < prefixes[y];
    return compare_key_bytes(key(x), key(y)) < 0;
  };
  if (n > kSmall) {
    std::stable_sort(order, order + n, before);
  } else {
    for (size_t i = unsorted_at; i < n; ++i) {
      uint32_t moving = order[i];
      size_t j = i;
      while (j > 0 && before(moving, order[j - 1])) {
        order[j] = order[j - 1];
        --j;
      }
      order[j] = moving;
    }
  }
  // Of a run of equal keys the member that came last wins.
  size_t kept = 0;
  for (size_t i = 0; i < n; ++i) {
    if (i + 1 < n && key(order[i]) == key(order[i + 1])) continue;
    order[kept++] = order[i];
  }
  return build_object(members, order, kept, arena);
}

void JsonValue::copy_block_of(const JsonValue& other) {
  JsonValue copy = other.copy_into(nullptr);
  std::memcpy(bytes_, copy.bytes_, sizeof bytes_);
  copy.set_tag(JsonType::kNull);
}

JsonValue JsonValue::copy_into(Arena* arena) const {
  switch (type()) {
    case JsonType::kString:
      if (heap_string()) return block_string(as_string(), arena);
      break;
    case JsonType::kArray: {
      std::span<const JsonValue> src = elements();
      JsonValue copy = array(src.size(), arena);
      std::span<JsonValue> dst = copy.elements();
      for (size_t i = 0; i < src.size(); ++i) dst[i] = src[i].copy_into(arena);
      return copy;
    }
    case JsonType::kObject: {
      // The copy is a whole object at every step (null values, and null keys in a shape of
      // its own), so that a failure part way releases what was copied so far.
      const uint32_t n = load_size();
      if (n == 0) return object_block(nullptr, 0, arena);
      const Shape* from = shape();
      const Shape* to = nullptr;
      if (arena != nullptr) {
        to = from->owner() == arena ? from : Shape::intern(*arena, from->keys(), from->hash());
      }
      JsonValue copy = object_block(to, n, arena);
      if (to == nullptr) {
        Shape* own = *static_cast<Shape**>(copy.load_ptr());
        std::span<const JsonValue> keys = from->keys();
        for (uint32_t i = 0; i < n; ++i) own->mutable_keys()[i] = keys[i].copy_into(nullptr);
        own->hash_ = from->hash();
      }
      const JsonValue* src = value_block();
      JsonValue* dst = copy.value_block();
      for (uint32_t i = 0; i < n; ++i) dst[i] = src[i].copy_into(arena);
      return copy;
    }
    default:
      break;
  }
  JsonValue copy;
  std::memcpy(copy.bytes_, bytes_, sizeof bytes_);
  return copy;
}

size_t JsonValue::block_bytes() const noexcept {
  auto rounded = [](size_t n) { return (n + 7) & ~size_t{7}; };
  switch (type()) {
    case JsonType::kString:
      return heap_string() ? rounded(load_size()) : 0;
    case JsonType::kArray: {
      size_t total = rounded(load_size() * sizeof(JsonValue));
      for (const JsonValue& element : elements()) total += element.block_bytes();
      return total;
    }
    case JsonType::kObject: {
      if (load_size() == 0) return 0;
      // A shared shape belongs to the arena's table, not to the object.
      size_t total = rounded(sizeof(void*) + load_size() * sizeof(JsonValue));
      const Shape* own = shape();
      if (own->owner() == nullptr) {
        total += sizeof(Shape) + own->size() * sizeof(JsonValue);
        for (const JsonValue& key : own->keys()) total += key.block_bytes();
      }
      for (const JsonValue& value : values()) total += value.block_bytes();
      return total;
    }
    default:
      return 0;
  }
}

JsonValue& JsonValue::assign_block_of(const JsonValue& other) {
  JsonValue copy = other.copy_into(nullptr);
  return *this = std::move(copy);
}

void JsonValue::release_block() noexcept {
  switch (type()) {
    case JsonType::kString:
      if (heap_string()) ::operator delete(load_ptr());
      break;
    case JsonType::kArray: {
      std::span<JsonValue> e = elements();
      std::destroy(e.begin(), e.end());
      ::operator delete(load_ptr());
      break;
    }
    case JsonType::kObject: {
      if (load_ptr() == nullptr) break;
      std::destroy_n(value_block(), load_size());
      // A heap object's shape is its own (an object emptied by erase keeps its block).
      Shape* own = *static_cast<Shape**>(load_ptr());
      std::destroy_n(own->mutable_keys(), own->size());
      ::operator delete(load_ptr());
      break;
    }
    default:
      break;
  }
}

double JsonValue::to_double() const noexcept {
  switch (type()) {
    case JsonType::kUInt:
      return static_cast<double>(as_uint());
    case JsonType::kInt:
      return static_cast<double>(as_int());
    case JsonType::kDouble:
      return as_double();
    default:
      return 0.0;
  }
}

bool JsonValue::erase(std::string_view key) {
  const ptrdiff_t index = find_index(key);
  if (index < 0) return false;
  take_member(static_cast<size_t>(index), shape_without(static_cast<size_t>(index)));
  return true;
}

const Shape* JsonValue::shape_without(size_t index) const {
  TOVRA_ASSERT(is_object() && index < load_size());
  const Shape* own = shape();
  if (own->owner() == nullptr || own->size() == 1) return own;
  return Shape::intern(*own->owner(), KeysWithout{own->keys(), index});
}

JsonValue JsonValue::take_member(size_t index, const Shape* next) noexcept {
  TOVRA_ASSERT(is_object() && index < load_size());
  const uint32_t n = load_size();
  Shape* own = *static_cast<Shape**>(load_ptr());
  JsonValue* values = value_block();
  JsonValue taken = std::move(values[index]);
  std::move(values + index + 1, values + n, values + index);
  std::destroy_at(values + n - 1);
  if (own->owner() == nullptr) {
    JsonValue* keys = own->mutable_keys();
    std::move(keys + index + 1, keys + n, keys + index);
    std::destroy_at(keys + n - 1);
    --own->size_;
    own->hash_ = Shape::hash_keys(own->keys());
  } else {
    std::memcpy(load_ptr(), &next, sizeof next);
  }
  store_size(n - 1);
  return taken;
}

void JsonValue::restore_member(size_t index, const Shape* previous, JsonValue value) noexcept {
  // The block still has the room of the member taken: blocks never shrink.
  TOVRA_ASSERT(is_object() && in_arena() && previous->owner() != nullptr);
  const uint32_t n = load_size() + 1;
  TOVRA_ASSERT(index < n && previous->size() == n);
  JsonValue* values = value_block();
  std::construct_at(values + n - 1);
  std::move_backward(values + index, values + n - 1, values + n);
  values[index] = std::move(value);
  std::memcpy(load_ptr(), &previous, sizeof previous);
  store_size(n);
}

bool operator==(const JsonValue& a, const JsonValue& b) noexcept {
  if (a.type() != b.type()) return false;
  switch (a.type()) {
    case JsonType::kNull:
      return true;
    case JsonType::kBool:
      return a.as_bool() == b.as_bool();
    case JsonType::kUInt:
      return a.as_uint() == b.as_uint();
    case JsonType::kInt:
      return a.as_int() == b.as_int();
    case JsonType::kDouble:
      return a.as_double() == b.as_double();
    case JsonType::kString:
      return a.as_string() == b.as_string();
    case JsonType::kArray: {
      std::span<const JsonValue> x = a.elements(), y = b.elements();
      return std::equal(x.begin(), x.end(), y.begin(), y.end());
    }
    case JsonType::kObject: {
      if (a.size() != b.size()) return false;
      if (a.shape() != b.shape()) {
        std::span<const JsonValue> x = a.keys(), y = b.keys();
        for (size_t i = 0; i < x.size(); ++i) {
          if (!Shape::same_key(x[i], y[i])) return false;
        }
      }
      std::span<const JsonValue> x = a.values(), y = b.values();
      return std::equal(x.begin(), x.end(), y.begin());
    }
  }
  return false;
}

}  // namespace tovra
