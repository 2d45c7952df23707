#include "core/file_io.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>

#include "core/error.h"
#include "core/json_writer.h"
#include "core/paths.h"

namespace tovra {

namespace {

const char kSerializeError[] = "Error serializing JSON";
const char kNulInPath[] = "file name contained an unexpected NUL byte";

const char* error_kind_name(int err) {
  switch (err) {
    case EPERM:
    case EACCES:
      return "PermissionDenied";
    case ENOENT:
      return "NotFound";
    case EINTR:
      return "Interrupted";
    case E2BIG:
      return "ArgumentListTooLong";
    case EAGAIN:
      return "WouldBlock";
    case ENOMEM:
      return "OutOfMemory";
    case EBUSY:
      return "ResourceBusy";
    case EEXIST:
      return "AlreadyExists";
    case EXDEV:
      return "CrossesDevices";
    case ENOTDIR:
      return "NotADirectory";
    case EISDIR:
      return "IsADirectory";
    case EINVAL:
      return "InvalidInput";
    case ETXTBSY:
      return "ExecutableFileBusy";
    case EFBIG:
      return "FileTooLarge";
    case ENOSPC:
      return "StorageFull";
    case ESPIPE:
      return "NotSeekable";
    case EROFS:
      return "ReadOnlyFilesystem";
    case EMLINK:
      return "TooManyLinks";
    case EPIPE:
      return "BrokenPipe";
    case EDEADLK:
      return "Deadlock";
    case ENAMETOOLONG:
      return "InvalidFilename";
    case ENOSYS:
      return "Unsupported";
    case ENOTEMPTY:
      return "DirectoryNotEmpty";
    case ELOOP:
      return "FilesystemLoop";
    case EADDRINUSE:
      return "AddrInUse";
    case EADDRNOTAVAIL:
      return "AddrNotAvailable";
    case ENETDOWN:
      return "NetworkDown";
    case ENETUNREACH:
      return "NetworkUnreachable";
    case ECONNABORTED:
      return "ConnectionAborted";
    case ECONNRESET:
      return "ConnectionReset";
    case ENOTCONN:
      return "NotConnected";
    case ETIMEDOUT:
      return "TimedOut";
    case ECONNREFUSED:
      return "ConnectionRefused";
    case EHOSTUNREACH:
      return "HostUnreachable";
    case ESTALE:
      return "StaleNetworkFileHandle";
    case EDQUOT:
      return "FilesystemQuotaExceeded";
    default:
      return "Uncategorized";
  }
}

uint64_t mix64(uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

uint64_t random_u64() {
  uint64_t value;
  if (::getrandom(&value, sizeof value, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof value)) {
    return value;
  }
  // No entropy at hand: O_EXCL still guarantees a fresh file, the name only needs to differ.
  static std::atomic<uint64_t> counter{0};
  timespec now;
  ::clock_gettime(CLOCK_REALTIME, &now);
  return mix64(static_cast<uint64_t>(now.tv_nsec) ^ (static_cast<uint64_t>(now.tv_sec) << 30) ^
               (static_cast<uint64_t>(::getpid()) << 48) ^ counter.fetch_add(1));
}

// "." + 16 hex digits + ".tmp": hidden, and its extension keeps the open-time loader away.
std::string temporary_file_name() {
  static constexpr char kHex[] = "0123456789abcdef";
  uint64_t bits = random_u64();
  std::string name(21, '.');
  for (int i = 0; i < 16; ++i) name[1 + i] = kHex[(bits >> (60 - 4 * i)) & 0x0f];
  std::memcpy(name.data() + 17, ".tmp", 4);
  return name;
}

int fsync_retrying(int fd) {
  int rc;
  do {
    rc = ::fsync(fd);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

// A temporary file being written: closed, and removed unless it was renamed into place.
class TemporaryFile {
 public:
  TemporaryFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  ~TemporaryFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  int fd() const { return fd_; }
  const std::string& path() const { return path_; }

  // Closes the descriptor; false when the close reported an error. On Linux the descriptor is
  // released even when close fails (EINTR included), so it is never closed twice.
  bool close() {
    int rc = ::close(fd_);
    fd_ = -1;
    return rc == 0 || errno == EINTR;
  }
  // The file now lives on under another name: nothing to remove.
  void renamed() { path_.clear(); }

 private:
  int fd_;
  std::string path_;
};

// Makes a finished rename durable. A failure here does not make the write fail: the new content
// is already in place and visible, only its survival of a power loss is less certain.
void sync_directory(const std::string& directory) {
  const char* path = directory.empty() ? "." : directory.c_str();
  int fd = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync_retrying(fd);
  ::close(fd);
}

// A new file of a name no other file has, in `directory`; nothing, with `err` set, when it
// cannot be created.
std::optional<TemporaryFile> create_temporary_file(const std::string& directory, int& err) {
  for (int attempt = 0;; ++attempt) {
    std::string path = join_path(directory, temporary_file_name());
    int fd = ::open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
    if (fd >= 0) return std::optional<TemporaryFile>(std::in_place, fd, std::move(path));
    err = errno;
    if (err == EINTR || (err == EEXIST && attempt < 64)) continue;
    return std::nullopt;
  }
}

// Writes all of `text`; the errno of a failed write, or 0.
int write_fully(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    text.remove_prefix(static_cast<size_t>(n));
  }
  return 0;
}

}  // namespace

bool create_file_if_absent(const std::string& directory, const std::string& path,
                           std::string_view text) {
  check_no_nul(directory);
  int err = 0;
  std::optional<TemporaryFile> created = create_temporary_file(directory, err);
  if (!created) throw Error::os(err);
  TemporaryFile& temp = *created;
  if (int write_err = write_fully(temp.fd(), text)) throw Error::os(write_err);
  if (fsync_retrying(temp.fd()) != 0 || !temp.close()) throw Error::os(errno);
  // A hard link puts the complete file in place only if the name is still free, so a file that
  // another process wrote meanwhile is never truncated.
  if (::link(temp.path().c_str(), path.c_str()) == 0) {
    sync_directory(directory);
    return true;
  }
  err = errno;
  if (err == EEXIST) return false;
  if (err != EPERM && err != EOPNOTSUPP && err != EMLINK) throw Error::os(err);
  // A file system without hard links: create the name exclusively and fill it.
  int fd = ::open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
  if (fd < 0) {
    if (errno == EEXIST) return false;
    throw Error::os(errno);
  }
  // A half-written file would keep the whole database from opening: remove it on failure.
  int failure = write_fully(fd, text);
  if (failure == 0 && fsync_retrying(fd) != 0) failure = errno;
  if (::close(fd) != 0 && failure == 0 && errno != EINTR) failure = errno;
  if (failure != 0) {
    ::unlink(path.c_str());
    throw Error::os(failure);
  }
  return true;
}

std::string os_error_rendering(int err) {
  char buffer[256];
  // GNU strerror_r returns the text, which may or may not live in buffer.
  const char* text = strerror_r(err, buffer, sizeof buffer);
  std::string rendering = "Os { code: ";
  rendering += std::to_string(err);
  rendering += ", kind: ";
  rendering += error_kind_name(err);
  rendering += ", message: \"";
  rendering += text;
  rendering += "\" }";
  return rendering;
}

void write_collection_file(const std::string& directory, const std::string& collection_path,
                           std::span<const JsonValue> documents) {
  // A NUL byte would cut the path short at the system call and name another file.
  if (directory.find('\0') != std::string::npos) {
    throw Error::file(std::string("Problem creating temporary file: ") + kNulInPath);
  }
  if (collection_path.find('\0') != std::string::npos) {
    throw Error::file(std::string("Error renaming file: ") + kNulInPath);
  }

  int err = 0;
  std::optional<TemporaryFile> created = create_temporary_file(directory, err);
  if (!created) throw Error::file("Problem creating temporary file: " + os_error_rendering(err));
  TemporaryFile& temp = *created;

  if (write_json_array(temp.fd(), documents) != 0) throw Error::value(kSerializeError);
  if (fsync_retrying(temp.fd()) != 0) throw Error::value(kSerializeError);
  if (!temp.close()) throw Error::value(kSerializeError);

  if (::rename(temp.path().c_str(), collection_path.c_str()) != 0) {
    int err = errno;
    throw Error::file("Error renaming file: " + os_error_rendering(err));
  }
  temp.renamed();
  sync_directory(directory);
}

}  // namespace tovra
