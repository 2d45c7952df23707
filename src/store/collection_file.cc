#include "store/collection_file.h"

#include <errno.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <utility>

#include "json/error.h"
#include "json/json_reader.h"
#include "json/json_syntax_error.h"
#include "json/json_writer.h"
#include "json/text_position.h"
#include "store/fs.h"
#include "store/paths.h"

namespace tovra {

namespace {

const char kSerializeError[] = "Error serializing JSON";

// Bytes read or written between two interrupt checks (two buffers of the reader or writer):
// 512 KiB parse or serialise in a few milliseconds. Files smaller than that are not stopped
// on the way, except where a system call itself reports the interruption.
constexpr uint32_t kBytesPerInterruptCheck = uint32_t{512} << 10;

// The buffer through which a file that failed to parse is read again to count its lines.
constexpr size_t kRescanBufferSize = size_t{64} << 10;

// A file's bytes for the reader. A failed read ends the parse with the reader's own message,
// and a note that names the file and says what failed where.
class FileByteSource final : public ByteSource {
 public:
  FileByteSource(const fs::File& file, const std::string& path) : file_(file), path_(path) {}
  size_t read(char* buffer, size_t capacity) override {
    size_t count = 0;
    if (int err = fs::read(file_, buffer, capacity, count)) throw read_failure(err);
    offset_ += count;
    poll_.tick(static_cast<uint32_t>(std::min(count, size_t{kBytesPerInterruptCheck})));
    return count;
  }

 private:
  [[gnu::cold]] Error read_failure(int err) const {
    Error error = Error::value(kDeserializeError);
    if (err == EISDIR) return error.set_note(path_ + ": a directory, not a file");
    return error.set_note(path_ + ", byte offset " + std::to_string(offset_) +
                          ": reading failed: " + fs::os_text(err));
  }

  const fs::File& file_;
  const std::string& path_;
  uint64_t offset_ = 0;
  fs::InterruptPoll poll_{kBytesPerInterruptCheck};
};

// A temporary file's bytes from the writer; a failed write fails the whole serialisation.
class FileByteSink final : public ByteSink {
 public:
  FileByteSink(const fs::File& file, const std::string& path) : file_(file), path_(path) {}
  void write(const char* bytes, size_t n) override {
    poll_.tick(static_cast<uint32_t>(std::min(n, size_t{kBytesPerInterruptCheck})));
    if (int err = fs::write_all(file_, std::string_view(bytes, n))) {
      throw serialize_failure(path_, "writing", err);
    }
    written_ += n;
    // The device writes what is done while the rest is formatted: the closing sync then waits
    // for the last step only, not for the whole file.
    if (written_ - written_back_ >= kWritebackStep) {
      fs::start_writeback(file_, written_back_, written_ - written_back_);
      written_back_ = written_;
    }
  }

  // "Error serializing JSON", with a note naming the temporary file and what failed.
  [[gnu::cold]] static Error serialize_failure(const std::string& path, const char* step,
                                               int err) {
    return Error::value(kSerializeError)
        .set_note(path + ": " + step + " this temporary file failed: " + fs::os_text(err));
  }

 private:
  static constexpr uint64_t kWritebackStep = uint64_t{4} << 20;
  const fs::File& file_;
  const std::string& path_;
  fs::InterruptPoll poll_{kBytesPerInterruptCheck};
  uint64_t written_ = 0;
  uint64_t written_back_ = 0;
};

// What a file that is not a regular one is, for a note; null for a regular file.
const char* kind_of_special_file(mode_t mode) {
  if (S_ISFIFO(mode)) return "a FIFO (named pipe)";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  return nullptr;
}

[[gnu::cold]] Error special_file_error(const std::string& path, mode_t mode) {
  return Error::value(kDeserializeError)
      .set_note(path + ": " + kind_of_special_file(mode) +
                ", not a regular file; a collection file is read only when it is a regular file");
}

// The note of a text that broke a rule of the reader: the file, the line and column of the
// offset (counted by reading the file again up to it, which a pipe cannot do), and the reason.
[[gnu::cold]] std::string syntax_note(const fs::File& file, const std::string& path,
                                      const JsonSyntaxError& error) {
  std::string offset = "byte offset " + std::to_string(error.offset());
  // A pipe or device gives its bytes once: its kind is named instead of its lines.
  struct stat status;
  if (fs::stat_file(file, status) == 0) {
    if (const char* kind = kind_of_special_file(status.st_mode)) {
      return path + ", " + offset + " (its line is unknown: " + kind +
             " cannot be read again): " + error.reason();
    }
  }
  TextPosition position;
  std::unique_ptr<char[]> buffer(new char[kRescanBufferSize]);
  fs::InterruptPoll poll{kBytesPerInterruptCheck};
  for (uint64_t done = 0; done < error.offset();) {
    size_t count = 0;
    size_t wanted =
        static_cast<size_t>(std::min<uint64_t>(kRescanBufferSize, error.offset() - done));
    if (fs::read_at(file, done, buffer.get(), wanted, count) != 0 || count == 0) {
      return path + ", " + offset + " (its line is unknown: the file cannot be read again): " +
             error.reason();
    }
    position.advance({buffer.get(), count});
    done += count;
    poll.tick(static_cast<uint32_t>(count));
  }
  return path + ", " + position.describe() + " (" + offset + "): " + error.reason();
}

bool is_special_file(mode_t mode) { return kind_of_special_file(mode) != nullptr; }

// "." + 16 hex digits + ".tmp": hidden, and its extension keeps the open-time loader away.
std::string temporary_file_name() {
  static constexpr char kHex[] = "0123456789abcdef";
  uint64_t bits = fs::random_u64();
  std::string name(21, '.');
  for (int i = 0; i < 16; ++i) name[1 + i] = kHex[(bits >> (60 - 4 * i)) & 0x0f];
  std::memcpy(name.data() + 17, ".tmp", 4);
  return name;
}

// A temporary file being written: closed, and removed unless it was renamed into place. The
// removal neither throws nor stops at an interruption: a destructor may not throw.
class TemporaryFile {
 public:
  TemporaryFile(fs::File file, std::string path) : file_(std::move(file)), path_(std::move(path)) {}
  ~TemporaryFile() {
    file_.close();
    if (!path_.empty()) fs::remove_file_quietly(path_);
  }
  TemporaryFile(TemporaryFile&& other) noexcept
      : file_(std::move(other.file_)), path_(std::move(other.path_)) {
    other.path_.clear();
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  const fs::File& file() const { return file_; }
  const std::string& path() const { return path_; }
  int close() { return file_.close(); }
  // The file now lives on under another name: nothing to remove.
  void renamed() { path_.clear(); }

 private:
  fs::File file_;
  std::string path_;
};

// A new file of a name no other file has, in `directory`, that only its owner may open; nothing,
// with `err` set, when it cannot be created.
std::optional<TemporaryFile> create_temporary_file(const std::string& directory, int& err) {
  for (int attempt = 0;; ++attempt) {
    std::string path = join_path(directory, temporary_file_name());
    fs::File file;
    err = fs::open_file(path, fs::OpenMode::kCreatePrivate, file);
    if (err == 0) {
      return std::optional<TemporaryFile>(std::in_place, std::move(file), std::move(path));
    }
    if (err != EEXIST || attempt >= 64) return std::nullopt;
  }
}

std::string directory_or_dot(const std::string& directory) {
  return directory.empty() ? std::string(".") : directory;
}

// The permission bits of a new file: 0666 minus the umask, read once per call that needs it.
class NewFileMode {
 public:
  mode_t get() {
    if (!known_) {
      mode_ = 0666 & ~fs::creation_mask();
      known_ = true;
    }
    return mode_;
  }

 private:
  bool known_ = false;
  mode_t mode_ = 0;
};

// Gives the temporary file, written while only its owner could open it, the mode it keeps once
// renamed: the owner and group of the file it replaces where the process may (a chown that is
// refused keeps the process's own), then that file's permission bits, setuid, setgid and sticky
// included (after the chown, which may clear them). A collection path that names no regular
// file gets the bits of a new file.
void give_final_mode(const TemporaryFile& temp, const std::string& collection_path,
                     NewFileMode& new_mode) {
  struct stat old_status;
  mode_t mode;
  if (fs::stat_path(collection_path, old_status) == 0 && S_ISREG(old_status.st_mode)) {
    struct stat new_status;
    if (fs::stat_file(temp.file(), new_status) == 0 &&
        (new_status.st_uid != old_status.st_uid || new_status.st_gid != old_status.st_gid)) {
      fs::set_owner(temp.file(), old_status.st_uid, old_status.st_gid);
    }
    mode = old_status.st_mode & 07777;
  } else {
    mode = new_mode.get();
  }
  if (int err = fs::set_mode(temp.file(), mode)) {
    throw Error::file("Error setting file permissions: " + fs::os_rendering(err))
        .set_note(temp.path() + ": the permission bits of " + collection_path +
                  " could not be given to this temporary file");
  }
}

// Streams `documents` into a new temporary file of `directory` and gives it its final mode; the
// file is neither synced nor closed. Throws the errors of write_collection_file.
TemporaryFile fill_temporary_file(const std::string& directory,
                                  const std::string& collection_path,
                                  std::span<const JsonValue> documents, NewFileMode& new_mode) {
  int err = 0;
  std::optional<TemporaryFile> created = create_temporary_file(directory, err);
  if (!created) {
    throw Error::file("Problem creating temporary file: " + fs::os_rendering(err))
        .set_note(directory_or_dot(directory) +
                  ": no temporary file could be created in this directory, to write " +
                  collection_path);
  }
  FileByteSink sink(created->file(), created->path());
  write_json_array(sink, documents);
  give_final_mode(*created, collection_path, new_mode);
  return std::move(*created);
}

// "Error serializing JSON" for a temporary file that could not be closed.
void close_written(TemporaryFile& temp) {
  if (int close_err = temp.close()) {
    throw FileByteSink::serialize_failure(temp.path(), "closing", close_err);
  }
}

// The OS error of a step on the temporary file of a new collection file.
Error initial_file_failure(const TemporaryFile& temp, const std::string& path, const char* step,
                           int err) {
  return fs::os_error(err, temp.path() + ": " + step + " this temporary file, to create " + path +
                               ", failed");
}

// A new temporary file of `directory` holding `text`, with the mode of a new file, not closed.
// Failures are OS errors.
TemporaryFile initial_temporary_file(const std::string& directory, const std::string& path,
                                     std::string_view text, NewFileMode& new_mode) {
  int err = 0;
  std::optional<TemporaryFile> created = create_temporary_file(directory, err);
  if (!created) {
    throw fs::os_error(err, directory_or_dot(directory) +
                                ": no temporary file could be created in this directory, to "
                                "create " + path);
  }
  if (int write_err = fs::write_all(created->file(), text)) {
    throw initial_file_failure(*created, path, "writing", write_err);
  }
  if (int mode_err = fs::set_mode(created->file(), new_mode.get())) {
    throw initial_file_failure(*created, path, "setting the mode of", mode_err);
  }
  return std::move(*created);
}

// Syncs a closed temporary file through a descriptor of its own: 0 or an errno. A write-back
// error that no descriptor has reported yet is reported to this one.
int sync_by_path(const std::string& path) {
  fs::File file;
  if (int err = fs::open_file(path, fs::OpenMode::kRead, file)) return err;
  return fs::sync(file);
}

// Syncs every file of `temps` that is there, with one wait for the whole file system. When that
// sync reports an error, each file is synced on its own to tell which ones failed:
// `on_failure(i, err)` is called for each (and the batch goes on while it returns true), and the
// file is dropped. Throws Error::interrupted() when the interrupt check stops it.
template <typename OnFailure>
void sync_together(const fs::File& directory_file,
                   std::vector<std::optional<TemporaryFile>>& temps, size_t count,
                   OnFailure&& on_failure) {
  if (fs::sync_file_system(directory_file) == 0) return;
  for (size_t i = 0; i < count; ++i) {
    if (!temps[i]) continue;
    if (int err = sync_by_path(temps[i]->path())) {
      bool go_on = on_failure(i, err);
      temps[i].reset();
      if (!go_on) return;
    }
  }
}

// A file system without hard links: creates the name exclusively and fills it. Returns false
// when the name is taken.
bool create_in_place(const std::string& path, std::string_view text) {
  fs::File file;
  if (int open_err = fs::open_file(path, fs::OpenMode::kCreateNew, file)) {
    if (open_err == EEXIST) return false;
    throw fs::os_error(open_err, path + ": the file could not be created");
  }
  // A half-written file would keep the whole database from opening: remove it on failure.
  int failure = 0;
  try {
    failure = fs::write_all(file, text);
    if (failure == 0) failure = fs::sync(file);
  } catch (...) {
    file.close();
    fs::remove_file_quietly(path);
    throw;
  }
  if (int close_err = file.close(); failure == 0) failure = close_err;
  if (failure != 0) {
    fs::remove_file_quietly(path);
    throw fs::os_error(failure, path + ": the file could not be written");
  }
  return true;
}

bool links_unsupported(int err) {
  return err == EPERM || err == EOPNOTSUPP || err == EMLINK || err == ENOSYS;
}

Error rename_failure(const TemporaryFile& temp, const std::string& collection_path, int err) {
  return Error::file("Error renaming file: " + fs::os_rendering(err))
      .set_note(temp.path() + ": this temporary file could not be renamed to " + collection_path);
}

Error directory_sync_failure(const std::string& directory, const std::string& what, int err) {
  return Error::file("Error syncing directory: " + fs::os_rendering(err))
      .set_note(directory_or_dot(directory) + ": the directory could not be synced after " +
                what + " was replaced");
}

}  // namespace

JsonValue read_json_file(const std::string& path, FileUse use, Arena* arena) {
  fs::check_no_nul(path, "Error opening document ");
  fs::File file;
  int err = fs::open_file(
      path, use == FileUse::kCollection ? fs::OpenMode::kReadNoBlock : fs::OpenMode::kRead, file);
  if (use == FileUse::kCollection) {
    struct stat status;
    // A socket cannot be opened at all (ENXIO); a FIFO or device opens without waiting.
    if (err == ENXIO && fs::stat_path(path, status) == 0 && is_special_file(status.st_mode)) {
      throw special_file_error(path, status.st_mode);
    }
    if (err == 0 && fs::stat_file(file, status) == 0 && is_special_file(status.st_mode)) {
      throw special_file_error(path, status.st_mode);
    }
  }
  if (err != 0) {
    throw Error::file("Error opening document " + fs::os_text(err), err)
        .set_note(path + ": the file could not be opened");
  }
  FileByteSource source(file, path);
  try {
    return parse_json(source, arena);
  } catch (const JsonSyntaxError& error) {
    throw Error::value(kDeserializeError).set_note(syntax_note(file, path, error));
  }
}

void write_collection_file(const std::string& directory, const std::string& collection_path,
                           std::span<const JsonValue> documents) {
  fs::check_no_nul(directory, "Problem creating temporary file: ");
  fs::check_no_nul(collection_path, "Error renaming file: ");

  // Opened first, so that a process out of descriptors fails before anything changes.
  fs::File directory_file;
  if (int err = fs::open_file(directory_or_dot(directory), fs::OpenMode::kDirectory,
                              directory_file)) {
    throw Error::file("Problem creating temporary file: " + fs::os_rendering(err))
        .set_note(directory_or_dot(directory) +
                  ": the directory could not be opened, to write " + collection_path);
  }
  NewFileMode new_mode;
  TemporaryFile temp = fill_temporary_file(directory, collection_path, documents, new_mode);
  if (int sync_err = fs::sync(temp.file())) {
    throw FileByteSink::serialize_failure(temp.path(), "syncing", sync_err);
  }
  close_written(temp);

  if (int rename_err = fs::rename_file(temp.path(), collection_path)) {
    throw rename_failure(temp, collection_path, rename_err);
  }
  temp.renamed();
  if (int sync_err = fs::sync(directory_file)) {
    throw directory_sync_failure(directory, collection_path, sync_err);
  }
}

bool create_file_if_absent(const std::string& directory, const std::string& path,
                           std::string_view text) {
  fs::check_no_nul(directory);
  fs::check_no_nul(path);
  NewFileMode new_mode;
  TemporaryFile temp = initial_temporary_file(directory, path, text, new_mode);
  if (int sync_err = fs::sync(temp.file())) {
    throw initial_file_failure(temp, path, "syncing", sync_err);
  }
  if (int close_err = temp.close()) throw initial_file_failure(temp, path, "closing", close_err);
  // A hard link puts the complete file in place only if the name is still free, so a file that
  // another process wrote meanwhile is never truncated.
  int err = fs::link_file(temp.path(), path);
  if (err == 0) {
    // The initial file is tiny and holds nothing yet: the next write syncs the directory.
    fs::File directory_file;
    if (fs::open_file(directory_or_dot(directory), fs::OpenMode::kDirectory, directory_file) == 0) {
      fs::sync(directory_file);
    }
    return true;
  }
  if (err == EEXIST) return false;
  if (!links_unsupported(err)) {
    throw fs::os_error(err, path + ": the new file could not be linked into place");
  }
  return create_in_place(path, text);
}

std::vector<std::optional<Error>> write_collection_files(
    const std::string& directory, std::span<const CollectionFileWrite> files) {
  size_t count = files.size();
  std::vector<std::optional<Error>> failures(count);
  if (count == 0) return failures;
  fs::check_no_nul(directory, "Problem creating temporary file: ");
  fs::File directory_file;
  if (int err = fs::open_file(directory_or_dot(directory), fs::OpenMode::kDirectory,
                              directory_file)) {
    for (size_t i = 0; i < count; ++i) {
      failures[i] = Error::file("Problem creating temporary file: " + fs::os_rendering(err))
                        .set_note(directory_or_dot(directory) +
                                  ": the directory could not be opened, to write " +
                                  files[i].path);
    }
    return failures;
  }

  // Every temporary file, written while no other user may open it, with its final mode. An
  // interruption stops here with no file changed: the temporary files go with `temps`.
  NewFileMode new_mode;
  std::vector<std::optional<TemporaryFile>> temps(count);
  bool any = false;
  for (size_t i = 0; i < count; ++i) {
    try {
      fs::check_no_nul(files[i].path, "Error renaming file: ");
      TemporaryFile temp =
          fill_temporary_file(directory, files[i].path, files[i].documents, new_mode);
      close_written(temp);
      temps[i].emplace(std::move(temp));
      any = true;
    } catch (const Error& error) {
      if (error.kind() == ErrorKind::kInterrupted) throw;
      failures[i] = error;
    }
  }
  if (!any) return failures;

  // One wait for all of their bytes.
  sync_together(directory_file, temps, count, [&](size_t i, int err) {
    failures[i] = FileByteSink::serialize_failure(temps[i]->path(), "syncing", err);
    return true;
  });

  // Each rename replaces one collection file whole; then one wait for all the renames.
  bool renamed = false;
  for (size_t i = 0; i < count; ++i) {
    if (!temps[i]) continue;
    if (int err = fs::rename_file(temps[i]->path(), files[i].path)) {
      failures[i] = rename_failure(*temps[i], files[i].path, err);
      temps[i].reset();
      continue;
    }
    temps[i]->renamed();
    renamed = true;
  }
  if (!renamed) return failures;
  if (int err = fs::sync(directory_file)) {
    for (size_t i = 0; i < count; ++i) {
      if (temps[i] && !failures[i]) {
        failures[i] = directory_sync_failure(directory, files[i].path, err);
      }
    }
  }
  return failures;
}

size_t create_files_if_absent(const std::string& directory, std::span<const InitialFile> files,
                              std::vector<bool>& created, std::optional<Error>& failure) {
  size_t count = files.size();
  created.assign(count, false);
  failure.reset();
  if (count == 0) return 0;
  // The first failure ends the batch: the files before it are made, it and those after it not.
  size_t limit = count;
  auto fail = [&](size_t i, Error error) {
    if (i < limit) {
      limit = i;
      failure = std::move(error);
    }
  };
  fs::check_no_nul(directory);
  fs::File directory_file;
  try {
    if (int err = fs::open_file(directory_or_dot(directory), fs::OpenMode::kDirectory,
                                directory_file)) {
      throw fs::os_error(err, directory_or_dot(directory) +
                                  ": the directory could not be opened, to create collections");
    }
  } catch (const Error& error) {
    fail(0, error);
    return 0;
  }

  NewFileMode new_mode;
  std::vector<std::optional<TemporaryFile>> temps(count);
  for (size_t i = 0; i < count; ++i) {
    try {
      fs::check_no_nul(files[i].path);
      TemporaryFile temp = initial_temporary_file(directory, files[i].path, files[i].text,
                                                  new_mode);
      if (int close_err = temp.close()) {
        throw initial_file_failure(temp, files[i].path, "closing", close_err);
      }
      temps[i].emplace(std::move(temp));
    } catch (const Error& error) {
      fail(i, error);
      break;
    }
  }
  if (limit == 0) return 0;

  try {
    sync_together(directory_file, temps, limit, [&](size_t i, int err) {
      fail(i, initial_file_failure(*temps[i], files[i].path, "syncing", err));
      return false;
    });
  } catch (const Error& error) {
    fail(0, error);
    return 0;
  }

  // Each link puts a complete file in place only if the name is still free.
  bool linked = false;
  for (size_t i = 0; i < limit; ++i) {
    try {
      int err = fs::link_file(temps[i]->path(), files[i].path);
      if (err == 0) {
        created[i] = true;
        linked = true;
      } else if (links_unsupported(err)) {
        created[i] = create_in_place(files[i].path, files[i].text);
      } else if (err != EEXIST) {
        throw fs::os_error(err, files[i].path + ": the new file could not be linked into place");
      }
    } catch (const Error& error) {
      fail(i, error);
    }
  }
  // As for one file, a failed sync of the directory is not reported.
  if (linked) fs::sync_quietly(directory_file);
  return limit;
}

}  // namespace tovra
