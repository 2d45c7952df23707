// QueryCache: the least-recently-used cache of filtered find results, at most kCapacity entries.
//
// Entries are found by a SipHash-1-3 digest of (collection name, query) but each entry also
// keeps its own copy of the name and the query, so two pairs that happen to share a digest never
// serve each other's results: a lookup that meets the other pair misses, and storing replaces
// the entry. The cache shares the result handles it holds; a handle lives on while a caller
// still converts it after its entry was evicted or the cache cleared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>

#include "store/find_result.h"
#include "json/json_value.h"

namespace tovra {

// SipHash-1-3 (both keys zero) over the collection name's bytes and a 0xFF byte, then the
// query as a canonical byte stream: an object is its u32 entry count and, per entry in key
// order, the key bytes, 0xFF and the value; a value is its u32 kind (null 0, boolean 1,
// number 2, string 3, array 4, object 5) and its payload (boolean one byte; number the 8
// bytes of its integer or IEEE pattern, both zeros as zero; string bytes and 0xFF; array u32
// count and elements). Integers little-endian. Equal pairs give equal digests in every run.
uint64_t query_digest(std::string_view collection, const JsonValue& query);

class QueryCache {
 public:
  static constexpr size_t kCapacity = 100;

  // The stored result for (collection, query), made the most recently used; nullptr on a miss.
  FindResultHandle get(std::string_view collection, const JsonValue& query) {
    return get_with_digest(query_digest(collection, query), collection, query);
  }
  // Stores `result` for (collection, query) as the most recently used entry. An entry with the
  // same digest is replaced; otherwise a full cache drops its least recently used entry first.
  void put(std::string_view collection, const JsonValue& query, FindResultHandle result) {
    put_with_digest(query_digest(collection, query), collection, query, std::move(result));
  }

  // The same with the digest computed by the caller (once for a get and the put that follows
  // a miss). A digest that does not belong to the pair cannot give a wrong result, only misses.
  FindResultHandle get_with_digest(uint64_t digest, std::string_view collection,
                                   const JsonValue& query);
  void put_with_digest(uint64_t digest, std::string_view collection, const JsonValue& query,
                       FindResultHandle result);

  // Removes the entry of (collection, query), if there is one.
  void erase(std::string_view collection, const JsonValue& query);
  // Gives every entry whose result reads `source` a result over copies of its documents alone
  // (FindResult::detached), so that the collection's memory can go with it. Throws
  // std::bad_alloc, the entries then unchanged.
  void detach(const Collection& source);

  size_t size() const noexcept { return recency_.size(); }
  void clear() noexcept {
    index_.clear();
    recency_.clear();
  }

 private:
  struct Entry {
    uint64_t digest;
    std::string collection;
    JsonValue query;
    FindResultHandle result;
  };
  using EntryList = std::list<Entry>;

  EntryList recency_;  // most recently used first
  std::unordered_map<uint64_t, EntryList::iterator> index_;
};

}  // namespace tovra
