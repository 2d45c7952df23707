// EqualityIndex: for one field path of a collection, the positions of the documents whose value
// there hashes to a given key, in ascending order.
//
// What is kept: one 32-bit key per distinct value (a hash that equal values share, see
// key_of), in an open-addressing table of 8-byte slots {key, largest position}, filled to
// between 57% and 85% after a build; and one 32-bit word per document position, the next
// smaller position of the same key (a chain, largest first). About 4 bytes per document plus
// 9 to 14 bytes per distinct value: at most about 18 bytes per document holding the path, and
// 4 for one that does not.
//
// Values that are unequal may share a key, so a chain is a superset of the documents holding a
// value: the index only proposes candidates, every one of which the filter then evaluates.
// Positions are below kMaxPositions. Chain walks that a change needs are bounded by a budget:
// a change that would exceed it reports failure and the caller drops the index instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "json/json_value.h"

namespace tovra {

class EqualityIndex {
 public:
  static constexpr uint32_t kMaxPositions = 0x7fffffff;

  // The key of `value`: equal values (as the query language compares them: kinds must match,
  // 0.0 and -0.0 are one number, strings byte for byte, arrays and objects whole) have equal
  // keys.
  static uint32_t key_of(const JsonValue& value) noexcept;

  // Adds `position` under `key`. Appending (a position above every one held) costs O(1); any
  // other position walks its chain, each step taken off `*budget` (when given). False when the
  // budget ran out (the index unchanged). Throws std::bad_alloc with the index unchanged.
  bool add(uint32_t position, uint32_t key, size_t* budget = nullptr);
  // Removes `position`, held under `key`, walking its chain the same way. False when the budget
  // ran out or the position is not there (the index unchanged).
  bool remove(uint32_t position, uint32_t key, size_t* budget = nullptr) noexcept;
  // Room for positions below `documents`, and slots for as many keys (a build calls it first;
  // finish_build gives back the slots it did not need).
  void reserve(size_t documents);

  // Appends the positions held under `key` to `out`, ascending.
  void candidates(uint32_t key, std::vector<uint32_t>& out) const;

  // Shrinks the table to its working load once a build has added everything.
  void finish_build();
  size_t memory_bytes() const noexcept {
    return slots_.capacity() * sizeof(Slot) + next_.capacity() * sizeof(uint32_t);
  }

 private:
  static constexpr uint32_t kNone = 0xffffffff;
  struct Slot {
    uint32_t key;
    uint32_t head;  // the largest position of the key; kNone marks an empty slot
  };

  size_t home(uint32_t key) const noexcept {
    return static_cast<size_t>((uint64_t{key} * slots_.size()) >> 32);
  }
  // The slot of `key`, or the empty slot where it would go.
  size_t probe(uint32_t key) const noexcept;
  void rehash(size_t capacity);
  // Takes a step of a chain walk off `budget`; false when none is left.
  static bool step(size_t* budget) noexcept {
    if (budget == nullptr) return true;
    if (*budget == 0) return false;
    --*budget;
    return true;
  }
  void erase_slot(size_t slot) noexcept;

  std::vector<Slot> slots_;
  std::vector<uint32_t> next_;  // next_[p]: the next smaller position of p's key, or kNone
  size_t used_ = 0;
};

}  // namespace tovra
