#include "core/database.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <optional>

#include "core/error.h"
#include "core/file_io.h"
#include "core/json_reader.h"
#include "core/json_writer.h"
#include "core/paths.h"
#include "query/filter.h"
#include "query/update.h"

namespace tovra {

namespace {

// How many documents ahead a scan asks for memory: enough to cover the memory latency of a
// document's first lookup.
constexpr size_t kPrefetchDistance = 16;

bool path_exists(const std::string& path) {
  if (path.find('\0') != std::string::npos) return false;  // no file can have such a name
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

class DirectoryListing {
 public:
  explicit DirectoryListing(const std::string& path) {
    check_no_nul(path);
    dir_ = ::opendir(path.c_str());
    if (dir_ == nullptr) throw Error::os(errno);
  }
  ~DirectoryListing() { ::closedir(dir_); }
  DirectoryListing(const DirectoryListing&) = delete;
  DirectoryListing& operator=(const DirectoryListing&) = delete;

  // The next entry's name; nothing at the end. A failing read throws when `strict`, and ends
  // the listing otherwise.
  std::optional<std::string> next(bool strict) {
    errno = 0;
    struct dirent* entry = ::readdir(dir_);
    if (entry == nullptr) {
      if (errno != 0 && strict) throw Error::os(errno);
      return std::nullopt;
    }
    return std::string(entry->d_name);
  }

 private:
  DIR* dir_ = nullptr;
};

// The collection names of the directory's collection files, in directory order.
std::vector<std::string> collection_names_in(const std::string& path, bool strict) {
  DirectoryListing listing(path);
  std::vector<std::string> names;
  while (std::optional<std::string> entry = listing.next(strict)) {
    if (*entry == "." || *entry == "..") continue;
    if (std::optional<std::string_view> name = collection_name_of_entry(*entry)) {
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
  return std::make_shared<Collection>(documents_of_file(name, read_document(file_path)));
}

// Removal that treats a file already gone as removed.
int remove_file(const std::string& path) {
  check_no_nul(path);
  if (::unlink(path.c_str()) == 0 || errno == ENOENT) return 0;
  return errno;
}

}  // namespace

Database::Database(std::string path) : path_(std::move(path)) {
  if (!path_exists(path_)) {
    // A directory that cannot be created shows up as the errors of later file operations.
    if (path_.find('\0') == std::string::npos) ::mkdir(path_.c_str(), 0777);
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

CollectionHandle Database::collection(std::string_view name) {
  check_collection_name(name);
  if (CollectionHandle handle = lookup(name)) return handle;
  load_collection(name);
  return lookup(name);
}

void Database::load_collection(std::string_view name) {
  check_collection_name(name);
  std::string file_path = collection_file_path(path_, name);
  if (!path_exists(file_path)) {
    throw Error::value("Collection with name '" + std::string(name) + "' not found on disk");
  }
  register_collection(name, read_collection_file(name, file_path));
}

void Database::create_collection(std::string_view name) {
  check_collection_name(name);
  std::string file_path = collection_file_path(path_, name);
  if (path_exists(file_path)) return;
  std::string text = "{ \"";
  append_json_string(text, name);
  text += "\":[] }";
  if (create_file_if_absent(path_, file_path, text)) {
    register_collection(name, std::make_shared<Collection>());
  }
}

std::vector<std::string> Database::list_collections() const {
  return collection_names_in(path_, /*strict=*/true);
}

void Database::drop_collection(std::string_view name) {
  check_collection_name(name);
  if (int err = remove_file(collection_file_path(path_, name))) throw Error::os(err);
  if (auto it = collections_.find(name); it != collections_.end()) collections_.erase(it);
}

void Database::drop_all() {
  int first_failure = 0;
  for (const std::string& name : list_collections()) {
    int err = remove_file(collection_file_path(path_, name));
    if (err == 0) {
      if (auto it = collections_.find(name); it != collections_.end()) collections_.erase(it);
    } else if (first_failure == 0) {
      first_failure = err;
    }
  }
  // A directory that still holds other files stays.
  if (::rmdir(path_.c_str()) != 0 && errno != ENOENT && errno != ENOTEMPTY && errno != EEXIST &&
      first_failure == 0) {
    first_failure = errno;
  }
  if (first_failure != 0) throw Error::os(first_failure);
}

void Database::insert_in_collection(std::string_view name, JsonValue value) {
  check_collection_name(name);
  CollectionHandle handle = lookup(name);
  if (handle == nullptr) {
    create_collection(name);
    handle = lookup(name);
  }
  if (handle == nullptr) {
    // A file is there but the collection is not in memory: its documents come first.
    load_collection(name);
    handle = lookup(name);
  }
  Collection::WriteGuard guard(*handle);
  std::vector<JsonValue>& documents = guard.documents();
  if (value.is_array()) {
    std::span<JsonValue> elements = value.elements();
    documents.reserve(documents.size() + elements.size());
    for (JsonValue& element : elements) documents.push_back(std::move(element));
  } else {
    documents.push_back(std::move(value));
  }
}

CollectionHandle Database::find(std::string_view name, const CollectionHandle& collection,
                                const JsonValue& query) {
  uint64_t digest = query_digest(name, query);
  if (CollectionHandle cached = cache_.get_with_digest(digest, name, query)) return cached;
  query::FilterEngine filter(query);
  std::vector<JsonValue> passed;
  bool only_objects = true;
  {
    Collection::ReadGuard guard(*collection);
    const std::vector<JsonValue>& documents = guard.documents();
    for (size_t i = 0; i < documents.size(); ++i) {
      if (i + kPrefetchDistance < documents.size()) filter.prefetch(documents[i + kPrefetchDistance]);
      const JsonValue& document = documents[i];
      only_objects = only_objects && document.is_object();
      if (filter.matches(document)) passed.push_back(document);
    }
  }
  auto result = std::make_shared<Collection>(std::move(passed));
  // A result over documents that are not objects has no stable meaning to cache.
  if (only_objects) cache_.put_with_digest(digest, name, query, result);
  return result;
}

void Database::update(const CollectionHandle& collection, const query::UpdateEngine& update,
                      const query::FilterEngine* filter) {
  Collection::WriteGuard guard(*collection);
  std::vector<JsonValue>& documents = guard.documents();
  std::vector<size_t> selected;
  if (filter != nullptr) {
    for (size_t i = 0; i < documents.size(); ++i) {
      if (i + kPrefetchDistance < documents.size()) filter->prefetch(documents[i + kPrefetchDistance]);
      if (filter->matches(documents[i])) selected.push_back(i);
    }
  }
  guard.begin_change();
  if (filter == nullptr) {
    for (size_t i = 0; i < documents.size(); ++i) {
      if (i + kPrefetchDistance < documents.size()) update.prefetch(documents[i + kPrefetchDistance]);
      update.apply(documents[i]);
    }
  } else {
    for (size_t i : selected) update.apply(documents[i]);
  }
  guard.end_change();
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
  std::optional<Error> first_failure;
  for (const auto& [name, handle] : collections_) {
    try {
      write_collection(name, *handle);
    } catch (const Error& error) {
      if (!first_failure) first_failure = error;
    }
  }
  if (first_failure) throw *first_failure;
}

void Database::load_from_document(const std::string& document_path) {
  JsonValue document = read_document(document_path);
  if (!document.is_object()) throw Error::value("Document is not an object");
  for (const JsonMember& member : document.members()) check_collection_name(member.key_view());
  for (JsonMember& member : document.members()) {
    insert_in_collection(member.key_view(), std::move(member.value));
  }
}

void Database::insert_many_from_document(std::string_view name,
                                         const std::string& document_path) {
  check_collection_name(name);
  JsonValue document = read_document(document_path);
  if (!document.is_array()) throw Error::value("Document is not an array");
  insert_in_collection(name, std::move(document));
}

}  // namespace tovra
