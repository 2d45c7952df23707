#include "store/collection_file.h"

#include <errno.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <utility>

#include "json/error.h"
#include "json/json_reader.h"
#include "json/json_writer.h"
#include "store/fs.h"
#include "store/paths.h"

namespace tovra {

namespace {

const char kSerializeError[] = "Error serializing JSON";

// Bytes read or written between two interrupt checks (two buffers of the reader or writer):
// 512 KiB parse or serialise in a few milliseconds. Files smaller than that are not stopped
// on the way, except where a system call itself reports the interruption.
constexpr uint32_t kBytesPerInterruptCheck = uint32_t{512} << 10;

// A file's bytes for the reader. A failed read ends the parse with the reader's own message.
class FileByteSource final : public ByteSource {
 public:
  explicit FileByteSource(const fs::File& file) : file_(file) {}
  size_t read(char* buffer, size_t capacity) override {
    size_t count = 0;
    if (fs::read(file_, buffer, capacity, count) != 0) throw Error::value(kDeserializeError);
    poll_.tick(static_cast<uint32_t>(std::min(count, size_t{kBytesPerInterruptCheck})));
    return count;
  }

 private:
  const fs::File& file_;
  fs::InterruptPoll poll_{kBytesPerInterruptCheck};
};

// A temporary file's bytes from the writer; a failed write fails the whole serialisation.
class FileByteSink final : public ByteSink {
 public:
  explicit FileByteSink(const fs::File& file) : file_(file) {}
  void write(const char* bytes, size_t n) override {
    poll_.tick(static_cast<uint32_t>(std::min(n, size_t{kBytesPerInterruptCheck})));
    if (fs::write_all(file_, std::string_view(bytes, n)) != 0) {
      throw Error::value(kSerializeError);
    }
    written_ += n;
    // The device writes what is done while the rest is formatted: the closing sync then waits
    // for the last step only, not for the whole file.
    if (written_ - written_back_ >= kWritebackStep) {
      fs::start_writeback(file_, written_back_, written_ - written_back_);
      written_back_ = written_;
    }
  }

 private:
  static constexpr uint64_t kWritebackStep = uint64_t{4} << 20;
  const fs::File& file_;
  fs::InterruptPoll poll_{kBytesPerInterruptCheck};
  uint64_t written_ = 0;
  uint64_t written_back_ = 0;
};

bool is_special_file(mode_t mode) {
  return S_ISFIFO(mode) || S_ISSOCK(mode) || S_ISCHR(mode) || S_ISBLK(mode);
}

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

// A new file of a name no other file has, in `directory`; nothing, with `err` set, when it
// cannot be created.
std::optional<TemporaryFile> create_temporary_file(const std::string& directory, int& err) {
  for (int attempt = 0;; ++attempt) {
    std::string path = join_path(directory, temporary_file_name());
    fs::File file;
    err = fs::open_file(path, fs::OpenMode::kCreateNew, file);
    if (err == 0) {
      return std::optional<TemporaryFile>(std::in_place, std::move(file), std::move(path));
    }
    if (err != EEXIST || attempt >= 64) return std::nullopt;
  }
}

std::string directory_or_dot(const std::string& directory) {
  return directory.empty() ? std::string(".") : directory;
}

// Gives the temporary file the permission bits of the file it replaces, and its owner and
// group where the process may (a chown that is refused keeps the process's own). A collection
// path that names nothing yet keeps the bits the creation gave (0666 minus the umask).
void copy_file_mode(const TemporaryFile& temp, const std::string& collection_path) {
  struct stat old_status;
  if (fs::stat_path(collection_path, old_status) != 0 || !S_ISREG(old_status.st_mode)) return;
  if (int err = fs::set_mode(temp.file(), old_status.st_mode & 07777)) {
    throw Error::file("Error setting file permissions: " + fs::os_rendering(err));
  }
  struct stat new_status;
  if (fs::stat_file(temp.file(), new_status) == 0 &&
      (new_status.st_uid != old_status.st_uid || new_status.st_gid != old_status.st_gid)) {
    fs::set_owner(temp.file(), old_status.st_uid, old_status.st_gid);
  }
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
      throw Error::value(kDeserializeError);
    }
    if (err == 0 && fs::stat_file(file, status) == 0 && is_special_file(status.st_mode)) {
      throw Error::value(kDeserializeError);
    }
  }
  if (err != 0) throw Error::file("Error opening document " + fs::os_text(err));
  FileByteSource source(file);
  return parse_json(source, arena);
}

void write_collection_file(const std::string& directory, const std::string& collection_path,
                           std::span<const JsonValue> documents) {
  fs::check_no_nul(directory, "Problem creating temporary file: ");
  fs::check_no_nul(collection_path, "Error renaming file: ");

  // Opened first, so that a process out of descriptors fails before anything changes.
  fs::File directory_file;
  if (int err = fs::open_file(directory_or_dot(directory), fs::OpenMode::kDirectory,
                              directory_file)) {
    throw Error::file("Problem creating temporary file: " + fs::os_rendering(err));
  }
  int err = 0;
  std::optional<TemporaryFile> created = create_temporary_file(directory, err);
  if (!created) throw Error::file("Problem creating temporary file: " + fs::os_rendering(err));
  TemporaryFile& temp = *created;

  FileByteSink sink(temp.file());
  write_json_array(sink, documents);
  copy_file_mode(temp, collection_path);
  if (fs::sync(temp.file()) != 0) throw Error::value(kSerializeError);
  if (temp.close() != 0) throw Error::value(kSerializeError);

  if (int rename_err = fs::rename_file(temp.path(), collection_path)) {
    throw Error::file("Error renaming file: " + fs::os_rendering(rename_err));
  }
  temp.renamed();
  if (int sync_err = fs::sync(directory_file)) {
    throw Error::file("Error syncing directory: " + fs::os_rendering(sync_err));
  }
}

bool create_file_if_absent(const std::string& directory, const std::string& path,
                           std::string_view text) {
  fs::check_no_nul(directory);
  fs::check_no_nul(path);
  int err = 0;
  std::optional<TemporaryFile> created = create_temporary_file(directory, err);
  if (!created) throw fs::os_error(err);
  TemporaryFile& temp = *created;
  if (int write_err = fs::write_all(temp.file(), text)) throw fs::os_error(write_err);
  if (int sync_err = fs::sync(temp.file())) throw fs::os_error(sync_err);
  if (int close_err = temp.close()) throw fs::os_error(close_err);
  // A hard link puts the complete file in place only if the name is still free, so a file that
  // another process wrote meanwhile is never truncated.
  err = fs::link_file(temp.path(), path);
  if (err == 0) {
    // The initial file is tiny and holds nothing yet: the next write syncs the directory.
    fs::File directory_file;
    if (fs::open_file(directory_or_dot(directory), fs::OpenMode::kDirectory, directory_file) == 0) {
      fs::sync(directory_file);
    }
    return true;
  }
  if (err == EEXIST) return false;
  if (err != EPERM && err != EOPNOTSUPP && err != EMLINK && err != ENOSYS) throw fs::os_error(err);
  // A file system without hard links: create the name exclusively and fill it.
  fs::File file;
  if (int open_err = fs::open_file(path, fs::OpenMode::kCreateNew, file)) {
    if (open_err == EEXIST) return false;
    throw fs::os_error(open_err);
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
    throw fs::os_error(failure);
  }
  return true;
}

}  // namespace tovra
