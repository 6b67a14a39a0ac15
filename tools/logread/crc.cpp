// SPDX-License-Identifier: Apache-2.0
// The checksum of the log lines in the Linux command: ISA-L's CRC-32 (the reflected
// polynomial of gzip, the logging library's own), folded with carry-less multiplies.
#include "tools/logread/log_folder.h"

#include <isa-l/crc.h>

namespace spoolgate {

uint32_t Crc32(std::string_view bytes) {
  return crc32_gzip_refl(0, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

}  // namespace spoolgate
