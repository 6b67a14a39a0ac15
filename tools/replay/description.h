// SPDX-License-Identifier: Apache-2.0
// Job descriptions: the commented text form of a job stream that `spoolgate capture`
// turns into a capture file (syntax in docs/capture-format.md).
#pragma once

#include <cstdint>
#include <string>

namespace spoolgate {

struct ComposeSummary {
  uint64_t blocks = 0;
  uint64_t blockBytes = 0;
  uint64_t events = 0;  // every event, blocks included
};

// Reads the description at descriptionPath and writes the capture to capturePath.
// A fault in the description throws InputError as "FILE:LINE: what"; nothing is
// left at capturePath then.
ComposeSummary ComposeCapture(const std::string& descriptionPath, const std::string& capturePath);

}  // namespace spoolgate
