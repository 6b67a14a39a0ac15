// SPDX-License-Identifier: Apache-2.0
// Logs of jobs written by hand, each line's checksum right, for the tests that run the
// reports over a folder: one log "Jobs" of the server SPOOLHOST.
#pragma once

#include "tests/tools/cli_runner.h"
#include "tools/logread/csv_lines.h"

#include <cstdio>
#include <string>
#include <vector>

namespace sgtest {

// One job's line: user, document, text_200 (the driver's department) and value_252 (the
// pages) as CSV fields, quoted by the caller where they need it.
struct LogJob {
  std::string time = "2026-12-07T09:41:05.250";
  std::string user = "alice";
  std::string document = "plan.plt";
  std::string department = "Admin";
  std::string pages = "841";
};

// Writes Jobs.csv with the jobs numbered from 1, and Jobs.seq.
inline void WriteJobs(const TempDir& dir, const std::vector<LogJob>& jobs) {
  std::string text =
      "sequence,level,format,content_flags,time_stamp,computer,user,document,printer,port,text_200,"
      "text_216,text_240,value_248,value_252,value_256,crc32\r\n";
  for (size_t i = 0; i < jobs.size(); ++i) {
    const LogJob& j = jobs[i];
    std::string line = std::to_string(i + 1) + ",2,2,1," + j.time + ",SPOOLHOST," + j.user + "," + j.document +
                       ",Wide Format,LPT1:," + j.department + ",bond,A0,1," + j.pages + ",1189";
    char crc[16];
    std::snprintf(crc, sizeof crc, ",%08X", spoolgate::Crc32(line));
    text += line + crc + "\r\n";
  }
  dir.Write("Jobs.seq", std::to_string(jobs.size()) + "\r\n");
  dir.Write("Jobs.csv", text);
}

}  // namespace sgtest
