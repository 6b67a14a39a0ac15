// SPDX-License-Identifier: Apache-2.0
// Helpers of the logging library's tests (see log_support.h).
#include "tests/logger/log_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace lgtest {

std::unique_ptr<TestEntry> MakeEntry(int format) {
  auto t = std::make_unique<TestEntry>();
  std::memset(t.get(), 0, sizeof(TestEntry));
  EXPECT_EQ(QenDrvLogInitializeInfo(format, &t->entry, LOG_INITIALIZE_CONSTANT), 1);
  StandardLogEntry& e = t->entry.standard;
  e.computerName = t->computer;
  e.userName = t->user;
  e.text200 = t->text200;
  e.printerName = t->printer;
  e.text216 = t->text216;
  e.portName = t->port;
  e.documentName = t->document;
  e.ansi240 = t->ansi240;
  e.ansi416 = t->ansi416;
  e.ansi424 = t->ansi424;
  e.text440 = t->text440;
  e.ansi464 = t->ansi464;
  e.emptyText = t->empty480;
  if (format == LOG_FORMAT_EXTENDED) {
    t->entry.extraText = t->extraText;
    e.contentFlags = 0x0B;
    t->entry.value496 = LOG_EXTENDED_VALUE_496;
    t->entry.value632 = 632632;
  } else {
    e.contentFlags = LOG_CONTENT_BASE;
  }
  e.marker = LOG_ENTRY_MARKER;
  e.fieldMask = LOG_ENTRY_FIELD_MASK;
  e.timeStamp = SYSTEMTIME{2026, 12, 1, 7, 9, 41, 5, 250};
  SetBytes(t->computer, "SPOOLHOST");
  SetBytes(t->user, "alice");
  SetBytes(t->document, "Drawing.plt");
  SetBytes(t->printer, "Wide Format");
  SetBytes(t->port, "LPT1:");
  SetBytes(t->text200, "A0 roll");
  SetBytes(t->text216, "plotter profile");
  SetBytes(t->ansi240, "DEPT-42");
  SetBytes(t->ansi416, "v1.2");
  SetBytes(t->ansi424, "ABC123");
  const char16_t wide[] = u"mode-x";
  std::copy(std::begin(wide), std::end(wide), t->text440);
  SetBytes(t->ansi464, "project-7");
  e.value248 = 248;
  e.value252 = 252;
  e.value256 = 256;
  for (int i = 0; i < 128; ++i) e.block260[i] = static_cast<uint8_t>(i);
  for (int i = 0; i < 6; ++i) e.values388[i] = 388u + 4u * static_cast<uint32_t>(i);
  e.value432 = 432;
  e.value436 = 436;
  e.value448 = 448;
  e.value452 = 452;
  e.value456 = 456;
  e.value472 = 472;
  e.value488 = 488;
  e.value492 = 0xFFFFFFFFu;
  return t;
}

std::string FormatRecord(int level, int format, TestEntry& entry) {
  DWORD required = 0xDEADBEEF;
  QenDrvLogFormatRecord(level, format, &entry.entry, nullptr, 0, &required);
  EXPECT_GE(required, 1u);
  EXPECT_LT(required, 65536u);
  if (required == 0 || required >= 65536u) return std::string();
  std::vector<char> block(required, '\xCC');
  DWORD second = 0;
  QenDrvLogFormatRecord(level, format, &entry.entry, block.data(), required, &second);
  EXPECT_EQ(second, required);
  EXPECT_EQ(block.back(), '\0') << "the record ends with its zero byte";
  EXPECT_EQ(std::find(block.begin(), block.end(), '\0'), block.end() - 1)
      << "the record holds no other zero byte";
  return std::string(block.data(), block.size() - 1);
}

int WriteRecord(const std::string& directory, const std::string& name, DWORD maxKib, int level,
                const std::string& record) {
  return QenDrvLogWriteRecord(directory.c_str(), name.c_str(), maxKib, level, record.c_str(),
                              nullptr);
}

int WriteJobs(const std::string& windowsDirectory, const std::string& computer,
              const std::string& printer, int first, int count, DWORD maxKib, int months) {
  // "\x90mile" is Émile in the default OEM code page 437.
  static const char* const users[] = {"alice", "bob", "carol", "dave", "\x90mile"};
  auto entry = MakeEntry(LOG_FORMAT_STANDARD);
  StandardLogEntry& e = entry->standard();
  SetBytes(entry->computer, computer);
  SetBytes(entry->printer, printer);
  int written = 0;
  static const char* const departments[] = {"Architecture", "Civil", "Survey", "Planning", "Admin", "Site office"};
  for (int n = first; n < first + count; ++n) {
    // Every fiftieth job is alice's under her name in capitals, as some clients send it.
    SetBytes(entry->user, n % 50 == 1 ? "ALICE" : users[n % 5]);
    SetBytes(entry->text200, departments[n % 6]);
    SetBytes(entry->text216, n % 3 == 0 ? "glossy" : "bond");
    // Every tenth name needs quotes and holds a line break, so readers of these logs
    // meet records that continue past an LF.
    SetBytes(entry->document, "job " + std::to_string(n) + (n % 10 == 0 ? " \"final\",\r\nv2.plt" : ".plt"));
    e.value252 = static_cast<uint32_t>(n % 997);
    e.value256 = static_cast<uint32_t>(n % 13);
    // Months before December 2026: the first share of the jobs the most.
    int back = months - 1 - static_cast<int>(int64_t(n - first) * months / count);
    int month = 2026 * 12 + 11 - back;
    e.timeStamp = SYSTEMTIME{static_cast<WORD>(month / 12), static_cast<WORD>(month % 12 + 1), 0,
                             static_cast<WORD>(1 + n % 28), static_cast<WORD>(n % 24), static_cast<WORD>(n % 60),
                             static_cast<WORD>(n / 60 % 60), static_cast<WORD>(n % 1000)};
    // A driver that never set the time leaves it all zero, which is no time.
    if (n % 1000 == 500) e.timeStamp = SYSTEMTIME{};
    written += WriteRecord(windowsDirectory, "Jobs", maxKib, 2, FormatRecord(2, 2, *entry));
  }
  return written;
}

std::string LogFile::Field(const LogLine& line, const std::string& column) const {
  auto it = std::find(header.begin(), header.end(), column);
  if (it == header.end()) return std::string();
  size_t index = static_cast<size_t>(it - header.begin());
  return index < line.fields.size() ? line.fields[index] : std::string();
}

LogFile ParseLog(const std::string& bytes) {
  LogFile log;
  size_t pos = 0;
  if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    log.byteOrderMark = true;
    pos = 3;
  }
  bool first = true;
  while (pos < bytes.size()) {
    LogLine line;
    std::string field;
    bool quoted = false, ended = false;
    size_t start = pos;
    while (pos < bytes.size()) {
      char c = bytes[pos];
      if (quoted) {
        if (c == '"' && pos + 1 < bytes.size() && bytes[pos + 1] == '"') {
          field += '"';
          pos += 2;
          continue;
        }
        if (c == '"') quoted = false;
        else field += c;
        ++pos;
        continue;
      }
      if (c == '"') {
        quoted = true;
        ++pos;
      } else if (c == ',') {
        line.fields.push_back(field);
        field.clear();
        ++pos;
      } else if (c == '\r' && pos + 1 < bytes.size() && bytes[pos + 1] == '\n') {
        line.raw = bytes.substr(start, pos - start);
        pos += 2;
        ended = true;
        break;
      } else {
        field += c;
        ++pos;
      }
    }
    line.fields.push_back(field);
    if (!ended) {
      log.wellFormed = false;
      line.raw = bytes.substr(start);
    }
    if (first) log.header = line.fields;
    else log.lines.push_back(line);
    first = false;
  }
  return log;
}

std::vector<std::pair<std::string, std::string>> FilesIn(const std::string& hostDirectory) {
  std::vector<std::pair<std::string, std::string>> files;
  std::error_code ec;
  for (const auto& item : std::filesystem::directory_iterator(hostDirectory, ec)) {
    std::ifstream in(item.path(), std::ios::binary);
    files.emplace_back(item.path().filename().string(),
                       std::string(std::istreambuf_iterator<char>(in), {}));
  }
  std::sort(files.begin(), files.end());
  return files;
}

uint32_t ReferenceCrc32(const std::string& bytes) {
  uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char c : bytes) {
    crc ^= c;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
  }
  return ~crc;
}

bool ChecksumMatches(const LogLine& line) {
  size_t comma = line.raw.rfind(',');
  if (comma == std::string::npos || line.raw.size() - comma != 9) return false;
  char expected[9];
  std::snprintf(expected, sizeof(expected), "%08X", ReferenceCrc32(line.raw.substr(0, comma)));
  return line.raw.compare(comma + 1, 8, expected) == 0;
}

}  // namespace lgtest
