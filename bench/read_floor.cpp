// SPDX-License-Identifier: Apache-2.0
// The read floor of the log reports: every byte of the given files read in 256 KiB
// blocks and put through zlib's CRC-32, which each report has to do at the least.
//
//   spoolgate_read_floor FILE...
#include <zlib.h>

#include <cstdio>
#include <vector>

int main(int argc, char** argv) {
  std::vector<unsigned char> buffer(size_t(1) << 18);
  unsigned long crc = 0, bytes = 0;
  for (int i = 1; i < argc; ++i) {
    std::FILE* f = std::fopen(argv[i], "rb");
    if (f == nullptr) {
      std::perror(argv[i]);
      return 2;
    }
    size_t got = 0;
    while ((got = std::fread(buffer.data(), 1, buffer.size(), f)) != 0) {
      crc = crc32_z(crc, buffer.data(), got);
      bytes += got;
    }
    std::fclose(f);
  }
  std::printf("bytes: %lu crc32: %08lX\n", bytes, crc);
  return 0;
}
