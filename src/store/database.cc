#include "store/database.h"

#include <errno.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <unordered_set>

#include "json/arena.h"
#include "json/error.h"
#include "json/invariant.h"
#include "json/json_writer.h"
#include "store/collection_file.h"
#include "store/fs.h"
#include "store/paths.h"

namespace tovra {

namespace {

// How many documents ahead a scan asks for memory: enough to cover the memory latency of a
// document's first lookup.
constexpr size_t kPrefetchDistance = 16;

// Asks, ahead of a scan at position `i`, for the memory that `engine` will read: the first
// level of its first path kPrefetchDistance documents ahead, the second level half as far
// ahead, when the first has arrived.
template <typename Engine>
void prefetch_ahead(const Engine& engine, const std::vector<JsonValue>& documents, size_t i) {
  if (i + kPrefetchDistance < documents.size()) engine.prefetch(documents[i + kPrefetchDistance]);
  if (i + kPrefetchDistance / 2 < documents.size()) {
    engine.prefetch(documents[i + kPrefetchDistance / 2], 1);
  }
}

// Calls keep(i) for each document of `documents` that passes `filter`, in collection order, and
// tells whether every document was an object. The documents come from the candidates of an
// index when one can choose them (IndexSet::select says when, and why that gives the scan's
// outcome, exceptions included), from a scan otherwise.
template <typename Keep>
bool select_documents(IndexSet& indexes, const query::FilterEngine& filter,
                      const std::vector<JsonValue>& documents, Keep&& keep) {
  fs::InterruptPoll poll;
  std::vector<uint32_t> candidates;
  if (indexes.select(filter, documents, candidates)) {
    for (size_t k = 0; k < candidates.size(); ++k) {
      poll.tick();
      if (k + kPrefetchDistance < candidates.size()) {
        filter.prefetch(documents[candidates[k + kPrefetchDistance]]);
      }
      if (filter.matches(documents[candidates[k]])) keep(candidates[k]);
    }
    return true;
  }
  bool only_objects = true;
  for (size_t i = 0; i < documents.size(); ++i) {
    poll.tick();
    prefetch_ahead(filter, documents, i);
    const JsonValue& document = documents[i];
    only_objects = only_objects && document.is_object();
    if (filter.matches(document)) keep(i);
  }
  return only_objects;
}

bool path_exists(const std::string& path) {
  struct stat status;
  return fs::stat_path(path, status) == 0;
}

// The collection names of the directory's collection files, in directory order.
std::vector<std::string> collection_names_in(const std::string& path, bool strict) {
  fs::check_no_nul(path);
  std::vector<std::string> entries;
  if (int err = fs::list_directory(path, strict, entries)) {
    throw fs::os_error(err, path + ": the database directory could not be listed");
  }
  std::vector<std::string> names;
  for (const std::string& entry : entries) {
    if (std::optional<std::string_view> name = collection_name_of_entry(entry)) {
      names.emplace_back(*name);
    }
  }
  return names;
}

// A collection file holds either the documents as a top-level array, or an object whose
// member named after the collection is that array (the form of a newly created collection).
std::vector<JsonValue> documents_of_file(std::string_view name, JsonValue file_value) {
  JsonValue* array = nullptr;
  if (file_value.is_array()) {
    array = &file_value;
  } else if (JsonValue* member = file_value.find(name); member != nullptr && member->is_array()) {
    array = member;
  }
  if (array == nullptr) {
    throw Error::value("Collection file of '" + std::string(name) +
                       "' holds neither an array of documents nor an object with an array "
                       "under the collection's name");
  }
  std::span<JsonValue> elements = array->elements();
  return std::vector<JsonValue>(std::make_move_iterator(elements.begin()),
                                std::make_move_iterator(elements.end()));
}

CollectionHandle read_collection_file(std::string_view name, const std::string& file_path) {
  auto arena = std::make_shared<Arena>();
  arena->ask_for_large_pages();  // a collection read from a file is there to be scanned
  std::vector<JsonValue> documents =
      documents_of_file(name, read_json_file(file_path, FileUse::kCollection, arena.get()));
  return std::make_shared<Collection>(std::move(documents), std::move(arena));
}

// Below this many bytes, an insert's documents are copied into the collection's own arena
// rather than keeping their arena (whose first chunk alone is larger than a small document).
constexpr size_t kSmallestKeptArena = size_t{64} << 10;

// Makes room for `more` documents after the stored ones. The room grows geometrically, so that
// many small inserts stay linear in total.
void make_room(std::vector<JsonValue>& stored, size_t more) {
  size_t needed = stored.size() + more;
  if (needed > stored.capacity()) {
    stored.reserve(std::max({needed, 2 * stored.capacity(), size_t{16}}));
  }
}

// The directory `path` opened for its sync: 0 or an errno.
int open_directory(const std::string& path, fs::File& directory) {
  return fs::open_file(path.empty() ? std::string(".") : path, fs::OpenMode::kDirectory,
                       directory);
}

// Whether a collection file is at `file_path`. A name that holds a link which cannot be followed
// (dangling or looping) is not free either: writing through it or beside it would put the
// collection where it cannot be read back, so the error of following it is thrown. A file that
// another process has just made counts as there. Throws the OS error of a status that cannot be
// read.
bool collection_file_present(const std::string& file_path) {
  fs::check_no_nul(file_path);
  struct stat status;
  int err = fs::stat_path(file_path, status);
  if (err == 0) return true;
  if (err != ENOENT) throw fs::os_error(err, file_path + ": its status could not be read");
  if (fs::lstat_path(file_path, status) != 0) return false;
  err = fs::stat_path(file_path, status);
  if (err == 0) return true;
  throw fs::os_error(err, file_path + ": the name is taken by a link that cannot be followed");
}

// The text of a new collection's file: an object whose member named after it is empty.
std::string initial_file_text(std::string_view name) {
  std::string text = "{ \"";
  append_json_string(text, name);
  text += "\":[] }";
  return text;
}

// Removal that treats a file already gone as removed: 0 or an errno.
int remove_collection_file(const std::string& path) {
  fs::check_no_nul(path);
  int err = fs::remove_file(path);
  return err == ENOENT ? 0 : err;
}

}  // namespace

Database::Database(std::string path) : path_(std::move(path)) {
  if (!path_exists(path_)) {
    // A directory that cannot be created shows up as the errors of later file operations.
    if (path_.find('\0') == std::string::npos && fs::make_directory(path_) == 0) {
      // Its entry in the parent survives a power loss once the parent is synced. A parent that
      // cannot be opened for it (no read permission) leaves the entry as the system keeps it.
      fs::File parent;
      std::string parent_path = parent_directory(path_);
      if (open_directory(parent_path, parent) == 0) {
        if (int err = fs::sync(parent)) {
          throw fs::os_error(err, parent_path + ": the directory could not be synced after " +
                                      path_ + " was made in it");
        }
      }
    }
    return;
  }
  std::vector<std::string> names = collection_names_in(path_, /*strict=*/false);
  for (const std::string& name : names) {
    register_collection(name, read_collection_file(name, join_path(path_, name + ".json")));
  }
}

CollectionHandle Database::lookup(std::string_view name) const {
  auto it = collections_.find(name);
  return it == collections_.end() ? nullptr : it->second;
}

void Database::register_collection(std::string_view name, CollectionHandle handle) {
  auto it = collections_.find(name);
  if (it == collections_.end()) {
    collections_.emplace(std::string(name), std::move(handle));
  } else {
    it->second = std::move(handle);
  }
}

void Database::forget_collection(std::string_view name) noexcept {
  if (auto it = collections_.find(name); it != collections_.end()) collections_.erase(it);
}

void Database::detach_results(std::string_view name) {
  if (CollectionHandle handle = lookup(name)) cache_.detach(*handle);
}

void Database::compact_sharers() {
  // Compacting one may let go of memory that another sharer then keeps alone.
  for (bool again = true; again;) {
    again = false;
    for (auto& [name, handle] : collections_) {
      if (!handle->shares_arenas()) continue;
      Collection::WriteGuard guard(*handle);
      again = handle->compact(guard) || again;
    }
  }
}

CollectionHandle Database::collection(std::string_view name) {
  check_collection_name(name);
  if (CollectionHandle handle = lookup(name)) return handle;
  load_collection(name);
  return lookup(name);
}

void Database::load_collection(std::string_view name) {
  std::string file_path = collection_file_path(path_, name);
  if (!path_exists(file_path)) {
    throw Error::value("Collection with name '" + std::string(name) + "' not found on disk");
  }
  register_collection(name, read_collection_file(name, file_path));
}

void Database::create_collection(std::string_view name) {
  check_collection_name(name);
  std::string file_path = collection_file_path(path_, name);
  if (collection_file_present(file_path)) return;
  if (create_file_if_absent(path_, file_path, initial_file_text(name)) &&
      lookup(name) == nullptr) {
    register_collection(name, std::make_shared<Collection>());
  }
}

std::vector<std::string> Database::list_collections() const {
  return collection_names_in(path_, /*strict=*/true);
}

void Database::drop_collection(std::string_view name) {
  check_collection_name(name);
  detach_results(name);
  std::string file_path = collection_file_path(path_, name);
  fs::check_no_nul(file_path);
  // Opened first, so that a process out of descriptors fails before anything changes.
  fs::File directory;
  if (int err = open_directory(path_, directory)) {
    throw fs::os_error(err, path_ + ": the directory could not be opened, to drop " + file_path);
  }
  if (int err = remove_collection_file(file_path)) {
    throw fs::os_error(err, file_path + ": the collection file could not be removed");
  }
  forget_collection(name);
  compact_sharers();
  // The removal survives a power loss once the directory is synced.
  if (int err = fs::sync(directory)) {
    throw fs::os_error(err, path_ + ": the directory could not be synced after " + file_path +
                                " was removed");
  }
}

void Database::drop_all() {
  std::vector<std::string> names = list_collections();
  fs::File directory;
  if (int err = open_directory(path_, directory)) {
    throw fs::os_error(err, path_ + ": the directory could not be opened, to drop its collections");
  }
  int first_failure = 0;
  std::string first_failure_note;
  bool removed = false;
  for (const std::string& name : names) {
    detach_results(name);
    std::string file_path = collection_file_path(path_, name);
    int err = remove_collection_file(file_path);
    if (err == 0) {
      forget_collection(name);
      removed = true;
    } else if (first_failure == 0) {
      first_failure = err;
      first_failure_note = file_path + ": the collection file could not be removed";
    }
  }
  // One sync makes every removal survive a power loss.
  if (removed) {
    if (int err = fs::sync(directory); err != 0 && first_failure == 0) {
      first_failure = err;
      first_failure_note = path_ + ": the directory could not be synced after its collection " +
                           "files were removed";
    }
  }
  compact_sharers();
  // Removing the directory is a courtesy: one that still holds other files stays, and one
  // named by ".", "d/." or a link cannot be removed by that name at all.
  fs::remove_directory(path_);
  if (first_failure != 0) {
    throw fs::os_error(first_failure, std::move(first_failure_note));
  }
}

CollectionHandle Database::collection_for_insert(std::string_view name) {
  check_collection_name(name);
  if (CollectionHandle handle = lookup(name)) return handle;
  create_collection(name);
  if (CollectionHandle handle = lookup(name)) return handle;
  // A file is there but the collection is not in memory: its documents come first.
  load_collection(name);
  return lookup(name);
}

void Database::append(std::string_view name, std::span<JsonValue> documents,
                      std::shared_ptr<Arena> arena, const std::shared_ptr<SharedArena>& shared) {
  CollectionHandle handle = collection_for_insert(name);
  Collection::WriteGuard guard(*handle);
  std::vector<JsonValue>& stored = guard.documents();
  // Room first and copies first: the moves that follow cannot fail, so a failure stores nothing.
  make_room(stored, documents.size());
  if (shared != nullptr && shared->arena->bytes_used() >= kSmallestKeptArena) {
    size_t bytes = 0;
    for (const JsonValue& document : documents) bytes += document.block_bytes();
    guard.adopt_shared(shared, bytes);
    for (JsonValue& document : documents) stored.push_back(std::move(document));
    return;
  }
  if (shared != nullptr) arena = shared->arena;
  if (arena == nullptr || arena->bytes_used() < kSmallestKeptArena) {
    Arena& own = guard.arena();
    std::vector<JsonValue> copies;
    copies.reserve(documents.size());
    for (const JsonValue& document : documents) copies.push_back(document.copy_into(&own));
    for (JsonValue& copy : copies) stored.push_back(std::move(copy));
    return;
  }
  guard.adopt(std::move(arena));
  for (JsonValue& document : documents) stored.push_back(std::move(document));
}

Arena* Database::arena_for_insert(std::string_view name) {
  check_collection_name(name);
  CollectionHandle handle = lookup(name);
  if (handle == nullptr) return nullptr;
  // The collection holds the arena (by a shared reference that stays while the collection
  // lives), so the pointer outlives the guard.
  Collection::WriteGuard guard(*handle);
  return &guard.arena();
}

void Database::insert_converted(std::string_view name, JsonValue document) {
  CollectionHandle handle = lookup(name);
  if (NEVER(handle == nullptr)) throw Error::panic("collection gone during an insert");
  Collection::WriteGuard guard(*handle);
  std::vector<JsonValue>& stored = guard.documents();
  make_room(stored, 1);
  stored.push_back(std::move(document));
}

void Database::insert(std::string_view name, JsonValue document,
                      std::shared_ptr<Arena> arena) {
  append(name, std::span<JsonValue>(&document, 1), std::move(arena));
}

void Database::insert_many(std::string_view name, JsonValue documents,
                           std::shared_ptr<Arena> arena) {
  TOVRA_ASSERT(documents.is_array() && !documents.in_arena());
  append(name, documents.elements(), std::move(arena));
}

void Database::insert_many(std::string_view name, std::vector<JsonValue> documents,
                           std::shared_ptr<Arena> arena) {
  if (arena != nullptr && arena->bytes_used() >= kSmallestKeptArena) {
    CollectionHandle handle = collection_for_insert(name);
    Collection::WriteGuard guard(*handle);
    if (guard.documents().empty()) {
      guard.adopt(std::move(arena));
      guard.documents().swap(documents);
      return;
    }
  }
  append(name, documents, std::move(arena));
}

FindResultHandle Database::find(std::string_view name, const JsonValue& query, bool* stored) {
  CollectionHandle collection = this->collection(name);
  uint64_t digest = query_digest(name, query);
  if (stored != nullptr) *stored = false;
  if (FindResultHandle cached = cache_.get_with_digest(digest, name, query)) return cached;
  query::FilterEngine filter(query);
  FindResultHandle result;
  bool only_objects;
  {
    Collection::ReadGuard guard(*collection);
    const std::vector<JsonValue>& documents = guard.documents();
    if (documents.size() > UINT32_MAX) throw Error::value("Collection too large to filter");
    FindResult::Builder passed(documents.size());
    only_objects = select_documents(guard.indexes(), filter, documents,
                                    [&](size_t i) { passed.add(i); });
    result = std::move(passed).finish(collection);
  }
  // A result over documents that are not objects has no stable meaning to cache.
  if (only_objects) cache_.put_with_digest(digest, name, query, result);
  if (stored != nullptr) *stored = only_objects;
  return result;
}

CollectionHandle Database::begin_update(std::string_view name) {
  check_collection_name(name);
  cache_.clear();
  return collection(name);
}

void Database::update(std::string_view name, const query::UpdateEngine& update,
                      const query::FilterEngine* filter) {
  CollectionHandle collection = this->collection(name);
  Collection::WriteGuard guard(*collection);
  std::vector<JsonValue>& documents = guard.documents();
  std::vector<size_t> selected;
  if (filter != nullptr) {
    select_documents(guard.indexes(), *filter, documents,
                     [&](size_t i) { selected.push_back(i); });
  } else {
    // The last moment the update may stop: nothing has changed yet.
    fs::check_interrupt();
  }
  // From here on no interrupt is taken; a failure (memory) leaves each document either updated
  // or as it was.
  Arena& arena = guard.arena();
  // Bytes of the values replaced count as they go, so a failure part way loses none of them.
  size_t& released = guard.dead_bytes();
  IndexSet::Change change = guard.indexes().begin_change(
      update, filter == nullptr ? documents.size() : selected.size(), documents.size());
  auto apply = [&](size_t i) {
    change.before(i, documents[i]);
    update.apply(documents[i], &arena, &released);
    change.after(i, documents[i]);
  };
  if (filter == nullptr) {
    for (size_t i = 0; i < documents.size(); ++i) {
      prefetch_ahead(update, documents, i);
      apply(i);
    }
  } else {
    for (size_t k = 0; k < selected.size(); ++k) {
      if (k + kPrefetchDistance < selected.size()) {
        update.prefetch(documents[selected[k + kPrefetchDistance]]);
      }
      apply(selected[k]);
    }
  }
  // The collection compacts itself when enough of it is dead; so may then the collections it
  // shared an arena with (not this one again: compacting let go of every shared arena).
  if (collection->compact(guard)) compact_sharers();
}

void Database::write_collection(std::string_view name, const Collection& collection) const {
  Collection::ReadGuard guard(collection);
  write_collection_file(path_, collection_file_path(path_, name), guard.documents());
}

void Database::write(std::string_view name) const {
  check_collection_name(name);
  CollectionHandle handle = lookup(name);
  if (handle == nullptr) {
    throw Error::value("Collection '" + std::string(name) + "' not found in stored collections");
  }
  write_collection(name, *handle);
}

void Database::write_all() const {
  // Every collection's documents stay as they are until all files are written.
  std::deque<Collection::ReadGuard> guards;
  std::vector<CollectionFileWrite> files;
  files.reserve(collections_.size());
  for (const auto& [name, handle] : collections_) {
    const Collection::ReadGuard& guard = guards.emplace_back(*handle);
    files.push_back({collection_file_path(path_, name), guard.documents()});
  }
  // Failures let the rest be tried; the first collection's failure is thrown.
  for (std::optional<Error>& failure : write_collection_files(path_, files)) {
    if (failure) throw *failure;
  }
}

void Database::load_from_document(const std::string& document_path) {
  auto arena = std::make_shared<Arena>();
  arena->ask_for_large_pages();
  JsonValue document = read_json_file(document_path, FileUse::kDocument, arena.get());
  if (!document.is_object()) throw Error::value("Document is not an object");
  for (auto member : document.members()) check_collection_name(member.key_view());
  std::optional<Error> failure;
  size_t members = prepare_collections(document, failure);
  // Each collection keeps the one arena of the file (or copies from it, when it is small),
  // which they share when there are several.
  std::shared_ptr<SharedArena> shared;
  if (document.size() > 1) shared = std::make_shared<SharedArena>(arena);
  size_t i = 0;
  for (auto member : document.members()) {
    if (i++ == members) break;
    if (member.value.is_array()) {
      append(member.key_view(), member.value.elements(), arena, shared);
    } else {
      append(member.key_view(), std::span<JsonValue>(&member.value, 1), arena, shared);
    }
  }
  if (failure) throw *failure;
}

size_t Database::prepare_collections(const JsonValue& document, std::optional<Error>& failure) {
  // The collections in memory need nothing; those with a file are loaded from it, in order;
  // the initial files of the others are made together. The first failure stops at its member.
  size_t stop = SIZE_MAX;
  std::vector<InitialFile> files;
  std::vector<size_t> first_member;
  std::vector<std::string_view> new_names;
  std::unordered_set<std::string_view> named;
  size_t i = 0;
  for (auto member : document.members()) {
    std::string_view name = member.key_view();
    if (lookup(name) == nullptr && named.insert(name).second) {
      try {
        std::string file_path = collection_file_path(path_, name);
        if (collection_file_present(file_path)) {
          load_collection(name);
        } else {
          files.push_back({std::move(file_path), initial_file_text(name)});
          first_member.push_back(i);
          new_names.push_back(name);
        }
      } catch (const Error& error) {
        failure = error;
        stop = i;
        break;
      }
    }
    ++i;
  }
  std::vector<bool> created;
  std::optional<Error> creation_failure;
  size_t done = create_files_if_absent(path_, files, created, creation_failure);
  for (size_t k = 0; k < done; ++k) {
    if (created[k] && lookup(new_names[k]) == nullptr) {
      register_collection(new_names[k], std::make_shared<Collection>());
    }
  }
  if (creation_failure) {
    size_t at = done < first_member.size() ? first_member[done] : stop;
    if (at <= stop) {
      stop = at;
      failure = std::move(creation_failure);
    }
  }
  return stop;
}

void Database::insert_many_from_document(std::string_view name,
                                         const std::string& document_path) {
  check_collection_name(name);
  auto arena = std::make_shared<Arena>();
  arena->ask_for_large_pages();
  JsonValue document = read_json_file(document_path, FileUse::kDocument, arena.get());
  if (!document.is_array()) throw Error::value("Document is not an array");
  insert_many(name, std::move(document), std::move(arena));
}

}  // namespace tovra
