// Database: one open database directory, its registry of collections and its result cache.
//
// The database owns its path, the registry (one reference to each CollectionHandle) and the
// QueryCache (references to the handles of cached results). Every operation runs with the
// interpreter lock held; callers hold the object's borrow (exclusive for operations that change
// the registry or the cache). Nothing is written at destruction: documents that were not
// written are gone with the object.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/collection.h"
#include "core/json_value.h"
#include "core/query_cache.h"

namespace tovra {

namespace query {
class FilterEngine;
class UpdateEngine;
}  // namespace query

class Database {
 public:
  // Opens the directory `path`: creates it (one level, mode 0777) when its status cannot be
  // read, otherwise loads every collection file in it. Throws the reader's error, or the OS
  // error of a directory that cannot be listed.
  explicit Database(std::string path);

  const std::string& path() const noexcept { return path_; }

  // The collection in memory, or nullptr.
  CollectionHandle lookup(std::string_view name) const;
  // The collection in memory, loaded from its file first when it is not.
  CollectionHandle collection(std::string_view name);
  // Loads the collection from its file into the registry, replacing any entry of that name.
  void load_collection(std::string_view name);

  void create_collection(std::string_view name);
  // The names of the collection files in the directory, in directory order.
  std::vector<std::string> list_collections() const;
  void drop_collection(std::string_view name);
  void drop_all();

  // Appends `value` to the collection (each element, for an array), creating or loading the
  // collection first when it is not in memory.
  void insert_in_collection(std::string_view name, JsonValue value);

  // The filtered documents of `collection` (named `name`) as a result handle, from the cache
  // when the same query on the same collection was answered before.
  CollectionHandle find(std::string_view name, const CollectionHandle& collection,
                        const JsonValue& query);
  void clear_cache() noexcept { cache_.clear(); }

  // Applies `update` to the documents of `collection` that pass `filter` (all documents when
  // it is null). The filter is evaluated for every document before any document changes, so a
  // failing filter changes nothing.
  static void update(const CollectionHandle& collection, const query::UpdateEngine& update,
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

  void write_collection(std::string_view name, const Collection& collection) const;
  void register_collection(std::string_view name, CollectionHandle handle);

  std::string path_;
  Registry collections_;
  QueryCache cache_;
};

}  // namespace tovra
