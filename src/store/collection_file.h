// Reading and replacing the files of a database: collection files, bulk-load documents, the
// atomic replacement of a collection file and the creation of an initial one. Every system
// call goes through store/fs.h.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "json/error.h"
#include "json/json_value.h"

namespace tovra {

// What read_json_file may read.
enum class FileUse {
  // A collection file: only a regular file is read. A FIFO, socket or device is refused at
  // once, never waited on, like a directory.
  kCollection,
  // A document named by the caller: whatever the path names (a pipe is a fine source). A FIFO
  // without a writer is waited on, interruptibly.
  kDocument,
};

// Opens `path` (exactly as given: a relative path is resolved against the current working
// directory) and parses it as a stream through the reader's 256 KiB buffer.
// Throws Error::file("Error opening document <os text>") when it cannot be opened,
// Error::value("Error deserializing JSON") when its content is invalid, cannot be read (a
// directory opens but fails to read) or is not a regular file where `use` asks for one, and
// Error::interrupted() when the interrupt check stops it.
// With an arena, the blocks of the values inside the file's top-level value are made in it.
JsonValue read_json_file(const std::string& path, FileUse use, Arena* arena = nullptr);

// Replaces the file at `collection_path` with `documents` as one compact JSON array, so that
// any reader sees either the previous content or the new content in full.
//
// The directory is opened first (for its sync), then the text is streamed into a new temporary
// file in `directory` (so the final rename never crosses file systems; its name, "." + 16 hex
// digits + ".tmp", is bounded and never the name of a collection file). The temporary file is
// made with mode 0600, so that no other user can open it while it is written; before the rename
// it takes the owner and group of the file it replaces (where the process may set them) and its
// permission bits with setuid, setgid and sticky (or, for a new file, 0666 minus the umask).
// It is synced, renamed over `collection_path`, and the directory synced.
// The caller holds the collection's read lock for the whole call.
//
// Throws, after removing the temporary file and leaving the collection file as it was:
//   Error::file("Problem creating temporary file: " + rendering) when the directory cannot be
//     opened or the temporary file cannot be created,
//   Error::value("Error serializing JSON") when writing, syncing or closing it fails (a full
//     disk, a file size limit: the process must ignore SIGXFSZ, as the interpreter does),
//   Error::file("Error setting file permissions: " + rendering) when the old bits cannot be
//     given to the new file,
//   Error::file("Error renaming file: " + rendering) when the rename fails,
//   Error::interrupted() when the interrupt check stops it.
// After the rename, a failed directory sync throws Error::file("Error syncing directory: " +
// rendering): the new content is in place, but its survival of a power loss is not certain.
void write_collection_file(const std::string& directory, const std::string& collection_path,
                           std::span<const JsonValue> documents);

// One file of write_collection_files: its path and the documents it is to hold.
struct CollectionFileWrite {
  std::string path;
  std::span<const JsonValue> documents;
};

// Replaces each file of `files` (all in `directory`) as write_collection_file does, each
// atomically and with the same failures, but waits for the device twice in all: every
// temporary file is written first, then the file system is synced once (when that sync reports
// an error, each file is synced on its own to tell which failed), then every file is renamed
// into place, then the directory is synced once. When it returns, every file replaced is on
// stable storage. Returns the failure of each file (nothing for a file replaced); a failure
// leaves that file as it was and lets the others go on. An interruption is thrown at once: one
// before the renames leaves every file as it was.
// The caller holds the read lock of every collection written for the whole call.
std::vector<std::optional<Error>> write_collection_files(
    const std::string& directory, std::span<const CollectionFileWrite> files);

// Creates the file at `path` holding `text`, complete from the moment it appears, unless a file
// of that name is already there: then nothing is changed and the result is false. The text is
// written to a temporary file in `directory` first (mode 0600, then 0666 minus the umask) and
// linked into place. Failures are OS errors (a missing directory: ENOENT).
bool create_file_if_absent(const std::string& directory, const std::string& path,
                           std::string_view text);

// One file of create_files_if_absent.
struct InitialFile {
  std::string path;
  std::string text;
};

// Creates each file of `files` (all in `directory`, of distinct paths) as create_file_if_absent
// does, in order, waiting for the device twice in all: every temporary file is written, the file
// system synced once, every file linked into place, and the directory synced once. The first
// failure (or interruption) ends the batch and is put in `failure`: the files before it are
// made or found present, it and those after it are not made. Returns the number of files dealt
// with; `created[i]` tells whether file i was made by this call (false: it was already there).
size_t create_files_if_absent(const std::string& directory, std::span<const InitialFile> files,
                              std::vector<bool>& created, std::optional<Error>& failure);

}  // namespace tovra
