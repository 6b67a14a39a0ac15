// SPDX-License-Identifier: Apache-2.0
// A small fleet billed by the directory: ten jobs of users who moved department on
// 2026-11-16, wrote their names in every case and with or without the domain, or are
// unknown to the directory; its two readings as CSV exports; and the figures a billing
// office works out by hand from them.
#pragma once

#include "tests/tools/hand_log.h"

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace sgtest {

// Job, its user as the driver logged it, the driver's department text, pages; the
// department the directory gives for the job's day after it.
inline std::vector<HandJob> DirectoryFleetJobs() {
  auto job = [](const char* time, const char* user, const char* department, const char* pages) {
    HandJob j;
    j.time = time;
    j.user = user;
    j.department = department;
    j.pages = pages;
    return j;
  };
  return {
      job("2026-10-20T10:00:00.000", "CORP\\Alice", "research", "10"),   // before the first reading: Research
      job("2026-11-05T10:00:00.000", "alice", "", "20"),                 // Research
      job("2026-11-15T23:59:59.999", "ALICE@corp.example", "Research", "40"),  // Research, the last moment
      job("2026-11-16T00:00:00.000", "alice", "research", "80"),         // Sales from this day
      job("2026-11-20T10:00:00.000", "bob", "", "160"),                  // Sales
      job("2026-11-21T10:00:00.000", "Bob", "sales", "320"),             // Sales
      job("2026-11-22T10:00:00.000", "CORP\\\xC3\x89LODIE", "", "640"),  // CORP\ÉLODIE: Entwicklung Süd
      job("2026-11-23T10:00:00.000", "carol", "Legal", "1"),             // unknown
      job("2026-11-24T10:00:00.000", "carol", "", "2"),                  // unknown
      job("2026-11-25T10:00:00.000", "mallory", "", "4"),                // unknown
  };
}

// The directory as exported on 2026-11-01 (PowerShell's Export-Csv, its type line and
// quoted header) and on 2026-11-16, when Alice moved to Sales.
inline const char* kDirectoryExportNovember1 =
    "#TYPE Microsoft.ActiveDirectory.Management.ADUser\r\n"
    "\"DisplayName\",\"Department\",\"extensionAttribute1\",\"SamAccountName\",\"Enabled\"\r\n"
    "\"Archer, Alice\",\"Research\",\"CC100\",\"alice\",\"True\"\r\n"
    "\"Bob \"\"Bobby\"\" Baker\",\"Sales\",\"CC200\",\"bob\",\"True\"\r\n"
    "\"\xC3\x89lodie M\xC3\xBCller\",\"Entwicklung S\xC3\xBC\x64\",\"CC300\",\"\xC3\xA9lodie\",\"True\"\r\n";
inline const char* kDirectoryExportNovember16 =
    "#TYPE Microsoft.ActiveDirectory.Management.ADUser\r\n"
    "\"DisplayName\",\"Department\",\"extensionAttribute1\",\"SamAccountName\",\"Enabled\"\r\n"
    "\"Archer, Alice\",\"Sales\",\"CC200\",\"alice\",\"True\"\r\n"
    "\"Bob \"\"Bobby\"\" Baker\",\"Sales\",\"CC200\",\"bob\",\"True\"\r\n"
    "\"\xC3\x89lodie M\xC3\xBCller\",\"Entwicklung S\xC3\xBC\x64\",\"CC300\",\"\xC3\xA9lodie\",\"True\"\r\n";

// The settings of the fleet's reports: the driver's department is text_200.
inline std::string DirectoryFleetSettings(const std::string& driverText) {
  return "[columns]\ndepartment = \"text_200\"\npages = \"value_252\"\n\n[directory]\n"
         "snapshots = \"snapshots.json\"\nattributes = [\"department\", \"cost_centre\", \"display_name\"]\n"
         "driver_text = \"" + driverText + "\"\n";
}

// group -> (jobs, pages), worked out by hand from the jobs above.
using Figures = std::map<std::string, std::pair<uint64_t, uint64_t>>;
struct DirectoryFleetCase {
  const char* by;
  const char* driverText;
  Figures figures;
};
inline std::vector<DirectoryFleetCase> DirectoryFleetCases() {
  const std::string sued = "Entwicklung S\xC3\xBC\x64";
  return {
      // replace: the directory's department; an unknown user keeps the driver's text.
      {"department", "replace", {{"Research", {3, 70}}, {"Sales", {3, 560}}, {sued, {1, 640}}, {"Legal", {1, 1}}, {"", {2, 6}}}},
      // fill: the driver's text where there is one, else the directory's.
      {"department", "fill",
       {{"research", {2, 90}}, {"Research", {2, 60}}, {"Sales", {1, 160}}, {"sales", {1, 320}}, {sued, {1, 640}},
        {"Legal", {1, 1}}, {"", {2, 6}}}},
      // An attribute of the directory alone: nothing for unknown users.
      {"cost_centre", "replace", {{"CC100", {3, 70}}, {"CC200", {3, 560}}, {"CC300", {1, 640}}, {"", {3, 7}}}},
      // One account whatever the case and domain, spelled as the directory spells it.
      {"user", "replace",
       {{"alice", {4, 150}}, {"bob", {2, 480}}, {"\xC3\xA9lodie", {1, 640}}, {"carol", {2, 3}}, {"mallory", {1, 4}}}},
  };
}

}  // namespace sgtest
