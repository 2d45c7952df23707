#include "store/query_cache.h"

#include <bit>
#include <utility>
#include <vector>

#include "store/siphash.h"

namespace tovra {

namespace {

enum : uint32_t { kNullKind, kBoolKind, kNumberKind, kStringKind, kArrayKind, kObjectKind };
constexpr uint8_t kTerminator = 0xFF;

void feed_value(SipHasher13& hasher, const JsonValue& value);

void feed_object(SipHasher13& hasher, const JsonValue& object) {
  auto members = object.members();
  hasher.write_u32(static_cast<uint32_t>(members.size()));
  for (auto member : members) {
    hasher.write(member.key_view());
    hasher.write_u8(kTerminator);
    feed_value(hasher, member.value);
  }
}

void feed_value(SipHasher13& hasher, const JsonValue& value) {
  switch (value.type()) {
    case JsonType::kNull:
      hasher.write_u32(kNullKind);
      break;
    case JsonType::kBool:
      hasher.write_u32(kBoolKind);
      hasher.write_u8(value.as_bool() ? 1 : 0);
      break;
    case JsonType::kUInt:
      hasher.write_u32(kNumberKind);
      hasher.write_u64(value.as_uint());
      break;
    case JsonType::kInt:
      hasher.write_u32(kNumberKind);
      hasher.write_u64(static_cast<uint64_t>(value.as_int()));
      break;
    case JsonType::kDouble: {
      hasher.write_u32(kNumberKind);
      double d = value.as_double();
      // +0.0 and -0.0 are one value in queries, so they must be one key.
      hasher.write_u64(d == 0.0 ? 0 : std::bit_cast<uint64_t>(d));
      break;
    }
    case JsonType::kString:
      hasher.write_u32(kStringKind);
      hasher.write(value.as_string());
      hasher.write_u8(kTerminator);
      break;
    case JsonType::kArray: {
      hasher.write_u32(kArrayKind);
      std::span<const JsonValue> elements = value.elements();
      hasher.write_u32(static_cast<uint32_t>(elements.size()));
      for (const JsonValue& element : elements) feed_value(hasher, element);
      break;
    }
    case JsonType::kObject:
      hasher.write_u32(kObjectKind);
      feed_object(hasher, value);
      break;
  }
}

}  // namespace

uint64_t query_digest(std::string_view collection, const JsonValue& query) {
  SipHasher13 hasher;
  hasher.write(collection);
  hasher.write_u8(kTerminator);
  // Queries are objects; anything else is fed as a tagged value so it cannot pose as one.
  if (query.is_object()) {
    feed_object(hasher, query);
  } else {
    feed_value(hasher, query);
  }
  return hasher.finish();
}

FindResultHandle QueryCache::get_with_digest(uint64_t digest, std::string_view collection,
                                             const JsonValue& query) {
  auto found = index_.find(digest);
  if (found == index_.end()) return nullptr;
  Entry& entry = *found->second;
  if (entry.collection != collection || !(entry.query == query)) return nullptr;
  recency_.splice(recency_.begin(), recency_, found->second);
  return entry.result;
}

void QueryCache::put_with_digest(uint64_t digest, std::string_view collection,
                                 const JsonValue& query, FindResultHandle result) {
  // Copies first, so a failed allocation leaves the cache as it was.
  EntryList fresh;
  fresh.push_back(Entry{digest, std::string(collection), query, std::move(result)});

  auto found = index_.find(digest);
  if (found != index_.end()) {
    std::swap(*found->second, fresh.front());
    recency_.splice(recency_.begin(), recency_, found->second);
    return;  // the replaced entry goes with `fresh`
  }
  index_.emplace(digest, fresh.begin());
  if (recency_.size() >= kCapacity) {
    index_.erase(recency_.back().digest);
    recency_.pop_back();
  }
  // Splicing keeps the iterator stored in the index valid.
  recency_.splice(recency_.begin(), fresh);
}

void QueryCache::erase(std::string_view collection, const JsonValue& query) {
  auto found = index_.find(query_digest(collection, query));
  if (found == index_.end()) return;
  const Entry& entry = *found->second;
  if (entry.collection != collection || !(entry.query == query)) return;
  recency_.erase(found->second);
  index_.erase(found);
}

void QueryCache::detach(const Collection& source) {
  std::vector<std::pair<Entry*, FindResultHandle>> copies;
  for (Entry& entry : recency_) {
    if (entry.result->source().get() == &source) copies.emplace_back(&entry, nullptr);
  }
  // Every copy is made before any entry takes one, so a failure changes nothing.
  for (auto& [entry, copy] : copies) copy = entry->result->detached();
  for (auto& [entry, copy] : copies) entry->result = std::move(copy);
}

}  // namespace tovra
