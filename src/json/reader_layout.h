// Key layouts the reader learns: the order in which the objects at one place of a text spell
// their keys, so that objects that follow it are read without making their keys.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "json/json_value.h"

namespace tovra::reader {

// The keys of objects read one after another at one place in a text (the documents of a
// collection, or the objects under one key of them) mostly come in one order. A layout is such
// an order, learnt from an object in an arena: its keys as the text spells them, the shape
// they make and each key's position in it, and for each key the layout expected of the
// objects under it. An object that follows its layout is read without making its keys: each
// key is compared where it stands in the text, and the values, kept in text order, go to their
// places in a block of the known shape when the object closes.
struct Layout {
  struct Key {
    // The key's bytes, then the closing quote, then zeros: compared with the text 16 bytes at
    // a time when the key is shorter than 16 bytes.
    alignas(16) char quoted[16];
    const char* text;  // the key, kept by the shape
    uint32_t length;
    uint32_t slot;  // the key's position in the shape
    Layout* child = nullptr;  // expected of an object, or the objects of an array, under the key
  };
  const Shape* shape;
  std::unique_ptr<Key[]> keys;  // shape->size() of them, in text order
  uint32_t replaced = 0;  // how many layouts the same place had before this one
};

// The layouts of one parse, and the bounds on learning them.
class Layouts {
 public:
  // Makes the order of `members` (the text's, their values already moved into `object`) the
  // layout expected at `expected`, unless it is that already. Objects with repeated keys, keys
  // that need escapes or more than kLargestLayout keys, or too many layouts or keys learnt
  // already, leave it as it is. Seldom called: kept out of parse_object, so that it does not
  // crowd out what the compiler inlines there (it lives in reader_layout.cc).
  void learn(Layout*& expected, std::span<const JsonMember> members, const JsonValue& object);

 private:
  static bool same_order(const Layout& layout, std::span<const JsonMember> members);

  // Layouts are learnt from the first objects of each place, and again when the objects there
  // change order; a text of ever-new orders stops adding them at this bound.
  static constexpr size_t kMostLayouts = 4096;
  static constexpr size_t kLargestLayout = 1024;  // keys; larger objects seldom repeat
  static constexpr uint32_t kMostReplacements = 64;  // layouts learnt at one place
  // Keys of all layouts together (48 bytes each): a text of many large objects of ever-new
  // keys cannot make the layouts outgrow it many times over.
  static constexpr size_t kMostLayoutKeys = size_t{1} << 16;
  std::vector<std::unique_ptr<Layout>> layouts_;
  size_t layout_keys_ = 0;
};

}  // namespace tovra::reader
