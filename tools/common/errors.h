// SPDX-License-Identifier: Apache-2.0
// Errors of the spoolgate command: unusable input (exit status 2) carries a one-line
// message that names the file and the byte offset or line where the input went wrong.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace spoolgate {

// Thrown for input the command cannot use; main() prints the message and exits with 2.
struct InputError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// "FILE: byte OFFSET: WHAT" — the form of every error about a binary file.
inline InputError ByteError(const std::string& file, uint64_t offset, const std::string& what) {
  return InputError(file + ": byte " + std::to_string(offset) + ": " + what);
}

// "FILE:LINE: WHAT" — the form of every error about a text description.
inline InputError LineError(const std::string& file, unsigned line, const std::string& what) {
  return InputError(file + ":" + std::to_string(line) + ": " + what);
}

// Exit statuses of the command.
enum ExitStatus : int { kExitOk = 0, kExitStepFailed = 1, kExitBadInput = 2 };

}  // namespace spoolgate
