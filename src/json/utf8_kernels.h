// Utf8Kernels: the text kernels of one instruction set, as a table of function pointers. utf8.cc
// holds one table per instruction set (scalar everywhere; SSSE3 and AVX2 on x86-64), chooses
// the best one the processor has once, at load time, and every public function of json/utf8.h
// calls through it. Each instruction set's kernels live in files of their own, built with its
// flags alone: utf8_ssse3.cc and utf8_validate_ssse3.cc (-mssse3), utf8_decode_avx2.cc and
// utf8_validate_avx2.cc (-mavx2, -mpopcnt). Those files follow the rules of
// json/utf8_validate.h; the scalar steps they end with are json/utf8_scalar.h. Encoding has no
// AVX2 kernel: the AVX2 table takes SSSE3's.
#pragma once

#include <cstddef>
#include <cstdint>

#include "json/utf8.h"
#include "json/utf8_validate.h"

namespace tovra {

struct Utf8Kernels {
  bool (*is_valid)(const char* p, size_t n) noexcept;
  Utf8Shape (*shape)(const char* p, size_t n) noexcept;
  void (*decode_1)(const char* p, size_t n, uint8_t* out, size_t units) noexcept;
  void (*decode_2)(const char* p, size_t n, uint16_t* out, size_t units) noexcept;
  void (*decode_4)(const char* p, size_t n, uint32_t* out, size_t units) noexcept;
  void (*encode_1)(const uint8_t* text, size_t n, char* out, size_t length) noexcept;
  void (*encode_2)(const uint16_t* text, size_t n, char* out, size_t length) noexcept;
  void (*encode_4)(const uint32_t* text, size_t n, char* out, size_t length) noexcept;
};

#ifdef TOVRA_UTF8_X86
// utf8_ssse3.cc: only where the processor has SSSE3 (shape needs SSE2 alone).
namespace utf8_ssse3 {
Utf8Shape shape(const char* text, size_t n) noexcept;
void decode(const char* text, size_t n, uint8_t* out, size_t units) noexcept;
void decode(const char* text, size_t n, uint16_t* out, size_t units) noexcept;
void decode(const char* text, size_t n, uint32_t* out, size_t units) noexcept;
void encode(const uint8_t* text, size_t n, char* out, size_t length) noexcept;
void encode(const uint16_t* text, size_t n, char* out, size_t length) noexcept;
void encode(const uint32_t* text, size_t n, char* out, size_t length) noexcept;
}  // namespace utf8_ssse3
#endif

}  // namespace tovra
