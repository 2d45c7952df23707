#include "store/fs.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "json/invariant.h"

namespace tovra::fs {

namespace {

// --- Fault injection ------------------------------------------------------------------------

struct Fault {
  uint64_t nth = 0;  // 0: none armed
  int err = 0;
  bool sticky = false;
};

struct FaultTable {
  std::array<uint64_t, static_cast<size_t>(Call::kCount)> counts{};
  std::array<Fault, static_cast<size_t>(Call::kCount)> faults{};
  bool any_armed = false;
};

// Every call runs with the interpreter lock held, so one table serves the process.
FaultTable fault_table;

// The errno a test asked this call to fail with, or 0. Counts every call.
int injected(Call call) noexcept {
  size_t index = static_cast<size_t>(call);
  uint64_t count = ++fault_table.counts[index];
  if (!fault_table.any_armed) return 0;
  const Fault& fault = fault_table.faults[index];
  if (fault.nth == 0) return 0;
  if (count == fault.nth || (fault.sticky && count > fault.nth)) return fault.err;
  return 0;
}

InterruptCheck interrupt_check = nullptr;

testing::Recorder recorder = nullptr;

void record(testing::Change change, std::string_view path, std::string_view target = {}) {
  if (recorder != nullptr) {
    testing::Record r;
    r.change = change;
    r.path = path;
    r.target = target;
    recorder(r);
  }
}

void record_fd(testing::Change change, int fd) noexcept {
  if (recorder != nullptr) {
    testing::Record r;
    r.change = change;
    r.fd = fd;
    recorder(r);
  }
}

// Runs `call` (a system call returning -1 and setting errno on failure) under the EINTR policy:
// an interruption asks the interrupt check, which may stop the operation; otherwise the call
// is retried. Returns 0 or the errno of the failure; `result` receives the call's value.
// An injected errno takes the place of the call's own, so an injected EINTR meets the same
// policy (and each retry counts as another call).
template <typename SystemCall>
int run(Call kind, SystemCall&& call, long& result) {
  for (;;) {
    int err = injected(kind);
    if (err == 0) {
      result = static_cast<long>(call());
      if (result != -1) return 0;
      err = errno;
    }
    if (err != EINTR) return err;
    check_interrupt();
  }
}

template <typename SystemCall>
int run(Call kind, SystemCall&& call) {
  long ignored;
  return run(kind, std::forward<SystemCall>(call), ignored);
}

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

std::string system_text(int err) {
  char buffer[256];
  // GNU strerror_r returns the text, which may or may not live in buffer.
  return strerror_r(err, buffer, sizeof buffer);
}

// Every caller refuses a path with a NUL byte first, with its own message; this only keeps such
// a path from ever reaching the kernel, cut short.
bool has_nul(const std::string& path) noexcept { return path.find('\0') != std::string::npos; }

}  // namespace

// --- Errors -------------------------------------------------------------------------------

std::string os_text(int err) {
  return system_text(err) + " (os error " + std::to_string(err) + ")";
}

std::string os_rendering(int err) {
  std::string rendering = "Os { code: ";
  rendering += std::to_string(err);
  rendering += ", kind: ";
  rendering += error_kind_name(err);
  rendering += ", message: \"";
  rendering += system_text(err);
  rendering += "\" }";
  return rendering;
}

Error os_error(int err) { return Error::os(err, os_text(err)); }

Error os_error(int err, std::string note) {
  Error error = os_error(err);
  error.set_note(std::move(note));
  return error;
}

void check_no_nul(std::string_view path, std::string_view prefix) {
  if (path.find('\0') != std::string_view::npos) {
    std::string message(prefix);
    message += "file name contained an unexpected NUL byte";
    throw Error::file(std::move(message));
  }
}

// --- Memory -------------------------------------------------------------------------------

void advise_large_pages(void* memory, size_t bytes) noexcept {
#ifdef MADV_HUGEPAGE
  (void)madvise(memory, bytes, MADV_HUGEPAGE);
#else
  (void)memory;
  (void)bytes;
#endif
}

// --- Interrupts ---------------------------------------------------------------------------

void set_interrupt_check(InterruptCheck check) noexcept { interrupt_check = check; }

void check_interrupt() {
  if (interrupt_check != nullptr && interrupt_check()) throw Error::interrupted();
}

// --- Descriptors --------------------------------------------------------------------------

File::~File() {
  if (fd_ >= 0) ::close(fd_);
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

int File::close() noexcept {
  if (fd_ < 0) return 0;
  int fd = fd_;
  fd_ = -1;
  record_fd(testing::Change::kClose, fd);
  if (int err = injected(Call::kClose)) {
    ::close(fd);
    return err == EINTR ? 0 : err;
  }
  if (::close(fd) == 0 || errno == EINTR) return 0;
  return errno;
}

int open_file(const std::string& path, OpenMode mode, File& file) {
  if (NEVER(has_nul(path))) return EINVAL;
  int flags = O_CLOEXEC;
  mode_t permissions = 0;
  switch (mode) {
    case OpenMode::kRead:
      flags |= O_RDONLY;
      break;
    case OpenMode::kReadNoBlock:
      flags |= O_RDONLY | O_NONBLOCK;
      break;
    case OpenMode::kDirectory:
      flags |= O_RDONLY | O_DIRECTORY;
      break;
    case OpenMode::kCreateNew:
      flags |= O_WRONLY | O_CREAT | O_EXCL;
      permissions = 0666;
      break;
    case OpenMode::kCreatePrivate:
      flags |= O_WRONLY | O_CREAT | O_EXCL;
      permissions = 0600;
      break;
  }
  long fd;
  if (int err = run(Call::kOpen, [&] { return ::open(path.c_str(), flags, permissions); }, fd)) {
    return err;
  }
  file = File(static_cast<int>(fd));
  if (recorder != nullptr) {
    testing::Record r;
    r.change = testing::Change::kOpen;
    r.fd = file.fd();
    r.path = path;
    r.created = (flags & O_CREAT) != 0;
    r.directory = mode == OpenMode::kDirectory;
    recorder(r);
  }
  return 0;
}

int read(const File& file, char* buffer, size_t capacity, size_t& count) {
  long n;
  if (int err = run(Call::kRead, [&] { return ::read(file.fd(), buffer, capacity); }, n)) {
    return err;
  }
  count = static_cast<size_t>(n);
  return 0;
}

int read_at(const File& file, uint64_t offset, char* buffer, size_t capacity, size_t& count) {
  long n;
  if (int err = run(Call::kRead,
                    [&] {
                      return ::pread(file.fd(), buffer, capacity, static_cast<off_t>(offset));
                    },
                    n)) {
    return err;
  }
  count = static_cast<size_t>(n);
  return 0;
}

int write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    long n;
    if (int err = run(Call::kWrite, [&] { return ::write(fd, bytes.data(), bytes.size()); }, n)) {
      return err;
    }
    // write(2) returns 0 only for an empty request; never spin on it.
    if (n == 0) return EIO;
    if (recorder != nullptr) {
      testing::Record r;
      r.change = testing::Change::kWrite;
      r.fd = fd;
      r.bytes = bytes.substr(0, static_cast<size_t>(n));
      recorder(r);
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return 0;
}

int write_all(const File& file, std::string_view bytes) { return write_all(file.fd(), bytes); }

int sync(const File& file) {
  int err = run(Call::kSync, [&] { return ::fsync(file.fd()); });
  if (err == 0) record_fd(testing::Change::kSync, file.fd());
  return err;
}

int sync_quietly(const File& file) noexcept {
  // Bounded only so that an injected EINTR that never ends cannot spin forever.
  for (int attempt = 0; attempt < 100; ++attempt) {
    int err = injected(Call::kSync);
    if (err == 0) {
      if (::fsync(file.fd()) == 0) {
        record_fd(testing::Change::kSync, file.fd());
        return 0;
      }
      err = errno;
    }
    if (err != EINTR) return err;
  }
  return EINTR;
}

int sync_file_system(const File& file) {
  int err = run(Call::kSync, [&] { return ::syncfs(file.fd()); });
  if (err == 0) record_fd(testing::Change::kSyncAll, file.fd());
  return err;
}

void start_writeback(const File& file, uint64_t offset, uint64_t length) noexcept {
#ifdef SYNC_FILE_RANGE_WRITE
  (void)::sync_file_range(file.fd(), static_cast<off_t>(offset), static_cast<off_t>(length),
                          SYNC_FILE_RANGE_WRITE);
#else
  (void)file;
  (void)offset;
  (void)length;
#endif
}

int stat_file(const File& file, struct stat& status) {
  return run(Call::kStat, [&] { return ::fstat(file.fd(), &status); });
}

int set_mode(const File& file, mode_t mode) {
  return run(Call::kChmod, [&] { return ::fchmod(file.fd(), mode); });
}

int set_owner(const File& file, uid_t owner, gid_t group) {
  return run(Call::kChown, [&] { return ::fchown(file.fd(), owner, group); });
}

mode_t creation_mask() noexcept {
  // The kernel shows the mask in the process's status; reading it there leaves it untouched for
  // other threads, which setting and restoring it would not.
  int fd = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    char buffer[4096];
    ssize_t n = ::read(fd, buffer, sizeof buffer - 1);
    ::close(fd);
    if (n > 0) {
      buffer[n] = '\0';
      if (const char* line = std::strstr(buffer, "\nUmask:")) {
        char* end = nullptr;
        unsigned long mask = std::strtoul(line + 7, &end, 8);
        if (end != line + 7) return static_cast<mode_t>(mask & 0777);
      }
    }
  }
  mode_t mask = ::umask(022);
  ::umask(mask);
  return mask;
}

// --- Paths --------------------------------------------------------------------------------

int stat_path(const std::string& path, struct stat& status) {
  if (NEVER(has_nul(path))) return EINVAL;
  return run(Call::kStat, [&] { return ::stat(path.c_str(), &status); });
}

int lstat_path(const std::string& path, struct stat& status) {
  if (NEVER(has_nul(path))) return EINVAL;
  return run(Call::kStat, [&] { return ::lstat(path.c_str(), &status); });
}

int make_directory(const std::string& path) {
  if (NEVER(has_nul(path))) return EINVAL;
  int err = run(Call::kMkdir, [&] { return ::mkdir(path.c_str(), 0777); });
  if (err == 0) record(testing::Change::kMkdir, path);
  return err;
}

int remove_file(const std::string& path) {
  if (NEVER(has_nul(path))) return EINVAL;
  int err = run(Call::kUnlink, [&] { return ::unlink(path.c_str()); });
  if (err == 0) record(testing::Change::kUnlink, path);
  return err;
}

void remove_file_quietly(const std::string& path) noexcept {
  if (NEVER(has_nul(path))) return;
  // Bounded only so that an injected EINTR that never ends cannot spin forever.
  for (int attempt = 0; attempt < 100; ++attempt) {
    int err = injected(Call::kUnlink);
    if (err == 0) {
      if (::unlink(path.c_str()) == 0) {
        record(testing::Change::kUnlink, path);
        return;
      }
      err = errno;
    }
    if (err != EINTR) return;
  }
}

int remove_directory(const std::string& path) {
  if (NEVER(has_nul(path))) return EINVAL;
  int err = run(Call::kRmdir, [&] { return ::rmdir(path.c_str()); });
  if (err == 0) record(testing::Change::kRmdir, path);
  return err;
}

int rename_file(const std::string& from, const std::string& to) {
  if (NEVER(has_nul(from) || has_nul(to))) return EINVAL;
  int err = run(Call::kRename, [&] { return ::rename(from.c_str(), to.c_str()); });
  if (err == 0) record(testing::Change::kRename, from, to);
  return err;
}

int link_file(const std::string& existing, const std::string& new_path) {
  if (NEVER(has_nul(existing) || has_nul(new_path))) return EINVAL;
  int err = run(Call::kLink, [&] { return ::link(existing.c_str(), new_path.c_str()); });
  if (err == 0) record(testing::Change::kLink, existing, new_path);
  return err;
}

int list_directory(const std::string& path, bool strict, std::vector<std::string>& names) {
  if (NEVER(has_nul(path))) return EINVAL;
  DIR* dir = nullptr;
  if (int err = run(Call::kOpendir, [&] {
        dir = ::opendir(path.c_str());
        return dir == nullptr ? -1 : 0;
      })) {
    return err;
  }
  struct Closer {
    DIR* dir;
    ~Closer() { ::closedir(dir); }
  } closer{dir};
  for (;;) {
    errno = 0;
    struct dirent* entry = ::readdir(dir);
    if (entry == nullptr) {
      if (errno != 0 && strict) return errno;
      return 0;
    }
    std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    names.emplace_back(name);
  }
}

uint64_t random_u64() noexcept {
  uint64_t value;
  if (::getrandom(&value, sizeof value, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof value)) {
    return value;
  }
  // No entropy at hand: the names only need to differ, O_EXCL guarantees a fresh file.
  static std::atomic<uint64_t> counter{0};
  timespec now;
  ::clock_gettime(CLOCK_REALTIME, &now);
  uint64_t x = static_cast<uint64_t>(now.tv_nsec) ^ (static_cast<uint64_t>(now.tv_sec) << 30) ^
               (static_cast<uint64_t>(::getpid()) << 48) ^ counter.fetch_add(1);
  // splitmix64's finaliser spreads the bits over the whole word.
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

// --- Fault injection ------------------------------------------------------------------------

namespace testing {

void fail_call(Call call, uint64_t nth, int err, bool sticky) noexcept {
  Fault& fault = fault_table.faults[static_cast<size_t>(call)];
  fault.nth = fault_table.counts[static_cast<size_t>(call)] + nth;
  fault.err = err;
  fault.sticky = sticky;
  fault_table.any_armed = true;
}

uint64_t calls(Call call) noexcept { return fault_table.counts[static_cast<size_t>(call)]; }

void reset() noexcept { fault_table = FaultTable{}; }

void set_recorder(Recorder new_recorder) noexcept { recorder = new_recorder; }

}  // namespace testing

}  // namespace tovra::fs
