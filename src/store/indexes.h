// IndexSet: the field indexes that a collection builds by itself from the filters it is given.
// They only choose which documents a filter is evaluated on; the filter decides every result.
//
// Which paths: a filter that is evaluated on the documents (a find that missed the cache, or an
// update's filter) names the path of its first record that an index could answer (an equality,
// or an ordering record with a number operand, reached past $ne records only). The second time
// one (path, kind) is named without an index, its index is built, during that call. Nothing is
// built for a path met once. At most kMaxIndexes indexes per collection; building one more
// drops the least recently used. At most kMaxWatched paths seen once are remembered.
//
// What is kept per index: see EqualityIndex (about 4 bytes per document plus 9 to 14 per
// distinct value) and NumericIndex (12 bytes per document holding a number).
//
// Staying true: documents never move or leave a collection, so an index covers a prefix of the
// positions and catches up with appended documents when it is next used: inserts do nothing
// here. An update reports each change (Change) and an index follows it, or, when that would
// cost more than building it again, drops its entries and is built again at its next use.
// A failure (memory) or an interrupt leaves each index either consistent or without entries.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "json/json_value.h"
#include "query/filter.h"
#include "query/key_path.h"
#include "query/update.h"
#include "store/equality_index.h"
#include "store/numeric_index.h"

namespace tovra {

namespace indexes::testing {
// While set, no index is built, used or followed: every filter is evaluated by the scan.
// Indexes built before are dropped at their next use.
void forbid(bool forbidden) noexcept;
// How many filters were answered from an index since the program started.
uint64_t answers() noexcept;
}  // namespace indexes::testing

class IndexSet {
  struct Index;

 public:
  static constexpr size_t kMaxIndexes = 8;
  static constexpr size_t kMaxWatched = 16;

  IndexSet() noexcept;
  ~IndexSet();
  IndexSet(const IndexSet&) = delete;
  IndexSet& operator=(const IndexSet&) = delete;

  // For a filter about to be evaluated on `documents`: true with `candidates` (ascending
  // positions) when an index can choose the documents, false when every document must be
  // scanned. Evaluating the filter on the candidates, in order, gives exactly what the scan
  // gives (indexes.cc says why). May build or bring up to date one index. Throws what the
  // interrupt check throws; out of memory, it answers false.
  bool select(const query::FilterEngine& filter, const std::vector<JsonValue>& documents,
              std::vector<uint32_t>& candidates);

  // The indexes' view of an update that is about to change `changing` documents of a
  // collection of `total`: before(p, d) for the document d at position p before it changes,
  // after(p, d) once it has (omitted when the update left it as it was, as a failed one does).
  class Change {
   public:
    void before(size_t position, const JsonValue& document) noexcept;
    void after(size_t position, const JsonValue& document) noexcept;

   private:
    friend class IndexSet;
    struct State {
      enum Kind : uint8_t { kSkip, kMissing, kNumber, kOther } kind = kSkip;
      uint32_t key = 0;        // equality: EqualityIndex::key_of
      double number = 0;       // numeric: NumericIndex::key_of
    };
    static State state_of(const Index& index, const JsonValue& document) noexcept;
    std::array<Index*, kMaxIndexes> affected_{};
    std::array<State, kMaxIndexes> states_{};
    size_t count_ = 0;
    size_t budget_ = 0;
  };
  Change begin_change(const query::UpdateEngine& update, size_t changing, size_t total);

  size_t size() const noexcept { return indexes_.size(); }
  size_t memory_bytes() const noexcept;

 private:
  struct Watched {
    std::vector<std::string> fields;
    bool numeric;
    uint64_t last_use;
  };

  Index* find_index(const std::vector<std::string>& fields, bool numeric) noexcept;
  // Counts a filter evaluated by the scan that names (fields, numeric) first: true the second
  // time, when the path is taken off the watch list.
  bool watch(const std::vector<std::string>& fields, bool numeric);
  Index& add_index(const std::vector<std::string>& fields, bool numeric);
  // Brings `index` up to date with `documents` (building it when it has no entries). False when
  // memory ran out (the index then without entries).
  bool bring_up_to_date(Index& index, const std::vector<JsonValue>& documents);
  // Counts the documents that are not objects; false when there are any.
  bool only_objects(const std::vector<JsonValue>& documents) noexcept;
  // The candidates of `record` from `index`; false when the index cannot stand in for it.
  bool answer(Index& index, const query::Query<query::FilterOperator>& record,
              const std::vector<JsonValue>& documents, std::vector<uint32_t>& candidates);

  std::vector<std::unique_ptr<Index>> indexes_;
  std::vector<Watched> watched_;
  uint64_t clock_ = 0;
  size_t counted_ = 0;      // documents [0, counted_) have been looked at for their kind
  size_t non_objects_ = 0;  // of those, how many are not objects
};

}  // namespace tovra
