#include "store/indexes.h"

#include <algorithm>
#include <new>

#include "json/invariant.h"
#include "store/fs.h"

namespace tovra {

// Why the candidates of an index give exactly the scan's outcome.
//
// A scan evaluates the filter on every document in collection order: the records in key
// order, the first record that fails ending the work for that document, and the first record
// that raises (an ordering record meeting a non-number) ending the whole scan. select() answers
// a record R from an index only when
//   - every record before R is an equality or $ne record, which never raise;
//   - R is an equality record, or an ordering record with a number operand over a path where
//     no document holds anything but a number (a missing path fails the record, a number is
//     compared), so that R never raises either;
//   - every document is an object (a scan that meets one caches nothing, see Database::find).
// The candidates are a superset of the documents that pass R (an equality index may add
// documents whose value only shares a key). Take a document that is not a candidate: its
// records before R do not raise, and R fails for it without raising, so the scan finds that it
// does not pass, without raising and without reaching the records after R. Every document the
// scan could keep, or raise at, is therefore a candidate, and evaluating the whole filter on
// the candidates in collection order meets the same passing documents in the same order and
// the same first exception at the same document.

namespace {

bool g_forbidden = false;
uint64_t g_answers = 0;

// How many documents ahead a build asks for memory (as the scan does).
constexpr size_t kPrefetchDistance = 16;

// Whether an update of the field at `written` may change the value at `indexed`: one path is a
// prefix of the other (the value itself, a value inside it, or an object holding it).
bool overlaps(const std::vector<std::string>& written, const std::vector<std::string>& indexed) {
  size_t n = std::min(written.size(), indexed.size());
  return std::equal(written.begin(), written.begin() + static_cast<ptrdiff_t>(n),
                    indexed.begin());
}

// Sorts `positions` (distinct, below `total`) ascending; many of them through a bitmap.
void sort_positions(std::vector<uint32_t>& positions, size_t total) {
  if (positions.size() < 2) return;
  if (positions.size() * 64 < total) {
    std::sort(positions.begin(), positions.end());
    return;
  }
  std::vector<uint64_t> bitmap((total + 63) / 64, 0);
  for (uint32_t p : positions) bitmap[p / 64] |= uint64_t{1} << (p % 64);
  size_t k = 0;
  for (size_t word = 0; word < bitmap.size(); ++word) {
    for (uint64_t bits = bitmap[word]; bits != 0; bits &= bits - 1) {
      positions[k++] = static_cast<uint32_t>(word * 64 + static_cast<size_t>(__builtin_ctzll(bits)));
    }
  }
  TOVRA_ASSERT(k == positions.size());
}

}  // namespace

namespace indexes::testing {
void forbid(bool forbidden) noexcept { g_forbidden = forbidden; }
uint64_t answers() noexcept { return g_answers; }
}  // namespace indexes::testing

// One index: its path and kind, and its entries for the documents [0, covered).
struct IndexSet::Index {
  Index(const std::vector<std::string>& path_fields, bool is_numeric)
      : fields(path_fields), numeric(is_numeric), path(path_fields) {}

  bool has_entries() const noexcept { return equality != nullptr || ordered != nullptr; }
  void drop() noexcept {
    equality.reset();
    ordered.reset();
    covered = 0;
  }

  std::vector<std::string> fields;
  bool numeric;
  query::KeyPath path;
  uint64_t last_use = 0;
  size_t covered = 0;
  // With entries, the one of its kind; both null when it has none (to be built at its next use).
  std::unique_ptr<EqualityIndex> equality;
  std::unique_ptr<NumericIndex> ordered;
};

IndexSet::IndexSet() noexcept = default;
IndexSet::~IndexSet() = default;

size_t IndexSet::memory_bytes() const noexcept {
  size_t total = 0;
  for (const std::unique_ptr<Index>& index : indexes_) {
    if (index->equality) total += index->equality->memory_bytes();
    if (index->ordered) total += index->ordered->memory_bytes();
  }
  return total;
}

IndexSet::Index* IndexSet::find_index(const std::vector<std::string>& fields,
                                      bool numeric) noexcept {
  for (const std::unique_ptr<Index>& index : indexes_) {
    if (index->numeric == numeric && index->fields == fields) return index.get();
  }
  return nullptr;
}

bool IndexSet::watch(const std::vector<std::string>& fields, bool numeric) {
  for (auto it = watched_.begin(); it != watched_.end(); ++it) {
    if (it->numeric == numeric && it->fields == fields) {
      watched_.erase(it);
      return true;
    }
  }
  try {
    Watched seen{fields, numeric, clock_};
    if (watched_.size() >= kMaxWatched) {
      watched_.erase(std::min_element(
          watched_.begin(), watched_.end(),
          [](const Watched& a, const Watched& b) { return a.last_use < b.last_use; }));
    }
    watched_.push_back(std::move(seen));
  } catch (const std::bad_alloc&) {
    // Not remembered: a later filter counts as the first again.
  }
  return false;
}

IndexSet::Index& IndexSet::add_index(const std::vector<std::string>& fields, bool numeric) {
  auto fresh = std::make_unique<Index>(fields, numeric);
  indexes_.reserve(indexes_.size() + 1);
  if (indexes_.size() >= kMaxIndexes) {
    indexes_.erase(std::min_element(indexes_.begin(), indexes_.end(),
                                    [](const std::unique_ptr<Index>& a,
                                       const std::unique_ptr<Index>& b) {
                                      return a->last_use < b->last_use;
                                    }));
  }
  indexes_.push_back(std::move(fresh));
  return *indexes_.back();
}

bool IndexSet::only_objects(const std::vector<JsonValue>& documents) noexcept {
  for (; counted_ < documents.size(); ++counted_) {
    if (!documents[counted_].is_object()) ++non_objects_;
  }
  return non_objects_ == 0;
}

bool IndexSet::bring_up_to_date(Index& index, const std::vector<JsonValue>& documents) {
  if (index.has_entries() && index.covered == documents.size()) return true;
  const bool building = !index.has_entries();
  try {
    if (building) {
      index.covered = 0;
      if (index.numeric) {
        index.ordered = std::make_unique<NumericIndex>();
      } else {
        index.equality = std::make_unique<EqualityIndex>();
        index.equality->reserve(documents.size());
      }
    }
    fs::InterruptPoll poll;
    size_t p = index.covered;
    try {
      for (; p < documents.size(); ++p) {
        poll.tick();
        if (p + kPrefetchDistance < documents.size()) {
          index.path.prefetch(documents[p + kPrefetchDistance]);
        }
        if (p + kPrefetchDistance / 2 < documents.size()) {
          index.path.prefetch(documents[p + kPrefetchDistance / 2], 1);
        }
        const JsonValue* value = index.path.resolve(documents[p]);
        uint32_t position = static_cast<uint32_t>(p);
        if (index.numeric) {
          index.ordered->add(position, value);
        } else if (value != nullptr) {
          index.equality->add(position, EqualityIndex::key_of(*value));
        }
      }
    } catch (...) {
      // Interrupted: a build is dropped, catching up keeps what it did. Out of memory: below.
      index.covered = p;
      if (building) index.drop();
      throw;
    }
    index.covered = p;
    if (building) {
      if (index.numeric) {
        index.ordered->finish_build();
      } else {
        index.equality->finish_build();
      }
    }
    return true;
  } catch (const std::bad_alloc&) {
    index.drop();
    return false;
  }
}

bool IndexSet::answer(Index& index, const query::Query<query::FilterOperator>& record,
                      const std::vector<JsonValue>& documents,
                      std::vector<uint32_t>& candidates) {
  if (!bring_up_to_date(index, documents)) return false;
  try {
    if (index.numeric) {
      // A non-number anywhere makes the record raise there: only the scan knows where first.
      if (index.ordered->non_numbers() != 0) return false;
      index.ordered->candidates(record.op, record.value.to_double(), candidates);
      sort_positions(candidates, documents.size());
    } else {
      index.equality->candidates(EqualityIndex::key_of(record.value), candidates);
    }
  } catch (const std::bad_alloc&) {
    candidates.clear();
    return false;
  }
  return true;
}

bool IndexSet::select(const query::FilterEngine& filter, const std::vector<JsonValue>& documents,
                      std::vector<uint32_t>& candidates) {
  using query::FilterOperator;
  candidates.clear();
  if (g_forbidden) {
    indexes_.clear();
    watched_.clear();
    return false;
  }
  if (documents.size() > EqualityIndex::kMaxPositions) return false;
  ++clock_;
  // The first record an index could answer, when none does (see the argument above for why
  // only records after equality and $ne records qualify).
  const query::Query<FilterOperator>* wanted = nullptr;
  for (const query::Query<FilterOperator>& record : filter.queries()) {
    if (record.op == FilterOperator::kNotEqual) continue;
    const bool numeric = record.op != FilterOperator::kEqual;
    if (numeric && !record.value.is_number()) break;
    Index* index = find_index(record.fields, numeric);
    if (index != nullptr) {
      index->last_use = clock_;
      if (!only_objects(documents)) return false;
      if (answer(*index, record, documents, candidates)) return ++g_answers, true;
    } else if (wanted == nullptr) {
      wanted = &record;
    }
    // An ordering record that no index answers may raise at any document.
    if (numeric) break;
  }
  if (wanted == nullptr) return false;
  const bool numeric = wanted->op != FilterOperator::kEqual;
  if (!watch(wanted->fields, numeric)) return false;
  if (!only_objects(documents)) return false;
  Index* index;
  try {
    index = &add_index(wanted->fields, numeric);
  } catch (const std::bad_alloc&) {
    return false;
  }
  index->last_use = clock_;
  if (!answer(*index, *wanted, documents, candidates)) return false;
  ++g_answers;
  return true;
}

IndexSet::Change IndexSet::begin_change(const query::UpdateEngine& update, size_t changing,
                                        size_t total) {
  Change change;
  // Following each change costs about as much as indexing the document again; beyond a
  // quarter of the collection, building the index again at its next use costs less.
  const bool rebuild = changing > 64 && changing > total / 4;
  for (const std::unique_ptr<Index>& index : indexes_) {
    if (!index->has_entries()) continue;
    bool written = false;
    for (size_t i = 0; i < update.size() && !written; ++i) {
      written = overlaps(update.query(i).fields, index->fields);
    }
    if (!written) continue;
    if (rebuild) {
      index->drop();
    } else {
      change.affected_[change.count_++] = index.get();
    }
  }
  // The chain steps that following the changes may take in all: about what a build costs.
  change.budget_ = std::max<size_t>(4096, total);
  return change;
}

IndexSet::Change::State IndexSet::Change::state_of(const Index& index,
                                                   const JsonValue& document) noexcept {
  State state;
  const JsonValue* value = index.path.resolve(document);
  if (value == nullptr) {
    state.kind = State::kMissing;
  } else if (index.numeric) {
    state.kind = value->is_number() ? State::kNumber : State::kOther;
    if (value->is_number()) state.number = NumericIndex::key_of(*value);
  } else {
    state.kind = State::kOther;
    state.key = EqualityIndex::key_of(*value);
  }
  return state;
}

void IndexSet::Change::before(size_t position, const JsonValue& document) noexcept {
  for (size_t k = 0; k < count_; ++k) {
    const Index& index = *affected_[k];
    // A document the index does not cover yet is indexed as it is when the index catches up.
    if (!index.has_entries() || position >= index.covered) {
      states_[k].kind = State::kSkip;
    } else {
      states_[k] = state_of(index, document);
    }
  }
}

void IndexSet::Change::after(size_t position, const JsonValue& document) noexcept {
  const uint32_t p = static_cast<uint32_t>(position);
  for (size_t k = 0; k < count_; ++k) {
    Index& index = *affected_[k];
    const State& old = states_[k];
    if (old.kind == State::kSkip || !index.has_entries()) continue;
    const State now = state_of(index, document);
    if (now.kind == old.kind &&
        (now.kind == State::kMissing || (index.numeric ? now.number == old.number
                                                       : now.key == old.key))) {
      continue;
    }
    // Any step that fails leaves the index half-changed: it is dropped, to be built again.
    try {
      bool followed = true;
      if (index.numeric) {
        NumericIndex& ordered = *index.ordered;
        if (old.kind == State::kNumber) followed = ordered.remove_key(p, old.number);
        if (old.kind == State::kOther) followed = ordered.remove_non_number();
        if (followed && now.kind == State::kNumber) ordered.add_key(p, now.number);
        if (followed && now.kind == State::kOther) ordered.add_non_number();
      } else {
        EqualityIndex& equality = *index.equality;
        if (old.kind != State::kMissing) followed = equality.remove(p, old.key, &budget_);
        if (followed && now.kind != State::kMissing) {
          followed = equality.add(p, now.key, &budget_);
        }
      }
      if (!followed) index.drop();
    } catch (const std::bad_alloc&) {
      index.drop();
    }
  }
}

}  // namespace tovra
