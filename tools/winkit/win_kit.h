// SPDX-License-Identifier: Apache-2.0
// spoolgate.exe's own subcommands on a print server: setup installs the accounting
// settings, the log directory and the event source; check says what is wrong.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace spoolgate {

struct SetupOptions {
  std::string directory;   // the log directory (UTF-8), absolute; empty: the printers only
  int64_t maxKib = 1024;   // MaxLogFileSize; signed, so that a negative one is seen as such
  std::vector<std::string> printers;  // the printers whose SPLUserModePrinterDriver is set
  std::string driverDir;   // where ruzoravu64.dll is (default: the x64 driver directory)
  std::string spoolerAccount = "SYSTEM";  // the account the library runs as
  bool dryRun = false;
  bool remove = false;
};
// 0 when every step was done (or, with dryRun, would be), 1 when a step failed (named
// with the system's reason), 2 for unusable options. Every printer is opened, and its
// driver judged, before any step, so that one that cannot be set up stops setup before
// it changes anything.
int RunSetup(const SetupOptions& options, std::ostream& out);

struct CheckOptions {
  std::string driverDir;  // default: the x64 driver directory
  std::string printer;    // the printer to judge; empty: every one that uses the plug-in
  std::string spoolerAccount = "SYSTEM";  // the account the library runs as
  bool json = false;
};
// One line per finding; 1 when anything is wrong.
int CheckServer(const CheckOptions& options, std::ostream& out);

}  // namespace spoolgate
