#include "store/numeric_index.h"

#include <algorithm>
#include <bit>

#include "json/invariant.h"

namespace tovra {

namespace {

// A double's bits as an unsigned number of the same order (no NaN; -0.0 does not occur).
uint64_t ordered_bits(double key) noexcept {
  uint64_t bits = std::bit_cast<uint64_t>(key);
  return (bits >> 63) != 0 ? ~bits : bits | (uint64_t{1} << 63);
}

// Stable least-significant-digit radix sort of `entries` by the bytes digit(entry, d) for d in
// [0, kDigits), the least significant first. One pass counts every digit; a digit where all
// entries share the byte is skipped.
template <size_t kDigits, typename Entry, typename Digit>
void radix_sort(std::vector<Entry>& entries, std::vector<Entry>& buffer, Digit digit) {
  std::vector<size_t> counts(kDigits * 256, 0);
  for (const Entry& entry : entries) {
    for (size_t d = 0; d < kDigits; ++d) ++counts[d * 256 + digit(entry, d)];
  }
  for (size_t d = 0; d < kDigits; ++d) {
    size_t* count = counts.data() + d * 256;
    if (std::find(count, count + 256, entries.size()) != count + 256) continue;
    size_t offset = 0;
    for (size_t b = 0; b < 256; ++b) {
      size_t n = count[b];
      count[b] = offset;
      offset += n;
    }
    for (const Entry& entry : entries) buffer[count[digit(entry, d)]++] = entry;
    entries.swap(buffer);
  }
}

}  // namespace

void NumericIndex::add_key(uint32_t position, double key) {
  TOVRA_ASSERT((position & kRemoved) == 0);
  pending_.push_back(Entry{key, position});
  if (!building_ && pending_.size() > std::max<size_t>(1024, sorted_.size() / 16)) {
    try {
      merge();
    } catch (const std::bad_alloc&) {
      // The entry stays pending: still a whole index, merged at a later add.
    }
  }
}

bool NumericIndex::remove_key(uint32_t position, double key) noexcept {
  Entry wanted{key, position};
  auto it = std::lower_bound(sorted_.begin(), sorted_.end(), wanted, before);
  // A removed entry may be there too, when the same number came back since the last merge.
  if (it != sorted_.end() && it->key == wanted.key && it->position == position) {
    it->position |= kRemoved;
    ++removed_;
    return true;
  }
  for (Entry& entry : pending_) {
    if (entry.position == position && entry.key == wanted.key) {
      entry = pending_.back();
      pending_.pop_back();
      return true;
    }
  }
  return false;
}

void NumericIndex::merge() {
  // Sorted by (key, position) with radix passes: by position first unless the entries are in
  // position order already (as a build adds them), then, stably, by key.
  std::vector<Entry> fresh_pending(pending_);
  std::vector<Entry> buffer(fresh_pending.size());
  auto by_position = [](const Entry& a, const Entry& b) { return a.position < b.position; };
  if (!std::is_sorted(fresh_pending.begin(), fresh_pending.end(), by_position)) {
    radix_sort<4>(fresh_pending, buffer, [](const Entry& e, size_t d) {
      return static_cast<uint8_t>(e.position >> (8 * d));
    });
  }
  radix_sort<8>(fresh_pending, buffer, [](const Entry& e, size_t d) {
    return static_cast<uint8_t>(ordered_bits(e.key) >> (8 * d));
  });
  TOVRA_ASSERT(std::is_sorted(fresh_pending.begin(), fresh_pending.end(), before));
  std::vector<Entry> merged;
  merged.reserve(sorted_.size() - removed_ + fresh_pending.size());
  auto live = [](const Entry& e) { return (e.position & kRemoved) == 0; };
  auto a = sorted_.begin();
  auto b = fresh_pending.begin();
  while (a != sorted_.end() || b != fresh_pending.end()) {
    if (a != sorted_.end() && !live(*a)) {
      ++a;
    } else if (b == fresh_pending.end() || (a != sorted_.end() && before(*a, *b))) {
      merged.push_back(*a++);
    } else {
      merged.push_back(*b++);
    }
  }
  // Nothing fails from here on.
  sorted_.swap(merged);
  pending_.clear();
  removed_ = 0;
}

void NumericIndex::finish_build() {
  merge();
  building_ = false;
  sorted_.shrink_to_fit();
  std::vector<Entry>().swap(pending_);
}

void NumericIndex::candidates(query::FilterOperator op, double bound,
                              std::vector<uint32_t>& out) const {
  using query::FilterOperator;
  auto key_below = [](const Entry& e, double k) { return e.key < k; };
  auto key_at_most = [](const Entry& e, double k) { return e.key <= k; };
  auto first_at_least = [&](double k) {
    return std::lower_bound(sorted_.begin(), sorted_.end(), k, key_below);
  };
  auto first_above = [&](double k) {
    return std::partition_point(sorted_.begin(), sorted_.end(),
                                [&](const Entry& e) { return key_at_most(e, k); });
  };
  auto from = sorted_.begin(), to = sorted_.end();
  switch (op) {
    case FilterOperator::kGreaterThan:
      from = first_above(bound);
      break;
    case FilterOperator::kGreaterThanEqual:
      from = first_at_least(bound);
      break;
    case FilterOperator::kLessThan:
      to = first_at_least(bound);
      break;
    case FilterOperator::kLessThanEqual:
      to = first_above(bound);
      break;
    default:
      TOVRA_ASSERT(false);
      return;
  }
  out.reserve(out.size() + static_cast<size_t>(to - from) + pending_.size());
  for (auto it = from; it != to; ++it) {
    if ((it->position & kRemoved) == 0) out.push_back(it->position);
  }
  for (const Entry& entry : pending_) {
    bool holds = false;
    switch (op) {
      case FilterOperator::kGreaterThan:
        holds = entry.key > bound;
        break;
      case FilterOperator::kGreaterThanEqual:
        holds = entry.key >= bound;
        break;
      case FilterOperator::kLessThan:
        holds = entry.key < bound;
        break;
      case FilterOperator::kLessThanEqual:
        holds = entry.key <= bound;
        break;
      default:
        break;
    }
    if (holds) out.push_back(entry.position);
  }
}

}  // namespace tovra
