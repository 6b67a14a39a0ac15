// SPDX-License-Identifier: Apache-2.0
// CRC-32 of the log lines, shared by the logging library and the tools that read the log.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Crc32Update() - CRC-32 (the reflected 0xEDB88320 polynomial of zip and PNG) of bytes,
// continuing from crc; start with 0. Crc32Update(0, "123456789", 9) is 0xCBF43926.
uint32_t Crc32Update(uint32_t crc, const void* bytes, size_t count);
