// SPDX-License-Identifier: Apache-2.0
// CRC-32 of the log lines: the checksum field that lets a reader detect a lost,
// truncated or altered line.
#include "logger/crc32.h"

// Eight tables of the reflected polynomial 0xEDB88320, made by the compiler: table 0 is
// the byte-wise table, table k advances a byte by k further bytes of zeros, so that eight
// bytes take eight independent lookups. The importer of the log's tools checks every line
// of a fleet's logs with it, where the byte-wise loop was the largest cost.
struct CrcTables {
  uint32_t t[8][256];
};

static constexpr CrcTables MakeCrcTables() {
  CrcTables tables{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1u) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    tables.t[0][i] = c;
  }
  for (int k = 1; k < 8; ++k) {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t prev = tables.t[k - 1][i];
      tables.t[k][i] = (prev >> 8) ^ tables.t[0][prev & 0xFFu];
    }
  }
  return tables;
}

static constexpr CrcTables kCrc = MakeCrcTables();
static_assert(kCrc.t[0][1] == 0x77073096u, "the byte-wise table of 0xEDB88320");

uint32_t Crc32Update(uint32_t crc, const void* bytes, size_t count) {
  const uint8_t* p = (const uint8_t*)bytes;
  crc = ~crc;
  // Bytes are combined one by one (not loaded as a word), so the byte order of the
  // machine does not matter.
  for (; count >= 8; count -= 8, p += 8) {
    uint32_t low = crc ^ ((uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 |
                          (uint32_t)p[3] << 24);
    crc = kCrc.t[7][low & 0xFFu] ^ kCrc.t[6][(low >> 8) & 0xFFu] ^
          kCrc.t[5][(low >> 16) & 0xFFu] ^ kCrc.t[4][low >> 24] ^ kCrc.t[3][p[4]] ^
          kCrc.t[2][p[5]] ^ kCrc.t[1][p[6]] ^ kCrc.t[0][p[7]];
  }
  for (; count > 0; --count, ++p) crc = (crc >> 8) ^ kCrc.t[0][(crc ^ *p) & 0xFFu];
  return ~crc;
}
