// JsonValue: the in-memory JSON tree of documents, queries and results.
//
// A value is 16 bytes. Strings of up to 14 bytes live inline; longer strings, arrays and
// objects have one block each (exact size, no spare capacity), either owned on the heap or
// carved from an Arena (see arena.h), whose values free nothing: the arena's holder keeps it
// alive. A block in an arena holds only values in arenas or without blocks, so that dropping
// an arena never leaves a heap block unreachable. Objects hold each key once,
// sorted by unsigned byte order, so lookups are binary searches.
//
// An object's keys are a Shape, apart from its values: its block is a pointer to the shape and
// then one value per key. The objects of an arena share one shape per distinct key list
// (Shape::intern holds each once in the arena's ShapeTable), so a document of a collection
// costs 16 bytes a member plus 8, its keys being held once for all documents alike. An object
// on the heap carries a shape of its own at the end of its block. Numbers keep their kind:
// non-negative integers are kUInt, negative integers kInt, everything else a finite kDouble.
// Copying is deep and makes heap blocks (copy_into makes them in an arena); moving steals the
// block, which must then not outlive its arena. A JsonValue is not thread-safe by itself: the
// CollectionHandle lock guards the values it holds.
//
// A short string (up to kInlineCapacity = 14 bytes, inline) is laid out as: bytes 0 to 13 the
// text followed by zeros, byte 14 its length, byte 15 the tag. The zeros are an invariant that
// every way of making one keeps (string(), short_string_of_padded(), copies and moves of the
// 16 bytes), and that code relies on: two short strings are equal exactly when their 16 bytes
// are, so Shape::same_key compares and Shape::key_hash hashes the two words, the str cache of
// the Python binding is keyed by them, and the writer copies them whole (short_string_bytes()).
// has_zero_padding() tests it; those places assert it in checked builds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "json/arena.h"
#include "json/hash.h"
#include "json/invariant.h"
#include "json/shape_table.h"

namespace tovra {

// Asks the processor to bring the cache line at `address` closer. GCC drops a
// __builtin_prefetch whose address is computed under a condition (as a member lookup's is), so
// on x86-64 the instruction is written out.
inline void prefetch_line(const void* address) noexcept {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
  asm volatile("prefetcht0 %0" : : "m"(*static_cast<const char*>(address)));
#else
  __builtin_prefetch(address);
#endif
}

enum class JsonType : uint8_t { kNull, kBool, kUInt, kInt, kDouble, kString, kArray, kObject };

struct JsonMember;
class Shape;
template <bool kConst>
class MemberRange;

class JsonValue {
 public:
  static constexpr size_t kInlineCapacity = 14;

  JsonValue() noexcept { set_tag(JsonType::kNull); }
  ~JsonValue() { release(); }

  // A value without a block (a scalar or a short string) copies as its 16 bytes.
  JsonValue(const JsonValue& other) {
    if (other.has_block()) {
      copy_block_of(other);
    } else {
      std::memcpy(bytes_, other.bytes_, sizeof bytes_);
    }
  }
  JsonValue& operator=(const JsonValue& other) {
    if (this == &other) return *this;
    if (other.has_block()) return assign_block_of(other);
    // `other` may live inside this value: its bytes are taken before this value's blocks go.
    uint8_t taken[sizeof bytes_];
    std::memcpy(taken, other.bytes_, sizeof taken);
    release();
    std::memcpy(bytes_, taken, sizeof bytes_);
    return *this;
  }
  JsonValue(JsonValue&& other) noexcept {
    std::memcpy(bytes_, other.bytes_, sizeof bytes_);
    other.set_tag(JsonType::kNull);
  }
  // Safe when `other` lives inside this value (v = std::move(v.elements()[0])): other's bytes
  // are taken before this value's blocks are released.
  JsonValue& operator=(JsonValue&& other) noexcept {
    if (this != &other) {
      uint8_t taken[sizeof bytes_];
      std::memcpy(taken, other.bytes_, sizeof taken);
      other.set_tag(JsonType::kNull);
      release();
      std::memcpy(bytes_, taken, sizeof bytes_);
    }
    return *this;
  }

  // Scalars.
  static JsonValue null() noexcept { return JsonValue(); }
  static JsonValue boolean(bool b) noexcept;
  static JsonValue uint(uint64_t u) noexcept;
  // Keeps the kind rule: a non-negative value is stored as kUInt.
  static JsonValue integer(int64_t i) noexcept;
  // A non-finite double becomes null: non-finite numbers never occur in a tree.
  static JsonValue number(double d) noexcept;
  static JsonValue string(std::string_view text, Arena* arena = nullptr) {
    if (text.size() > kInlineCapacity) return block_string(text, arena);
    JsonValue v;
    // The zero padding of short strings (see the top of this file).
    std::memset(v.bytes_, 0, sizeof v.bytes_);
    copy_short(v.bytes_, text.data(), text.size());
    v.bytes_[14] = static_cast<uint8_t>(text.size());
    v.set_tag(JsonType::kString);
    return v;
  }

  // A string of `size` <= kInlineCapacity bytes at `padded`, where 16 bytes are readable (those
  // past `size` are not kept). It is built in a register and written with one 16-byte store,
  // so that reading the value back whole does not stall on narrower stores.
  static JsonValue short_string_of_padded(const char* padded, size_t size) noexcept {
    TOVRA_ASSERT(size <= kInlineCapacity);
#if defined(__SSE2__)
    // Sixteen bytes kept, then sixteen dropped: loaded from 16 - size, the first `size` kept.
    alignas(16) static constexpr uint8_t kKeep[32] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
                                                      0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
                                                      0xff, 0xff, 0xff, 0xff};
    __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(padded));
    __m128i keep = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kKeep + 16 - size));
    bytes = _mm_and_si128(bytes, keep);
    // Byte 14 the length, byte 15 the tag.
    int length_and_tag = static_cast<int>(size | static_cast<size_t>(JsonType::kString) << 8);
    bytes = _mm_insert_epi16(bytes, length_and_tag, 7);
    JsonValue v;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(v.bytes_), bytes);
    return v;
#else
    return string({padded, size});
#endif
  }

  // A string of `size` bytes that fill(char* data) writes in place, for text made on the fly
  // (no intermediate copy). Inline bytes past `size` stay zero, as string() leaves them.
  template <typename Fill>
  static JsonValue string_filled(size_t size, Fill&& fill, Arena* arena = nullptr) {
    if (size > kInlineCapacity) {
      JsonValue v = string_block(size, arena);
      fill(static_cast<char*>(v.load_ptr()));
      return v;
    }
    JsonValue v;
    std::memset(v.bytes_, 0, sizeof v.bytes_);
    fill(reinterpret_cast<char*>(v.bytes_));
    v.bytes_[14] = static_cast<uint8_t>(size);
    v.set_tag(JsonType::kString);
    return v;
  }

  // An array of `size` nulls, to be filled in place through elements().
  // Each factory makes its block in `arena`, or on the heap when it is null.
  static JsonValue array(size_t size, Arena* arena = nullptr);
  // An array of `elements`, which are moved from.
  static JsonValue array_from(std::span<JsonValue> elements, Arena* arena = nullptr);
  // An object from members in any order; keys are sorted, and of equal keys the member that
  // came later wins. The members are moved from.
  static JsonValue object(std::span<JsonMember> members, Arena* arena = nullptr);
  // An object whose members are already strictly ascending by key (moved from).
  static JsonValue object_from_sorted(std::span<JsonMember> members, Arena* arena = nullptr);
  // An object of `shape`'s keys, its values null, to be filled in place through values().
  // `shape` must be interned in `arena` (Shape::intern).
  static JsonValue object_of_shape(const Shape* shape, Arena* arena);

  // A deep copy with every block in `arena` (on the heap when it is null).
  JsonValue copy_into(Arena* arena) const;
  // Bytes of the blocks of this value and everything in it, as an arena counts them.
  size_t block_bytes() const noexcept;

  JsonType type() const noexcept { return static_cast<JsonType>(bytes_[15] & 0x0f); }
  bool is_null() const noexcept { return type() == JsonType::kNull; }
  bool is_bool() const noexcept { return type() == JsonType::kBool; }
  bool is_number() const noexcept {
    JsonType t = type();
    return t == JsonType::kUInt || t == JsonType::kInt || t == JsonType::kDouble;
  }
  bool is_string() const noexcept { return type() == JsonType::kString; }
  bool is_array() const noexcept { return type() == JsonType::kArray; }
  bool is_object() const noexcept { return type() == JsonType::kObject; }

  // Only long strings, arrays and objects have a block: copying any other value cannot fail.
  bool has_block() const noexcept {
    return type() >= JsonType::kString && (type() != JsonType::kString || heap_string());
  }
  // Whether the block lives in an arena (and so is freed with it, not with this value).
  bool in_arena() const noexcept { return (bytes_[15] & kArenaFlag) != 0; }

  // The typed accessors read the payload of their own type only.
  bool as_bool() const noexcept {
    TOVRA_ASSERT(is_bool());
    return bytes_[0] != 0;
  }
  uint64_t as_uint() const noexcept {
    TOVRA_ASSERT(type() == JsonType::kUInt);
    return load<uint64_t>();
  }
  int64_t as_int() const noexcept {
    TOVRA_ASSERT(type() == JsonType::kInt);
    return load<int64_t>();
  }
  double as_double() const noexcept {
    TOVRA_ASSERT(type() == JsonType::kDouble);
    return load<double>();
  }
  // Any number as the nearest double (integers round to nearest, ties to even).
  double to_double() const noexcept;
  std::string_view as_string() const noexcept {
    if (!is_string()) return {};
    if (heap_string()) return {static_cast<const char*>(load_ptr()), load_size()};
    return {reinterpret_cast<const char*>(bytes_), bytes_[14]};
  }

  // A string of up to kInlineCapacity bytes as its 16 bytes: the text, zeros, the length (byte
  // 14) and the tag, readable as two words. Null for any other value.
  const uint8_t* short_string_bytes() const noexcept {
    return is_string() && !heap_string() ? bytes_ : nullptr;
  }
  // Whether a short string's bytes past its text are zero, as they must be (see the top of
  // this file); true for every other value.
  bool has_zero_padding() const noexcept {
    if (!is_string() || heap_string()) return true;
    for (size_t i = bytes_[14]; i < kInlineCapacity; ++i) {
      if (bytes_[i] != 0) return false;
    }
    return true;
  }

  // Arrays: the elements; objects: the members. Empty for every other type.
  std::span<JsonValue> elements() noexcept {
    if (!is_array()) return {};
    return {static_cast<JsonValue*>(load_ptr()), load_size()};
  }
  std::span<const JsonValue> elements() const noexcept {
    if (!is_array()) return {};
    return {static_cast<const JsonValue*>(load_ptr()), load_size()};
  }
  // Objects: the members in key order, as (key, value) pairs of references. Empty for every
  // other type.
  inline MemberRange<false> members() noexcept;
  inline MemberRange<true> members() const noexcept;
  // Objects: the keys (sorted) and the values, at the same positions; empty otherwise.
  inline std::span<const JsonValue> keys() const noexcept;
  std::span<JsonValue> values() noexcept {
    if (!is_object() || load_size() == 0) return {};
    return {value_block(), load_size()};
  }
  std::span<const JsonValue> values() const noexcept {
    if (!is_object() || load_size() == 0) return {};
    return {value_block(), load_size()};
  }
  // Objects with members: their shape; nullptr otherwise.
  const Shape* shape() const noexcept {
    if (!is_object() || load_size() == 0) return nullptr;
    return *static_cast<const Shape* const*>(load_ptr());
  }
  size_t size() const noexcept { return is_array() || is_object() ? load_size() : 0; }

  // Objects: the value under `key`, or nullptr (also for non-objects).
  inline const JsonValue* find(std::string_view key) const noexcept;
  JsonValue* find(std::string_view key) noexcept {
    return const_cast<JsonValue*>(static_cast<const JsonValue&>(*this).find(key));
  }
  // Objects: the value under the string `key`, trying the member at `hint` first and leaving
  // there the position where the key was found. Scans over documents of one layout find most
  // keys at their first try, touching one member instead of a binary search's several.
  inline const JsonValue* find(const JsonValue& key, uint32_t& hint) const noexcept;
  JsonValue* find(const JsonValue& key, uint32_t& hint) noexcept {
    return const_cast<JsonValue*>(static_cast<const JsonValue&>(*this).find(key, hint));
  }
  // Objects: removes the member under `key`; false when there is none. An object in an arena
  // takes the shape of its remaining keys from the arena (which may throw std::bad_alloc, the
  // object then unchanged).
  bool erase(std::string_view key);
  // The same in steps, for a caller that must prepare what may fail before anything changes,
  // or undo a removal: the position of `key` among an object's keys, or -1; the shape that an
  // object in an arena has once the member at `index` is gone (interned in its arena: may
  // throw std::bad_alloc; an object on the heap answers its own shape); the removal, which
  // hands back the member's value; and, for an object in an arena only, the removal undone.
  ptrdiff_t member_index(std::string_view key) const noexcept { return find_index(key); }
  const Shape* shape_without(size_t index) const;
  JsonValue take_member(size_t index, const Shape* next) noexcept;
  void restore_member(size_t index, const Shape* previous, JsonValue value) noexcept;

  // Hints the processor to fetch the member at `index` of an object (its first member when
  // there is no such member). Scans over many documents call it some documents ahead, so that
  // their lookups do not wait for memory.
  void prefetch_member(uint32_t index) const noexcept {
    if (!is_object() || load_size() == 0) return;
    // The lookup reads the pointer to the shape first; the value may lie on the next line.
    prefetch_line(load_ptr());
    prefetch_line(value_block() + (index < load_size() ? index : 0));
  }

  // Equality as the query language defines it: kinds must match (1 is not 1.0), doubles
  // compare numerically (0.0 == -0.0), objects by content.
  friend bool operator==(const JsonValue& a, const JsonValue& b) noexcept;

 private:
  friend class Shape;

  enum : uint8_t {
    kHeapFlag = 0x10,   // a string whose bytes live in a block
    kArenaFlag = 0x20,  // the block lives in an arena
  };

  void set_tag(JsonType t, uint8_t flags = 0) noexcept {
    bytes_[15] = static_cast<uint8_t>(static_cast<uint8_t>(t) | flags);
  }
  bool heap_string() const noexcept { return (bytes_[15] & kHeapFlag) != 0; }
  template <typename T>
  T load() const noexcept {
    T v;
    std::memcpy(&v, bytes_, sizeof v);
    return v;
  }
  template <typename T>
  void store(T v) noexcept {
    std::memcpy(bytes_, &v, sizeof v);
  }
  void* load_ptr() const noexcept { return load<void*>(); }
  uint32_t load_size() const noexcept {
    uint32_t n;
    std::memcpy(&n, bytes_ + 8, sizeof n);
    return n;
  }
  void store_size(uint32_t n) noexcept { std::memcpy(bytes_ + 8, &n, sizeof n); }
  void release() noexcept {
    if (has_block() && !in_arena()) release_block();
  }
  void release_block() noexcept;
  // The copies of a value with a block: deep, on the heap.
  void copy_block_of(const JsonValue& other);
  JsonValue& assign_block_of(const JsonValue& other);
  static void* allocate_block(size_t bytes, Arena* arena) {
    return arena != nullptr ? arena->allocate(bytes) : ::operator new(bytes);
  }
  static uint8_t block_flag(Arena* arena) noexcept { return arena != nullptr ? kArenaFlag : 0; }
  static JsonValue block_string(std::string_view text, Arena* arena);
  // A string block of `size` bytes whose contents are not yet written.
  static JsonValue string_block(size_t size, Arena* arena);
  // Copies n <= 14 bytes with at most two overlapping fixed-size moves, no library call.
  static void copy_short(uint8_t* to, const char* from, size_t n) noexcept {
    if (n >= 8) {
      std::memcpy(to, from, 8);
      std::memcpy(to + n - 8, from + n - 8, 8);
    } else if (n >= 4) {
      std::memcpy(to, from, 4);
      std::memcpy(to + n - 4, from + n - 4, 4);
    } else {
      for (size_t i = 0; i < n; ++i) to[i] = static_cast<uint8_t>(from[i]);
    }
  }
  // Objects: the position of `key` among the keys, or -1.
  inline ptrdiff_t find_index(std::string_view key) const noexcept;
  // An object's values follow the pointer to its shape.
  JsonValue* value_block() const noexcept {
    return reinterpret_cast<JsonValue*>(static_cast<char*>(load_ptr()) + sizeof(void*));
  }
  // An object block for `shape`'s keys with its values null; a shape of the block's own
  // (`private_keys` of them, to be written by the caller) when `shape` is null.
  static JsonValue object_block(const Shape* shape, uint32_t size, Arena* arena);
  static JsonValue build_object(std::span<JsonMember> members, const uint32_t* order,
                                size_t count, Arena* arena);

  // Bytes 0..7: payload or block pointer; 8..11: size of a block; 14: inline string length;
  // 15: type tag (low nibble) and flags.
  alignas(8) uint8_t bytes_[16];
};

struct JsonMember {
  JsonValue key;  // always a string
  JsonValue value;

  std::string_view key_view() const noexcept { return key.as_string(); }
};

// The sorted keys of objects. A shape in an arena's ShapeTable is shared by the objects of that
// arena with the same keys and never changes; a shape private to an object on the heap lives
// in the object's block and changes with it. The keys follow the 16-byte header.
class Shape {
 public:
  uint32_t size() const noexcept { return size_; }
  std::span<const JsonValue> keys() const noexcept {
    return {reinterpret_cast<const JsonValue*>(this + 1), size_};
  }
  // The arena whose table holds this shape; nullptr for the shape of one object on the heap.
  Arena* owner() const noexcept { return owner_; }
  uint32_t hash() const noexcept { return hash_; }

  // The hash that the tables use for a list of keys: any sequence with size() and
  // operator[] giving each key (a string) in order. Seeded per process (json/hash.h).
  template <typename Keys>
  static uint32_t hash_keys(const Keys& keys) noexcept {
    uint64_t h = (hash::kGolden + hash::seed) ^ keys.size();
    for (size_t i = 0; i < keys.size(); ++i) h = (h ^ key_hash(keys[i])) * hash::kMix;
    return static_cast<uint32_t>(h ^ (h >> 32));
  }
  // The shape of `keys` (ascending and distinct: any sequence with size() and operator[]
  // giving each key, a string) in the table of `arena` (shape_table.h), made in the arena's
  // shape storage when the table has none yet. Throws std::bad_alloc. A caller that knows
  // hash_keys(keys) passes it as `hash`.
  template <typename Keys>
  static const Shape* intern(Arena& arena, const Keys& keys);
  template <typename Keys>
  static const Shape* intern(Arena& arena, const Keys& keys, uint32_t hash);
  // Whether two keys (strings) are equal, comparing the 16 bytes of short ones.
  static bool same_key(const JsonValue& a, const JsonValue& b) noexcept {
    TOVRA_ASSERT(a.has_zero_padding() && b.has_zero_padding());
    uint64_t x[2], y[2];
    std::memcpy(x, a.bytes_, 16);
    std::memcpy(y, b.bytes_, 16);
    if (((x[0] ^ y[0]) | (x[1] ^ y[1])) == 0) return true;
    // Unequal bytes are unequal keys unless one is long (two blocks may hold the same text).
    return (a.heap_string() || b.heap_string()) && a.as_string() == b.as_string();
  }

 private:
  friend class JsonValue;
  Shape(Arena* owner, uint32_t size, uint32_t hash) noexcept
      : owner_(owner), size_(size), hash_(hash) {}
  JsonValue* mutable_keys() noexcept { return reinterpret_cast<JsonValue*>(this + 1); }
  // Whether `keys` are this shape's.
  template <typename Keys>
  bool has_keys(const Keys& keys) const noexcept {
    if (keys.size() != size_) return false;
    std::span<const JsonValue> held = this->keys();
    for (size_t i = 0; i < held.size(); ++i) {
      if (!same_key(held[i], keys[i])) return false;
    }
    return true;
  }
  static uint64_t key_hash(const JsonValue& key) noexcept {
    if (!key.heap_string()) {
      // A short key is zero-padded within its 16 bytes.
      TOVRA_ASSERT(key.has_zero_padding());
      return hash::short_image(key.bytes_, hash::seed);
    }
    return hash::text(key.as_string(), hash::seed);
  }

  Arena* owner_;
  uint32_t size_;
  uint32_t hash_;
};
static_assert(sizeof(Shape) == 16);

template <typename Keys>
const Shape* Shape::intern(Arena& arena, const Keys& keys) {
  ShapeTable& table = arena.shapes();
  auto matches = [&](const Shape& shape) { return shape.has_keys(keys); };
  if (const Shape* shape = table.recent(matches)) return shape;
  const Shape* shape = intern(arena, keys, hash_keys(keys));
  table.remember(shape);
  return shape;
}

template <typename Keys>
const Shape* Shape::intern(Arena& arena, const Keys& keys, uint32_t hash) {
  ShapeTable& table = arena.shapes();
  if (const Shape* shape = table.find(hash, [&](const Shape& s) { return s.has_keys(keys); })) {
    return shape;
  }
  table.reserve_one();
  Arena& storage = arena.shape_storage();
  const size_t size = keys.size();
  void* memory = storage.allocate(sizeof(Shape) + size * sizeof(JsonValue));
  Shape* shape = new (memory) Shape(&arena, static_cast<uint32_t>(size), hash);
  JsonValue* target = shape->mutable_keys();
  std::uninitialized_default_construct_n(target, size);
  for (size_t i = 0; i < size; ++i) target[i] = keys[i].copy_into(&storage);
  table.add(shape, hash);
  return shape;
}

// A member seen through an object: references to its key (in the shape) and its value.
template <bool kConst>
struct MemberRef {
  using Value = std::conditional_t<kConst, const JsonValue, JsonValue>;
  const JsonValue& key;
  Value& value;

  std::string_view key_view() const noexcept { return key.as_string(); }
};

template <bool kConst>
class MemberRange {
 public:
  using Value = std::conditional_t<kConst, const JsonValue, JsonValue>;
  MemberRange() noexcept = default;
  MemberRange(const JsonValue* keys, Value* values, size_t size) noexcept
      : keys_(keys), values_(values), size_(size) {}

  class iterator {
   public:
    iterator(const JsonValue* key, Value* value) noexcept : key_(key), value_(value) {}
    MemberRef<kConst> operator*() const noexcept { return {*key_, *value_}; }
    iterator& operator++() noexcept {
      ++key_;
      ++value_;
      return *this;
    }
    bool operator==(const iterator& other) const noexcept { return key_ == other.key_; }

   private:
    const JsonValue* key_;
    Value* value_;
  };

  iterator begin() const noexcept { return {keys_, values_}; }
  iterator end() const noexcept { return {keys_ + size_, values_ + size_}; }
  size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  MemberRef<kConst> operator[](size_t i) const noexcept { return {keys_[i], values_[i]}; }
  MemberRef<kConst> front() const noexcept { return (*this)[0]; }

 private:
  const JsonValue* keys_ = nullptr;
  Value* values_ = nullptr;
  size_t size_ = 0;
};

inline std::span<const JsonValue> JsonValue::keys() const noexcept {
  const Shape* s = shape();
  if (s == nullptr) return {};
  return s->keys();
}

inline MemberRange<false> JsonValue::members() noexcept {
  if (!is_object() || load_size() == 0) return {};
  return {shape()->keys().data(), value_block(), load_size()};
}

inline MemberRange<true> JsonValue::members() const noexcept {
  if (!is_object() || load_size() == 0) return {};
  return {shape()->keys().data(), value_block(), load_size()};
}

// Unsigned byte order, as std::string_view::compare gives it, without a library call for the
// short keys that documents are made of.
inline int compare_key_bytes(std::string_view a, std::string_view b) noexcept {
  size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

// Binary search over the sorted keys.
inline ptrdiff_t JsonValue::find_index(std::string_view key) const noexcept {
  std::span<const JsonValue> k = keys();
  size_t low = 0, high = k.size();
  while (low < high) {
    size_t mid = (low + high) / 2;
    int order = compare_key_bytes(k[mid].as_string(), key);
    if (order == 0) return static_cast<ptrdiff_t>(mid);
    if (order < 0) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  return -1;
}

inline const JsonValue* JsonValue::find(std::string_view key) const noexcept {
  ptrdiff_t index = find_index(key);
  return index < 0 ? nullptr : value_block() + index;
}

inline const JsonValue* JsonValue::find(const JsonValue& key, uint32_t& hint) const noexcept {
  if (!is_object() || load_size() == 0) return nullptr;
  std::span<const JsonValue> k = shape()->keys();
  if (hint < k.size() && Shape::same_key(k[hint], key)) return value_block() + hint;
  ptrdiff_t index = find_index(key.as_string());
  if (index < 0) return nullptr;
  hint = static_cast<uint32_t>(index);
  return value_block() + index;
}

static_assert(sizeof(JsonValue) == 16);
static_assert(sizeof(JsonMember) == 32);

}  // namespace tovra
