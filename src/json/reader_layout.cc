#include "json/reader_layout.h"

#include <cstring>
#include <string_view>

#include "json/byte_scan.h"

namespace tovra::reader {

void Layouts::learn(Layout*& expected, std::span<const JsonMember> members,
                    const JsonValue& object) {
  const Shape* shape = object.shape();
  if (shape == nullptr || shape->size() != members.size() || shape->size() > kLargestLayout ||
      layouts_.size() >= kMostLayouts || layout_keys_ + members.size() > kMostLayoutKeys) {
    return;
  }
  if (expected != nullptr && expected->shape == shape && same_order(*expected, members)) {
    return;  // read by the general path at the end of a chunk, but in the expected order
  }
  // A place whose objects keep changing order (alternating layouts) stops learning.
  if (expected != nullptr && expected->replaced >= kMostReplacements) return;
  auto layout = std::make_unique<Layout>();
  layout->shape = shape;
  layout->replaced = expected != nullptr ? expected->replaced + 1 : 0;
  layout->keys = std::make_unique<Layout::Key[]>(members.size());
  std::span<const JsonValue> keys = shape->keys();
  const JsonValue* values = object.values().data();
  for (size_t k = 0; k < members.size(); ++k) {
    std::string_view text = members[k].key_view();
    if (find_json_escape(text.data(), text.data() + text.size()) != text.data() + text.size()) {
      return;
    }
    Layout::Key& key = layout->keys[k];
    auto slot = static_cast<uint32_t>(object.find(text) - values);
    std::string_view kept = keys[slot].as_string();
    key.text = kept.data();
    key.length = static_cast<uint32_t>(kept.size());
    key.slot = slot;
    std::memset(key.quoted, 0, sizeof key.quoted);
    if (kept.size() < sizeof key.quoted) {
      std::memcpy(key.quoted, kept.data(), kept.size());
      key.quoted[kept.size()] = '"';
    }
  }
  layouts_.push_back(std::move(layout));
  layout_keys_ += members.size();
  expected = layouts_.back().get();
}

bool Layouts::same_order(const Layout& layout, std::span<const JsonMember> members) {
  for (size_t k = 0; k < members.size(); ++k) {
    const Layout::Key& key = layout.keys[k];
    if (members[k].key_view() != std::string_view(key.text, key.length)) return false;
  }
  return true;
}

}  // namespace tovra::reader
