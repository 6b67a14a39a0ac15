// SPDX-License-Identifier: Apache-2.0
// `spoolgate run`: replays captures through the real plug-in library over the host
// Win32 layer and reports what became of each job, from the calls the plug-in made.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace spoolgate {

struct RunOptions {
  std::string root = "./spoolgate-root";
  std::string printer = "Wide Format";
  std::string port = "LPT1:";
  std::string document;  // empty: each capture's file name without its extension
  std::string user = "alice";
  uint32_t jobId = 1;  // the first capture's; each further capture takes the next
  std::string printerOut;
  bool json = false;
  bool trace = false;  // every recorded call, block by block
  std::string plugin;  // empty: found beside the command's build
  bool progress = true;
  // The sandbox's accounting settings, written to its registry before the first job.
  std::optional<std::string> logDir;  // a Windows path
  std::optional<uint32_t> logMaxKib;
};

// Runs the captures as consecutive jobs in one sandbox and writes the report.
// Returns the exit status (0 every call succeeded, 1 a call failed); unusable
// captures or options throw InputError before any job runs.
int RunCaptures(const std::vector<std::string>& captures, const RunOptions& options,
                std::ostream& out);

}  // namespace spoolgate
