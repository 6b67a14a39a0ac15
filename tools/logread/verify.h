// SPDX-License-Identifier: Apache-2.0
// Checking a folder of accounting logs for losses: checksums, sequence numbers, the
// sequence file, missing and stray files, pending lines.
#pragma once

#include <ostream>
#include <string>

namespace spoolgate {

// Returns 0 when every line checks out, 1 when a line, a sequence number, the sequence
// file, a missing file, a stray file or a pending line tells of a loss. json: one object
// with the counts, the problems and "result" ("ok" or "failed").
int VerifyLog(const std::string& dir, bool json, std::ostream& out);

}  // namespace spoolgate
