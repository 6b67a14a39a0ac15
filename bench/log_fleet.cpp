// SPDX-License-Identifier: Apache-2.0
// Writes the accounting logs of the import benchmark through the logging library, as a
// fleet of print servers writes them: one folder per server, rotated as they grow.
//
//   spoolgate_log_fleet ROOT SERVERS LINES [MAX_KIB [MONTHS]]
//
// ROOT/C/Logs/SERVER-01 ... each get LINES lines of the log "Jobs" (MAX_KIB: 1024),
// stamped in December 2026, or over MONTHS months ending with it.
#include "platform/host/host_control.h"
#include "tests/logger/log_support.h"

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s ROOT SERVERS LINES [MAX_KIB [MONTHS]]\n", argv[0]);
    return 2;
  }
  std::string root = argv[1];
  int servers = std::atoi(argv[2]), lines = std::atoi(argv[3]);
  DWORD maxKib = argc > 4 ? DWORD(std::strtoul(argv[4], nullptr, 10)) : 1024;
  int months = argc > 5 ? std::atoi(argv[5]) : 1;
  if (lines < 1 || months < 1) {
    std::fprintf(stderr, "%s: LINES and MONTHS are counts\n", argv[0]);
    return 2;
  }
  HostReset(root);
  long written = 0;
  for (int s = 1; s <= servers; ++s) {
    char name[32];
    std::snprintf(name, sizeof name, "SERVER-%02d", s);
    written += lgtest::WriteJobs(std::string("C:\\Logs\\") + name, name,
                                 std::string("Wide Format ") + name, 1, lines, maxKib, months);
  }
  std::printf("log_fleet_lines: %ld\n", written);
  return written == long(servers) * lines ? 0 : 1;
}
