// SipHash with a configurable number of compression and finalisation rounds, fed incrementally.
// SipHasher<1, 3> is SipHash-1-3 (the cache's key digest); SipHasher<2, 4> the reference
// SipHash-2-4. The output is the 64-bit variant; the byte stream is read little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tovra {

template <int kCompressionRounds, int kFinalizationRounds>
class SipHasher {
 public:
  explicit SipHasher(uint64_t k0 = 0, uint64_t k1 = 0) noexcept
      : v0_(k0 ^ 0x736f6d6570736575ULL),
        v1_(k1 ^ 0x646f72616e646f6dULL),
        v2_(k0 ^ 0x6c7967656e657261ULL),
        v3_(k1 ^ 0x7465646279746573ULL) {}

  void write(const void* data, size_t size) noexcept {
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    length_ += size;
    // Fill the pending word first, then whole words, then keep the tail pending.
    while (size > 0 && pending_bytes_ != 0) {
      push_byte(*bytes++);
      --size;
    }
    while (size >= 8) {
      uint64_t word = 0;
      for (int i = 7; i >= 0; --i) word = (word << 8) | bytes[i];
      compress(word);
      bytes += 8;
      size -= 8;
    }
    while (size > 0) {
      push_byte(*bytes++);
      --size;
    }
  }
  void write(std::string_view text) noexcept { write(text.data(), text.size()); }
  void write_u8(uint8_t b) noexcept { write(&b, 1); }
  void write_u32(uint32_t v) noexcept {
    unsigned char bytes[4];
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<unsigned char>(v >> (8 * i));
    write(bytes, 4);
  }
  void write_u64(uint64_t v) noexcept {
    unsigned char bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(v >> (8 * i));
    write(bytes, 8);
  }

  // The digest of everything written so far; the hasher itself is left unchanged.
  uint64_t finish() const noexcept {
    SipHasher s = *this;
    uint64_t last = (static_cast<uint64_t>(length_) << 56) | s.pending_;
    s.compress(last);
    s.v2_ ^= 0xff;
    for (int i = 0; i < kFinalizationRounds; ++i) s.round();
    return s.v0_ ^ s.v1_ ^ s.v2_ ^ s.v3_;
  }

 private:
  static uint64_t rotl(uint64_t x, int b) noexcept { return (x << b) | (x >> (64 - b)); }

  void round() noexcept {
    v0_ += v1_;
    v1_ = rotl(v1_, 13);
    v1_ ^= v0_;
    v0_ = rotl(v0_, 32);
    v2_ += v3_;
    v3_ = rotl(v3_, 16);
    v3_ ^= v2_;
    v0_ += v3_;
    v3_ = rotl(v3_, 21);
    v3_ ^= v0_;
    v2_ += v1_;
    v1_ = rotl(v1_, 17);
    v1_ ^= v2_;
    v2_ = rotl(v2_, 32);
  }

  void compress(uint64_t word) noexcept {
    v3_ ^= word;
    for (int i = 0; i < kCompressionRounds; ++i) round();
    v0_ ^= word;
  }

  void push_byte(unsigned char b) noexcept {
    pending_ |= static_cast<uint64_t>(b) << (8 * pending_bytes_);
    if (++pending_bytes_ == 8) {
      compress(pending_);
      pending_ = 0;
      pending_bytes_ = 0;
    }
  }

  uint64_t v0_, v1_, v2_, v3_;
  uint64_t pending_ = 0;  // the bytes of an incomplete word, little-endian
  int pending_bytes_ = 0;
  uint64_t length_ = 0;  // only its low byte enters the digest
};

using SipHasher13 = SipHasher<1, 3>;
using SipHasher24 = SipHasher<2, 4>;

}  // namespace tovra
