// The file-system layer: every system call of tovra goes through this file and no other.
//
// It gives the rest of the store
//   - one owning descriptor type (File) and one directory listing;
//   - one write-everything loop, in which a write of zero bytes is an error (EIO), never a spin;
//   - one check for NUL bytes in paths, and one rendering of an OS error in each of its forms;
//   - one EINTR policy: a call interrupted by a signal asks the interrupt check first, stops
//     with Error::interrupted() when it says so, and retries otherwise;
//   - fault injection, so tests can make the nth call of a kind fail with a chosen errno, and a
//     recorder, so tests can see every change a call made to the file system, in order.
// Functions that report an errno return it (0 for success) and leave messages to the caller,
// which knows the operation; functions that throw say so.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "json/error.h"

namespace tovra::fs {

// --- Errors -------------------------------------------------------------------------------

// "<system text> (os error N)", the form every OS error passed on unchanged takes.
std::string os_text(int err);
// "Os { code: 13, kind: PermissionDenied, message: \"Permission denied\" }": the error number,
// its kind name ("Uncategorized" for numbers without one) and the C library's description, the
// form that file operations reported in the system's own words carry.
std::string os_rendering(int err);
// Error::os with the text above; with `note` (what failed on which path) as its note.
Error os_error(int err);
Error os_error(int err, std::string note);

// A path holding a NUL byte would be cut short by the system call and name another file: such
// a path is refused with Error::file(prefix + "file name contained an unexpected NUL byte").
void check_no_nul(std::string_view path, std::string_view prefix = {});

// --- Memory -------------------------------------------------------------------------------

// Asks the kernel to back [memory, memory + bytes) with transparent large pages, where the
// system allows them for memory that asks (a hint: refused or unsupported, nothing changes).
// Fits Arena::set_large_chunk_hint.
void advise_large_pages(void* memory, size_t bytes) noexcept;

// --- Interrupts ---------------------------------------------------------------------------

// Returns true when the running operation must stop (the binding installs a check that runs
// pending signal handlers and reports whether one raised). Without a check nothing stops.
using InterruptCheck = bool (*)();
void set_interrupt_check(InterruptCheck check) noexcept;
// Throws Error::interrupted() when the installed check asks to stop.
void check_interrupt();

// Calls check_interrupt() once every `period` ticks: cheap enough for a per-document loop.
// A tick may weigh more than one (a buffer of bytes counts its size).
class InterruptPoll {
 public:
  explicit InterruptPoll(uint32_t period = 4096) noexcept : period_(period), left_(period) {}
  void tick(uint32_t weight = 1) {
    if (weight < left_) {
      left_ -= weight;
      return;
    }
    left_ = period_;
    check_interrupt();
  }

 private:
  uint32_t period_;
  uint32_t left_;
};

// --- Descriptors --------------------------------------------------------------------------

// An open file descriptor, closed when the File goes.
class File {
 public:
  File() noexcept = default;
  explicit File(int fd) noexcept : fd_(fd) {}
  ~File();
  File(File&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  bool is_open() const noexcept { return fd_ >= 0; }
  int fd() const noexcept { return fd_; }
  // Closes now: 0, or the errno of a close that reported an error. The descriptor is released
  // either way (on Linux, even after EINTR), so it is never closed twice.
  int close() noexcept;

 private:
  int fd_ = -1;
};

// How open_file opens a path.
enum class OpenMode {
  kRead,           // read-only; a FIFO blocks until a writer comes (interruptibly)
  kReadNoBlock,    // read-only, never blocking on a FIFO or device at open
  kDirectory,      // a directory, for fsync
  kCreateNew,      // write-only, created, failing with EEXIST when the name exists (mode 0666)
  kCreatePrivate,  // the same with mode 0600: no other user may open it while it is written
};

// Opens `path`: 0 and `file` set, or an errno.
int open_file(const std::string& path, OpenMode mode, File& file);

// Reads up to `capacity` bytes: 0 and `count` set (0 at the end), or an errno.
int read(const File& file, char* buffer, size_t capacity, size_t& count);
// Reads up to `capacity` bytes at `offset` without moving the file position (pread): as read.
// A pipe or socket cannot be read this way (ESPIPE).
int read_at(const File& file, uint64_t offset, char* buffer, size_t capacity, size_t& count);
// Writes all of `bytes`: 0, or the errno of the write that failed.
int write_all(const File& file, std::string_view bytes);
int write_all(int fd, std::string_view bytes);
int sync(const File& file);
// Writes back every file and directory of the file system holding `file` and waits for it: one
// wait for any number of files (their errors since `file` was opened are reported too).
int sync_file_system(const File& file);
// sync() for a best-effort step whose failure is not reported: EINTR is retried without asking
// the interrupt check (a pending signal is seen at the next check).
int sync_quietly(const File& file) noexcept;
// Starts writing [offset, offset + length) of `file` back to its device without waiting for it,
// so that a later sync finds most of a large file already written while its writer went on
// formatting the rest (a hint: where it is refused or unsupported, the sync does it all).
void start_writeback(const File& file, uint64_t offset, uint64_t length) noexcept;
int stat_file(const File& file, struct stat& status);
// Sets the permission bits of `file`.
int set_mode(const File& file, mode_t mode);
// Sets the owner and group of `file`.
int set_owner(const File& file, uid_t owner, gid_t group);

// The process's file mode creation mask, read without changing it where the system tells it.
mode_t creation_mask() noexcept;

// --- Paths --------------------------------------------------------------------------------

// stat(2), following symbolic links.
int stat_path(const std::string& path, struct stat& status);
// lstat(2): the name itself, a symbolic link not followed.
int lstat_path(const std::string& path, struct stat& status);
int make_directory(const std::string& path);  // mode 0777 before the umask
int remove_file(const std::string& path);
// Removes a file on a cleanup path (a temporary or half-written file, after a failure or from a
// destructor), which must neither throw nor stop half-way: EINTR is retried without asking the
// interrupt check (a pending signal is seen at the next check), and other failures are
// ignored, since the caller is already reporting one or has nothing to report.
void remove_file_quietly(const std::string& path) noexcept;
int remove_directory(const std::string& path);
int rename_file(const std::string& from, const std::string& to);
int link_file(const std::string& existing, const std::string& new_path);

// The names in directory `path`, without "." and "..", in directory order: 0, or the errno of
// the open or (when `strict`) of a failed read; a failed read otherwise ends the listing.
int list_directory(const std::string& path, bool strict, std::vector<std::string>& names);

// 64 random bits for names of temporary files; never fails (falls back to the clock).
uint64_t random_u64() noexcept;

// --- Fault injection (tests) --------------------------------------------------------------

// The kinds of call a test can make fail.
enum class Call {
  kOpen, kRead, kWrite, kSync, kClose, kStat, kMkdir, kUnlink, kRmdir, kRename, kLink,
  kOpendir, kChmod, kChown,
  kCount
};

namespace testing {
// Makes the `nth` (1-based) call of kind `call`, counted from now, fail with `err`, and every
// later one when `sticky`. Replaces an earlier fault of that kind. An injected EINTR meets the
// EINTR policy like a real one: the interrupt check is asked, and a retry counts as a call.
void fail_call(Call call, uint64_t nth, int err, bool sticky = false) noexcept;
// Calls of kind `call` made since the last reset.
uint64_t calls(Call call) noexcept;
// Removes every fault and zeroes the counts (the recorder stays).
void reset() noexcept;

// A change to the file system, reported by the call that made it once it has succeeded.
enum class Change {
  kOpen,       // `fd` opened on `path` (`created`: made by this open; `directory`: for its sync)
  kWrite,      // `bytes` appended to `fd`
  kSync,       // `fd` synced
  kSyncAll,    // the whole file system of `fd` synced
  kClose,      // `fd` closed
  kRename,     // `path` renamed to `target`
  kLink,       // `path` linked as `target`
  kUnlink,     // `path` removed
  kMkdir,      // directory `path` made
  kRmdir,      // directory `path` removed
};
struct Record {
  Change change = Change::kOpen;
  int fd = -1;
  std::string_view path;
  std::string_view target;
  std::string_view bytes;
  bool created = false;
  bool directory = false;
};
using Recorder = void (*)(const Record& record);
// Sends every change to `recorder` from now on (nullptr: none).
void set_recorder(Recorder recorder) noexcept;
}  // namespace testing

}  // namespace tovra::fs
