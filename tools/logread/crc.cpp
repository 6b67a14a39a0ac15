// SPDX-License-Identifier: Apache-2.0
// The checksum of the log lines in the Linux command: zlib's CRC-32, the same
// polynomial as the logging library's own, and the fastest one the system has.
#include "tools/logread/log_folder.h"

#include <zlib.h>

namespace spoolgate {

uint32_t Crc32(std::string_view bytes) {
  return uint32_t(crc32_z(0, reinterpret_cast<const Bytef*>(bytes.data()), bytes.size()));
}

}  // namespace spoolgate
