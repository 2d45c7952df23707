// Atomic replacement of a collection file, and the structured rendering of an OS error that
// its failure messages carry.
#pragma once

#include <span>
#include <string>

#include "core/json_value.h"

namespace tovra {

// "Os { code: 13, kind: PermissionDenied, message: \"Permission denied\" }": the error number,
// its kind name ("Uncategorized" for numbers without one) and the C library's description.
std::string os_error_rendering(int err);

// Replaces the file at `collection_path` with `documents` as one compact JSON array, so that
// any reader sees either the previous content or the new content in full.
//
// The text is streamed through an 8 KiB buffer into a new temporary file in `directory` (the
// database directory, so that the final rename never crosses file systems; its name does not
// contain the collection name, so it is never longer than the collection file's name), synced
// to stable storage, then renamed over `collection_path` and the directory synced.
// The caller holds the collection's read lock for the whole call.
//
// Throws, after removing the temporary file and leaving the collection file as it was:
//   Error::file("Problem creating temporary file: " + rendering) when it cannot be created,
//   Error::value("Error serializing JSON") when writing, syncing or closing it fails (a full
//     disk, a file size limit: the process must ignore SIGXFSZ, as the interpreter does),
//   Error::file("Error renaming file: " + rendering) when the rename fails.
void write_collection_file(const std::string& directory, const std::string& collection_path,
                           std::span<const JsonValue> documents);

// Creates the file at `path` holding `text`, complete from the moment it appears, unless a file
// of that name is already there: then nothing is changed and the result is false. The text is
// written to a temporary file in `directory` first and linked into place. Failures are OS
// errors (a missing directory: ENOENT).
bool create_file_if_absent(const std::string& directory, const std::string& path,
                           std::string_view text);

}  // namespace tovra
