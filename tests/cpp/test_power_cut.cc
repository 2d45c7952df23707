// Power cuts, simulated. Each operation of the store that changes files runs once on a real
// scene while the file-system layer's recorder notes every change it makes (opens that create,
// writes, syncs, renames, links, removals). The changes are then replayed on a model of what
// the device holds: file bytes written but not synced may be lost, kept, or kept in part; a
// name made, renamed, linked or removed is certain only once its directory (or the whole file
// system) is synced, and until then may or may not have happened, independently of the others.
// After every recorded change, every such worst case is built as a directory and reopened: each
// collection must hold its content from before the operation or from after it, never a torn
// file, and once the operation has returned, only its content from after.
// Plain program: prints each failed check and ends with "N passed, N failed".
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
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
using fs::testing::Change;
using test_support::directory_entries;
using test_support::read_file;
using test_support::write_file;
using tovra::Database;
using tovra::Error;
using tovra::JsonValue;

namespace {

// --- Recording ---------------------------------------------------------------------------------

struct Event {
  Change change;
  int fd;
  std::string path;
  std::string target;
  std::string bytes;
  bool created;
  bool directory;
};

std::vector<Event> events;

void record(const fs::testing::Record& r) {
  events.push_back({r.change, r.fd, std::string(r.path), std::string(r.target),
                    std::string(r.bytes), r.created, r.directory});
}

// --- The model of the device ---------------------------------------------------------------------

constexpr int kDirectory = -1;

std::string parent_of(const std::string& path) { return path.substr(0, path.rfind('/')); }

struct Inode {
  std::string durable;  // what a power cut keeps for certain
  std::string current;  // what the file holds now
};

// A change of a name, pending until its directory is synced.
struct NameChange {
  Change change;
  std::string path;
  std::string target;
  int inode;  // for a creation
  std::string directory() const { return parent_of(change == Change::kRename || change == Change::kLink ? target : path); }
};

using Names = std::map<std::string, int>;  // path -> inode (kDirectory for a directory)

bool apply_change(Names& names, const NameChange& c) {
  switch (c.change) {
    case Change::kOpen:
    case Change::kMkdir:
      names[c.path] = c.inode;
      return true;
    case Change::kRename:
    case Change::kLink: {
      auto it = names.find(c.path);
      if (it == names.end()) return false;
      int inode = it->second;
      if (c.change == Change::kRename) names.erase(it);
      names[c.target] = inode;
      return true;
    }
    case Change::kUnlink:
    case Change::kRmdir:
      return names.erase(c.path) > 0;
    default:
      return false;
  }
}

class Device {
 public:
  // The device as the directory `root` (and everything under it) is now, all of it durable.
  explicit Device(const std::string& root) { scan(root); }

  void replay(const Event& e) {
    switch (e.change) {
      case Change::kOpen:
        if (e.created) {
          int inode = static_cast<int>(inodes_.size());
          inodes_.push_back({});
          pend({Change::kOpen, e.path, {}, inode});
          fds_[e.fd] = inode;
        } else if (e.directory) {
          fds_[e.fd] = kDirectory;
          directories_[e.fd] = e.path;
        } else if (auto it = live_.find(e.path); it != live_.end()) {
          fds_[e.fd] = it->second;
        }
        break;
      case Change::kWrite:
        if (auto it = fds_.find(e.fd); it != fds_.end() && it->second >= 0) {
          inodes_[it->second].current += e.bytes;
        }
        break;
      case Change::kSync:
        if (auto it = fds_.find(e.fd); it != fds_.end()) {
          if (it->second >= 0) {
            inodes_[it->second].durable = inodes_[it->second].current;
          } else {
            sync_directory(directories_[e.fd]);
          }
        }
        break;
      case Change::kSyncAll:
        for (Inode& inode : inodes_) inode.durable = inode.current;
        for (const NameChange& c : pending_) apply_change(durable_, c);
        pending_.clear();
        break;
      case Change::kClose:
        fds_.erase(e.fd);
        directories_.erase(e.fd);
        break;
      case Change::kRename:
      case Change::kLink:
      case Change::kUnlink:
      case Change::kRmdir:
        pend({e.change, e.path, e.target, 0});
        break;
      case Change::kMkdir:
        pend({Change::kMkdir, e.path, {}, kDirectory});
        break;
    }
  }

  // Every set of names a power cut now could leave: the durable names with any subset of the
  // pending changes applied, in order.
  std::vector<Names> possible_names() const {
    std::vector<Names> out;
    size_t n = pending_.size();
    if (n > 14) throw Error::panic("too many pending changes to enumerate");
    for (uint32_t subset = 0; subset < (uint32_t{1} << n); ++subset) {
      Names names = durable_;
      for (size_t i = 0; i < n; ++i) {
        if (subset & (uint32_t{1} << i)) apply_change(names, pending_[i]);
      }
      out.push_back(std::move(names));
    }
    return out;
  }

  // The contents a power cut now could leave in `inode`: what was synced, everything written,
  // and a torn middle.
  std::vector<std::string> possible_contents(int inode) const {
    const Inode& i = inodes_[inode];
    std::vector<std::string> out{i.durable};
    if (i.current != i.durable) {
      out.push_back(i.current);
      size_t keep = i.durable.size() <= i.current.size() &&
                            i.current.compare(0, i.durable.size(), i.durable) == 0
                        ? i.durable.size() + (i.current.size() - i.durable.size()) / 2
                        : i.current.size() / 2;
      out.push_back(i.current.substr(0, keep));
    }
    return out;
  }

 private:
  void scan(const std::string& dir) {
    for (const std::string& name : directory_entries(dir)) {
      std::string path = dir + "/" + name;
      struct stat status;
      if (lstat(path.c_str(), &status) != 0) continue;
      if (S_ISDIR(status.st_mode)) {
        durable_[path] = live_[path] = kDirectory;
        scan(path);
      } else {
        int inode = static_cast<int>(inodes_.size());
        std::string text = read_file(path);
        inodes_.push_back({text, text});
        durable_[path] = live_[path] = inode;
      }
    }
  }

  void pend(NameChange c) {
    apply_change(live_, c);
    pending_.push_back(std::move(c));
  }

  void sync_directory(const std::string& dir) {
    std::vector<NameChange> rest;
    for (const NameChange& c : pending_) {
      if (c.directory() == dir) {
        apply_change(durable_, c);
      } else {
        rest.push_back(c);
      }
    }
    pending_ = std::move(rest);
  }

  std::vector<Inode> inodes_;
  Names durable_;
  Names live_;
  std::vector<NameChange> pending_;
  std::map<int, int> fds_;
  std::map<int, std::string> directories_;
};

// --- Cases ---------------------------------------------------------------------------------------

std::string scratch_root;
int scene_number = 0;

// The content of a collection file, or nothing when there is none.
using Content = std::optional<std::string>;

std::string array_text(std::vector<JsonValue> values) {
  return tovra::to_json(JsonValue::array_from(values));
}

JsonValue document(int i, size_t pad) {
  std::vector<tovra::JsonMember> members;
  members.push_back({JsonValue::string("i"), JsonValue::integer(i)});
  members.push_back({JsonValue::string("s"), JsonValue::string(std::string(pad, 'x'))});
  return JsonValue::object(members);
}

std::vector<JsonValue> documents(int from, int count, size_t pad) {
  std::vector<JsonValue> out;
  for (int i = from; i < from + count; ++i) out.push_back(document(i, pad));
  return out;
}

std::string initial_text(const std::string& name) { return "{ \"" + name + "\":[] }"; }

// An operation and the content each collection file of its database directory may have before
// and after it.
struct Case {
  std::string name;
  std::string db = "db";  // the database directory, under the scene
  // Fills the scene's database directory; returns the open database the operation runs on.
  std::function<std::unique_ptr<Database>(const std::string& dir)> prepare;
  std::function<void(Database& db, const std::string& dir)> run;
  std::map<std::string, Content> before;  // collection file name -> content
  std::map<std::string, Content> after;
};

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

// Builds, for every combination of possible contents of the collection files in `names`, the
// database directory and checks it.
void check_power_cut(const Case& c, const Device& device, const Names& names,
                     const std::string& scene, bool returned, std::set<std::string>& seen,
                     const std::string& ctx) {
  const std::string db_dir = scene + "/" + c.db;
  std::vector<std::pair<std::string, std::vector<std::string>>> files;
  bool db_exists = names.count(db_dir) > 0;
  for (const auto& [path, inode] : names) {
    if (inode < 0 || parent_of(path) != db_dir) continue;
    std::string name = path.substr(db_dir.size() + 1);
    if (name.size() < 5 || name.compare(name.size() - 5, 5, ".json") != 0) continue;
    files.emplace_back(name, device.possible_contents(inode));
  }
  // Every choice of content for every file, as a mixed-radix counter.
  std::vector<size_t> choice(files.size(), 0);
  for (;;) {
    std::map<std::string, std::string> state;
    for (size_t i = 0; i < files.size(); ++i) state[files[i].first] = files[i].second[choice[i]];
    std::string key = std::string(returned ? "r" : "-") + (db_exists ? "d" : "-");
    for (const auto& [name, text] : state) key += name + '\0' + text + '\0';
    if (seen.insert(key).second) {
      std::string state_ctx = ctx + (returned ? " (returned)" : "");
      for (const auto& [name, before] : c.before) {
        auto it = state.find(name);
        Content got = it == state.end() ? Content() : Content(it->second);
        const Content& after = c.after.at(name);
        bool ok = got == after || (!returned && got == before);
        CHECK_MSG(ok, state_ctx + " " + name + ": " + (got ? "'" + got->substr(0, 60) + "'" : "missing"));
      }
      // The directory opens, whatever the cut left.
      std::string rebuilt = scratch_root + "/cut" + std::to_string(++scene_number);
      if (db_exists) {
        mkdir(rebuilt.c_str(), 0777);
        for (const auto& [name, text] : state) write_file(rebuilt + "/" + name, text);
      }
      try {
        Database reopened(rebuilt);
      } catch (const Error& e) {
        CHECK_MSG(false, state_ctx + " reopening: " + e.message());
      }
      remove_tree(rebuilt);
    }
    size_t k = 0;
    while (k < files.size() && ++choice[k] == files[k].second.size()) choice[k++] = 0;
    if (k == files.size()) break;
  }
}

void walk(const Case& c) {
  std::string scene = scratch_root + "/s" + std::to_string(++scene_number);
  mkdir(scene.c_str(), 0777);
  std::unique_ptr<Database> db = c.prepare(scene + "/" + c.db);
  Device device(scene);
  events.clear();
  fs::testing::set_recorder(record);
  std::optional<Error> error;
  try {
    c.run(*db, scene + "/" + c.db);
  } catch (const Error& e) {
    error = e;
  }
  fs::testing::set_recorder(nullptr);
  CHECK_MSG(!error, c.name + ": " + (error ? error->message() : ""));
  std::set<std::string> seen;
  size_t syncs = 0;
  for (size_t i = 0; i <= events.size(); ++i) {
    if (i > 0) {
      device.replay(events[i - 1]);
      if (events[i - 1].change == Change::kSync || events[i - 1].change == Change::kSyncAll) {
        ++syncs;
      }
    }
    bool returned = i == events.size();
    std::string ctx = c.name + " cut after change " + std::to_string(i) + " of " +
                      std::to_string(events.size());
    for (const Names& names : device.possible_names()) {
      check_power_cut(c, device, names, scene, returned, seen, ctx);
    }
  }
  std::printf("%s: %zu changes, %zu syncs, %zu distinct directories after a cut\n",
              c.name.c_str(), events.size(), syncs, seen.size());
  remove_tree(scene);
}

std::unique_ptr<Database> with_files(const std::string& dir,
                                     const std::map<std::string, std::string>& files) {
  mkdir(dir.c_str(), 0777);
  for (const auto& [name, text] : files) write_file(dir + "/" + name, text);
  return std::make_unique<Database>(dir);
}

}  // namespace

int main() {
  char dir_template[] = "/tmp/test_power_cut_XXXXXX";
  scratch_root = mkdtemp(dir_template);

  const std::string old_a = array_text(documents(0, 30, 300));
  const std::string old_b = array_text(documents(100, 3, 5));
  const JsonValue extra = document(99, 4);
  std::vector<JsonValue> a_now = documents(0, 30, 300);
  a_now.push_back(extra);
  std::vector<JsonValue> b_now = documents(100, 3, 5);
  b_now.push_back(extra);
  const std::string new_a = array_text(a_now);
  const std::string new_b = array_text(b_now);
  const std::string new_n = array_text({extra});

  std::vector<Case> cases;
  cases.push_back({"write", "db",
                   [&](const std::string& dir) {
                     auto db = with_files(dir, {{"a.json", old_a}, {"b.json", old_b}});
                     db->insert("a", extra);
                     return db;
                   },
                   [](Database& db, const std::string&) { db.write("a"); },
                   {{"a.json", old_a}, {"b.json", old_b}},
                   {{"a.json", new_a}, {"b.json", old_b}}});
  cases.push_back({"write_all", "db",
                   [&](const std::string& dir) {
                     auto db = with_files(dir, {{"a.json", old_a}, {"b.json", old_b}});
                     db->insert("a", extra);
                     db->insert("b", extra);
                     // A collection in memory whose file is gone: written as a new file.
                     db->insert("n", extra);
                     unlink((dir + "/n.json").c_str());
                     return db;
                   },
                   [](Database& db, const std::string&) { db.write_all(); },
                   {{"a.json", old_a}, {"b.json", old_b}, {"n.json", std::nullopt}},
                   {{"a.json", new_a}, {"b.json", new_b}, {"n.json", new_n}}});
  cases.push_back({"create_collection", "db",
                   [&](const std::string& dir) { return with_files(dir, {{"a.json", old_a}}); },
                   [](Database& db, const std::string&) { db.create_collection("n"); },
                   {{"a.json", old_a}, {"n.json", std::nullopt}},
                   {{"a.json", old_a}, {"n.json", initial_text("n")}}});
  cases.push_back({"drop_collection", "db",
                   [&](const std::string& dir) {
                     return with_files(dir, {{"a.json", old_a}, {"b.json", old_b}});
                   },
                   [](Database& db, const std::string&) { db.drop_collection("a"); },
                   {{"a.json", old_a}, {"b.json", old_b}},
                   {{"a.json", std::nullopt}, {"b.json", old_b}}});
  cases.push_back({"drop_all", "db",
                   [&](const std::string& dir) {
                     return with_files(dir, {{"a.json", old_a}, {"b.json", old_b}});
                   },
                   [](Database& db, const std::string&) { db.drop_all(); },
                   {{"a.json", old_a}, {"b.json", old_b}},
                   {{"a.json", std::nullopt}, {"b.json", std::nullopt}}});
  cases.push_back({"load_from_document", "db",
                   [&](const std::string& dir) {
                     auto db = with_files(dir, {{"a.json", old_a}});
                     write_file(dir + "/../source.txt",
                                "{\"a\": [{\"i\": 1}], \"n\": [{\"i\": 2}], \"o\": {\"i\": 3},"
                                " \"p\": []}");
                     return db;
                   },
                   [](Database& db, const std::string& dir) {
                     db.load_from_document(dir + "/../source.txt");
                   },
                   {{"a.json", old_a},
                    {"n.json", std::nullopt},
                    {"o.json", std::nullopt},
                    {"p.json", std::nullopt}},
                   {{"a.json", old_a},
                    {"n.json", initial_text("n")},
                    {"o.json", initial_text("o")},
                    {"p.json", initial_text("p")}}});
  for (const Case& c : cases) walk(c);

  // A new database directory is in its parent for certain once the constructor returns.
  {
    std::string scene = scratch_root + "/new";
    mkdir(scene.c_str(), 0777);
    Device device(scene);
    events.clear();
    fs::testing::set_recorder(record);
    Database db(scene + "/db");
    fs::testing::set_recorder(nullptr);
    for (const Event& e : events) device.replay(e);
    for (const Names& names : device.possible_names()) {
      CHECK_MSG(names.count(scene + "/db") == 1, "constructor: the new directory may be lost");
    }
    remove_tree(scene);
  }

  remove_tree(scratch_root);
  return test_support::summary();
}
