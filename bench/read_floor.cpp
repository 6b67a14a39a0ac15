// SPDX-License-Identifier: Apache-2.0
// The read floor of the log reports: every byte of the given files read in 256 KiB
// blocks and put through zlib's CRC-32, which each report has to do at the least. With
// --isal, through ISA-L's CRC-32, the one the Linux command checks lines with.
//
//   spoolgate_read_floor [--isal] FILE...
#include <isa-l/crc.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <vector>

int main(int argc, char** argv) {
  std::vector<unsigned char> buffer(size_t(1) << 18);
  bool isal = argc > 1 && std::strcmp(argv[1], "--isal") == 0;
  unsigned long crc = 0, bytes = 0;
  for (int i = isal ? 2 : 1; i < argc; ++i) {
    std::FILE* f = std::fopen(argv[i], "rb");
    if (f == nullptr) {
      std::perror(argv[i]);
      return 2;
    }
    size_t got = 0;
    while ((got = std::fread(buffer.data(), 1, buffer.size(), f)) != 0) {
      crc = isal ? crc32_gzip_refl(uint32_t(crc), buffer.data(), got) : crc32_z(crc, buffer.data(), got);
      bytes += got;
    }
    std::fclose(f);
  }
  std::printf("bytes: %lu crc32: %08lX\n", bytes, crc);
  return 0;
}
