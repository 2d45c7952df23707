// The shuffle tables of the vector UTF-8 code, all evaluated at compile time: data only, so
// that files built for one instruction set (json/utf8_validate.h says what those may hold)
// share them with the rest.
#pragma once

#include <cstdint>

namespace tovra::utf8_tables {

// For each mask of eight 16-bit lanes, the shuffle that packs the lanes whose bit is set to
// the front, in order, and how many there are. Data only: the constant is evaluated at
// compile time and shared by utf8.cc and utf8_decode_avx2.cc.
struct PackTables {
  uint8_t shuffles[256][16];
  uint8_t counts[256];
};

constexpr PackTables build_pack_tables() {
  PackTables tables{};
  for (unsigned mask = 0; mask < 256; ++mask) {
    unsigned at = 0;
    for (unsigned lane = 0; lane < 8; ++lane) {
      if ((mask & (1u << lane)) == 0) continue;
      tables.shuffles[mask][at++] = static_cast<uint8_t>(2 * lane);
      tables.shuffles[mask][at++] = static_cast<uint8_t>(2 * lane + 1);
    }
    tables.counts[mask] = static_cast<uint8_t>(at / 2);
    while (at < 16) tables.shuffles[mask][at++] = 0x80;  // a zero byte
  }
  return tables;
}

inline constexpr PackTables kPackTables = build_pack_tables();

// Encoding four code points below U+10000 at a time: for each mask of which lanes take one,
// two or three bytes, the shuffle that packs their forms together and the bytes it makes;
// and the like for eight two-byte units and eight three-byte forms.
struct EncodeTables {
  uint8_t shuffles[256][16];
  uint8_t lengths[256];
  // Eight two-byte lanes, each holding a one-byte form (ASCII) or a two-byte one: bit k of the
  // index says lane k is ASCII.
  uint8_t pair_shuffles[256][16];
  uint8_t pair_lengths[256];
  // Eight three-byte forms from their byte planes: `leads` holds the first bytes (0..7) and
  // the second ones (8..15), `lasts` the third ones (0..7). Output bytes 0..15 and 16..23 each
  // take a shuffle of either register.
  uint8_t triple_leads[2][16];
  uint8_t triple_lasts[2][16];
};

constexpr void fill_zero_bytes(uint8_t (&shuffle)[16]) {
  for (uint8_t& lane : shuffle) lane = 0x80;  // a zero byte
}

constexpr EncodeTables build_encode_tables() {
  EncodeTables tables{};
  // Index: bit k says lane k is below U+0080, bit 4 + k that it is below U+0800.
  for (unsigned index = 0; index < 256; ++index) {
    fill_zero_bytes(tables.shuffles[index]);
    int at = 0;
    for (int k = 0; k < 4; ++k) {
      int length = (index & (1u << k)) ? 1 : ((index & (16u << k)) ? 2 : 3);
      for (int b = 0; b < length; ++b) {
        tables.shuffles[index][at++] = static_cast<uint8_t>(4 * k + b);
      }
    }
    tables.lengths[index] = static_cast<uint8_t>(at);
  }
  for (unsigned index = 0; index < 256; ++index) {
    fill_zero_bytes(tables.pair_shuffles[index]);
    int at = 0;
    for (int k = 0; k < 8; ++k) {
      int length = (index & (1u << k)) ? 1 : 2;
      for (int b = 0; b < length; ++b) {
        tables.pair_shuffles[index][at++] = static_cast<uint8_t>(2 * k + b);
      }
    }
    tables.pair_lengths[index] = static_cast<uint8_t>(at);
  }
  for (int half = 0; half < 2; ++half) {
    fill_zero_bytes(tables.triple_leads[half]);
    fill_zero_bytes(tables.triple_lasts[half]);
    for (int lane = 0; lane < 16; ++lane) {
      int position = 16 * half + lane;
      if (position >= 24) break;
      int unit = position / 3, byte = position % 3;
      if (byte == 2) {
        tables.triple_lasts[half][lane] = static_cast<uint8_t>(unit);
      } else {
        tables.triple_leads[half][lane] = static_cast<uint8_t>(8 * byte + unit);
      }
    }
  }
  return tables;
}


inline constexpr EncodeTables kEncodeTables = build_encode_tables();

}  // namespace tovra::utf8_tables
