// Collection names and the files they live in. A collection N of the database directory D is
// the file D/N.json: ".json" is always appended, so every name maps to its own file and a
// directory entry's stem gives the name back.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tovra {

// Throws ValueError "Invalid collection name: '<name>'" for a name that would leave the
// database directory or name the directory itself: empty, ".", "..", or holding '/' or NUL.
void check_collection_name(std::string_view name);

// D joined with N + ".json" (no separator added when D already ends with one).
std::string collection_file_path(std::string_view directory, std::string_view name);

// The collection name of a directory entry, or nothing for an entry that is not a collection
// file: the extension after the last dot must be exactly "json", a name that starts with its
// only dot has no extension, the name must be valid UTF-8, and the stem may not be "." or "..".
std::optional<std::string_view> collection_name_of_entry(std::string_view entry_name);

// D joined with an entry name.
std::string join_path(std::string_view directory, std::string_view entry_name);

// The directory holding the last component of `path`: "." for a bare name, "/" for a name in
// the root ("d/e//" gives "d", "/d" gives "/").
std::string parent_directory(std::string_view path);

}  // namespace tovra
