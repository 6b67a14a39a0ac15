// SPDX-License-Identifier: Apache-2.0
// Accounting jobs end to end with the real logging library: the registry defaults, the
// one CSV line in the log directory, and a Client Side Rendering printer's name.
#include "tests/conformance/conformance.h"

#include <map>
#include <regex>

using namespace sgconf;
using namespace sgtest;

namespace {

const std::u16string kSettingsKey = u"SOFTWARE\\TALVOK\\PrintLog";
const std::u16string kCsrServers =
    u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Print\\Providers\\Client Side "
    u"Rendering Print Provider\\Servers";

uint32_t Crc32(const std::string& bytes) {
  uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char c : bytes) {
    crc ^= c;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

// Splits one CSV line (RFC 4180 quoting) into its fields.
std::vector<std::string> SplitCsv(const std::string& line) {
  std::vector<std::string> fields(1);
  bool quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (quoted && c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
      fields.back() += '"';
      ++i;
    } else if (c == '"') {
      quoted = !quoted;
    } else if (c == ',' && !quoted) {
      fields.emplace_back();
    } else {
      fields.back() += c;
    }
  }
  return fields;
}

std::u16string SystemName(BOOL(WINAPI* query)(LPWSTR, LPDWORD), DWORD size) {
  WCHAR name[256] = {};
  return query(name, &size) ? std::u16string(reinterpret_cast<const char16_t*>(name)) : u"";
}

class Accounting : public ConformanceTest {
 protected:
  // Runs an accounting job whose record carries the given flags.
  void Emit(DWORD jobId, const JobLogRecord& log, HANDLE printer = nullptr) {
    HANDLE job = plugin_.StartDoc(printer ? printer : printer_, jobId);
    EXPECT_NE(job, nullptr);
    SendAll(job, {JobHeader(JOB_FLAG_ACCOUNTING), Data("page"), AsBytes(log)});
    EndAndClose(job);
  }

  // Runs an accounting job whose record carries the given flags; returns the lines of
  // the log "<leading text>.csv" in directory, each as column name -> field.
  std::vector<std::map<std::string, std::string>> RunJob(DWORD jobId, JobLogRecord log,
                                                        const std::u16string& directory,
                                                        HANDLE printer = nullptr) {
    Emit(jobId, log, printer);
    return ReadLog(directory + u"\\" + std::u16string(reinterpret_cast<const char16_t*>(
                                           log.leadingText)) + u".csv");
  }

  // The lines of a log or pending file, each as column name -> field, with "crc_ok"
  // telling whether its checksum is right; records end at a CRLF outside quotes, as
  // every RFC 4180 reader sees them. Every line must check out unless allowDamaged.
  std::vector<std::map<std::string, std::string>> ReadLog(const std::u16string& path,
                                                          bool allowDamaged = false) {
    std::vector<std::map<std::string, std::string>> lines;
    std::optional<Bytes> file = ReadWindowsFile(path);
    if (!file) {
      ADD_FAILURE() << "no log " << Utf8(path);
      return lines;
    }
    std::string text(file->begin(), file->end());
    EXPECT_EQ(text.substr(0, 3), "\xEF\xBB\xBF");
    std::vector<std::string> rows;
    bool quoted = false;
    for (size_t at = 3, i = 3; i < text.size(); ++i) {
      if (text[i] == '"') quoted = !quoted;
      if (!quoted && text[i] == '\n' && text[i - 1] == '\r') {
        rows.push_back(text.substr(at, i - 1 - at));
        at = i + 1;
      }
    }
    EXPECT_FALSE(quoted);
    EXPECT_EQ(text.size() >= 2 ? text.substr(text.size() - 2) : "", "\r\n");
    if (rows.empty()) return lines;
    std::vector<std::string> names = SplitCsv(rows[0]);
    for (size_t r = 1; r < rows.size(); ++r) {
      std::vector<std::string> fields = SplitCsv(rows[r]);
      std::map<std::string, std::string> line;
      for (size_t i = 0; i < names.size() && i < fields.size(); ++i) line[names[i]] = fields[i];
      char crc[9];
      std::snprintf(crc, sizeof crc, "%08X", Crc32(rows[r].substr(0, rows[r].rfind(','))));
      line["crc_ok"] = fields.size() == names.size() && line["crc32"] == crc ? "1" : "0";
      if (!allowDamaged) {
        EXPECT_EQ(fields.size(), names.size());
        EXPECT_EQ(line["crc32"], crc);
      }
      lines.push_back(line);
    }
    return lines;
  }

  void UseLogDirectory(const std::u16string& directory) {
    WriteRegistryValue(kSettingsKey, u"LogFileDirectory", REG_SZ, Utf16Bytes(directory, true));
  }
};

TEST_F(Accounting, FirstJobWritesTheDefaultsAndOneStandardLine) {
  JobLogRecord log = NewJobLog();
  SetText(log.leadingText, u"Plotter");
  SetText(log.text200, u"carried, with a comma");
  SetAnsi(log.ansi240, "ANSI");
  log.value248 = 4000000000u;
  log.logFlags = 0x1C;  // no extended bits: the standard entry, nothing cleaned
  const std::u16string directory = WindowsDirectory() + u"\\temp\\PrintLog";
  auto lines = RunJob(jobId_, log, directory);

  std::optional<RegistryValue> logDirectory = ReadRegistryValue(kSettingsKey, u"LogFileDirectory");
  ASSERT_TRUE(logDirectory);
  EXPECT_EQ(logDirectory->type, DWORD{REG_SZ});
  EXPECT_EQ(logDirectory->data, Utf16Bytes(directory, true));
  std::optional<RegistryValue> maxSize = ReadRegistryValue(kSettingsKey, u"MaxLogFileSize");
  ASSERT_TRUE(maxSize);
  EXPECT_EQ(maxSize->type, Dword(64).type);
  EXPECT_EQ(maxSize->data, Dword(64).data);

  ASSERT_EQ(lines.size(), 1u);
  auto& line = lines[0];
  EXPECT_EQ(line["sequence"], "1");
  EXPECT_EQ(line["level"], "2");
  EXPECT_EQ(line["format"], "2");
  EXPECT_EQ(line["content_flags"], "1");
  EXPECT_EQ(line["time_stamp"], "2026-12-07T09:41:05.250");
  EXPECT_EQ(line["computer"], Utf8(SystemName(GetComputerNameW, 16)));
  EXPECT_EQ(line["user"], "alice");
  EXPECT_EQ(line["document"], "Drawing.plt");
  EXPECT_EQ(line["printer"], "Wide Format");
  EXPECT_EQ(line["port"], "LPT1:");
  EXPECT_EQ(line["text_200"], "carried, with a comma");
  EXPECT_EQ(line["text_240"], "ANSI");
  EXPECT_EQ(line["value_248"], "4000000000");
  EXPECT_EQ(line["text_640"], "");
  EXPECT_EQ(ListWindowsDirectory(directory),
            (std::vector<std::u16string>{u"Plotter.csv", u"Plotter.seq"}));
}

TEST_F(Accounting, SecondJobAppendsTheNextLineAndKeepsTheSettings) {
  const std::u16string directory = Path(u"Logs");
  UseLogDirectory(directory);
  WriteRegistryValue(kSettingsKey, u"MaxLogFileSize", REG_DWORD, Dword(1024).data);
  AddJob(printer_, 8, u"", u"UNKNOWN");  // fallback document, the spooler's own user
  RunJob(jobId_, NewJobLog(), directory);
  auto lines = RunJob(8, NewJobLog(), directory);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1]["sequence"], "2");
  EXPECT_EQ(lines[1]["document"], "Fallback.plt");
  EXPECT_EQ(lines[1]["user"], Utf8(SystemName(GetUserNameW, 256)));
  EXPECT_EQ(ReadRegistryValue(kSettingsKey, u"MaxLogFileSize")->data, Dword(1024).data);
  EXPECT_EQ(ReadRegistryValue(kSettingsKey, u"LogFileDirectory")->data, Utf16Bytes(directory, true));
}

TEST_F(Accounting, ExtendedLineCarriesTheExtraTextAndBlockAndACleanDocumentName) {
  const std::u16string directory = Path(u"Logs");
  UseLogDirectory(directory);
  AddJob(printer_, 9, u"Plan\t\"A\"\r\n1", u"carol");
  JobLogRecord log = NewJobLog();
  SetText(log.leadingText, u"Plotter, 3rd floor");  // a comma is allowed in the log's name
  SetText(log.text200, u"A0 roll");
  SetAnsi(log.ansi240, "DEPT-42");
  log.logFlags = 0x1D;  // extended, cleaned, extra text and block
  SetText(log.extraText, u"extra text");
  for (size_t i = 0; i < sizeof log.extraBlock; ++i) log.extraBlock[i] = static_cast<uint8_t>(i);
  log.value632 = 632;
  auto lines = RunJob(9, log, directory);
  ASSERT_EQ(lines.size(), 1u);
  auto& line = lines[0];
  EXPECT_EQ(line["level"], "10");
  EXPECT_EQ(line["format"], "3");
  EXPECT_EQ(line["content_flags"], "47");
  EXPECT_EQ(line["document"], "Plan\tA1");
  EXPECT_EQ(line["user"], "carol");
  EXPECT_EQ(line["text_640"], "extra text");
  EXPECT_EQ(line["value_496"], "4");
  EXPECT_EQ(line["value_500"], "2147483647");
  EXPECT_EQ(line["value_632"], "632");
  std::string block;
  for (int i = 0; i < 128; ++i) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02X", i);
    block += hex;
  }
  EXPECT_EQ(line["block_504"], block);
  EXPECT_EQ(line["text_200"], "A0 roll");
  EXPECT_EQ(line["text_240"], "DEPT-42");
  EXPECT_EQ(line["text_480"], "");
}

TEST_F(Accounting, DoubleByteNamesReachTheLogAsUtf8) {
  if (!UseOemCodePage(932)) GTEST_SKIP() << "the OEM code page is the system's here";
  const std::u16string directory = Path(u"Logs");
  UseLogDirectory(directory);
  AddJob(printer_, 13, u"\u56F3\u9762.plt", u"\u5C71\u7530");  // 図面.plt by 山田
  auto lines = RunJob(13, NewJobLog(), directory);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0]["document"], "\xE5\x9B\xB3\xE9\x9D\xA2.plt");
  EXPECT_EQ(lines[0]["user"], "\xE5\xB1\xB1\xE7\x94\xB0");
}

TEST_F(Accounting, ClientSideRenderingPrinterIsNamedFromItsRegistryKey) {
  const std::u16string directory = Path(u"Logs");
  UseLogDirectory(directory);
  HANDLE csr = AddPrinter(u"\\\\CSR|printsrv", u"\\\\CSR|printsrv\\Plotter A0", u"CSR:");
  AddJob(csr, 11, u"Site plan", u"dave");
  WriteRegistryValue(kCsrServers + u"\\printsrv\\Printers\\Plotter A0\\DsSpooler", u"printerName",
                     REG_SZ, Utf16Bytes(u"Plotter A0 (3rd floor)", true));
  auto lines = RunJob(11, NewJobLog(), directory, csr);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0]["printer"], "\\\\printsrv\\Plotter A0 (3rd floor)");
  EXPECT_EQ(lines[0]["port"], "CSR:");

  // Without its key the printer's name stays out of the entry; the line is still made.
  HANDLE other = AddPrinter(u"\\\\CSR|printsrv", u"\\\\CSR|printsrv\\Unknown", u"CSR:");
  AddJob(other, 12, u"Site plan", u"dave");
  lines = RunJob(12, NewJobLog(), directory, other);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1]["printer"], "");
}

TEST_F(Accounting, LineTornByACrashStaysOneBadLineAndTheNextJobsAreWhole) {
  const std::u16string directory = Path(u"Logs");
  UseLogDirectory(directory);
  AddJob(printer_, 20, u"Plan \"A\", rev 2\r\nsecond sheet", u"erin");
  RunJob(20, NewJobLog(), directory);
  const std::u16string log = directory + u"\\PrintLog.csv";
  Bytes bytes = *ReadWindowsFile(log);
  std::string text(bytes.begin(), bytes.end());
  // A crash cut the line inside the quoted document name, before the number file was
  // written.
  bytes.resize(text.find(", rev") + 1);
  WriteWindowsFile(log, bytes);
  WriteWindowsFile(directory + u"\\PrintLog.seq", {});
  for (int i = 0; i < 3; ++i) Emit(jobId_, NewJobLog());
  std::vector<std::map<std::string, std::string>> lines = ReadLog(log, true);
  ASSERT_EQ(lines.size(), 4u) << "one torn line and three whole ones";
  EXPECT_EQ(lines[0]["crc_ok"], "0");
  for (size_t i = 1; i < 4; ++i) {
    EXPECT_EQ(lines[i]["crc_ok"], "1");
    EXPECT_EQ(lines[i]["sequence"], std::to_string(i + 1)) << "the torn line keeps number 1";
    EXPECT_EQ(lines[i]["document"], "Drawing.plt");
    EXPECT_TRUE(std::regex_match(lines[i]["written_utc"],
                                 std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")))
        << lines[i]["written_utc"];
  }
}

TEST_F(Accounting, LineThatCannotBeAppendedWaitsAndIsMovedInOrder) {
  const std::u16string directory = Path(u"Logs");
  UseLogDirectory(directory);
  RunJob(jobId_, NewJobLog(), directory);
  const std::u16string log = directory + u"\\PrintLog.csv";
  // Held open without write sharing, as a spreadsheet holds it.
  HANDLE held = CreateFileW(W(log), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  AddJob(printer_, 21, u"Held.plt", u"alice");
  Emit(21, NewJobLog());
  CloseHandle(held);
  std::vector<std::map<std::string, std::string>> pending = ReadLog(directory + u"\\PrintLog.pending");
  ASSERT_EQ(pending.size(), 1u);
  EXPECT_EQ(pending[0]["sequence"], "2");
  EXPECT_EQ(pending[0]["document"], "Held.plt");

  std::vector<std::map<std::string, std::string>> lines = RunJob(jobId_, NewJobLog(), directory);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1]["sequence"], "2");
  EXPECT_EQ(lines[1]["document"], "Held.plt");
  EXPECT_EQ(lines[2]["sequence"], "3");
  EXPECT_EQ(ReadWindowsFile(directory + u"\\PrintLog.pending")->size(), 0u);
}

TEST_F(Accounting, GenerationsAreNamedInUtcAndALookalikeLogNameGetsItsOwnFile) {
  const std::u16string directory = Path(u"Logs");
  UseLogDirectory(directory);
  WriteRegistryValue(kSettingsKey, u"MaxLogFileSize", REG_DWORD, Dword(1).data);
  auto utc = [] {
    SYSTEMTIME t;
    GetSystemTime(&t);
    char text[40];
    std::snprintf(text, sizeof text, "%04u%02u%02u-%02u%02u%02u", t.wYear, t.wMonth, t.wDay,
                  t.wHour, t.wMinute, t.wSecond);
    return std::string(text);
  };
  std::string before = utc();
  RunJob(jobId_, NewJobLog(), directory);
  RunJob(jobId_, NewJobLog(), directory);  // one line already passes 1 KiB: a rotation
  std::string after = utc();
  std::vector<std::u16string> names = ListWindowsDirectory(directory);
  ASSERT_EQ(names.size(), 3u);
  std::smatch stamp;
  std::string generation = Utf8(names[0]);
  // The time of the rotation in UTC, then the highest number the file holds: line 1.
  ASSERT_TRUE(std::regex_match(generation, stamp, std::regex(R"(PrintLog-(\d{8}-\d{6})Z-0001\.csv)")))
      << generation;
  EXPECT_TRUE(stamp[1] >= before && stamp[1] <= after) << before << " .. " << after;
  EXPECT_EQ(names[1], u"PrintLog.csv");

  // A log named like that generation writes a file of its own.
  Bytes kept = *ReadWindowsFile(directory + u"\\" + names[0]);
  JobLogRecord lookalike = NewJobLog();
  std::u16string stem = names[0].substr(0, names[0].size() - 4);
  SetText(lookalike.leadingText, stem);
  Emit(jobId_, lookalike);
  EXPECT_EQ(*ReadWindowsFile(directory + u"\\" + names[0]), kept);
  EXPECT_EQ(ReadLog(directory + u"\\" + stem + u"_.csv").size(), 1u);
}

TEST_F(Accounting, AbortedJobAndJobWithoutTheFlagLogNothing) {
  HANDLE job = StartJob();
  SendAll(job, {JobHeader(JOB_FLAG_ACCOUNTING), AsBytes(NewJobLog())});
  plugin_.Abort(job);
  plugin_.Close(job);
  job = StartJob();
  SendAll(job, {JobHeader(0), AsBytes(NewJobLog())});
  EndAndClose(job);
  EXPECT_FALSE(RegistryKeyExists(kSettingsKey));
  EXPECT_FALSE(WindowsDirectoryExists(WindowsDirectory() + u"\\temp\\PrintLog"));
}

}  // namespace
