// The fault-injection walk of the store. Each operation is run once cleanly to count its system
// calls of each kind; then, for every kind and every n up to that count, a fresh copy of the
// scene is built and the nth call of that kind fails with a representative errno. Each outcome
// is checked: the documented error (or success, where a failure is deliberately ignored), files
// either as they were or complete (never torn), no temporary file left, and the objects working
// again once the fault is gone. The same points are then hit with EINTR, once without a pending
// stop (retried, so the operation succeeds) and once with one (Error::interrupted(), leaving
// what a failure at that point leaves).
// Plain program: prints each failed check and ends with "N passed, N failed".
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "json/error.h"
#include "json/json_reader.h"
#include "json/json_value.h"
#include "json/json_writer.h"
#include "store/database.h"
#include "store/fs.h"
#include "test_support.h"

namespace fs = tovra::fs;
using fs::Call;
using test_support::directory_entries;
using test_support::read_file;
using test_support::write_file;
using tovra::Database;
using tovra::Error;
using tovra::ErrorKind;
using tovra::JsonMember;
using tovra::JsonValue;

namespace {

constexpr size_t kKinds = static_cast<size_t>(Call::kCount);
using Counts = std::array<uint64_t, kKinds>;

const char* call_name(Call call) {
  static const char* const kNames[] = {"open",   "read",  "write", "sync",   "close",
                                       "stat",   "mkdir", "unlink", "rmdir", "rename",
                                       "link",   "opendir", "chmod", "chown"};
  static_assert(sizeof kNames / sizeof kNames[0] == kKinds);
  return call == Call::kCount ? "none" : kNames[static_cast<size_t>(call)];
}

struct Fault {
  Call call;
  int err;
};

// One errno per kind; link also with each errno that sends the initial file of a collection
// down the path for file systems without hard links, and with one that does not.
const std::vector<Fault> kFaults = {
    {Call::kOpen, EMFILE},   {Call::kRead, EIO},        {Call::kWrite, ENOSPC},
    {Call::kSync, EIO},      {Call::kClose, EIO},       {Call::kStat, EACCES},
    {Call::kMkdir, EACCES},  {Call::kUnlink, EACCES},   {Call::kRmdir, EBUSY},
    {Call::kRename, EXDEV},  {Call::kLink, EPERM},      {Call::kLink, ENOSYS},
    {Call::kLink, EOPNOTSUPP}, {Call::kLink, EMLINK},   {Call::kLink, EACCES},
    {Call::kOpendir, EMFILE}, {Call::kChmod, EPERM},    {Call::kChown, EPERM},
};

// The errno standing for "this call failed" when an interruption stops an operation there.
int failing_errno(Call call) {
  if (call == Call::kLink) return EACCES;
  for (const Fault& fault : kFaults) {
    if (fault.call == call) return fault.err;
  }
  return EIO;
}

bool falls_back_without_links(int err) {
  return err == EPERM || err == ENOSYS || err == EOPNOTSUPP || err == EMLINK;
}

// Where the fault hits: the nth call of a kind (kCount: no fault).
struct Point {
  Call call = Call::kCount;
  uint64_t nth = 0;
  int err = 0;
};

// What a fault at a point must give.
struct Expect {
  bool ok = true;  // the failure is ignored and the operation succeeds
  ErrorKind kind = ErrorKind::kOs;
  std::string message;
  int os_errno = 0;
  bool committed = false;       // the change is already on disk when the operation stops here
  bool interruptible = true;    // EINTR here may stop the operation
  bool temp_may_remain = false;  // the failing call is the removal of the temporary file
  bool keeps_mode = true;       // a write gives the new file the old one's permission bits
  bool keeps_owner = true;      // ... and its owner
};

Expect success() { return Expect{}; }

Expect failure(ErrorKind kind, std::string message, bool committed = false) {
  Expect e;
  e.ok = false;
  e.kind = kind;
  e.message = std::move(message);
  e.committed = committed;
  return e;
}

Expect os_failure(int err) {
  Expect e = failure(ErrorKind::kOs, fs::os_text(err));
  e.os_errno = err;
  return e;
}

std::string context(const std::string& name, const Point& p, const char* phase) {
  return name + " " + phase + ": " + call_name(p.call) + " #" + std::to_string(p.nth) +
         " errno " + std::to_string(p.err);
}

std::string describe(const std::optional<Error>& error) {
  return error ? " [got: " + error->message() + "]" : " [got success]";
}

std::optional<Error> capture(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const Error& e) {
    return e;
  }
  return std::nullopt;
}

bool is_temporary_name(const std::string& name) {
  if (name.size() != 21 || name[0] != '.' || name.compare(17, 4, ".tmp") != 0) return false;
  for (size_t i = 1; i < 17; ++i) {
    if (!std::isxdigit(static_cast<unsigned char>(name[i]))) return false;
  }
  return true;
}

std::vector<std::string> temporary_files(const std::string& dir) {
  std::vector<std::string> found;
  for (const std::string& name : directory_entries(dir)) {
    if (is_temporary_name(name)) found.push_back(name);
  }
  return found;
}

bool exists(const std::string& path) {
  struct stat status;
  return lstat(path.c_str(), &status) == 0;
}

// Removes a scene: a directory of files, possibly holding one directory of files.
void remove_tree(const std::string& dir) {
  for (const std::string& name : directory_entries(dir)) {
    std::string path = dir + "/" + name;
    struct stat status;
    if (lstat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
      remove_tree(path);
    } else {
      unlink(path.c_str());
    }
  }
  rmdir(dir.c_str());
}

JsonValue document(int i, size_t pad) {
  std::vector<JsonMember> members;
  members.push_back({JsonValue::string("i"), JsonValue::integer(i)});
  members.push_back({JsonValue::string("s"), JsonValue::string(std::string(pad, 'x'))});
  return JsonValue::object(members);
}

std::vector<JsonValue> documents(int from, int count, size_t pad) {
  std::vector<JsonValue> out;
  for (int i = from; i < from + count; ++i) out.push_back(document(i, pad));
  return out;
}

std::string array_text(std::vector<JsonValue> values) {
  return tovra::to_json(JsonValue::array_from(values));
}

// Writes the collection file `name` of `dir` holding `values`; returns its text.
std::string write_collection(const std::string& dir, const std::string& name,
                             std::vector<JsonValue> values) {
  std::string text = array_text(std::move(values));
  write_file(dir + "/" + name + ".json", text);
  return text;
}

std::string initial_text(const std::string& name) { return "{ \"" + name + "\":[] }"; }

std::vector<JsonValue> in_memory(const Database& db, std::string_view name) {
  tovra::CollectionHandle handle = db.lookup(name);
  if (handle == nullptr) return {};
  return tovra::Collection::ReadGuard(*handle).documents();
}

size_t found(Database& db, std::string_view name) {
  return db.find(name, tovra::parse_json("{}"))->size();
}

std::vector<JsonValue> concat(std::vector<JsonValue> a, const std::vector<JsonValue>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// An operation under test, with the scene it runs in.
class Case {
 public:
  explicit Case(std::string name) : name_(std::move(name)) {}
  virtual ~Case() = default;
  const std::string& name() const { return name_; }

  // Builds the scene in `dir` (new and empty), without faults.
  virtual void prepare(const std::string& dir) = 0;
  // A fault armed (sticky) for the whole run; its kind is not walked.
  virtual std::optional<Fault> background() const { return std::nullopt; }
  virtual void run() = 0;
  // What a fault at `p` must give; nothing for a point the case does not know (a failure).
  virtual std::optional<Expect> expect(const Point& p) const = 0;
  // The files and objects after run(): `error` is what it threw.
  virtual void check_state(const Point& p, const Expect& e, const std::optional<Error>& error,
                           const std::string& ctx) = 0;
  // With no fault armed, the objects still work.
  virtual void check_usable(const std::string& ctx) = 0;

  Counts clean{};

 protected:
  std::string name_;
  std::string dir_;
};

std::string scratch_root;
int scene_number = 0;

// One run of a case in a scene of its own: a new directory that the case fills, the case's
// background fault and `arm` armed, the operation run, and every fault and interrupt check
// disarmed again, keeping the count of calls of each kind made by then. The directory goes
// with this object.
class Scene {
 public:
  explicit Scene(Case& c, const std::function<void()>& arm = nullptr)
      : dir_(scratch_root + "/s" + std::to_string(++scene_number)) {
    mkdir(dir_.c_str(), 0777);
    c.prepare(dir_);
    fs::testing::reset();
    if (std::optional<Fault> background = c.background()) {
      fs::testing::fail_call(background->call, 1, background->err, /*sticky=*/true);
    }
    if (arm) arm();
    error_ = capture([&] { c.run(); });
    for (size_t k = 0; k < kKinds; ++k) calls_[k] = fs::testing::calls(static_cast<Call>(k));
    fs::set_interrupt_check(nullptr);
    fs::testing::reset();
  }
  ~Scene() {
    fs::testing::reset();
    fs::set_interrupt_check(nullptr);
    remove_tree(dir_);
  }
  Scene(const Scene&) = delete;
  Scene& operator=(const Scene&) = delete;

  const std::string& dir() const { return dir_; }
  const std::optional<Error>& error() const { return error_; }
  const Counts& calls() const { return calls_; }
  uint64_t calls(Call call) const { return calls_[static_cast<size_t>(call)]; }

 private:
  std::string dir_;
  std::optional<Error> error_;
  Counts calls_{};
};

// What a scene arms: the nth call of a kind fails with `err` (and every call after it, when
// sticky)...
std::function<void()> fail_at(Call call, uint64_t n, int err, bool sticky = false) {
  return [=] { fs::testing::fail_call(call, n, err, sticky); };
}

// ... or with EINTR, and `check` says whether to stop there.
std::function<void()> interrupt_at(Call call, uint64_t n, fs::InterruptCheck check,
                                   bool sticky = false) {
  return [=] {
    fs::set_interrupt_check(check);
    fs::testing::fail_call(call, n, EINTR, sticky);
  };
}

// The run succeeded and left the files and objects as a run without faults does.
void check_clean_outcome(Case& c, const Scene& scene, const std::string& ctx) {
  CHECK_MSG(!scene.error(), ctx + describe(scene.error()));
  CHECK_MSG(temporary_files(scene.dir()).empty(), ctx);
  c.check_state(Point{}, success(), scene.error(), ctx);
}

void count_clean_run(Case& c) {
  Scene scene(c);
  c.clean = scene.calls();
  std::string ctx = c.name() + " clean";
  check_clean_outcome(c, scene, ctx);
  c.check_usable(ctx);
}

void check_outcome(const Expect& e, const std::optional<Error>& error, const std::string& ctx) {
  if (e.ok) {
    CHECK_MSG(!error, ctx + describe(error));
    return;
  }
  CHECK_MSG(error && error->kind() == e.kind && error->message() == e.message,
            ctx + " [want: " + e.message + "]" + describe(error));
  if (error && e.kind == ErrorKind::kOs) CHECK_MSG(error->os_errno() == e.os_errno, ctx);
}

// Every failure point of the case, with every errno listed for its kind.
void walk_failures(Case& c) {
  std::optional<Fault> background = c.background();
  for (const Fault& fault : kFaults) {
    if (background && background->call == fault.call) continue;
    for (uint64_t n = 1; n <= c.clean[static_cast<size_t>(fault.call)]; ++n) {
      Point p{fault.call, n, fault.err};
      std::string ctx = context(c.name(), p, "fault");
      Scene scene(c, fail_at(fault.call, n, fault.err));
      CHECK_MSG(scene.calls(fault.call) >= n, ctx + " (the fault never fired)");
      std::optional<Expect> e = c.expect(p);
      CHECK_MSG(e.has_value(), ctx + " (no expectation for this point)");
      if (e) {
        check_outcome(*e, scene.error(), ctx);
        if (!e->temp_may_remain) {
          CHECK_MSG(temporary_files(scene.dir()).empty(), ctx + " (temp left)");
        }
        c.check_state(p, *e, scene.error(), ctx);
      }
      c.check_usable(ctx);
    }
  }
}

bool stop_now() { return true; }

// EINTR at the nth call of a kind, without a stop: retried, so the operation succeeds.
void check_interruption_retried(Case& c, Call call, uint64_t n) {
  std::string ctx = context(c.name(), Point{call, n, EINTR}, "EINTR retried");
  Scene scene(c, fail_at(call, n, EINTR));
  check_clean_outcome(c, scene, ctx);
}

// EINTR at the nth call of a kind with a stop: the operation ends as a failure there would
// end it.
void check_interruption_stopped(Case& c, Call call, uint64_t n) {
  Point stopped{call, n, failing_errno(call)};
  std::string ctx = context(c.name(), stopped, "EINTR with a stop");
  Scene scene(c, interrupt_at(call, n, stop_now));
  const std::optional<Error>& error = scene.error();
  std::optional<Expect> e = c.expect(stopped);
  CHECK_MSG(e.has_value(), ctx + " (no expectation for this point)");
  // A close that reports EINTR has released the descriptor: nothing is left to stop.
  bool interruptible = e && e->interruptible && call != Call::kClose;
  if (interruptible) {
    CHECK_MSG(error && error->kind() == ErrorKind::kInterrupted, ctx + describe(error));
    e->ok = false;
  } else {
    CHECK_MSG(!error, ctx + describe(error));
  }
  CHECK_MSG(temporary_files(scene.dir()).empty(), ctx + " (temp left)");
  if (e) {
    if (interruptible) {
      c.check_state(stopped, *e, error, ctx);
    } else {
      c.check_state(Point{}, success(), error, ctx);
    }
  }
  c.check_usable(ctx);
}

// Every call point hit by EINTR: retried without a stop, the end of the operation with one.
void walk_interruptions(Case& c) {
  std::optional<Fault> background = c.background();
  for (size_t k = 0; k < kKinds; ++k) {
    Call call = static_cast<Call>(k);
    if (background && background->call == call) continue;
    for (uint64_t n = 1; n <= c.clean[k]; ++n) {
      check_interruption_retried(c, call, n);
      check_interruption_stopped(c, call, n);
    }
  }
}

void walk(Case& c) {
  count_clean_run(c);
  std::string counts;
  for (size_t k = 0; k < kKinds; ++k) {
    if (c.clean[k] != 0) counts += " " + std::string(call_name(static_cast<Call>(k))) + "=" +
                                   std::to_string(c.clean[k]);
  }
  std::printf("%s:%s\n", c.name().c_str(), counts.c_str());
  walk_failures(c);
  walk_interruptions(c);
}

// --- Writing a collection ---------------------------------------------------------------------

// The outcome of a fault at the nth call of a kind within the write of one collection file.
std::optional<Expect> write_step(Call call, uint64_t n, int err) {
  const std::string rendering = fs::os_rendering(err);
  const ErrorKind file = ErrorKind::kFile;
  switch (call) {
    case Call::kOpen:  // the directory, then the temporary file
      if (n <= 2) return failure(file, "Problem creating temporary file: " + rendering);
      break;
    case Call::kWrite:
      return failure(ErrorKind::kValue, "Error serializing JSON");
    case Call::kStat: {  // the old file's status, then the new file's (for its owner)
      Expect e = success();
      if (n == 1) e.keeps_mode = false;
      e.keeps_owner = false;
      if (n <= 2) return e;
      break;
    }
    case Call::kChmod:
      if (n == 1) return failure(file, "Error setting file permissions: " + rendering);
      break;
    case Call::kChown:  // a refused change of owner keeps the process's own
      if (n == 1) {
        Expect e = success();
        e.keeps_owner = false;
        return e;
      }
      break;
    case Call::kSync:  // the temporary file, then the directory after the rename
      if (n == 1) return failure(ErrorKind::kValue, "Error serializing JSON");
      if (n == 2) return failure(file, "Error syncing directory: " + rendering, true);
      break;
    case Call::kClose:
      if (n == 1) return failure(ErrorKind::kValue, "Error serializing JSON");
      break;
    case Call::kRename:
      if (n == 1) return failure(file, "Error renaming file: " + rendering);
      break;
    default:
      break;
  }
  return std::nullopt;
}

constexpr mode_t kOldMode = 0640;
// As root, the old files belong to someone else, so that a write must carry the owner over.
const bool kChangeOwner = geteuid() == 0;
constexpr uid_t kOldOwner = 4321;

// A collection file with permission bits and owner of its own, and one more document in memory.
struct WrittenCollection {
  std::string path;
  std::string old_text;
  std::string new_text;
  std::vector<JsonValue> now;

  void prepare(const std::string& dir, const std::string& name) {
    std::vector<JsonValue> old = documents(0, 40, 7500);  // two buffers, one interrupt check
    path = dir + "/" + name + ".json";
    old_text = write_collection(dir, name, old);
    chmod(path.c_str(), kOldMode);
    if (kChangeOwner && chown(path.c_str(), kOldOwner, kOldOwner) != 0) std::perror("chown");
    now = concat(old, {document(99, 5)});
    new_text = array_text(now);
  }

  // Returns true when the file holds the new text.
  bool check(bool want_new, const Expect& e, const std::string& ctx) const {
    std::string text = read_file(path);
    CHECK_MSG(text == old_text || text == new_text, ctx + " (torn file)");
    CHECK_MSG(text == (want_new ? new_text : old_text), ctx + " (" + path + ")");
    struct stat status;
    CHECK_MSG(stat(path.c_str(), &status) == 0, ctx);
    bool replaced = text == new_text;
    if (!replaced || e.keeps_mode) CHECK_MSG((status.st_mode & 07777) == kOldMode, ctx + " mode");
    if (kChangeOwner && (!replaced || e.keeps_owner)) {
      CHECK_MSG(status.st_uid == kOldOwner && status.st_gid == kOldOwner, ctx + " owner");
    }
    return replaced;
  }
};

class WriteCase : public Case {
 public:
  WriteCase() : Case("write") {}
  void prepare(const std::string& dir) override {
    dir_ = dir;
    c_.prepare(dir, "c");
    db_ = std::make_unique<Database>(dir);
    db_->insert("c", document(99, 5));
  }
  void run() override { db_->write("c"); }
  std::optional<Expect> expect(const Point& p) const override {
    return write_step(p.call, p.nth, p.err);
  }
  void check_state(const Point&, const Expect& e, const std::optional<Error>& error,
                   const std::string& ctx) override {
    c_.check(!error || e.committed, e, ctx);
    CHECK_MSG(directory_entries(dir_) == std::vector<std::string>{"c.json"}, ctx);
    CHECK_MSG(in_memory(*db_, "c") == c_.now, ctx);
  }
  void check_usable(const std::string& ctx) override {
    CHECK_MSG(!capture([&] { db_->write("c"); }), ctx + " (write again)");
    CHECK_MSG(read_file(c_.path) == c_.new_text, ctx);
    CHECK_MSG(found(*db_, "c") == c_.now.size(), ctx);
    Database reopened(dir_);
    CHECK_MSG(in_memory(reopened, "c") == c_.now, ctx);
  }

 private:
  WrittenCollection c_;
  std::unique_ptr<Database> db_;
};

// Two collections of the same size, so each makes half of every kind of call.
class WriteAllCase : public Case {
 public:
  WriteAllCase() : Case("write_all") {}
  void prepare(const std::string& dir) override {
    dir_ = dir;
    a_.prepare(dir, "a");
    b_.prepare(dir, "b");
    db_ = std::make_unique<Database>(dir);
    db_->insert("a", document(99, 5));
    db_->insert("b", document(99, 5));
  }
  void run() override { db_->write_all(); }
  // The steps: the directory's open; each temporary file written, given its mode and closed, in
  // turn; one sync of the file system; each rename; one sync of the directory.
  std::optional<Expect> expect(const Point& p) const override {
    const ErrorKind file = ErrorKind::kFile;
    const std::string rendering = fs::os_rendering(p.err);
    switch (p.call) {
      case Call::kOpen:
        if (p.nth == 1) return failure(file, "Problem creating temporary file: " + rendering);
        return write_step(p.call, 2, p.err);
      case Call::kSync:
        // A failed sync of the file system is followed by one sync of each file, which pass.
        if (p.nth == 1) return success();
        if (p.nth == 2) return failure(file, "Error syncing directory: " + rendering, true);
        return std::nullopt;
      default: {
        uint64_t per_collection = clean[static_cast<size_t>(p.call)] / 2;
        if (per_collection == 0) return std::nullopt;
        return write_step(p.call, (p.nth - 1) % per_collection + 1, p.err);
      }
    }
  }
  // How many collections keep their old file after a failure at `p`.
  int old_after(const Point& p, const Expect& e, const std::optional<Error>& error) const {
    if (!error || e.committed) return 0;
    if (error->kind() != ErrorKind::kInterrupted) {
      return p.call == Call::kOpen && p.nth == 1 ? 2 : 1;
    }
    // An interruption before the renames changes no file; one at a rename keeps those renamed.
    if (p.call == Call::kRename) return 3 - static_cast<int>(p.nth);
    return 2;
  }
  void check_state(const Point& p, const Expect& e, const std::optional<Error>& error,
                   const std::string& ctx) override {
    int want_old = old_after(p, e, error);
    int old = 0;
    for (const WrittenCollection* c : {&a_, &b_}) {
      std::string text = read_file(c->path);
      CHECK_MSG(text == c->old_text || text == c->new_text, ctx + " (torn file)");
      if (text == c->old_text) ++old;
      c->check(text == c->new_text, text == c->new_text ? e : success(), ctx);
    }
    CHECK_MSG(old == want_old, ctx + " old files: " + std::to_string(old));
    CHECK_MSG(directory_entries(dir_).size() == 2, ctx);
  }
  void check_usable(const std::string& ctx) override {
    CHECK_MSG(!capture([&] { db_->write_all(); }), ctx + " (write_all again)");
    CHECK_MSG(read_file(a_.path) == a_.new_text && read_file(b_.path) == b_.new_text, ctx);
  }

  // Every rename refused: both fail, the first failure is reported, both files stay.
  void check_all_failing() {
    Scene scene(*this, fail_at(Call::kRename, 1, EXDEV, /*sticky=*/true));
    const std::optional<Error>& error = scene.error();
    CHECK(scene.calls(Call::kRename) == 2);
    CHECK(error && error->kind() == ErrorKind::kFile &&
          error->message() ==
              "Error renaming file: Os { code: 18, kind: CrossesDevices, message: \"Invalid "
              "cross-device link\" }");
    CHECK(read_file(a_.path) == a_.old_text && read_file(b_.path) == b_.old_text);
    CHECK(temporary_files(scene.dir()).empty());
    check_usable("write_all after refused renames");
  }

  // The sync of the file system fails, and so does each file's own sync after it: both fail to
  // serialise and keep their old files. With only the second file's own sync failing (its
  // reopening refused), only it keeps its old file.
  void check_failed_syncs() {
    {
      Scene scene(*this, fail_at(Call::kSync, 1, EIO, /*sticky=*/true));
      const std::optional<Error>& error = scene.error();
      CHECK(error && error->kind() == ErrorKind::kValue &&
            error->message() == "Error serializing JSON");
      CHECK(read_file(a_.path) == a_.old_text && read_file(b_.path) == b_.old_text);
      CHECK(temporary_files(scene.dir()).empty());
      check_usable("write_all after failed syncs");
    }
    Scene scene(*this, [] {
      fs::testing::fail_call(Call::kSync, 1, EIO);
      fs::testing::fail_call(Call::kOpen, 5, EMFILE);  // directory, two temporary files, reopen
    });
    const std::optional<Error>& error = scene.error();
    CHECK(error && error->message() == "Error serializing JSON");
    int old = (read_file(a_.path) == a_.old_text) + (read_file(b_.path) == b_.old_text);
    int fresh = (read_file(a_.path) == a_.new_text) + (read_file(b_.path) == b_.new_text);
    CHECK(old == 1 && fresh == 1);
    CHECK(temporary_files(scene.dir()).empty());
    check_usable("write_all after one failed sync");
  }

 private:
  WrittenCollection a_;
  WrittenCollection b_;
  std::unique_ptr<Database> db_;
};

// --- Creating a collection --------------------------------------------------------------------

// The outcome of a fault within the creation of one initial collection file: the status
// queries of the name, then the temporary file (open, write, sync, close), the link, the
// directory sync and the temporary file's removal; or, when links are refused, the exclusive
// creation of the name (a second open, write, sync and close) in place of the link.
std::optional<Expect> create_step(Call call, uint64_t n, int err, bool without_links) {
  uint64_t files = without_links ? 2 : 1;
  switch (call) {
    case Call::kStat:
      if (n == 1) return os_failure(err);  // the name's status cannot be read
      if (n == 2) return success();        // lstat: the name is free either way
      break;
    case Call::kOpen: {
      if (n <= files) return os_failure(err);
      Expect e = success();  // the directory, for a sync whose failure is ignored
      e.committed = true;
      if (n == 2) return e;
      break;
    }
    case Call::kWrite:
    case Call::kClose:
      if (n <= files) return os_failure(err);
      break;
    case Call::kChmod:  // the temporary file's final mode
      if (n == 1) return os_failure(err);
      break;
    case Call::kSync: {
      if (n <= files) return os_failure(err);
      Expect e = success();
      e.committed = true;
      if (n == 2) return e;
      break;
    }
    case Call::kLink:
      if (n == 1) return falls_back_without_links(err) ? success() : os_failure(err);
      break;
    case Call::kUnlink:
      if (n == 1) {
        // The temporary file's removal: it cannot go if its removal fails, and is retried (not
        // stopped) on EINTR. Its name keeps it out of every listing of collections.
        Expect e = success();
        e.committed = true;
        e.temp_may_remain = true;
        e.interruptible = false;
        return e;
      }
      break;
    default:
      break;
  }
  return std::nullopt;
}

class CreateCase : public Case {
 public:
  // `in_memory`: the collection is in memory and its file is gone. `link_errno`: links are
  // refused with it throughout.
  CreateCase(bool in_memory, int link_errno)
      : Case(std::string("create_collection") + (in_memory ? " (in memory)" : "") +
             (link_errno ? " without links " + std::to_string(link_errno) : "")),
        in_memory_(in_memory),
        link_errno_(link_errno),
        target_(in_memory ? "m" : "n") {}
  void prepare(const std::string& dir) override {
    dir_ = dir;
    c_text_ = write_collection(dir, "c", documents(0, 3, 10));
    db_ = std::make_unique<Database>(dir);
    kept_.clear();
    if (in_memory_) {
      kept_ = documents(50, 2, 5);
      std::vector<JsonValue> copy = kept_;
      db_->insert_many(target_, JsonValue::array_from(copy));
      unlink(path().c_str());
    }
  }
  std::optional<Fault> background() const override {
    if (link_errno_ == 0) return std::nullopt;
    return Fault{Call::kLink, link_errno_};
  }
  void run() override { db_->create_collection(target_); }
  std::optional<Expect> expect(const Point& p) const override {
    return create_step(p.call, p.nth, p.err, link_errno_ != 0);
  }
  void check_state(const Point&, const Expect& e, const std::optional<Error>& error,
                   const std::string& ctx) override {
    if (!error || e.committed) {
      CHECK_MSG(read_file(path()) == initial_text(target_), ctx);
    } else {
      CHECK_MSG(!exists(path()), ctx + " (file left)");
    }
    // Documents in memory are never discarded; a new collection is registered only once made.
    bool registered = db_->lookup(target_) != nullptr;
    CHECK_MSG(registered == (in_memory_ || !error), ctx);
    CHECK_MSG(in_memory(*db_, target_) == kept_, ctx);
    CHECK_MSG(read_file(dir_ + "/c.json") == c_text_, ctx);
  }
  void check_usable(const std::string& ctx) override {
    CHECK_MSG(!capture([&] { db_->create_collection(target_); }), ctx + " (create again)");
    CHECK_MSG(exists(path()), ctx);
    std::optional<Error> error = capture([&] {
      db_->insert(target_, document(7, 1));
      db_->write(target_);
    });
    CHECK_MSG(!error, ctx + describe(error));
    Database reopened(dir_);
    CHECK_MSG(in_memory(reopened, target_) == concat(kept_, {document(7, 1)}), ctx);
  }

 private:
  std::string path() const { return dir_ + "/" + target_ + ".json"; }

  bool in_memory_;
  int link_errno_;
  std::string target_;
  std::string c_text_;
  std::vector<JsonValue> kept_;
  std::unique_ptr<Database> db_;
};

// --- Dropping ---------------------------------------------------------------------------------

class DropCase : public Case {
 public:
  DropCase() : Case("drop_collection") {}
  void prepare(const std::string& dir) override {
    dir_ = dir;
    c_text_ = write_collection(dir, "c", documents(0, 3, 10));
    write_collection(dir, "d", documents(0, 3, 10));
    db_ = std::make_unique<Database>(dir);
  }
  void run() override { db_->drop_collection("c"); }
  // The directory is opened, the file removed, the directory synced.
  std::optional<Expect> expect(const Point& p) const override {
    if (p.nth != 1) return std::nullopt;
    if (p.call == Call::kOpen || p.call == Call::kUnlink) return os_failure(p.err);
    if (p.call == Call::kSync) {
      Expect e = os_failure(p.err);
      e.committed = true;
      return e;
    }
    return std::nullopt;
  }
  void check_state(const Point&, const Expect& e, const std::optional<Error>& error,
                   const std::string& ctx) override {
    if (error && !e.committed) {
      CHECK_MSG(read_file(dir_ + "/c.json") == c_text_, ctx);
      CHECK_MSG(in_memory(*db_, "c").size() == 3, ctx);
    } else {
      CHECK_MSG(!exists(dir_ + "/c.json") && db_->lookup("c") == nullptr, ctx);
    }
    CHECK_MSG(read_file(dir_ + "/d.json") == c_text_ && db_->lookup("d") != nullptr, ctx);
  }
  void check_usable(const std::string& ctx) override {
    CHECK_MSG(!capture([&] { db_->drop_collection("c"); }), ctx);
    CHECK_MSG(!exists(dir_ + "/c.json") && found(*db_, "d") == 3, ctx);
  }

 private:
  std::string c_text_;
  std::unique_ptr<Database> db_;
};

class DropAllCase : public Case {
 public:
  DropAllCase() : Case("drop_all") {}
  void prepare(const std::string& dir) override {
    dir_ = dir + "/db";
    mkdir(dir_.c_str(), 0777);
    text_ = write_collection(dir_, "a", documents(0, 3, 10));
    write_collection(dir_, "b", documents(0, 3, 10));
    db_ = std::make_unique<Database>(dir_);
  }
  void run() override { db_->drop_all(); }
  std::optional<Expect> expect(const Point& p) const override {
    if (p.call == Call::kOpendir && p.nth == 1) return os_failure(p.err);
    if (p.call == Call::kOpen && p.nth == 1) return os_failure(p.err);  // for the sync
    if (p.call == Call::kUnlink && p.nth <= 2) return os_failure(p.err);
    if (p.call == Call::kSync && p.nth == 1) return os_failure(p.err);  // after the removals
    if (p.call == Call::kRmdir && p.nth == 1) return success();  // removing the directory
    return std::nullopt;
  }
  void check_state(const Point& p, const Expect&, const std::optional<Error>& error,
                   const std::string& ctx) override {
    // What stays: everything when the listing fails; the collection whose removal failed, or,
    // when interrupted, those not reached.
    int want_left = 0;
    if (error && (p.call == Call::kOpendir || p.call == Call::kOpen)) want_left = 2;
    if (error && p.call == Call::kUnlink) {
      want_left = error->kind() == ErrorKind::kInterrupted ? 3 - static_cast<int>(p.nth) : 1;
    }
    int left = 0;
    for (const char* name : {"a", "b"}) {
      std::string path = dir_ + "/" + name + ".json";
      bool on_disk = exists(path);
      CHECK_MSG(on_disk == (db_->lookup(name) != nullptr), ctx + " " + name);
      if (on_disk) {
        CHECK_MSG(read_file(path) == text_, ctx);
        ++left;
      }
    }
    CHECK_MSG(left == want_left, ctx + " left: " + std::to_string(left));
    // An interruption of the sync ends the call before the directory's removal.
    bool directory_stays = want_left > 0 || p.call == Call::kRmdir ||
                           (p.call == Call::kSync && error && error->kind() == ErrorKind::kInterrupted);
    CHECK_MSG(exists(dir_) == directory_stays, ctx + " directory");
  }
  void check_usable(const std::string& ctx) override {
    if (!exists(dir_)) return;  // all gone already
    CHECK_MSG(!capture([&] { db_->drop_all(); }), ctx + " (drop_all again)");
    CHECK_MSG(!exists(dir_) && db_->lookup("a") == nullptr && db_->lookup("b") == nullptr, ctx);
  }

 private:
  std::string text_;
  std::unique_ptr<Database> db_;
};

// --- Opening ----------------------------------------------------------------------------------

class OpenCase : public Case {
 public:
  OpenCase() : Case("constructor") {}
  void prepare(const std::string& dir) override {
    dir_ = dir;
    a_ = documents(0, 40, 7500);  // two buffers, one interrupt check
    b_ = documents(0, 2, 3);
    write_collection(dir, "a", a_);
    write_collection(dir, "b", b_);
    db_.reset();
  }
  void run() override { db_ = std::make_unique<Database>(dir_); }
  std::optional<Expect> expect(const Point& p) const override {
    switch (p.call) {
      case Call::kStat:  // the directory's (as if missing: nothing loaded ahead), each file's
        if (p.nth <= 3) return success();
        break;
      case Call::kOpendir:
        if (p.nth == 1) return os_failure(p.err);
        break;
      case Call::kOpen:
        if (p.nth <= 2) {
          return failure(ErrorKind::kFile, "Error opening document " + fs::os_text(p.err));
        }
        break;
      case Call::kRead:
        return failure(ErrorKind::kValue, "Error deserializing JSON");
      default:
        break;
    }
    return std::nullopt;
  }
  void check_state(const Point&, const Expect&, const std::optional<Error>& error,
                   const std::string& ctx) override {
    CHECK_MSG((db_ == nullptr) == error.has_value(), ctx);
    CHECK_MSG(directory_entries(dir_).size() == 2, ctx);
    CHECK_MSG(read_file(dir_ + "/a.json") == array_text(a_), ctx);
    if (db_) {
      CHECK_MSG(found(*db_, "a") == a_.size() && found(*db_, "b") == b_.size(), ctx);
    }
  }
  void check_usable(const std::string& ctx) override {
    std::optional<Error> error = capture([&] { db_ = std::make_unique<Database>(dir_); });
    CHECK_MSG(!error, ctx + describe(error));
    if (db_) CHECK_MSG(in_memory(*db_, "a") == a_, ctx);
  }

 private:
  std::vector<JsonValue> a_;
  std::vector<JsonValue> b_;
  std::unique_ptr<Database> db_;
};

class OpenMissingCase : public Case {
 public:
  OpenMissingCase() : Case("constructor (new directory)") {}
  void prepare(const std::string& dir) override {
    dir_ = dir + "/db";
    db_.reset();
  }
  void run() override { db_ = std::make_unique<Database>(dir_); }
  std::optional<Expect> expect(const Point& p) const override {
    // The status query fails anyway (the directory is missing); a directory that cannot be
    // made shows up as the errors of later file operations.
    if ((p.call == Call::kStat || p.call == Call::kMkdir) && p.nth == 1) return success();
    // Then the parent is opened (a parent that cannot be opened is not synced) and synced.
    if (p.call == Call::kOpen && p.nth == 1) return success();
    if (p.call == Call::kSync && p.nth == 1) return os_failure(p.err);
    return std::nullopt;
  }
  void check_state(const Point& p, const Expect&, const std::optional<Error>& error,
                   const std::string& ctx) override {
    CHECK_MSG((db_ == nullptr) == error.has_value(), ctx);
    bool made = p.call != Call::kMkdir && !(p.call == Call::kStat && error);
    CHECK_MSG(exists(dir_) == made, ctx);
  }
  void check_usable(const std::string& ctx) override {
    db_ = std::make_unique<Database>(dir_);
    std::optional<Error> error = capture([&] {
      db_->insert("x", document(1, 1));
      db_->write("x");
    });
    CHECK_MSG(!error, ctx + describe(error));
    CHECK_MSG(in_memory(Database(dir_), "x").size() == 1, ctx);
  }

 private:
  std::unique_ptr<Database> db_;
};

// --- Bulk loading -----------------------------------------------------------------------------

// load_from_document of {"c": [...], "n": [...], "o": {...}} with c in memory and n, o new; or
// insert_many_from_document of an array into the new collection n.
class LoadCase : public Case {
 public:
  explicit LoadCase(bool whole_document)
      : Case(whole_document ? "load_from_document" : "insert_many_from_document"),
        whole_document_(whole_document) {}
  void prepare(const std::string& dir) override {
    dir_ = dir;
    c_ = documents(0, 3, 10);
    c_text_ = write_collection(dir, "c", c_);
    source_ = dir + "/source.txt";  // not a collection file
    if (whole_document_) {
      write_file(source_,
                 "{\"c\": [{\"i\": 100}, {\"i\": 101}], \"n\": [{\"i\": 102}, {\"i\": 103}],"
                 " \"o\": {\"i\": 104}}");
      created_ = {"n", "o"};
    } else {
      write_file(source_, "[{\"i\": 102}, {\"i\": 103}]");
      created_ = {"n"};
    }
    db_ = std::make_unique<Database>(dir);
  }
  void run() override {
    if (whole_document_) {
      db_->load_from_document(source_);
    } else {
      db_->insert_many_from_document("n", source_);
    }
  }
  // The calls of the reading (open, then reads), then those of each creation, in turn; or, for a
  // whole document, the status queries of each new collection's name, then its initial files
  // made together: the directory opened, each temporary file written (write, chmod, close), one
  // sync of the file system, each link, one sync of the directory, each temporary file removed.
  std::optional<Expect> expect(const Point& p) const override {
    if (p.call == Call::kRead) return failure(ErrorKind::kValue, "Error deserializing JSON");
    if (p.call == Call::kOpen && p.nth == 1) {
      return failure(ErrorKind::kFile, "Error opening document " + fs::os_text(p.err));
    }
    if (whole_document_) {
      switch (p.call) {
        case Call::kStat:
          return p.nth % 2 == 1 ? os_failure(p.err) : success();  // stat, lstat
        case Call::kOpen:
        case Call::kWrite:
        case Call::kChmod:
        case Call::kClose:
          return os_failure(p.err);
        case Call::kSync: {
          // The sync of the file system fails: each file's own sync passes. The directory's
          // sync is not reported, nor stopped.
          Expect e = success();
          if (p.nth == 2) e.interruptible = false;
          return e;
        }
        case Call::kLink:
          return falls_back_without_links(p.err) ? success() : os_failure(p.err);
        case Call::kUnlink: {
          Expect e = success();
          e.temp_may_remain = true;
          e.interruptible = false;
          return e;
        }
        default:
          return std::nullopt;
      }
    }
    uint64_t per_creation = calls_per_creation(p.call);
    if (per_creation == 0) return std::nullopt;
    return create_step(p.call, (creation_step(p) - 1) % per_creation + 1, p.err, false);
  }
  void check_state(const Point& p, const Expect& e, const std::optional<Error>& error,
                   const std::string& ctx) override {
    // The collections before the one whose creation failed are loaded; the rest are not.
    size_t loaded = created_.size();
    bool reading = p.call == Call::kRead || (p.call == Call::kOpen && p.nth == 1);
    if (error) {
      if (reading) {
        loaded = 0;
      } else if (whole_document_) {
        loaded = batch_stop(p);
      } else {
        loaded = (creation_step(p) - 1) / calls_per_creation(p.call);
      }
    }
    std::vector<JsonValue> c_now = c_;
    if (whole_document_ && !(error && reading)) {
      c_now = concat(c_, {tovra::parse_json("{\"i\": 100}"), tovra::parse_json("{\"i\": 101}")});
    }
    CHECK_MSG(in_memory(*db_, "c") == c_now, ctx);
    CHECK_MSG(read_file(dir_ + "/c.json") == c_text_, ctx);
    for (size_t i = 0; i < created_.size(); ++i) {
      const std::string& name = created_[i];
      std::string path = dir_ + "/" + name + ".json";
      bool file_made =
          i < loaded || (error && i == loaded && !reading && e.committed && !whole_document_);
      CHECK_MSG(exists(path) == file_made, ctx + " " + name);
      if (file_made) CHECK_MSG(read_file(path) == initial_text(name), ctx + " " + name);
      CHECK_MSG((db_->lookup(name) != nullptr) == (i < loaded), ctx + " " + name);
    }
    if (loaded > 0) {
      CHECK_MSG(in_memory(*db_, "n") == std::vector<JsonValue>({tovra::parse_json("{\"i\": 102}"),
                                                                tovra::parse_json("{\"i\": 103}")}),
                ctx);
    }
  }
  void check_usable(const std::string& ctx) override {
    std::optional<Error> error = capture([&] { run(); });
    CHECK_MSG(!error, ctx + describe(error));
    std::vector<JsonValue> n = in_memory(*db_, "n");
    CHECK_MSG(n.size() >= 2 && n.back() == tovra::parse_json("{\"i\": 103}"), ctx);
    CHECK_MSG(found(*db_, "c") >= 3, ctx);
  }

 private:
  // The new collection at which a failure at `p` stops a whole document's load.
  static size_t batch_stop(const Point& p) {
    switch (p.call) {
      case Call::kStat:
        return (p.nth - 1) / 2;
      case Call::kOpen:  // the document, the directory, then the temporary files
        return p.nth <= 3 ? 0 : p.nth - 3;
      case Call::kSync:  // an interruption of the file system's sync makes none
        return 0;
      default:
        return p.nth - 1;
    }
  }
  // The document's open comes before the creations.
  static uint64_t creation_step(const Point& p) { return p.nth - (p.call == Call::kOpen ? 1 : 0); }
  uint64_t calls_per_creation(Call call) const {
    uint64_t all = clean[static_cast<size_t>(call)] - (call == Call::kOpen ? 1 : 0);
    return all / created_.size();
  }

  bool whole_document_;
  std::string source_;
  std::vector<JsonValue> c_;
  std::string c_text_;
  std::vector<std::string> created_;
  std::unique_ptr<Database> db_;
};

// --- Interruptions after retries --------------------------------------------------------------

int asks = 0;
int stop_at = 0;
bool stop_at_nth_ask() { return ++asks >= stop_at; }

// An interrupt check that lets `n` - 1 retries go on and stops at the nth ask.
fs::InterruptCheck stop_at_ask(int n) {
  asks = 0;
  stop_at = n;
  return stop_at_nth_ask;
}

// EINTR over and over: retried while the check lets it go on, stopped when it says so.
void test_interrupt_after_retries() {
  {
    WriteCase write;
    Scene scene(write, interrupt_at(Call::kWrite, 2, stop_at_ask(3), /*sticky=*/true));
    const std::optional<Error>& error = scene.error();
    CHECK(error && error->kind() == ErrorKind::kInterrupted);
    // The first write, then three interrupted attempts.
    CHECK(asks == 3 && scene.calls(Call::kWrite) == 4);
    CHECK(temporary_files(scene.dir()).empty());
    write.check_state(Point{Call::kWrite, 2, EIO}, failure(ErrorKind::kInterrupted, ""), error,
                      "write interrupted after retries");
    write.check_usable("write interrupted after retries");
  }
  {
    OpenCase open;
    Scene scene(open, interrupt_at(Call::kRead, 2, stop_at_ask(2), /*sticky=*/true));
    const std::optional<Error>& error = scene.error();
    CHECK(error && error->kind() == ErrorKind::kInterrupted && asks == 2);
    open.check_state(Point{Call::kRead, 2, EIO}, failure(ErrorKind::kInterrupted, ""), error,
                     "constructor interrupted after retries");
  }
}

// The exact text of one error of each family, so that a change of rendering cannot pass
// through both sides of the walk's comparisons unnoticed.
void test_messages() {
  WriteCase write;
  std::optional<Error> error = Scene(write, fail_at(Call::kOpen, 2, EMFILE)).error();
  CHECK(error && error->message() ==
                     "Problem creating temporary file: Os { code: 24, kind: Uncategorized, "
                     "message: \"Too many open files\" }");

  error = Scene(write, fail_at(Call::kSync, 2, EIO)).error();
  CHECK(error && error->kind() == ErrorKind::kFile &&
        error->message() ==
            "Error syncing directory: Os { code: 5, kind: Uncategorized, message: \"Input/output "
            "error\" }");

  CreateCase create(false, 0);
  error = Scene(create, fail_at(Call::kWrite, 1, ENOSPC)).error();
  CHECK(error && error->kind() == ErrorKind::kOs && error->os_errno() == ENOSPC &&
        error->message() == "No space left on device (os error 28)");
}

}  // namespace

// A collection file that another process makes between the status query and the check for a
// link that leads nowhere is taken as there: the insert loads it and appends.
void test_file_appearing_during_insert() {
  std::string dir = std::string(scratch_root) + "/appearing";
  mkdir(dir.c_str(), 0755);
  Database db(dir);
  write_collection(dir, "c", documents(0, 2, 3));
  fs::testing::fail_call(Call::kStat, 1, ENOENT);
  std::optional<Error> error = capture([&] { db.insert("c", document(99, 5)); });
  fs::testing::reset();
  CHECK_MSG(!error, "insert into a file that appeared" + describe(error));
  CHECK(found(db, "c") == 3);
}

int main() {
  char dir_template[] = "/tmp/test_faults_XXXXXX";
  scratch_root = mkdtemp(dir_template);
  umask(022);

  WriteCase write;
  walk(write);
  WriteAllCase write_all;
  walk(write_all);
  write_all.check_all_failing();
  write_all.check_failed_syncs();
  for (bool in_memory : {false, true}) {
    for (int link_errno : {0, EPERM, ENOSYS}) {
      CreateCase create(in_memory, link_errno);
      walk(create);
    }
  }
  DropCase drop;
  walk(drop);
  DropAllCase drop_all;
  walk(drop_all);
  OpenCase open;
  walk(open);
  OpenMissingCase open_missing;
  walk(open_missing);
  for (bool whole_document : {true, false}) {
    LoadCase load(whole_document);
    walk(load);
  }
  test_interrupt_after_retries();
  test_messages();
  test_file_appearing_during_insert();

  remove_tree(scratch_root);
  return test_support::summary();
}
