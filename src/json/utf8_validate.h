// The vector validator of UTF-8, written once as a template over a trait of vector operations
// and compiled once per instruction set: utf8_validate_ssse3.cc with -mssse3 and
// utf8_validate_avx2.cc with -mavx2, each file alone (the build sets those flags on those two
// files only). utf8.cc calls them after checking at run time that the processor has the
// instructions.
//
// Why files of their own rather than target attributes: an attribute cannot depend on a
// template argument, and neither GCC nor clang inlines a function built for AVX2 (an
// intrinsic) into one that is not, so one template could not serve both instruction sets.
//
// What such a file may hold: intrinsics (inlined everywhere, never emitted as functions of
// their own), this header and code whose every function has internal linkage. An inline
// library function used there (a std::vector or std::string member, an algorithm) would be
// emitted as a weak definition built for AVX2, and the linker may keep that copy for callers
// elsewhere, which then fault on processors without AVX2. The traits live in anonymous
// namespaces, so the template instantiated on them is internal to its file as well.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define TOVRA_UTF8_X86 1
#endif

namespace tovra::utf8_validate {

#ifdef TOVRA_UTF8_X86
// Only where the processor has SSSE3, respectively AVX2.
bool is_valid_ssse3(const char* p, size_t n) noexcept;
bool is_valid_avx2(const char* p, size_t n) noexcept;
#endif

// Validation by classifying each pair of adjacent bytes with three nibble lookups: the high
// and low nibble of the earlier byte and the high nibble of the later one each map to the set
// of errors they are compatible with; a pair is wrong when all three agree on one. Third and
// fourth bytes of a sequence are checked against the byte two or three places back.

inline constexpr uint8_t kTooShort = 1 << 0;      // a lead byte not followed by a continuation
inline constexpr uint8_t kTooLong = 1 << 1;       // a continuation after an ASCII byte
inline constexpr uint8_t kOverlong3 = 1 << 2;     // E0 80..9F
inline constexpr uint8_t kTooLarge = 1 << 3;      // F4 90.. and above
inline constexpr uint8_t kSurrogate = 1 << 4;     // ED A0..BF
inline constexpr uint8_t kOverlong2 = 1 << 5;     // C0 or C1 as a lead
inline constexpr uint8_t kTooLarge1000 = 1 << 6;  // F5..FF 80..8F
inline constexpr uint8_t kOverlong4 = 1 << 6;     // F0 80..8F
inline constexpr uint8_t kTwoConts = 1 << 7;      // a continuation after a continuation
inline constexpr uint8_t kCarry = kTooShort | kTooLong | kTwoConts;

inline constexpr uint8_t kByte1High[16] = {
    kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTwoConts,
    kTwoConts, kTwoConts, kTwoConts, kTooShort | kOverlong2, kTooShort,
    kTooShort | kOverlong3 | kSurrogate, kTooShort | kTooLarge | kTooLarge1000 | kOverlong4};
inline constexpr uint8_t kByte1Low[16] = {
    kCarry | kOverlong3 | kOverlong2 | kOverlong4, kCarry | kOverlong2, kCarry, kCarry,
    kCarry | kTooLarge, kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000 | kSurrogate, kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000};
inline constexpr uint8_t kByte2High[16] = {
    kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,
    kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge1000 | kOverlong4,
    kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge,
    kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
    kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge, kTooShort, kTooShort, kTooShort,
    kTooShort};
// Subtracted with saturation from a block, leaves a non-zero byte only where one of its last
// three bytes is a lead byte whose sequence goes on past the block. A vector of n bytes takes
// the last n of these.
inline constexpr uint8_t kIncompleteBound[32] = {
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xF0 - 1, 0xE0 - 1, 0xC0 - 1};

// V, the vector operations: a type Vec of kBytes bytes, and
//   load(p)                   kBytes bytes from p, not necessarily aligned
//   set1(b)                   b in every byte
//   table(t)                  a 16-byte lookup table (repeated in each 16-byte lane)
//   lookup(table, nibbles)    per byte, table[nibble] (each nibble below 16)
//   shift_right_4(v)          v shifted right by 4 bits in lanes of at least 16 bits
//   bit_or, bit_and, bit_xor
//   sub_saturated(a, b)       per unsigned byte, a - b or 0
//   previous<N>(input, prev)  per byte, the byte N places back, prev holding the block before
//   any_high_bit(v), all_zero(v)
template <typename V>
class Validator {
 public:
  using Vec = typename V::Vec;

  // Takes the next block of the text.
  [[gnu::always_inline]] inline void block(Vec input) noexcept {
    if (!V::any_high_bit(input)) {
      // An ASCII block is fine unless the block before ended inside a sequence.
      error_ = V::bit_or(error_, previous_incomplete_);
      previous_ = input;
      return;
    }
    Vec prev1 = V::template previous<1>(input, previous_);
    Vec byte1_high = V::lookup(byte1_high_, V::bit_and(V::shift_right_4(prev1), low_nibble_));
    Vec byte1_low = V::lookup(byte1_low_, V::bit_and(prev1, low_nibble_));
    Vec byte2_high = V::lookup(byte2_high_, V::bit_and(V::shift_right_4(input), low_nibble_));
    Vec special = V::bit_and(V::bit_and(byte1_high, byte1_low), byte2_high);
    Vec prev2 = V::template previous<2>(input, previous_);
    Vec prev3 = V::template previous<3>(input, previous_);
    Vec third = V::sub_saturated(prev2, third_lead_);
    Vec fourth = V::sub_saturated(prev3, fourth_lead_);
    Vec must_continue = V::bit_and(V::bit_or(third, fourth), high_bit_);
    error_ = V::bit_or(error_, V::bit_xor(must_continue, special));
    previous_incomplete_ = V::sub_saturated(input, incomplete_bound_);
    previous_ = input;
  }

  // Takes the last of a run of ASCII blocks, the others needing nothing.
  [[gnu::always_inline]] inline void ascii_run(Vec last) noexcept {
    error_ = V::bit_or(error_, previous_incomplete_);
    previous_incomplete_ = V::set1(0);
    previous_ = last;
  }

  // Whether the blocks taken so far, as the whole text, are valid.
  bool valid() const noexcept { return V::all_zero(V::bit_or(error_, previous_incomplete_)); }

 private:
  Vec error_ = V::set1(0);
  Vec previous_ = V::set1(0);
  Vec previous_incomplete_ = V::set1(0);
  // The constants, made once rather than in every block.
  const Vec low_nibble_ = V::set1(0x0F);
  const Vec byte1_high_ = V::table(kByte1High);
  const Vec byte1_low_ = V::table(kByte1Low);
  const Vec byte2_high_ = V::table(kByte2High);
  const Vec third_lead_ = V::set1(0xE0 - 0x80);
  const Vec fourth_lead_ = V::set1(0xF0 - 0x80);
  const Vec high_bit_ = V::set1(0x80);
  const Vec incomplete_bound_ = V::load(kIncompleteBound + sizeof kIncompleteBound - V::kBytes);
};

template <typename V>
bool is_valid(const char* p, size_t n) noexcept {
  using Vec = typename V::Vec;
  Validator<V> validator;
  const char* end = p + n;
  while (static_cast<size_t>(end - p) >= V::kBytes) {
    Vec input = V::load(p);
    p += V::kBytes;
    if (V::any_high_bit(input)) {
      validator.block(input);
      continue;
    }
    // An ASCII block often begins a long run (markup, keys, numbers): taken two blocks a step.
    validator.ascii_run(input);
    while (static_cast<size_t>(end - p) >= 2 * V::kBytes) {
      Vec second = V::load(p + V::kBytes);
      if (V::any_high_bit(V::bit_or(V::load(p), second))) break;
      validator.ascii_run(second);
      p += 2 * V::kBytes;
    }
  }
  if (p != end) {
    // The tail, padded with NUL bytes: a sequence cut short before them is refused.
    char tail[V::kBytes] = {};
    std::memcpy(tail, p, static_cast<size_t>(end - p));
    validator.block(V::load(tail));
  }
  return validator.valid();
}

}  // namespace tovra::utf8_validate
