#include "store/equality_index.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "json/invariant.h"

namespace tovra {

namespace {

constexpr uint64_t kMultiplier = 0xff51afd7ed558ccdull;

uint64_t mix(uint64_t h) noexcept {
  h ^= h >> 33;
  h *= kMultiplier;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ull;
  h ^= h >> 33;
  return h;
}

uint64_t combine(uint64_t h, uint64_t part) noexcept {
  h = (h + part) * kMultiplier;
  return h ^ (h >> 29);
}

// The seed of each kind of value.
constexpr uint64_t seed(uint64_t kind) noexcept { return kind * 0x9e3779b97f4a7c15ull; }

uint64_t hash_bytes(std::string_view text) noexcept {
  uint64_t h = 0x9e3779b97f4a7c15ull ^ text.size();
  const char* p = text.data();
  size_t n = text.size();
  for (; n >= 8; p += 8, n -= 8) {
    uint64_t word;
    std::memcpy(&word, p, 8);
    h = combine(h, word);
  }
  uint64_t tail = 0;
  std::memcpy(&tail, p, n);
  return combine(h, tail);
}

// Each kind starts from its own constant, so that values of different kinds rarely share a key
// (sharing one would only cost a candidate that the filter rejects).
uint64_t hash_value(const JsonValue& value) noexcept {
  switch (value.type()) {
    case JsonType::kNull:
      return seed(1);
    case JsonType::kBool:
      return value.as_bool() ? seed(3) : seed(2);
    case JsonType::kUInt:
      return combine(seed(4), value.as_uint());
    case JsonType::kInt:
      return combine(seed(5), static_cast<uint64_t>(value.as_int()));
    case JsonType::kDouble: {
      double d = value.as_double();
      // 0.0 and -0.0 are one number: both hash as the bits of 0.0.
      return combine(seed(6), d == 0.0 ? 0 : std::bit_cast<uint64_t>(d));
    }
    case JsonType::kString:
      return combine(seed(7), hash_bytes(value.as_string()));
    case JsonType::kArray: {
      uint64_t h = combine(seed(8), value.size());
      for (const JsonValue& element : value.elements()) h = combine(h, hash_value(element));
      return h;
    }
    case JsonType::kObject: {
      uint64_t h = combine(seed(9), value.size());
      for (auto member : value.members()) {
        h = combine(h, hash_bytes(member.key_view()));
        h = combine(h, hash_value(member.value));
      }
      return h;
    }
  }
  return 0;
}

}  // namespace

uint32_t EqualityIndex::key_of(const JsonValue& value) noexcept {
  return static_cast<uint32_t>(mix(hash_value(value)) >> 32);
}

size_t EqualityIndex::probe(uint32_t key) const noexcept {
  size_t i = home(key);
  while (slots_[i].head != kNone && slots_[i].key != key) {
    i = i + 1 == slots_.size() ? 0 : i + 1;
  }
  return i;
}

void EqualityIndex::rehash(size_t capacity) {
  TOVRA_ASSERT(capacity > used_);
  std::vector<Slot> old(capacity, Slot{0, kNone});
  old.swap(slots_);
  // The chains live in next_, by position: only the slots move.
  for (const Slot& slot : old) {
    if (slot.head != kNone) slots_[probe(slot.key)] = slot;
  }
}

void EqualityIndex::reserve(size_t documents) {
  next_.reserve(documents);
  size_t wanted = std::max<size_t>(16, documents * 10 / 7 + 1);
  if (wanted > slots_.size()) rehash(wanted);
}

void EqualityIndex::finish_build() {
  size_t wanted = std::max<size_t>(16, used_ * 10 / 7 + 1);
  if (slots_.size() > wanted + wanted / 8) rehash(wanted);
  next_.shrink_to_fit();
}

bool EqualityIndex::add(uint32_t position, uint32_t key, size_t* budget) {
  TOVRA_ASSERT(position <= kMaxPositions);
  // Whatever may fail comes first.
  if (position >= next_.size()) next_.resize(size_t{position} + 1, kNone);
  if ((used_ + 1) * 20 > slots_.size() * 17) rehash(std::max<size_t>(16, slots_.size() * 3 / 2));
  Slot& slot = slots_[probe(key)];
  if (slot.head == kNone) {
    slot = Slot{key, position};
    next_[position] = kNone;
    ++used_;
    return true;
  }
  if (slot.head < position) {
    next_[position] = slot.head;
    slot.head = position;
    return true;
  }
  uint32_t before = slot.head;
  while (next_[before] != kNone && next_[before] > position) {
    if (!step(budget)) return false;
    before = next_[before];
  }
  if (NEVER(before == position || next_[before] == position)) return true;
  next_[position] = next_[before];
  next_[before] = position;
  return true;
}

void EqualityIndex::erase_slot(size_t slot) noexcept {
  // Backward-shift deletion: every entry after the hole that may move into it does, so that
  // each probe sequence stays unbroken.
  size_t hole = slot;
  size_t j = slot;
  for (;;) {
    j = j + 1 == slots_.size() ? 0 : j + 1;
    if (slots_[j].head == kNone) break;
    size_t h = home(slots_[j].key);
    bool stays = hole <= j ? (hole < h && h <= j) : (hole < h || h <= j);
    if (!stays) {
      slots_[hole] = slots_[j];
      hole = j;
    }
  }
  slots_[hole].head = kNone;
  --used_;
}

bool EqualityIndex::remove(uint32_t position, uint32_t key, size_t* budget) noexcept {
  if (slots_.empty() || position >= next_.size()) return false;
  size_t s = probe(key);
  Slot& slot = slots_[s];
  if (slot.head == kNone) return false;
  if (slot.head == position) {
    slot.head = next_[position];
    if (slot.head == kNone) erase_slot(s);
    return true;
  }
  uint32_t before = slot.head;
  while (next_[before] != kNone && next_[before] > position) {
    if (!step(budget)) return false;
    before = next_[before];
  }
  if (next_[before] != position) return false;
  next_[before] = next_[position];
  return true;
}

void EqualityIndex::candidates(uint32_t key, std::vector<uint32_t>& out) const {
  if (slots_.empty()) return;
  const Slot& slot = slots_[probe(key)];
  if (slot.head == kNone) return;
  size_t first = out.size();
  for (uint32_t p = slot.head; p != kNone; p = next_[p]) out.push_back(p);
  std::reverse(out.begin() + static_cast<ptrdiff_t>(first), out.end());
}

}  // namespace tovra
