// SPDX-License-Identifier: Apache-2.0
// The first bytes by which the command knows a file of its own, so that every subcommand
// can tell one from the file it expects.
#pragma once

#include <cstdint>

namespace spoolgate {

// 89 'S' 'G' 'C' 'A' 'P' CR LF: a high byte and a line ending catch text-mode copies.
inline constexpr uint8_t kCaptureMagic[8] = {0x89, 'S', 'G', 'C', 'A', 'P', '\r', '\n'};

}  // namespace spoolgate
