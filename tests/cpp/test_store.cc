// Unit tests of the store: reading and atomically replacing files, the rendering of OS errors,
// the result cache and its digest, and the database's operations under injected faults.
// Plain program: prints each failed check and ends with "N passed, N failed".
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "json/error.h"
#include "json/json_reader.h"
#include "json/json_value.h"
#include "json/json_writer.h"
#include "store/collection_file.h"
#include "store/fs.h"
#include "store/query_cache.h"
#include "store/siphash.h"
#include "test_support.h"

using test_support::directory_entries;
using test_support::error_of;
using test_support::read_file;
using test_support::write_file;
using tovra::Error;
using tovra::ErrorKind;
using tovra::JsonMember;
using tovra::JsonValue;

namespace {

JsonValue J(std::string_view text) { return tovra::parse_json(text); }

JsonValue read_document(const std::string& path) {
  return tovra::read_json_file(path, tovra::FileUse::kDocument);
}

JsonValue object_of(std::vector<std::pair<std::string, JsonValue>> entries) {
  std::vector<JsonMember> members;
  for (auto& [key, value] : entries) members.push_back({JsonValue::string(key), std::move(value)});
  return JsonValue::object(members);
}

JsonValue array_of(std::vector<JsonValue> values) {
  return JsonValue::array_from(values);
}

void test_read_document(const std::string& dir) {
  Error missing = error_of([&] { read_document(dir + "/missing.json"); });
  CHECK(missing.kind() == ErrorKind::kFile);
  CHECK(missing.message() == "Error opening document No such file or directory (os error 2)");
  Error nul = error_of([&] { read_document(std::string("a\0b", 3)); });
  CHECK(nul.kind() == ErrorKind::kFile);
  CHECK(nul.message() == "Error opening document file name contained an unexpected NUL byte");
  mkdir((dir + "/x.json").c_str(), 0777);
  Error directory = error_of([&] { read_document(dir + "/x.json"); });
  CHECK(directory.kind() == ErrorKind::kValue && directory.message() == "Error deserializing JSON");

  std::string path = dir + "/doc.json";
  write_file(path, "[1]\n");
  CHECK(read_document(path).size() == 1);
  write_file(path, std::string_view("[1]\0", 4));
  CHECK(error_of([&] { read_document(path); }).kind() == ErrorKind::kValue);
  write_file(path, "");
  CHECK(error_of([&] { read_document(path); }).kind() == ErrorKind::kValue);
  // Texts of many buffers, tokens split across buffer boundaries at every offset.
  for (size_t pad = 8180; pad < 8200; ++pad) {
    std::string text = "[\"" + std::string(pad, 'p') + "\",12345.5,\"\xC3\xA9\",-77]";
    write_file(path, text);
    CHECK_MSG(tovra::to_json(read_document(path)) == text, std::to_string(pad));
  }
}

void test_os_error_rendering() {
  CHECK(tovra::fs::os_rendering(13) ==
        "Os { code: 13, kind: PermissionDenied, message: \"Permission denied\" }");
  CHECK(tovra::fs::os_rendering(18).find("kind: CrossesDevices,") != std::string::npos);
  CHECK(tovra::fs::os_rendering(122).find("kind: FilesystemQuotaExceeded,") != std::string::npos);
  CHECK(tovra::fs::os_rendering(95).rfind("Os { code: 95, kind: Uncategorized, message: \"", 0) ==
        0);
}

void test_write_collection_file(const std::string& root) {
  std::string db = root + "/db";
  mkdir(db.c_str(), 0777);
  std::string file = db + "/c.json";
  write_file(file, "{ \"c\":[] }");

  tovra::write_collection_file(db, file, {});
  CHECK(read_file(file) == "[]");

  std::vector<JsonValue> docs;
  for (int i = 0; i < 20000; ++i) {
    docs.push_back(object_of({{"i", JsonValue::uint(static_cast<uint64_t>(i))},
                              {"name", JsonValue::string("document number " + std::to_string(i))},
                              {"x", JsonValue::number(i / 8.0)}}));
  }
  tovra::write_collection_file(db + "/", file, docs);
  std::string written = read_file(file);
  CHECK(written == tovra::to_json(array_of(docs)));
  CHECK(written.size() > 8192 * 10);
  JsonValue back = read_document(file);
  CHECK(back == array_of(docs));
  CHECK(directory_entries(db) == std::vector<std::string>{"c.json"});

  // A file name of 255 bytes: the temporary name does not grow with it.
  std::string long_file = db + "/" + std::string(250, 'n') + ".json";
  tovra::write_collection_file(db, long_file, docs);
  CHECK(read_file(long_file) == written);
  unlink(long_file.c_str());

  Error no_dir = error_of([&] { tovra::write_collection_file(root + "/nowhere", file, docs); });
  CHECK(no_dir.kind() == ErrorKind::kFile);
  CHECK(no_dir.message().rfind("Problem creating temporary file: Os { code: 2, kind: NotFound, "
                               "message: \"",
                               0) == 0);
  CHECK(read_file(file) == written);

  // Renaming over a non-empty directory fails; the temporary file is removed.
  std::string blocker = db + "/d.json";
  mkdir(blocker.c_str(), 0777);
  write_file(blocker + "/inside", "x");
  Error rename = error_of([&] { tovra::write_collection_file(db, blocker, docs); });
  CHECK(rename.kind() == ErrorKind::kFile);
  CHECK(rename.message().rfind("Error renaming file: Os { code: 21, kind: IsADirectory, ", 0) == 0);
  CHECK(directory_entries(db).size() == 2);

  // A write beyond the file size limit fails with EFBIG (SIGXFSZ ignored, as in the
  // interpreter); the previous content stays and no temporary file is left.
  signal(SIGXFSZ, SIG_IGN);
  rlimit saved;
  getrlimit(RLIMIT_FSIZE, &saved);
  rlimit limited = saved;
  limited.rlim_cur = 50000;
  setrlimit(RLIMIT_FSIZE, &limited);
  Error too_big = error_of([&] { tovra::write_collection_file(db, file, docs); });
  setrlimit(RLIMIT_FSIZE, &saved);
  CHECK(too_big.kind() == ErrorKind::kValue && too_big.message() == "Error serializing JSON");
  CHECK(read_file(file) == written);
  CHECK(directory_entries(db).size() == 2);

  Error nul = error_of([&] { tovra::write_collection_file(db, file + std::string("\0x", 2), {}); });
  CHECK(nul.kind() == ErrorKind::kFile);
  CHECK(read_file(file) == written);
}

uint64_t sip24_reference(size_t length) {
  unsigned char message[64];
  for (size_t i = 0; i < length; ++i) message[i] = static_cast<unsigned char>(i);
  tovra::SipHasher24 hasher(0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL);
  // Fed in uneven pieces, so the incremental buffering is exercised too.
  for (size_t done = 0; done < length;) {
    size_t piece = std::min<size_t>(3 + done % 5, length - done);
    hasher.write(message + done, piece);
    done += piece;
  }
  return hasher.finish();
}

void test_siphash() {
  // The published SipHash-2-4 vectors: key 00..0f, message 00..(n-1).
  CHECK(sip24_reference(0) == 0x726fdb47dd0e0e31ULL);
  CHECK(sip24_reference(1) == 0x74f839c593dc67fdULL);
  CHECK(sip24_reference(7) == 0xab0200f58b01d137ULL);
  CHECK(sip24_reference(8) == 0x93f5f5799a932462ULL);
  CHECK(sip24_reference(15) == 0xa129ca6149be45e5ULL);
  CHECK(sip24_reference(63) == 0x958a324ceb064572ULL);

  // SipHash-1-3 with both keys zero.
  auto sip13 = [](std::string_view text) {
    tovra::SipHasher13 hasher;
    hasher.write(text);
    return hasher.finish();
  };
  CHECK(sip13("abc") == 0xc03bc3a0042630f2ULL);
  CHECK(sip13("hello world") == 0xb1b1f2e707e4ac8aULL);
  CHECK(sip13("0123456789abcdef0123") == 0x560ed5360a9a319aULL);
}

void test_digest() {
  // The digest's byte stream is fixed: it must not change between builds.
  tovra::SipHasher13 expected;
  const unsigned char stream[] = {
      'c', 0xFF,                                          // collection name
      2, 0, 0, 0,                                         // two entries
      'a', 0xFF, 2, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0,      // "a": 1
      'b', 0xFF, 4, 0, 0, 0, 3, 0, 0, 0,                  // "b": array of 3
      0, 0, 0, 0,                                         //   null
      1, 0, 0, 0, 1,                                      //   true
      3, 0, 0, 0, 'x', 0xFF,                              //   "x"
  };
  expected.write(stream, sizeof stream);
  CHECK(tovra::query_digest("c", J(R"({"b": [null, true, "x"], "a": 1})")) == expected.finish());

  auto digest = [](const char* collection, const char* query) {
    return tovra::query_digest(collection, J(query));
  };
  CHECK(digest("c", R"({"a": 1, "b": 2})") == digest("c", R"({"b": 2, "a": 1})"));
  CHECK(digest("c", R"({"a": 1})") != digest("c", R"({"a": 1.0})"));
  CHECK(digest("c", R"({"a": 0.0})") == digest("c", R"({"a": -0.0})"));
  CHECK(digest("c", R"({"a": 1})") != digest("d", R"({"a": 1})"));
  CHECK(digest("ca", R"({})") != digest("c", R"({"a": 1})"));
}

// A result of one document, the number n, over a collection of its own.
tovra::FindResultHandle result_of(int n) {
  std::vector<JsonValue> documents;
  documents.push_back(JsonValue::integer(n));
  tovra::FindResult::Builder builder(1);
  builder.add(0);
  return std::move(builder).finish(std::make_shared<tovra::Collection>(std::move(documents)));
}

// The documents a result shows.
std::vector<JsonValue> documents_of(const tovra::FindResult& result) {
  tovra::Collection::ReadGuard guard(*result.source());
  std::vector<JsonValue> shown;
  result.for_each(guard.documents(), [&](const JsonValue& d) { shown.push_back(d); });
  return shown;
}

// Results keep positions as a list or a bitmap, whichever is smaller; both show the same. A
// builder switches to the bitmap as the list outgrows it: of 130 documents (three words), the
// seventh position switches it (every 20) and six stay a list (every 22).
void test_find_result() {
  for (size_t total : {1u, 63u, 64u, 65u, 130u, 1000u}) {
    for (size_t every : {1u, 2u, 7u, 20u, 22u, 100u}) {
      std::vector<JsonValue> documents;
      for (size_t i = 0; i < total; ++i) documents.push_back(JsonValue::uint(i));
      auto collection = std::make_shared<tovra::Collection>(std::move(documents));
      tovra::FindResult::Builder builder(total);
      std::vector<JsonValue> expected;
      for (size_t i = 0; i < total; i += every) {
        builder.add(i);
        expected.push_back(JsonValue::uint(i));
      }
      tovra::FindResultHandle result = std::move(builder).finish(collection);
      CHECK_MSG(result->size() == expected.size(), std::to_string(total) + "/" + std::to_string(every));
      CHECK_MSG(documents_of(*result) == expected, std::to_string(total) + "/" + std::to_string(every));
      // Documents appended later are not part of the result.
      tovra::Collection::WriteGuard(*collection).documents().push_back(JsonValue::uint(total));
      CHECK(documents_of(*result) == expected);
    }
  }
}

JsonValue numbered_query(int n) { return J("{\"a\": " + std::to_string(n) + "}"); }

void test_cache() {
  tovra::QueryCache cache;
  CHECK(cache.get("c", numbered_query(0)) == nullptr);

  // 101 entries evict the first.
  for (int i = 0; i <= 100; ++i) cache.put("c", numbered_query(i), result_of(i));
  CHECK(cache.size() == 100);
  CHECK(cache.get("c", numbered_query(0)) == nullptr);
  CHECK(cache.get("c", numbered_query(1)) != nullptr);

  // A get refreshes recency: after reading 2, adding one more evicts 3, not 2.
  cache.clear();
  CHECK(cache.size() == 0);
  for (int i = 0; i < 100; ++i) cache.put("c", numbered_query(i), result_of(i));
  CHECK(cache.get("c", numbered_query(0)) != nullptr);
  cache.put("c", numbered_query(100), result_of(100));
  CHECK(cache.get("c", numbered_query(0)) != nullptr);
  CHECK(cache.get("c", numbered_query(1)) == nullptr);

  // Putting an existing key replaces its result and refreshes it.
  cache.put("c", numbered_query(2), result_of(-2));
  for (int i = 101; i < 199; ++i) cache.put("c", numbered_query(i), result_of(i));
  tovra::FindResultHandle replaced = cache.get("c", numbered_query(2));
  CHECK(replaced != nullptr && documents_of(*replaced) == std::vector<JsonValue>{J("-2")});
  CHECK(cache.size() == 100);

  cache.clear();
  cache.put("c", J(R"({"a": 1})"), result_of(1));
  CHECK(cache.get("c", J(R"({"a": 1.0})")) == nullptr);
  CHECK(cache.get("d", J(R"({"a": 1})")) == nullptr);
  CHECK(cache.get("c", J(R"({"a": 1})")) != nullptr);

  // A digest collision gives a miss, never the other pair's result, and a put takes the slot.
  cache.clear();
  cache.put_with_digest(42, "c", J(R"({"a": 1})"), result_of(1));
  CHECK(cache.get_with_digest(42, "c", J(R"({"a": 2})")) == nullptr);
  CHECK(cache.get_with_digest(42, "d", J(R"({"a": 1})")) == nullptr);
  cache.put_with_digest(42, "d", J(R"({"a": 1})"), result_of(2));
  CHECK(cache.size() == 1);
  CHECK(cache.get_with_digest(42, "c", J(R"({"a": 1})")) == nullptr);
  CHECK(cache.get_with_digest(42, "d", J(R"({"a": 1})")) != nullptr);

  // A handle outlives its evicted entry.
  tovra::FindResultHandle held = cache.get_with_digest(42, "d", J(R"({"a": 1})"));
  cache.clear();
  CHECK(held.use_count() == 1 && documents_of(*held).size() == 1);
}


}  // namespace

int main() {
  char dir_template[] = "/tmp/test_store_XXXXXX";
  std::string dir = mkdtemp(dir_template);

  test_read_document(dir);
  test_os_error_rendering();
  test_write_collection_file(dir);
  test_siphash();
  test_digest();
  test_cache();
  test_find_result();

  std::string cleanup = "rm -rf '" + dir + "'";
  if (std::system(cleanup.c_str()) != 0) std::printf("could not remove %s\n", dir.c_str());
  return test_support::summary();
}
