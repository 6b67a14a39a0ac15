// SPDX-License-Identifier: Apache-2.0
// Log folders written by hand for the report tests: each line composed field by field as
// the library writes it, with its right checksum, so that a test names the jobs it counts
// and computes what it expects of them from its own table.
#pragma once

#include "tests/tools/cli_runner.h"
#include "tools/logread/csv_lines.h"

#include <cstdio>
#include <string>
#include <vector>

namespace sgtest {

// One job of a hand-written log: its fields as they stand in the line (a text that needs
// quotes is given through Quoted), the others fixed.
struct HandJob {
  std::string user = "alice";
  std::string printer = "Wide Format";
  std::string pages = "841";  // value_252
  std::string document = "plan.plt";
  std::string time = "2026-12-07T09:41:05.250";
  std::string department = "Admin";  // text_200
  std::string paper = "A0";  // text_240
  std::string computer = "SPOOLHOST";
  std::string length = "1189";  // value_256, the last before the checksum
};

// A text as the library writes it into a field: in quotes, its quotes doubled, when it
// holds a comma, quote, CR, LF or tab.
inline std::string Quoted(const std::string& text) {
  if (text.find_first_of(",\"\r\n\t") == std::string::npos) return text;
  std::string out = "\"";
  for (char c : text) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

// The line of a job numbered sequence, with its checksum, without CRLF.
inline std::string HandLine(const HandJob& j, const std::string& sequence) {
  std::string line = sequence + ",2,2,1," + j.time + "," + j.computer + "," + j.user + "," + j.document + "," + j.printer +
                     ",LPT1:," + j.department + ",bond," + j.paper + ",1," + j.pages + "," + j.length;
  char crc[16];
  std::snprintf(crc, sizeof crc, ",%08X", spoolgate::Crc32(line));
  return line + crc;
}

inline const char* const kHandLogHeader =
    "sequence,level,format,content_flags,time_stamp,computer,user,document,printer,port,text_200,text_216,"
    "text_240,value_248,value_252,value_256,crc32\r\n";

// DIR/NAME.csv with the jobs numbered from 1, and DIR/NAME.seq with the last number.
inline void WriteHandLog(const TempDir& dir, const std::vector<HandJob>& jobs, const std::string& name = "Jobs") {
  std::string text = kHandLogHeader;
  for (size_t i = 0; i < jobs.size(); ++i) text += HandLine(jobs[i], std::to_string(i + 1)) + "\r\n";
  dir.Write(name + ".seq", std::to_string(jobs.size()) + "\r\n");
  dir.Write(name + ".csv", text);
}

}  // namespace sgtest
