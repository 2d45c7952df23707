// Database: one open database directory, its registry of collections and its result cache.
//
// The database owns its path, the registry (one reference to each CollectionHandle) and the
// QueryCache (references to the handles of cached results). Each operation runs its steps in
// their order; where the caller must convert a value between two steps (an update query after
// the cache is emptied and the collection loaded), the steps are separate calls. Every
// operation runs with the interpreter lock held; callers hold the object's borrow (exclusive
// for operations that change the registry or the cache). Nothing is written at destruction:
// documents that were not written are gone with the object.
//
// Long operations poll the interrupt check of store/fs.h and stop with Error::interrupted(),
// leaving what any failure at that point leaves: nothing stored, no cache entry, no file
// changed, and an update stops only before it changes its first document.
#pragma once

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "json/arena.h"
#include "json/json_value.h"
#include "query/filter.h"
#include "query/update.h"
#include "store/collection.h"
#include "store/query_cache.h"

namespace tovra {

class Database {
 public:
  // Opens the directory `path`: creates it (one level, mode 0777) when its status cannot be
  // read, otherwise loads every collection file in it. Throws the reader's error, or the OS
  // error of a directory that cannot be listed.
  explicit Database(std::string path);

  // The collection in memory, or nullptr.
  CollectionHandle lookup(std::string_view name) const;
  // The collection in memory, loaded from its file first when it is not. Throws ValueError
  // "Collection with name '<name>' not found on disk" when there is no file either.
  CollectionHandle collection(std::string_view name);

  // Writes the initial file of a collection whose file is missing. A collection that was not
  // in memory starts empty; one that was keeps its documents.
  void create_collection(std::string_view name);
  // The names of the collection files in the directory, in directory order.
  std::vector<std::string> list_collections() const;
  void drop_collection(std::string_view name);
  void drop_all();

  // Appends `document`, whose blocks may live in `arena`, to the collection, creating or
  // loading the collection first when it is not in memory. A large arena is kept by the
  // collection; documents of a small one, or on the heap, are copied into the collection's own.
  void insert(std::string_view name, JsonValue document, std::shared_ptr<Arena> arena = nullptr);
  // Appends the document that `convert(arena, outermost_in_arena)` returns, making its blocks
  // in `arena` (the outermost one too when `outermost_in_arena`); a conversion that throws
  // stores nothing. When the collection is in memory the document is made straight in the
  // collection's arena, and a failure gives back what the conversion took (the arena is
  // rewound to where it began); otherwise it is made in an arena of its own and appended as
  // insert() appends it.
  template <typename Convert>
  void insert_converting(std::string_view name, Convert&& convert);
  // The arena of the collection `name` when it is in memory (where insert_converting makes
  // the document), or nullptr.
  Arena* arena_for_insert(std::string_view name);
  // Appends each element of the array `documents`, in order, the same way.
  void insert_many(std::string_view name, JsonValue documents,
                   std::shared_ptr<Arena> arena = nullptr);
  // The same for the documents of a vector, which an empty collection takes as it is.
  void insert_many(std::string_view name, std::vector<JsonValue> documents,
                   std::shared_ptr<Arena> arena);

  // The documents of the collection that pass `query`, as a result handle: from the cache
  // when the same query on the same collection was answered before, otherwise scanned and
  // (when every document scanned was an object) cached.
  // `stored`, when given, tells whether this call put the result into the cache.
  FindResultHandle find(std::string_view name, const JsonValue& query, bool* stored = nullptr);
  // Drops the cached result of `query` on the collection: a find whose fresh result could not
  // be handed over (interrupted, out of memory) leaves no entry behind.
  void forget_find(std::string_view name, const JsonValue& query) { cache_.erase(name, query); }
  void clear_cache() noexcept { cache_.clear(); }

  // The first step of an update: empties the cache, then gets the collection (loading it on
  // demand), which the update query and filter are converted after.
  CollectionHandle begin_update(std::string_view name);
  // Applies `update` to the documents of the collection that pass `filter` (all of them when
  // it is null). The filter is evaluated for every document before any document changes, so a
  // failing or interrupted filter changes nothing; each document is either updated or left as
  // it was.
  void update(std::string_view name, const query::UpdateEngine& update,
              const query::FilterEngine* filter);

  void write(std::string_view name) const;
  // Writes every collection in memory; when some fail, throws the first failure after trying
  // all of them.
  void write_all() const;

  void load_from_document(const std::string& document_path);
  void insert_many_from_document(std::string_view name, const std::string& document_path);

 private:
  struct NameHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const noexcept {
      return std::hash<std::string_view>()(s);
    }
  };
  using Registry = std::unordered_map<std::string, CollectionHandle, NameHash, std::equal_to<>>;

  // The append of a document made in the collection's arena: a step of insert_converting.
  void insert_converted(std::string_view name, JsonValue document);
  // The collection for an insert: in memory, created, or loaded.
  CollectionHandle collection_for_insert(std::string_view name);
  // Appends `documents` (moved from) under the write lock, keeping or copying from `arena`
  // (from `shared`'s arena, when it is given: the arena of several collections).
  void append(std::string_view name, std::span<JsonValue> documents,
              std::shared_ptr<Arena> arena,
              const std::shared_ptr<SharedArena>& shared = nullptr);
  // Before a collection goes: the cached results of it keep copies of their documents only.
  // Throws std::bad_alloc, the cache then unchanged.
  void detach_results(std::string_view name);
  // Compacts the collections that share arenas, once another let go of its part.
  void compact_sharers();
  void load_collection(std::string_view name);
  // Makes ready, for load_from_document, the collections that the members of `document` name:
  // loaded from their files or, when they have none, created (their initial files made
  // together). Returns how many members may be appended: all, or those before the first whose
  // collection failed, with `failure` set.
  size_t prepare_collections(const JsonValue& document, std::optional<Error>& failure);
  void write_collection(std::string_view name, const Collection& collection) const;
  void register_collection(std::string_view name, CollectionHandle handle);
  void forget_collection(std::string_view name) noexcept;

  std::string path_;
  Registry collections_;
  QueryCache cache_;
};

template <typename Convert>
void Database::insert_converting(std::string_view name, Convert&& convert) {
  if (Arena* own = arena_for_insert(name)) {
    Arena::Mark mark = own->mark();
    try {
      insert_converted(name, convert(own, /*outermost_in_arena=*/true));
    } catch (...) {
      own->rewind(mark);
      throw;
    }
    return;
  }
  auto arena = std::make_shared<Arena>();
  JsonValue converted = convert(arena.get(), /*outermost_in_arena=*/false);
  insert(name, std::move(converted), std::move(arena));
}

}  // namespace tovra
