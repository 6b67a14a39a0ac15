// SPDX-License-Identifier: Apache-2.0
// The examples run in one fresh sandbox, in the order of the demo, checked against what
// their descriptions send: files, bytes, insertions, message boxes and log lines.
#include "tests/tools/cli_runner.h"
#include "core/records.h"
#include "tools/logread/csv_lines.h"
#include "tools/reports/log_reader.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>

namespace {

using Json = nlohmann::json;
using sgtest::RunCli;

const char* const kExamples[] = {"plain-print",  "archived-job",        "overlay-register",
                                 "overlay-framed", "overlay-raw",       "accounting-standard",
                                 "accounting-extended"};

class ExamplesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : kExamples) {
      std::string desc = std::string(SPOOLGATE_EXAMPLES) + "/" + name + ".job";
      sgtest::CliResult r = RunCli({"capture", desc, "-o", dir_ / (std::string(name) + ".cap")}, dir_.path);
      ASSERT_EQ(r.status, 0) << r.err;
    }
  }

  // Runs captures (names without .cap) as one command in the sandbox; the parsed report.
  Json Run(std::vector<std::string> names, std::vector<std::string> extra = {}, int status = 0) {
    std::vector<std::string> args = {"run", "--root", root(), "--json", "--no-progress"};
    args.insert(args.end(), extra.begin(), extra.end());
    for (const auto& n : names) args.push_back(n + ".cap");
    sgtest::CliResult r = RunCli(args, dir_.path);
    EXPECT_EQ(r.status, status) << r.err;
    Json report = Json::parse(r.out, nullptr, false);
    EXPECT_FALSE(report.is_discarded()) << r.out;
    return report;
  }
  std::string root() const { return dir_ / rootName_; }
  std::string logDir() const { return root() + "/C/Windows/temp/PrintLog"; }
  void WriteLogFile(const std::string& name, const std::string& bytes) const {
    std::ofstream(logDir() + "/" + name, std::ios::binary | std::ios::trunc) << bytes;
  }

  sgtest::TempDir dir_;
  std::string rootName_ = "root";
};

uint64_t Bytes(const Json& job, const char* where) { return job["data"][where]["bytes"]; }

const uint64_t kPrintedText = std::string("IN;SP1;PU0,0;PD4000,0,4000,3000,0,3000,0,0;\n").size();
// The overlay body that overlay-register.job records: its text and 600 pattern bytes.
const uint64_t kOverlayBody = std::string("SP1;PU100,2800;LBACME Drawing Office\x03;\n").size() + 600;

TEST_F(ExamplesTest, PlainJobPrintsEveryDataBlockAndCreatesNothing) {
  Json job = Run({"plain-print"}, {"--printer-out", "printed.bin"})["jobs"][0];
  uint64_t sent = kPrintedText + 20000 + std::string("PU;SP0;\n").size();
  EXPECT_EQ(Bytes(job, "printer"), sent);
  EXPECT_EQ(job["data"]["printer"]["blocks"], 7);
  EXPECT_EQ(sgtest::Slurp(dir_ / "printed.bin").size(), sent);
  EXPECT_EQ(sgtest::Slurp(dir_ / "printed.bin").substr(0, kPrintedText),
            "IN;SP1;PU0,0;PD4000,0,4000,3000,0,3000,0,0;\n");
  EXPECT_EQ(job["records"].size(), 1u);
  EXPECT_TRUE(job["files"].empty());
  EXPECT_EQ(job["calls"]["DrvSplEndPage"], 2);
  EXPECT_EQ(job["result"], "ok");
}

TEST_F(ExamplesTest, ArchivedJobWritesTheRudFileWithTheTailRecordsValues) {
  Json job = Run({"archived-job"})["jobs"][0];
  uint64_t data = std::string("IN;SP1;PA0,0;PD2000,0,2000,2000;\n").size() + 3000 +
                  std::string("PU;SP0;\n").size();
  EXPECT_EQ(Bytes(job, "printer"), 0u);
  EXPECT_EQ(Bytes(job, "archive"), data);
  ASSERT_EQ(job["files"].size(), 1u);
  const Json& file = job["files"][0];
  EXPECT_EQ(file["windowsPath"], "C:\\Jobs\\2026\\Plans\\site-plan.RUD");
  EXPECT_EQ(file["hostPath"], root() + "/C/Jobs/2026/Plans/site-plan.RUD");
  EXPECT_EQ(file["size"], 380 + data);
  // headerFlags 1 with the tail's bit 1 OR-ed in; tailBit0 replaced by the tail's bit 0.
  EXPECT_EQ(file["archive"]["headerFlags"], 3);
  EXPECT_EQ(file["archive"]["tailBit0"], 0);
  EXPECT_EQ(file["archive"]["totalPages"], 12);
  EXPECT_EQ(job["records"].back()["record"], "TailRecord");

  // rud info reads the same header back; extract gives exactly the print data.
  std::string rud = file["hostPath"];
  sgtest::CliResult info = RunCli({"rud", "info", rud, "--json"}, dir_.path);
  ASSERT_EQ(info.status, 0) << info.err;
  Json header = Json::parse(info.out);
  EXPECT_EQ(header["totalPages"], 12);
  EXPECT_EQ(header["dataBytes"], data);
  EXPECT_EQ(header["renderingBytes"]["0-291"].get<std::string>().substr(0, 6), "20 20 ");
  ASSERT_EQ(RunCli({"rud", "extract", rud, "-o", "data.prn"}, dir_.path).status, 0);
  EXPECT_EQ(sgtest::Slurp(dir_ / "data.prn"), sgtest::Slurp(rud).substr(380));
}

TEST_F(ExamplesTest, OverlayRegisteredByOneJobIsInsertedByTheNext) {
  Json report = Run({"overlay-register", "overlay-framed", "overlay-raw"},
                    {"--printer-out", "printed.bin"});
  const Json& reg = report["jobs"][0];
  EXPECT_EQ(Bytes(reg, "overlay"), kOverlayBody);
  EXPECT_EQ(Bytes(reg, "printer"), 0u);
  ASSERT_EQ(reg["files"].size(), 1u);
  EXPECT_EQ(reg["files"][0]["windowsPath"], "C:\\Windows\\temp\\letterhead.ovl");
  EXPECT_EQ(reg["files"][0]["size"], 444 + kOverlayBody);
  // The archive reader says what an overlay file is not (the formats carry no mark).
  sgtest::CliResult asArchive =
      RunCli({"rud", "info", root() + "/C/Windows/temp/letterhead.ovl"}, dir_.path);
  EXPECT_NE(asArchive.err.find("is not named .RUD, as every archive file is"), std::string::npos)
      << asArchive.err;

  uint64_t pageText = std::string("IN;page one;\n").size() + std::string("page two;\n").size();
  const Json& framed = report["jobs"][1];
  ASSERT_EQ(framed["insertions"].size(), 1u);
  EXPECT_EQ(framed["insertions"][0]["bytes"], 6 + kOverlayBody + 4);
  EXPECT_EQ(framed["insertions"][0]["block"], 4);
  EXPECT_EQ(Bytes(framed, "printer"), pageText + 6 + kOverlayBody + 4 + 2 * 8);

  const Json& raw = report["jobs"][2];
  EXPECT_EQ(raw["insertionCount"], 2);
  EXPECT_EQ(Bytes(raw, "printer"), pageText + 2 * kOverlayBody + 2 * 8);

  // What reached the printer, byte for byte: begin command, body, end command, marker.
  std::string overlay = sgtest::Slurp(root() + "/C/Windows/temp/letterhead.ovl");
  std::string body = overlay.substr(444);
  std::string marker(reinterpret_cast<const char*>(kOverlayMarker), 8);
  std::string begin(reinterpret_cast<const char*>(kOverlayBeginCommand), 6);
  std::string end(reinterpret_cast<const char*>(kOverlayEndCommand), 4);
  std::string expected = "IN;page one;\n" + begin + body + end + marker + "page two;\n" + marker +
                         "IN;page one;\n" + body + marker + "page two;\n" + body + marker;
  EXPECT_EQ(sgtest::Slurp(dir_ / "printed.bin"), expected);
}

TEST_F(ExamplesTest, AccountingJobsAppendOneCheckedLineEach) {
  Json report = Run({"accounting-standard", "accounting-extended"});
  const Json& standard = report["jobs"][0];
  const Json& extended = report["jobs"][1];
  for (const Json* job : {&standard, &extended}) {
    ASSERT_EQ((*job)["accounting"].size(), 1u) << job->dump(2);
    EXPECT_EQ((*job)["accounting"][0]["file"], "C:\\Windows\\temp\\PrintLog\\DemoLog.csv");
    EXPECT_EQ(Bytes(*job, "printer"),
              std::string("IN;SP1;PD100,100;\n").size() + std::string("PU;SP0;\n").size());
  }
  std::vector<std::string> s = spoolgate::SplitCsv(standard["accounting"][0]["line"]);
  std::vector<std::string> e = spoolgate::SplitCsv(extended["accounting"][0]["line"]);
  // sequence, level, format: 2 and 2 for the standard entry, 10 (extra block) and 3 for
  // the extended one; then the document name the spooler gave for each job.
  EXPECT_EQ(std::vector<std::string>(s.begin(), s.begin() + 3), (std::vector<std::string>{"1", "2", "2"}));
  EXPECT_EQ(std::vector<std::string>(e.begin(), e.begin() + 3), (std::vector<std::string>{"2", "10", "3"}));
  EXPECT_NE(std::find(s.begin(), s.end(), "accounting-standard"), s.end());
  EXPECT_NE(std::find(e.begin(), e.end(), "Reprint for the site office"), e.end());
  // The same line as fields, numbers as numbers.
  EXPECT_EQ(extended["accounting"][0]["fields"]["sequence"], 2);
  EXPECT_EQ(extended["accounting"][0]["fields"]["value_252"], 594);
  EXPECT_EQ(extended["accounting"][0]["fields"]["user"], "alice");
  EXPECT_EQ(standard["records"][1]["record"], "JobLogRecord");

  std::string logDir = root() + "/C/Windows/temp/PrintLog";
  sgtest::CliResult summary = RunCli({"log", "summary", logDir, "--sum", "value_252"}, dir_.path);
  ASSERT_EQ(summary.status, 0) << summary.err;
  // 841 + 594: the two jobs' value252, under the user the spooler gave.
  size_t alice = summary.out.find("  alice ");
  ASSERT_NE(alice, std::string::npos) << summary.out;
  std::string row = summary.out.substr(alice, summary.out.find('\n', alice) - alice);
  EXPECT_NE(row.find(" 2 jobs  value_252 1,435"), std::string::npos) << row;
  // Times compare as times, whichever ISO 8601 spelling is given: the standard job ran
  // at 09:41:05.250, the extended one at 10:02:30.
  for (std::vector<std::string> range : {std::vector<std::string>{"--from", "2026-12-07T10"},
                                         {"--from", "2026-12-07 10:00"},
                                         {"--from", "2026-12-07 09:41:05.251", "--to", "2026-12-07"}}) {
    range.insert(range.begin(), {"log", "show", logDir});
    sgtest::CliResult shown = RunCli(range, dir_.path);
    EXPECT_NE(shown.out.find("accounting-extended"), std::string::npos) << range[4];
    EXPECT_EQ(shown.out.find("accounting-standard"), std::string::npos) << range[4] << shown.out;
  }
  sgtest::CliResult impossible = RunCli({"log", "show", logDir, "--to", "2026-02-29"}, dir_.path);
  EXPECT_EQ(impossible.status, 2);
  EXPECT_EQ(impossible.err, "spoolgate: --to 2026-02-29: no such date (2026-02 has 28 days)\n");
  EXPECT_EQ(RunCli({"log", "summary", logDir, "--sum", "pages"}, dir_.path).status, 2);
  // --sum takes one column and may come before the directory; --ignore-case.
  sgtest::CliResult both = RunCli({"log", "summary", "--sum", "value_252", "--sum", "value_256",
                                   "--user", "ALICE", "-i", "--json", logDir}, dir_.path);
  ASSERT_EQ(both.status, 0) << both.err;
  Json sums = Json::parse(both.out)["total"];
  EXPECT_EQ(sums["jobs"], 2);
  EXPECT_EQ(sums["sums"]["value_252"], 841 + 594);
  EXPECT_EQ(sums["sums"]["value_256"], 1189 + 841);

  // A sum that would pass 2^64-1 is refused, not wrapped: the standard line's value_252
  // made as large as a u64 goes (with its checksum mended, as a tool could write it).
  std::string log = sgtest::Slurp(logDir + "/DemoLog.csv");
  size_t at = log.find(",841,1189,");
  size_t end = log.find("\r\n", at);
  ASSERT_TRUE(at != std::string::npos && end != std::string::npos);
  size_t lineStart = log.rfind("\r\n", at) + 2;
  std::string line = log.substr(lineStart, end - lineStart);
  line.replace(at - lineStart, 10, ",18446744073709551615,1189,");
  line.erase(line.size() - 8);
  char crc[9];
  std::snprintf(crc, sizeof crc, "%08X", spoolgate::Crc32(line.substr(0, line.size() - 1)));
  std::ofstream(logDir + "/DemoLog.csv", std::ios::binary | std::ios::trunc)
      << log.substr(0, lineStart) << line << crc << log.substr(end);
  sgtest::CliResult wrapped = RunCli({"log", "summary", "--sum", "value_252", logDir}, dir_.path);
  EXPECT_EQ(wrapped.status, 2) << wrapped.out;
  EXPECT_EQ(wrapped.err, "spoolgate: --sum value_252: the sum passes 18446744073709551615\n");

  sgtest::CliResult verified = RunCli({"log", "verify", logDir}, dir_.path);
  EXPECT_EQ(verified.status, 0) << verified.out;
  EXPECT_EQ(verified.out, "verified 2 lines in 1 file of 1 log: OK\n");
}

TEST_F(ExamplesTest, LogShowMergesSeveralLogsInTimeOrder) {
  // A second log whose one job ran before both jobs of the first.
  std::string desc = sgtest::Slurp(std::string(SPOOLGATE_EXAMPLES) + "/accounting-standard.job");
  desc.replace(desc.find("leadingText='DemoLog'"), 21, "leadingText='EarlyLog'");
  desc.replace(desc.find("hour=9 "), 7, "hour=8 ");
  dir_.Write("early.txt", desc);
  ASSERT_EQ(RunCli({"capture", "early.txt", "-o", "early.cap"}, dir_.path).status, 0);
  Run({"accounting-standard", "accounting-extended", "early"});
  sgtest::CliResult shown = RunCli({"log", "show", root() + "/C/Windows/temp/PrintLog"}, dir_.path);
  ASSERT_EQ(shown.status, 0) << shown.err;
  size_t early = shown.out.find("\nEarlyLog 1 "), first = shown.out.find("\nDemoLog  1 "),
         second = shown.out.find("\nDemoLog  2 ");
  // Each line names the computer that printed it.
  EXPECT_NE(shown.out.find(".000 SPOOLHOST "), std::string::npos) << shown.out;
  ASSERT_TRUE(early != std::string::npos && first != std::string::npos && second != std::string::npos)
      << shown.out;
  EXPECT_LT(early, first);
  EXPECT_LT(first, second);
}

TEST_F(ExamplesTest, LogVerifyNamesAlteredMissingAndTornLines) {
  Run({"accounting-standard", "accounting-extended", "accounting-standard"});
  std::string logDir = root() + "/C/Windows/temp/PrintLog";
  std::string log = sgtest::Slurp(logDir + "/DemoLog.csv");
  size_t first = log.find("\r\n1,"), second = log.find("\r\n2,"), third = log.find("\r\n3,");
  ASSERT_TRUE(first != std::string::npos && second != std::string::npos && third != std::string::npos);

  std::string altered = log;
  altered[altered.find("Project 42")] = 'p';
  std::ofstream(logDir + "/DemoLog.csv", std::ios::binary | std::ios::trunc) << altered;
  sgtest::CliResult r = RunCli({"log", "verify", logDir}, dir_.path);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("DemoLog.csv:2 (byte " + std::to_string(first + 2) + "): altered line"),
            std::string::npos) << r.out;

  // Line 2 removed, and line 3 cut short as a crash would leave it.
  std::string damaged = log.substr(0, second + 2) + log.substr(third + 2, 40);
  std::ofstream(logDir + "/DemoLog.csv", std::ios::binary | std::ios::trunc) << damaged;
  r = RunCli({"log", "verify", logDir}, dir_.path);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find(":3 (byte " + std::to_string(second + 2) + "): torn line"), std::string::npos)
      << r.out;

  std::string gap = log.substr(0, second + 2) + log.substr(third + 2);
  std::ofstream(logDir + "/DemoLog.csv", std::ios::binary | std::ios::trunc) << gap;
  r = RunCli({"log", "verify", logDir}, dir_.path);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("gap: sequence 3 follows 1; missing 2"), std::string::npos) << r.out;
  r = RunCli({"log", "verify", "--json", logDir}, dir_.path);
  EXPECT_EQ(r.status, 1);
  Json verified = Json::parse(r.out, nullptr, false);
  ASSERT_FALSE(verified.is_discarded()) << r.out;
  EXPECT_EQ(verified["result"], "failed");
  ASSERT_EQ(verified["problems"].size(), 1u) << r.out;
  EXPECT_NE(verified["problems"][0]["where"].get<std::string>().find("DemoLog.csv:3 (byte "),
            std::string::npos) << r.out;
  EXPECT_EQ(verified["problems"][0]["what"], "gap: sequence 3 follows 1; missing 2");
}

TEST_F(ExamplesTest, ATornLineStaysOneBadLineForEveryReader) {
  const std::string document = "Plan \"A\", rev 2\r\nsecond sheet";
  struct Tear {
    const char* where;
    size_t (*cut)(const std::string& line);
  } tears[] = {
      {"inside the quoted field, after its comma", [](const std::string& l) { return l.find(", rev") + 1; }},
      {"right after the quoted CRLF", [](const std::string& l) { return l.find("\r\nsecond") + 2; }},
      {"inside the checksum column", [](const std::string& l) { return l.size() - 6; }},
  };
  for (const Tear& tear : tears) {
    SCOPED_TRACE(tear.where);
    rootName_ = "root-" + std::to_string(&tear - tears);
    Run({"accounting-standard"}, {"--document", document});
    std::string log = sgtest::Slurp(logDir() + "/DemoLog.csv");
    size_t start = log.find("\r\n") + 2;
    // A crash cut the line before the sequence file was written.
    WriteLogFile("DemoLog.csv", log.substr(0, start + tear.cut(log.substr(start, log.size() - 2 - start))));
    WriteLogFile("DemoLog.seq", "");
    Run({"accounting-standard", "accounting-standard", "accounting-standard"});

    sgtest::CliResult verified = RunCli({"log", "verify", logDir()}, dir_.path);
    EXPECT_EQ(verified.status, 1);
    EXPECT_NE(verified.out.find("DemoLog.csv:2 (byte " + std::to_string(start) + "): "), std::string::npos)
        << verified.out;
    EXPECT_NE(verified.out.find("verified 4 lines in 1 file of 1 log: 1 problem\n"), std::string::npos)
        << verified.out;
    sgtest::CliResult shown = RunCli({"log", "show", logDir()}, dir_.path);
    EXPECT_NE(shown.out.find("\n3 jobs\nleft out 1 line whose checksum is wrong"), std::string::npos)
        << shown.out;
    for (const char* sequence : {"\nDemoLog  2 ", "\nDemoLog  3 ", "\nDemoLog  4 "}) {
      EXPECT_NE(shown.out.find(sequence), std::string::npos) << shown.out;
    }
    shown = RunCli({"log", "show", logDir(), "--include-damaged"}, dir_.path);
    EXPECT_NE(shown.out.find("\n4 jobs\n"), std::string::npos) << shown.out;
    sgtest::CliResult summary = RunCli({"log", "summary", logDir()}, dir_.path);
    EXPECT_TRUE(std::regex_search(summary.out, std::regex("total:\n  all +3 jobs\n"))) << summary.out;

    // Python's csv module: four records, three of them whole lines numbered 2 to 4.
    std::string script = dir_ / "count.py";
    std::ofstream(script) << "import csv, sys\n"
                             "rows = list(csv.reader(open(sys.argv[1], newline='', encoding='utf-8-sig')))\n"
                             "good = [r for r in rows[1:] if len(r) == len(rows[0]) and r[0] in ('2', '3', '4')]\n"
                             "print(len(rows) - 1, len(good))\n";
    std::string command = "python3 " + script + " " + logDir() + "/DemoLog.csv > " + (dir_ / "py.out");
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(sgtest::Slurp(dir_ / "py.out"), "4 3\n");
  }
}

TEST_F(ExamplesTest, LogVerifySeesEveryLossAndOrdersGenerationsByNumber) {
  Run({"accounting-standard", "accounting-extended", "accounting-standard"});
  std::string log = sgtest::Slurp(logDir() + "/DemoLog.csv");
  size_t one = log.find("\r\n1,") + 2, two = log.find("\r\n2,") + 2, three = log.find("\r\n3,") + 2;
  std::string header = log.substr(0, one);
  auto verify = [&] { return RunCli({"log", "verify", logDir()}, dir_.path); };

  // A clock set back named the second generation before the first (old local names):
  // the numbers decide the order.
  WriteLogFile("DemoLog-20261207-230000.csv", log.substr(0, two));
  WriteLogFile("DemoLog-20261207-220000.csv", header + log.substr(two, three - two));
  WriteLogFile("DemoLog.csv", header + log.substr(three));
  sgtest::CliResult r = verify();
  EXPECT_EQ(r.out, "verified 3 lines in 3 files of 1 log: OK\n");

  // The tail cut off the current file, a stray copy and a stray file, a pending line.
  WriteLogFile("DemoLog.csv", header);
  WriteLogFile("DemoLog (copy).csv", log);
  WriteLogFile("junk.csv", "a,b\r\n");
  r = verify();
  EXPECT_EQ(r.status, 1);
  for (const char* expected : {"DemoLog (copy).csv: belongs to no log (no DemoLog (copy).seq beside it)",
                               "junk.csv: belongs to no log", "DemoLog.seq: says 3 was written, but the "
                               "last line found is 2; missing from the end: 3",
                               "verified 2 lines in 3 files of 1 log: 3 problems"}) {
    EXPECT_NE(r.out.find(expected), std::string::npos) << expected << "\n" << r.out;
  }
  WriteLogFile("DemoLog.pending", header + log.substr(three));
  r = verify();
  EXPECT_NE(r.out.find("DemoLog.pending:2 (byte " + std::to_string(one) + "): pending: line 3 waits here"),
            std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("missing from the end"), std::string::npos) << r.out;

  // The current file deleted, then every file.
  std::filesystem::remove(logDir() + "/DemoLog.pending");
  std::filesystem::remove(logDir() + "/DemoLog.csv");
  r = verify();
  EXPECT_NE(r.out.find("DemoLog.csv: missing: the current file of log 'DemoLog' is gone"), std::string::npos)
      << r.out;
  for (const char* name : {"DemoLog-20261207-230000.csv", "DemoLog-20261207-220000.csv"})
    std::filesystem::remove(logDir() + "/" + name);
  r = verify();
  EXPECT_NE(r.out.find("missing from the end: 1 to 3"), std::string::npos) << r.out;

  // A directory without a log is no healthy log.
  std::filesystem::create_directories(dir_ / "empty");
  r = RunCli({"log", "verify", dir_ / "empty"}, dir_.path);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("no accounting log here"), std::string::npos) << r.out;
}

TEST_F(ExamplesTest, ArchiveThatCannotBeCreatedShowsTheMessageAndFailsItsWrites) {
  dir_.Write("blocked.txt",
             "JobHeaderRecord jobFlags=JOB_FLAG_ARCHIVE\n"
             "ArchiveLocationRecord directory='C:\\Windows\\temp' fileName='missing\\name'\n"
             "ArchiveHeaderRecord\n"
             "data \"lost\"\n"
             "EndDoc\n");
  ASSERT_EQ(RunCli({"capture", "blocked.txt", "-o", "blocked.cap"}, dir_.path).status, 0);
  Json job = Run({"blocked"}, {}, 1)["jobs"][0];
  ASSERT_EQ(job["messageBoxes"].size(), 1u);
  EXPECT_EQ(job["messageBoxes"][0]["text"], "ファイルの作成に失敗しました。");
  EXPECT_TRUE(job["messageBoxes"][0]["caption"].is_null());
  // The creation the plug-in gave up (block 3), then the data it could not write.
  ASSERT_EQ(job["failedCalls"].size(), 2u) << job["failedCalls"].dump(2);
  EXPECT_EQ(job["failedCalls"][0]["call"], "CreateFileW");
  EXPECT_EQ(job["failedCalls"][0]["block"], 3);
  EXPECT_EQ(job["failedCalls"][1]["call"], "DrvSplWritePrinter");
  EXPECT_EQ(job["failedCalls"][1]["block"], 4);
  EXPECT_EQ(job["result"], "failed");
  EXPECT_TRUE(job["files"].empty());
}

TEST_F(ExamplesTest, OverlaysThatCannotBeRegisteredOrFoundAreFailedCalls) {
  // The plug-in reports every block of these jobs as written; the record shows the
  // overlay file that could not be created and the one that was not there to insert.
  dir_.Write("unregistered.txt",
             "JobHeaderRecord jobFlags=JOB_FLAG_OVERLAY\n"
             "OverlayControlRecord mode=OVERLAY_MODE_REGISTER overlayPath='C:\\No\\Such\\x.ovl'\n"
             "OverlayHeaderRecord\n"
             "data \"body\"\n"
             "EndDoc\n");
  dir_.Write("missing.txt",
             "JobHeaderRecord jobFlags=JOB_FLAG_OVERLAY\n"
             "OverlayControlRecord mode=OVERLAY_MODE_RAW overlayPath='C:\\Windows\\temp\\none.ovl'\n"
             "data \"page\"\n"
             "marker\n"
             "EndDoc\n");
  for (const char* name : {"unregistered", "missing"}) {
    std::string n = name;
    ASSERT_EQ(RunCli({"capture", n + ".txt", "-o", n + ".cap"}, dir_.path).status, 0);
  }
  Json report = Run({"unregistered", "missing"}, {}, 1);
  const Json& reg = report["jobs"][0];
  EXPECT_EQ(reg["result"], "failed");
  ASSERT_EQ(reg["failedCalls"].size(), 1u) << reg.dump(2);
  EXPECT_EQ(reg["failedCalls"][0]["call"], "CreateFileW");
  EXPECT_EQ(reg["failedCalls"][0]["block"], 3);
  EXPECT_EQ(reg["failedCalls"][0]["note"], "'C:\\No\\Such\\x.ovl': ERROR_PATH_NOT_FOUND");
  EXPECT_EQ(reg["data"]["discarded"]["blocks"], 1);

  const Json& raw = report["jobs"][1];
  EXPECT_EQ(raw["result"], "failed");
  ASSERT_EQ(raw["failedCalls"].size(), 1u) << raw.dump(2);
  EXPECT_EQ(raw["failedCalls"][0]["block"], 4);
  EXPECT_EQ(raw["failedCalls"][0]["note"],
            "the overlay 'C:\\Windows\\temp\\none.ovl' could not be opened for insertion: "
            "ERROR_FILE_NOT_FOUND");
  EXPECT_EQ(raw["insertionCount"], 0);
}

TEST_F(ExamplesTest, TheRegistryIsKeptBetweenRunsOfOneRoot) {
  // Settings given on the command line land in the sandbox's registry before the job.
  Json first = Run({"accounting-standard"}, {"--log-dir", "C:\\Logs", "--log-max-size", "4"});
  EXPECT_EQ(first["jobs"][0]["accounting"][0]["file"], "C:\\Logs\\DemoLog.csv");
  std::remove((root() + "/registry.txt").c_str());
  Run({"accounting-standard"});
  Json second = Run({"accounting-extended"});
  // The log directory setting written by the first run's plug-in is read by the second.
  EXPECT_EQ(second["jobs"][0]["accounting"][0]["file"], "C:\\Windows\\temp\\PrintLog\\DemoLog.csv");
  EXPECT_NE(sgtest::Slurp(root() + "/registry.txt").find("LogFileDirectory"), std::string::npos);
}

TEST_F(ExamplesTest, RunReportsWhereTheLoggingLibraryPutTheLineAndWhatWasThereBefore) {
  // A directory setting longer than the plug-in reads: it falls back to the default
  // directory, and the line is found there.
  Json fallback = Run({"accounting-standard"}, {"--log-dir", "C:\\" + std::string(140, 'x')});
  EXPECT_EQ(fallback["jobs"][0]["accounting"].size(), 1u) << fallback.dump(2);
  EXPECT_EQ(fallback["jobs"][0]["accounting"][0]["file"], "C:\\Windows\\temp\\PrintLog\\DemoLog.csv");
  EXPECT_EQ(fallback["jobs"][0]["accounting"][0]["stored"], "accounting log");

  // The log cannot be opened (a directory has its name): the line waits in the pending
  // file. The log directory cannot be made (a file has its name): the event log is left.
  rootName_ = "pending";
  std::filesystem::create_directories(logDir() + "/DemoLog.csv");
  Json pending = Run({"accounting-standard"}, {}, 1)["jobs"][0];
  rootName_ = "event";
  std::filesystem::create_directories(root() + "/C");
  std::ofstream(root() + "/C/Blocked") << "a file";
  Json event = Run({"accounting-standard"}, {"--log-dir", "C:\\Blocked"}, 1)["jobs"][0];
  for (const auto& [job, stored] : {std::pair{&pending, "pending file"}, std::pair{&event, "event log"}}) {
    EXPECT_EQ((*job)["accounting"].size(), 1u) << job->dump(2);
    EXPECT_EQ((*job)["accounting"][0]["stored"], stored);
    EXPECT_EQ((*job)["result"], "failed");
    const Json& failed = (*job)["failedCalls"];
    EXPECT_TRUE(std::any_of(failed.begin(), failed.end(),
                            [](const Json& f) { return f["call"] == "QenDrvLogWriteRecord"; }))
        << failed.dump(2);
  }
  EXPECT_EQ(pending["accounting"][0]["file"], "C:\\Windows\\temp\\PrintLog\\DemoLog.pending");
  EXPECT_EQ(event["accounting"][0]["file"], "C:\\Blocked\\DemoLog.csv");

  // A plug-in without its logging library beside it: the loads that fail are named.
  rootName_ = "alone";
  std::filesystem::create_directory(dir_ / "alone");
  std::filesystem::copy_file(std::filesystem::path(SPOOLGATE_CLI).parent_path() / "../plugin/libspoolgate.so",
                             dir_ / "alone/libspoolgate.so");
  const Json alone = Run({"accounting-standard"}, {"--plugin", dir_ / "alone/libspoolgate.so"}, 1)["jobs"][0];
  ASSERT_FALSE(alone["failedCalls"].empty());
  EXPECT_EQ(alone["failedCalls"][0]["call"], "LoadLibraryExW") << alone["failedCalls"].dump(2);
  EXPECT_TRUE(alone["accounting"].empty());

  // An archive name taken by an earlier run is named as such.
  rootName_ = "again";
  Run({"archived-job"});
  const Json again = Run({"archived-job"}, {}, 1)["jobs"][0];
  EXPECT_EQ(again["records"][2]["note"],
            "the archive file could not be created: 'C:\\Jobs\\2026\\Plans\\site-plan.RUD' exists "
            "from an earlier job or run");

  // Two traces of the same captures are the same: handles are named by their order,
  // and an export without calls lists none.
  Json traces[2];
  for (int i = 0; i < 2; ++i) {
    rootName_ = "trace" + std::to_string(i);
    Json report = Run({"archived-job", "accounting-standard", "plain-print"}, {"--trace"});
    for (Json& job : report["jobs"]) traces[i].push_back(job["trace"]);
  }
  EXPECT_EQ(traces[0], traces[1]);
  const std::string text = traces[0].dump();
  EXPECT_EQ(text.find("\"calls\":null"), std::string::npos);
  EXPECT_NE(text.find("\"handle\":\"h1\""), std::string::npos);
}

TEST_F(ExamplesTest, JsonReportsFinishWhateverBytesTheNamesAndLinesHold) {
  // A root and a capture named in Latin-1, a log folder so named, and a line torn
  // inside a two-byte character: each byte that is not UTF-8 reads as its Latin-1
  // character.
  rootName_ = "r\xE9";
  std::filesystem::copy_file(dir_ / "accounting-standard.cap", dir_ / "acc\xE9.cap");
  Json run = Run({"acc\xE9"});
  EXPECT_EQ(run["root"], dir_ / "r\xC3\xA9");
  EXPECT_EQ(run["jobs"][0]["capture"], "acc\xC3\xA9.cap");
  EXPECT_EQ(run["result"], "ok");

  std::ofstream(logDir() + "/DemoLog.csv", std::ios::app) << "2,2,2,1,2026-12-07T09:41:05.250,HOST,caf\xC3";
  const std::string latin = dir_ / "logs\xE9";
  std::filesystem::copy(logDir(), latin);
  for (std::vector<std::string> args : {std::vector<std::string>{"log", "verify", "--json", latin},
                                        {"log", "show", "--include-damaged", "--json", logDir()}}) {
    sgtest::CliResult r = RunCli(args, dir_.path);
    EXPECT_EQ(r.status, args[1] == "verify" ? 1 : 0) << r.err;
    Json report = Json::parse(r.out, nullptr, false);
    ASSERT_FALSE(report.is_discarded()) << args[1] << ": " << r.out << r.err;
    if (args[1] == "verify") {
      EXPECT_EQ(report["directory"], dir_ / "logs\xC3\xA9");
    } else {
      // The torn line (sequence 2) is listed before the job of the same time, its
      // computer "HOST" sorting before "SPOOLHOST".
      ASSERT_EQ(report["jobs"].size(), 2u) << r.out;
      EXPECT_EQ(report["jobs"][0]["fields"]["user"], "caf\xC3\x83");
    }
  }
}

// The sanitizers' shadow memory counts in the RSS.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
TEST_F(ExamplesTest, ALongCaptureRunsInBoundedMemory) {
  // Measured against a one-block run of the same command, so that what the build adds
  // (coverage counters) is not taken for the capture: a reader that held the 64 MiB
  // would pass the bound eight times over.
  dir_.Write("short.txt", "JobHeaderRecord jobFlags=0\ndata pattern size=65536 block=65536\nEndDoc\n");
  dir_.Write("long.txt", "JobHeaderRecord jobFlags=0\ndata pattern size=67108864 block=65536\nEndDoc\n");
  for (std::string name : {"short", "long"}) {
    ASSERT_EQ(RunCli({"capture", name + ".txt", "-o", name + ".cap"}, dir_.path).status, 0);
  }
  sgtest::CliResult base = RunCli({"run", "--root", root(), "short.cap"}, dir_.path);
  ASSERT_EQ(base.status, 0) << base.err;
  sgtest::CliResult r = RunCli({"run", "--root", root(), "long.cap"}, dir_.path);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("printer: 1,024 blocks, 67,108,864 bytes"), std::string::npos) << r.out;
  EXPECT_LT(r.maxRssKib, base.maxRssKib + 8 * 1024);
}
#endif

}  // namespace
