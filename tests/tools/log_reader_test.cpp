// SPDX-License-Identifier: Apache-2.0
// The log file reader that show, summary, verify and import stand on: records that
// continue past an LF inside quotes, wherever the reader's buffer ends; the time order of
// a listing larger than memory; and what the reports make of names a print client chose,
// of the site's settings, of a wrong folder.
#include "tests/tools/cli_runner.h"
#include "tests/tools/hand_log.h"
#include "tools/common/case_fold.h"
#include "tools/common/text.h"
#include "tools/logread/csv_lines.h"
#include "tools/logread/log_folder.h"
#include "tools/reports/ordered_lines.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>

namespace {

TEST(CsvRecordReaderTest, AQuotedLineBreakAcrossTheReadBufferStaysInItsRecord) {
  sgtest::TempDir dir;
  // The quote opens before byte 65,536, where the reader's buffer ends, and the line
  // break inside it comes after: the reader must carry the open quote into the next fill.
  const std::string first = std::string(65530, 'x') + ",\"ab" + "cd\r\nef\",z";
  const std::string second = "2,\"\"\"quoted\"\" text\"";
  // A record longer than the whole read buffer (256 KiB) makes it grow.
  const std::string longer = "3," + std::string(300000, 'y');
  dir.Write("log.csv", first + "\r\n" + second + "\r\n" + longer + "\r\n" + "3,torn");

  spoolgate::CsvRecordReader reader(dir / "log.csv");
  ASSERT_TRUE(reader.Ok());
  std::string record;
  uint64_t offset = 1;
  bool complete = false;
  ASSERT_TRUE(reader.Next(record, offset, complete));
  EXPECT_EQ(record, first);
  EXPECT_EQ(offset, 0u);
  EXPECT_TRUE(complete);
  ASSERT_TRUE(reader.Next(record, offset, complete));
  EXPECT_EQ(record, second);
  EXPECT_EQ(offset, first.size() + 2);
  EXPECT_EQ(spoolgate::SplitCsv(record), (std::vector<std::string>{"2", "\"quoted\" text"}));
  ASSERT_TRUE(reader.Next(record, offset, complete));
  EXPECT_EQ(record, longer);
  ASSERT_TRUE(reader.Next(record, offset, complete));
  EXPECT_EQ(record, "3,torn");
  EXPECT_FALSE(complete);
  EXPECT_FALSE(reader.Next(record, offset, complete));
}

TEST(OrderedLinesTest, LinesPastTheMemoryBoundComeBackInOrderThroughTheScratchFile) {
  using spoolgate::LineOrder;
  // A bound of a few bytes makes every line a run of the scratch file: more runs than are
  // merged at once, so that they are first merged into longer ones. One line is longer
  // than a run's read buffer.
  spoolgate::OrderedLines ordered(16);
  const uint32_t hostB = ordered.Name("HOST-B"), hostA = ordered.Name("HOST-A"), log = ordered.Name("Jobs");
  std::vector<std::pair<LineOrder, std::string>> lines;
  const size_t count = spoolgate::OrderedLines::kFanIn * 3 + 5;
  for (size_t i = 0; i < count; ++i) {
    // Times repeat and come out of order; the last line has none.
    int64_t time = i + 1 == count ? INT64_MAX : int64_t(i * 37 % 50);
    lines.push_back({{time, i % 2 ? hostA : hostB, log, i}, "line " + std::to_string(i) + std::string(i % 7, '.')});
  }
  lines[100].second.append(size_t(3) << 19, 'x');
  for (size_t i = 0; i < count; ++i) ordered.Add(lines[i].first, uint32_t(i), lines[i].second);
  // By time, then computer name (HOST-A first), then as they came.
  std::vector<uint32_t> expected(count);
  for (uint32_t i = 0; i < count; ++i) expected[i] = i;
  std::sort(expected.begin(), expected.end(), [&](uint32_t a, uint32_t b) {
    const LineOrder& x = lines[a].first;
    const LineOrder& y = lines[b].first;
    if (x.time != y.time) return x.time < y.time;
    if (x.computer != y.computer) return x.computer == hostA;
    return a < b;
  });
  std::vector<uint32_t> got;
  ordered.Drain([&](const LineOrder& key, uint32_t tag, std::string_view text) {
    ASSERT_LT(tag, count);
    EXPECT_EQ(key.arrival, tag);
    EXPECT_EQ(text, lines[tag].second);
    got.push_back(tag);
  });
  EXPECT_EQ(got, expected);

  // Without a temporary folder to write to, the listing stops with the reason.
  const char* tmp = std::getenv("TMPDIR");
  std::string saved = tmp != nullptr ? tmp : "";
  setenv("TMPDIR", "/nonexistent/spoolgate", 1);
  spoolgate::OrderedLines stuck(16);
  try {
    stuck.Add({1, hostA, log, 0}, 0, "a line longer than the bound");
    ADD_FAILURE() << "no scratch file, yet no error";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "the listing's scratch file in the temporary folder cannot be made: "
                                     "No such file or directory");
  }
  if (tmp != nullptr) setenv("TMPDIR", saved.c_str(), 1);
  else unsetenv("TMPDIR");
}

TEST(CaseFoldTest, NamesFoldAlikeInEveryScriptAndOtherBytesStay) {
  using spoolgate::FoldCase;
  EXPECT_EQ(FoldCase("J\xC3\x9CRGEN"), FoldCase("j\xC3\xBCrgen"));                        // Ü ü
  EXPECT_EQ(FoldCase("\xCE\xA3\xCE\xA9\xCE\xA3"), "\xCF\x83\xCF\x89\xCF\x83");          // ΣΩΣ σωσ
  EXPECT_EQ(FoldCase("\xCF\x82"), "\xCF\x83");                                            // ς σ
  EXPECT_EQ(FoldCase("\xD0\x98\xD0\xB2\xD0\xB0\xD0\xBD"), "\xD0\xB8\xD0\xB2\xD0\xB0\xD0\xBD");  // Иван
  EXPECT_EQ(FoldCase("\xC4\x80\xC4\x81\xC4\x82"), "\xC4\x81\xC4\x81\xC4\x83");          // Ā ā Ă
  EXPECT_EQ(FoldCase("\xE2\x84\xAA"), "k");                                                // Kelvin sign
  EXPECT_EQ(FoldCase("\xF0\x90\x90\x80"), "\xF0\x90\x90\xA8");                              // Deseret
  EXPECT_EQ(FoldCase("\xE5\xB1\xB1\xE7\x94\xB0?"), "\xE5\xB1\xB1\xE7\x94\xB0?");          // 山田 stays
  // Latin-1 bytes and a torn character are kept as they are.
  EXPECT_EQ(FoldCase("M\xC9LANIE\xC3"), "m\xC9lanie\xC3");
}

TEST(Utf8Test, EveryBoundOfWellFormedUtf8) {
  struct Case {
    const char* bytes;
    size_t length;
    uint32_t cp;
  };
  // The first and last of each length, and the forms just outside (0: none there).
  const Case cases[] = {
      {"A", 1, 0x41},          {"\x7F", 1, 0x7F},          {"\x80", 0, 0},
      {"\xC1\xBF", 0, 0},      {"\xC2\x80", 2, 0x80},      {"\xDF\xBF", 2, 0x7FF},
      {"\xC2", 0, 0},          {"\xC2\x31", 0, 0},         {"\xE0\x9F\xBF", 0, 0},
      {"\xE0\xA0\x80", 3, 0x800}, {"\xED\x9F\xBF", 3, 0xD7FF}, {"\xED\xA0\x80", 0, 0},
      {"\xEE\x80\x80", 3, 0xE000}, {"\xEF\xBF\xBF", 3, 0xFFFF}, {"\xE2\x82", 0, 0},
      {"\xF0\x8F\xBF\xBF", 0, 0}, {"\xF0\x90\x80\x80", 4, 0x10000}, {"\xF4\x8F\xBF\xBF", 4, 0x10FFFF},
      {"\xF4\x90\x80\x80", 0, 0}, {"\xF5\x80\x80\x80", 0, 0}, {"\xFF", 0, 0},
  };
  for (const Case& c : cases) {
    uint32_t cp = 0xDEADBEEF;
    EXPECT_EQ(spoolgate::Utf8CharAt(c.bytes, 0, &cp), c.length) << c.bytes;
    if (c.length != 0) {
      EXPECT_EQ(cp, c.cp) << c.bytes;
    }
    EXPECT_EQ(spoolgate::IsUtf8(std::string("ok ") + c.bytes), c.length == std::strlen(c.bytes)) << c.bytes;
    // Case folding keeps what is not UTF-8 as it is.
    if (c.length == 0) {
      EXPECT_EQ(spoolgate::FoldCase(c.bytes), c.bytes);
    }
  }
  std::string encoded;
  for (uint32_t cp : {0x41u, 0x7FFu, 0x800u, 0xFFFFu, 0x10000u, 0x10FFFFu}) spoolgate::AppendUtf8(cp, encoded);
  EXPECT_EQ(encoded, "A\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF");
}

// The header of the hand-written logs, and one job's line of them with its checksum
// right: user, document and value_252 as CSV fields (tests/tools/hand_log.h).
const std::string kHeaderLine = sgtest::kHandLogHeader;
std::string JobLine(int sequence, const std::string& user, const std::string& document,
                    const std::string& pages = "841", const std::string& time = "2026-12-07T09:41:05.250",
                    const std::string& department = "Admin") {
  sgtest::HandJob job;
  job.user = user, job.document = document, job.pages = pages, job.time = time, job.department = department;
  return sgtest::HandLine(job, std::to_string(sequence)) + "\r\n";
}

// A log of one job written by hand.
void WriteLog(const sgtest::TempDir& dir, const std::string& user, const std::string& document,
              const std::string& pages = "841") {
  dir.Write("Jobs.seq", "1\r\n");
  dir.Write("Jobs.csv", kHeaderLine + JobLine(1, user, document, pages));
}

// One job of a hand-written log: its user, document, value_252, month and department
// (text_200).
struct Job {
  std::string user, document, pages = "841", month = "2026-12", department = "Admin";
};

// A log of jobs written by hand, numbered from 1.
void WriteJobs(const sgtest::TempDir& dir, const std::vector<Job>& jobs) {
  std::string lines;
  for (size_t i = 0; i < jobs.size(); ++i) {
    const Job& j = jobs[i];
    lines += JobLine(int(i + 1), j.user, j.document, j.pages, j.month + "-07T09:41:05.250", j.department);
  }
  dir.Write("Jobs.seq", std::to_string(jobs.size()) + "\r\n");
  dir.Write("Jobs.csv", kHeaderLine + lines);
}

TEST(LogReportTest, NamesAClientChoseCannotDriveTheTerminalOrTheSpreadsheet) {
  sgtest::TempDir dir;
  // A document name that would clear the screen, break the row or turn the rest of it
  // around (U+202E), a user name a spreadsheet would run as a formula, and a formula
  // where a number goes, the checksum right all the same.
  WriteLog(dir, "\"=HYPERLINK(\"\"x\"\")\"", "\"plan\x1B[2J\r\nv2\xC2\x9B\xE2\x80\xAEgpj.plt\"", "=1+2");
  sgtest::CliResult text = sgtest::RunCli({"log", "show", dir.path}, dir.path);
  ASSERT_EQ(text.status, 0) << text.err;
  EXPECT_EQ(text.out.find('\x1B'), std::string::npos) << text.out;
  EXPECT_EQ(text.out.find("\xC2\x9B"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find(" plan\\x1B[2J\\x0D\\x0Av2\\u009B\\u202Egpj.plt\n"), std::string::npos) << text.out;
  EXPECT_EQ(std::count(text.out.begin(), text.out.end(), '\n'), 3) << text.out;
  sgtest::CliResult csv = sgtest::RunCli({"log", "summary", dir.path, "--csv"}, dir.path);
  ASSERT_EQ(csv.status, 0) << csv.err;
  EXPECT_EQ(csv.out, "group,name,jobs\r\nuser,\"'=HYPERLINK(\"\"x\"\")\",1\r\nprinter,Wide Format,1\r\ntotal,,1\r\n");
  // On the page the quotes are entities, so a name cannot close an attribute.
  sgtest::CliResult page = sgtest::RunCli({"log", "report", dir.path, "--html", "-"}, dir.path);
  ASSERT_EQ(page.status, 0) << page.err;
  EXPECT_NE(page.out.find("=HYPERLINK(&quot;x&quot;)"), std::string::npos) << page.out;
  EXPECT_EQ(page.out.find("HYPERLINK(\""), std::string::npos) << page.out;
  sgtest::CliResult listed = sgtest::RunCli({"log", "show", dir.path, "--csv", "--bom"}, dir.path);
  ASSERT_EQ(listed.status, 0) << listed.err;
  EXPECT_EQ(listed.out.rfind("\xEF\xBB\xBFlog,computer,sequence,", 0), 0u) << listed.out;
  EXPECT_NE(listed.out.find("\xC2\x9B\\u202Egpj.plt\",Wide Format,LPT1:,Admin,bond,A0,1,'=1+2,1189,"), std::string::npos)
      << listed.out;
  sgtest::CliResult json = sgtest::RunCli({"log", "show", dir.path, "--json"}, dir.path);
  ASSERT_EQ(json.status, 0) << json.err;
  EXPECT_EQ(nlohmann::json::parse(json.out)["jobs"][0]["fields"]["document"], "plan\x1B[2J\r\nv2\xC2\x9B\xE2\x80\xAEgpj.plt");
  // A byte that is not UTF-8 is read as Latin-1 in every listing.
  WriteLog(dir, "ren\xE9", "plan.plt");
  for (const char* format : {"--json", "--csv"}) {
    sgtest::CliResult shown = sgtest::RunCli({"log", "show", dir.path, format}, dir.path);
    ASSERT_EQ(shown.status, 0) << shown.err;
    EXPECT_NE(shown.out.find("ren\xC3\xA9"), std::string::npos) << shown.out;
  }

  // A line of plain ASCII is copied as it stands but for the cells that start like a
  // formula, each alone in its line: a document right behind a 16-byte step of the scan,
  // and a count.
  struct Plain {
    const char* document;
    const char* pages;
    const char* row;
  };
  for (const Plain& p : {Plain{"=plan.plt", "841", "abcde,'=plan.plt,Wide Format,LPT1:,Admin,bond,A0,1,841,1189,,"},
                         Plain{"plan.plt", "-5", "abcde,plan.plt,Wide Format,LPT1:,Admin,bond,A0,1,'-5,1189,,"}}) {
    WriteLog(dir, "abcde", p.document, p.pages);
    sgtest::CliResult plain = sgtest::RunCli({"log", "show", dir.path, "--csv"}, dir.path);
    EXPECT_NE(plain.out.find(std::string("\r\nJobs,SPOOLHOST,1,2,2,1,2026-12-07T09:41:05.250,") + p.row),
              std::string::npos) << plain.out;
  }

  // A name the server's code page could not spell (山田 as ??) is counted and named, from
  // the log and from the database.
  sgtest::TempDir merged;
  WriteLog(merged, "??", "plan.plt");
  sgtest::CliResult noted = sgtest::RunCli({"log", "summary", merged.path}, merged.path);
  EXPECT_NE(noted.out.find("\n1 job names a user, printer or group with '?', a character the print server could not "
                           "spell, so different names may be counted as one: ??\n"), std::string::npos) << noted.out;
  ASSERT_EQ(sgtest::RunCli({"log", "import", merged.path, "--db", "sqlite:" + merged / "a.db", "--no-progress"},
                           merged.path).status, 0);
  // Grouped by the name or by another column, which the database counts apart.
  for (const std::vector<std::string>& source : {std::vector<std::string>{merged.path},
                                                 std::vector<std::string>{"--db", "sqlite:" + merged / "a.db"}}) {
    for (const char* by : {"", "user", "printer"}) {
      std::vector<std::string> args = {"log", "summary", "--json"};
      if (*by != '\0') args.insert(args.end(), {"--by", by});
      args.insert(args.end(), source.begin(), source.end());
      sgtest::CliResult r = sgtest::RunCli(args, merged.path);
      EXPECT_EQ(nlohmann::json::parse(r.out)["unspelled"], nlohmann::json::parse(R"({"jobs": 1, "names": ["??"]})"))
          << by << r.out;
    }
  }
}

TEST(LogReportTest, CsvForASpreadsheetWhoseDecimalMarkIsAComma) {
  sgtest::TempDir dir;
  // 0.50 a job and 0.01 a page: 841 pages cost 8.91. A user name holding the separator.
  WriteLog(dir, "a;b", "plan.plt");
  dir.Write("s.toml", "currency = \"EUR\"\n[columns]\npages = \"value_252\"\n[[price]]\njob = \"0.50\"\nper.pages = \"0.01\"\n");
  std::vector<std::string> summary = {"log", "summary", dir.path, "--settings", "s.toml", "--by", "user", "--sum", "pages",
                                      "--cost", "--csv", "--total", "--separator"};
  struct Case {
    const char* separator;
    bool decimalComma;
    const char* expected;
  };
  for (const Case& c : {Case{";", true, "user;jobs;pages;cost EUR\r\n\"a;b\";1;841;8,91\r\ntotal;1;841;8,91\r\n"},
                        Case{",", true, "user,jobs,pages,cost EUR\r\na;b,1,841,\"8,91\"\r\ntotal,1,841,\"8,91\"\r\n"},
                        Case{"tab", false, "user\tjobs\tpages\tcost EUR\r\na;b\t1\t841\t8.91\r\ntotal\t1\t841\t8.91\r\n"}}) {
    std::vector<std::string> args = summary;
    args.push_back(c.separator);
    if (c.decimalComma) args.push_back("--decimal-comma");
    sgtest::CliResult r = sgtest::RunCli(args, dir.path);
    EXPECT_EQ(r.out, c.expected) << c.separator << r.err;
  }
  // The listing: every cell split by the separator, none by the record's own commas.
  sgtest::CliResult listed = sgtest::RunCli({"log", "show", dir.path, "--settings", "s.toml", "--cost", "--csv",
                                             "--separator", ";", "--decimal-comma"}, dir.path);
  ASSERT_EQ(listed.status, 0) << listed.err;
  EXPECT_EQ(listed.out.rfind("log;computer;sequence;level;format;content_flags;time_stamp;user;document;printer;", 0), 0u)
      << listed.out;
  EXPECT_NE(listed.out.find("\r\nJobs;SPOOLHOST;1;2;2;1;2026-12-07T09:41:05.250;\"a;b\";plan.plt;Wide Format;LPT1:;"
                            "Admin;bond;A0;1;841;1189;"), std::string::npos) << listed.out;
  EXPECT_EQ(listed.out.substr(listed.out.size() - 7), ";8,91\r\n") << listed.out;
  // Without a cost the listing of plain lines takes another path; it splits the same.
  sgtest::CliResult plain = sgtest::RunCli({"log", "show", dir.path, "--csv", "--separator", ";"}, dir.path);
  EXPECT_NE(plain.out.find(";\"a;b\";plan.plt;Wide Format;LPT1:;Admin;bond;A0;1;841;1189;;"), std::string::npos) << plain.out;
  EXPECT_EQ(plain.out.find(','), std::string::npos) << plain.out;
  // A separator that would make cells ambiguous, and the options without --csv.
  sgtest::CliResult bad = sgtest::RunCli({"log", "summary", dir.path, "--csv", "--separator", "."}, dir.path);
  EXPECT_EQ(bad.status, 2);
  EXPECT_EQ(bad.err, "spoolgate: --separator .: one of , ; tab (a German or French spreadsheet takes ;) (--help for usage)\n");
  EXPECT_EQ(sgtest::RunCli({"log", "summary", dir.path, "--decimal-comma"}, dir.path).status, 2);
}

// Six jobs of three users in two departments and months, priced at 0.50 a job and 0.01
// a page: ann 3 x 100 pages (4.50), bob 2 x 50 (2.00), -svc-plot 123,456 pages (1,235.06);
// 6 jobs, 123,856 pages, 1,241.56 in all. One department is a number with a leading
// zero, the other 256 digits, as a hex block of the driver may be.
const std::string kLongDepartment(256, '9');
void WriteBillingLog(const sgtest::TempDir& dir) {
  WriteJobs(dir, {Job{"ann", "a.plt", "100", "2026-11", "0012345"}, Job{"ann", "b.plt", "100", "2026-11", "0012345"},
                  Job{"ann", "c.plt", "100", "2026-12", "0012345"}, Job{"bob", "d.plt", "50", "2026-12", "0012345"},
                  Job{"bob", "e.plt", "50", "2026-12", "0012345"},
                  Job{"-svc-plot", "f.plt", "123456", "2026-12", kLongDepartment}});
  dir.Write("s.toml", "currency = \"EUR\"\n[columns]\npages = \"value_252\"\ndepartment = \"text_200\"\n"
                      "[[price]]\njob = \"0.50\"\nper.pages = \"0.01\"\n");
}

TEST(LogReportTest, TopSumsWhatItLeavesOutAndTheTextGroupsEveryAmount) {
  sgtest::TempDir dir;
  WriteBillingLog(dir);
  std::vector<std::string> args = {"log", "summary", dir.path, "--settings", "s.toml", "--by", "user", "--sum", "pages",
                                   "--cost", "--top", "1"};
  sgtest::CliResult text = sgtest::RunCli(args, dir.path);
  ASSERT_EQ(text.status, 0) << text.err;
  EXPECT_EQ(text.out, "user       jobs    pages  cost EUR\n"
                      "-svc-plot     1  123,456  1,235.06\n"
                      "(others)      5      400      6.50\n"
                      "total         6  123,856  1,241.56\n") << text.out;
  args.insert(args.end(), {"--csv", "--total"});
  sgtest::CliResult csv = sgtest::RunCli(args, dir.path);
  EXPECT_EQ(csv.out, "user,jobs,pages,cost EUR\r\n'-svc-plot,1,123456,1235.06\r\n(others),5,400,6.50\r\n"
                     "total,6,123856,1241.56\r\n") << csv.err;
  // The default lists: the first user by cost, the one printer uncut; thousands grouped.
  sgtest::CliResult lists = sgtest::RunCli({"log", "summary", dir.path, "--settings", "s.toml", "--sum", "pages", "--cost",
                                            "--top", "1"}, dir.path);
  EXPECT_NE(lists.out.find("  -svc-plot                      1 job   pages 123,456  cost 1,235.06 EUR\n"
                           "  (others)                       5 jobs  pages 400  cost 6.50 EUR\nby printer:\n"
                           "  Wide Format                    6 jobs  pages 123,856  cost 1,241.56 EUR\ntotal:\n"),
            std::string::npos) << lists.out;
  // A value that starts with '-' is the value of the option before it, alone or attached,
  // and of a short option too.
  for (std::vector<std::string> user : {std::vector<std::string>{"--user", "-svc-plot"}, {"--user=-svc-plot"}}) {
    user.insert(user.begin(), {"log", "summary", dir.path, "--json"});  // a flag before it
    sgtest::CliResult one = sgtest::RunCli(user, dir.path);
    ASSERT_EQ(one.status, 0) << one.err;
    EXPECT_EQ(nlohmann::json::parse(one.out)["total"]["jobs"], 1) << one.out;
  }
  sgtest::CliResult extract = sgtest::RunCli({"rud", "extract", "-o", "-x.prn", "none.RUD"}, dir.path);
  EXPECT_EQ(extract.err.find("unknown option"), std::string::npos) << extract.err;
  // An unknown option after a flag is named, not taken for the flag's value.
  EXPECT_EQ(sgtest::RunCli({"log", "summary", dir.path, "--json", "--bogus"}, dir.path).err,
            "spoolgate: unknown option --bogus of summary (--help for usage)\n");
  // The listing's cost of a line too.
  sgtest::CliResult shown = sgtest::RunCli({"log", "show", dir.path, "--settings", "s.toml", "--cost"}, dir.path);
  EXPECT_NE(shown.out.find(" f.plt  1,235.06\n"), std::string::npos) << shown.out;
}

// The workbook as openpyxl reads it (tests/tools/read_xlsx.py): [type, value, format] a cell.
nlohmann::json ReadXlsx(const std::string& file) {
  const char* python = std::filesystem::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3";
  std::string command = std::string(python) + " " SPOOLGATE_SOURCE "/tests/tools/read_xlsx.py " + file + " > " + file + ".json";
  EXPECT_EQ(std::system(command.c_str()), 0) << command;
  return nlohmann::json::parse(sgtest::Slurp(file + ".json"), nullptr, false);
}

// A computed unit's sum is a number of its places, not its count of 10^-6 units, and a
// taxed bill has its net, tax and gross. Each line is 1,189 mm long (value_256); a job
// costs 0.50 and 19 % on each row's net, rounded half up: ann 3 x 100 pages, 356.7 m,
// 1.50 + 0.285 -> 0.29 = 1.79; bob 2 x 50, 118.9 m, 1.00 + 0.19 = 1.19; -svc-plot
// 123,456 pages, 146,789.184 m, 0.50 + 0.095 -> 0.10 = 0.60; the total 147,264.784 m,
// 3.00 + 0.57 = 3.57.
TEST(LogReportTest, AWorkbookShowsComputedUnitsAndTheTax) {
  sgtest::TempDir dir;
  WriteBillingLog(dir);
  dir.Write("s.toml", "currency = \"EUR\"\nvat = \"19\"\n[columns]\npages = \"value_252\"\nlength_mm = \"value_256\"\n"
                      "metres = \"length_mm * pages / 1000\"\n[[price]]\njob = \"0.50\"\n");
  sgtest::CliResult r = sgtest::RunCli({"log", "summary", dir.path, "--settings", "s.toml", "--by", "user", "--sum",
                                        "metres", "--cost", "--xlsx", "bill.xlsx"}, dir.path);
  ASSERT_EQ(r.status, 0) << r.err;
  nlohmann::json book = ReadXlsx(dir / "bill.xlsx");
  const std::string money = "#,##0.00 \"EUR\"", metres = "#,##0.000000", count = "#,##0";
  auto n = [](double v, const std::string& format) { return nlohmann::json::array({"n", v, format}); };
  auto t = [](const std::string& v) { return nlohmann::json::array({"s", v}); };
  nlohmann::json expected = nlohmann::json::array();
  expected.push_back({{"name", "by user"}, {"frozen", "A2"}, {"rows", {
      nlohmann::json::array({t("user"), t("jobs"), t("metres"), t("net EUR"), t("tax EUR"), t("gross EUR")}),
      {t("-svc-plot"), n(1, count), n(146789.184, metres), n(0.50, money), n(0.10, money), n(0.60, money)},
      {t("ann"), n(3, count), n(356.7, metres), n(1.50, money), n(0.29, money), n(1.79, money)},
      {t("bob"), n(2, count), n(118.9, metres), n(1.00, money), n(0.19, money), n(1.19, money)},
      {t("total"), n(6, count), n(147264.784, metres), n(3.00, money), n(0.57, money), n(3.57, money)}}}});
  EXPECT_EQ(book, expected) << book.dump();
}

TEST(LogReportTest, AWorkbookHoldsNumbersAsNumbersAndNamesAsTheyAre) {
  sgtest::TempDir dir;
  WriteBillingLog(dir);
  sgtest::CliResult r = sgtest::RunCli({"log", "summary", dir.path, "--settings", "s.toml", "--by", "department", "--by",
                                        "month", "--sum", "pages", "--cost", "--xlsx", "bill.xlsx"}, dir.path);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  nlohmann::json book = ReadXlsx(dir / "bill.xlsx");
  const std::string money = "#,##0.00 \"EUR\"";
  auto n = [](double v, const std::string& format) { return nlohmann::json::array({"n", v, format}); };
  auto t = [](const std::string& v) { return nlohmann::json::array({"s", v}); };
  // (A row of texts alone is written as an array, lest the braces make it an object.)
  nlohmann::json expected = nlohmann::json::array();
  expected.push_back({{"name", "by department and month"}, {"frozen", "A2"}, {"rows", {
      nlohmann::json::array({t("department"), t("month"), t("jobs"), t("pages"), t("cost EUR")}),
      {t("0012345"), t("2026-11"), n(2, "#,##0"), n(200, "#,##0"), n(3.00, money)},
      {t("0012345"), t("2026-12"), n(3, "#,##0"), n(200, "#,##0"), n(3.50, money)},
      {t(kLongDepartment), t("2026-12"), n(1, "#,##0"), n(123456, "#,##0"), n(1235.06, money)},
      {t("total"), nullptr, n(6, "#,##0"), n(123856, "#,##0"), n(1241.56, money)}}}});
  EXPECT_EQ(book, expected) << book.dump();

  // The page's sections, a sheet each; the users cut by --top end with the others.
  sgtest::CliResult page = sgtest::RunCli({"log", "report", dir.path, "--settings", "s.toml", "--by", "department",
                                           "--sum", "pages", "--cost", "--top", "1", "--xlsx", "page.xlsx"}, dir.path);
  ASSERT_EQ(page.status, 0) << page.err;
  nlohmann::json sheets = ReadXlsx(dir / "page.xlsx");
  std::vector<std::string> names;
  for (const auto& s : sheets) names.push_back(s.value("name", ""));
  EXPECT_EQ(names, (std::vector<std::string>{"per month", "top users", "top printers per computer", "per department"}));
  ASSERT_EQ(sheets.size(), 4u);
  EXPECT_EQ(sheets[0]["rows"], nlohmann::json::array({
      nlohmann::json::array({t("month"), t("jobs"), t("pages"), t("cost EUR")}),
      {t("2026-11"), n(2, "#,##0"), n(200, "#,##0"), n(3.00, money)},
      {t("2026-12"), n(4, "#,##0"), n(123656, "#,##0"), n(1238.56, money)},
      {t("total"), n(6, "#,##0"), n(123856, "#,##0"), n(1241.56, money)}})) << sheets[0].dump();
  EXPECT_EQ(sheets[1]["rows"], nlohmann::json::array({
      nlohmann::json::array({t("user"), t("jobs"), t("pages"), t("cost EUR")}),
      {t("-svc-plot"), n(1, "#,##0"), n(123456, "#,##0"), n(1235.06, money)},
      {t("(others)"), n(5, "#,##0"), n(400, "#,##0"), n(6.50, money)},
      {t("total"), n(6, "#,##0"), n(123856, "#,##0"), n(1241.56, money)}})) << sheets[1].dump();
  // Neither with another form at once.
  EXPECT_EQ(sgtest::RunCli({"log", "summary", dir.path, "--csv", "--xlsx", "x.xlsx"}, dir.path).status, 2);
  EXPECT_FALSE(std::filesystem::exists(dir / "x.xlsx"));
}

TEST(LogReportTest, ThePageListsItsNotesAndRanksTheNestedTableToo) {
  sgtest::TempDir dir;
  WriteBillingLog(dir);
  // A line whose checksum is wrong: with UTC times, two notes.
  std::ofstream(dir / "Jobs.csv", std::ios::app | std::ios::binary)
      << "7,2,2,1,2026-12-08T08:00:00.000,SPOOLHOST,bob,x.plt,Wide Format,LPT1:,Admin,bond,A0,1,1,1,00000000\r\n";
  sgtest::CliResult page = sgtest::RunCli({"log", "report", dir.path, "--settings", "s.toml", "--by", "department", "--by",
                                           "month", "--sum", "pages", "--cost", "--time", "utc", "--html", "-"}, dir.path);
  ASSERT_EQ(page.status, 0) << page.err;
  EXPECT_NE(page.out.find("<ul class=\"note\">\n<li>times are UTC (written_utc), not the servers&#39; local time_stamp</li>\n"
                          "<li>left out 1 line whose checksum is wrong (torn or altered); --include-damaged counts them</li>\n"
                          "</ul>\n"), std::string::npos) << page.out;
  // By cost the long department (1,235.06) comes before 0012345 (6.50), though after it
  // in key order.
  size_t nested = page.out.find("<table id=\"table-nested\">");
  ASSERT_NE(nested, std::string::npos);
  size_t dearest = page.out.find("<tr><td>" + kLongDepartment + "</td>", nested);
  size_t cheaper = page.out.find("<tr><td>0012345</td>", nested);
  ASSERT_NE(dearest, std::string::npos) << page.out.substr(nested);
  EXPECT_LT(dearest, cheaper) << page.out.substr(nested);
}

TEST(LogReportTest, ADamagedLineCountsInItsOwnPeriodFromTheFolderAndTheDatabase) {
  sgtest::TempDir dir;
  WriteLog(dir, "alice", "plan.plt");
  // An altered March line after December's good one, and a torn line without a time.
  std::ofstream(dir / "Jobs.csv", std::ios::app | std::ios::binary)
      << "2,2,2,1,2026-03-02T08:00:00.000,SPOOLHOST,bob,x.plt,Wide Format,LPT1:,Admin,bond,A0,1,1,1,00000000\r\n"
      << "3,2,2,1,2026-0";
  ASSERT_EQ(sgtest::RunCli({"log", "import", dir.path, "--db", "sqlite:" + dir / "a.db", "--no-progress"}, dir.path).status, 1);
  struct Case {
    const char* from;
    const char* to;
    int damaged, unknown;
  };
  for (const Case& c : {Case{"2026-12", "2026-12", 1, 1}, Case{"2026-03", "2026-03", 2, 1}, Case{"", "", 2, 0}}) {
    for (const std::vector<std::string>& source : {std::vector<std::string>{dir.path},
                                                   std::vector<std::string>{"--db", "sqlite:" + dir / "a.db"}}) {
      std::vector<std::string> args = {"log", "summary", "--json"};
      args.insert(args.end(), source.begin(), source.end());
      if (*c.from != '\0') args.insert(args.end(), {"--from", c.from, "--to", c.to});
      sgtest::CliResult r = sgtest::RunCli(args, dir.path);
      nlohmann::json left = nlohmann::json::parse(r.out)["leftOut"];
      EXPECT_EQ(left["damaged"], c.damaged) << c.from << " " << source[0];
      EXPECT_EQ(left.value("timeUnknown", 0), c.unknown) << c.from << " " << source[0];
    }
  }
}

TEST(LogReportTest, SettingsMistakesAndFoldersWithoutALogAreErrorsNamingWhere) {
  sgtest::TempDir dir;
  WriteLog(dir, "alice", "plan.plt");
  struct Case {
    const char* settings;
    const char* error;  // after "spoolgate: DIR/s.toml:"
  };
  const Case cases[] = {
      {"[columns]\npages = \"value_999\"\n", "2: pages = \"value_999\": no such column of the log"},
      {"[columns]\npages = \"value_252\"\n[[price]]\njob = 0.05\n",
       "4: job: write a price as a text, \"0.05\", so that it is read exactly"},
      {"[columns]\npages = \"value_252\"\n[[price]]\njob = \"0,05\"\n", "4: job = \"0,05\": not a price (digits, one point)"},
      {"[columns]\npages = \"value_252\"\n[[price]]\nper.sheets = \"1\"\n",
       "4: per.sheets: no column of that name in [columns] or the log"},
      {"currency = \"EUR\"\n[[price]]\njob = \"1\"\n", "1: names no column: a [columns] table such as pages = "
                                                     "\"value_252\" says what the driver's columns carry"},
      {"[columns\n", "1: Error while parsing table header: expected ']', saw '\\n'"},
  };
  for (const Case& c : cases) {
    dir.Write("s.toml", c.settings);
    sgtest::CliResult r = sgtest::RunCli({"log", "summary", dir.path, "--settings", "s.toml", "--cost"}, dir.path);
    EXPECT_EQ(r.status, 2) << c.settings;
    EXPECT_EQ(r.err, std::string("spoolgate: s.toml:") + c.error + "\n") << c.settings;
  }
  // A name stands for its column in the sums and the headings; a product of two is
  // summed and priced.
  dir.Write("s.toml", "decimals = 4\n[columns]\nlength_mm = \"value_256\"\nsheets = \"value_252 * length_mm\"\n"
                      "[[price]]\njob = \"0.50\"\nper.length_mm = \"0.01\"\nper.sheets = \"0.0001\"\n");
  sgtest::CliResult named = sgtest::RunCli({"log", "summary", dir.path, "--settings", "s.toml", "--sum", "length_mm",
                                            "--sum", "sheets", "--cost", "--by", "printer", "--csv"}, dir.path);
  EXPECT_EQ(named.out, "printer,jobs,length_mm,sheets,cost\r\nWide Format,1,1189,999949,112.3849\r\n") << named.err;

  // A folder that holds no log is an error for every report and the import, which then
  // creates no database.
  sgtest::TempDir empty;
  for (const char* command : {"show", "summary", "import"}) {
    sgtest::CliResult r = sgtest::RunCli({"log", command, empty.path}, empty.path);
    EXPECT_EQ(r.status, 2) << command;
    EXPECT_EQ(r.err, "spoolgate: " + empty.path + ": no accounting log here (no <name>.seq file)\n") << command;
  }
  EXPECT_FALSE(std::filesystem::exists(empty / "spoolgate.db"));
  // The parent of the servers' folders names them; a settings name needs the settings.
  std::filesystem::create_directory(empty / "north");
  empty.Write("north/Jobs.seq", "0\r\n");
  sgtest::CliResult parent = sgtest::RunCli({"log", "summary", empty.path}, empty.path);
  EXPECT_EQ(parent.err, "spoolgate: " + empty.path + ": no accounting log here (no <name>.seq file); it holds the log "
                        "folders " + empty / "north" + ", to be given one by one\n");
  sgtest::CliResult unnamed = sgtest::RunCli({"log", "summary", dir.path, "--by", "department"}, dir.path);
  EXPECT_NE(unnamed.err.find("nor a column (names from a settings file need --settings FILE)"), std::string::npos)
      << unnamed.err;
  sgtest::CliResult unknown = sgtest::RunCli({"log", "summary", "--db", "sqlite:a.db", "--bogus", "x"}, dir.path);
  EXPECT_EQ(unknown.err, "spoolgate: unknown option --bogus of summary (--help for usage)\n");
}

TEST(LogReportTest, AFileThatLostItsHeaderLineIsLeftOutOfEveryReportAndNamed) {
  sgtest::TempDir dir;
  // A generation whose header line is gone holds jobs 1 and 2, their checksums right;
  // the current file, job 3. No field of the first two can be told for a column.
  dir.Write("Jobs.seq", "3\r\n");
  dir.Write("Jobs-20261201-080000Z.csv", JobLine(1, "alice", "a.plt") + JobLine(2, "bob", "b.plt"));
  dir.Write("Jobs.csv", kHeaderLine + JobLine(3, "carol", "c.plt"));
  const std::string lost = dir / "Jobs-20261201-080000Z.csv";
  const std::string note = "left out 2 lines of 1 file without a header line, whose columns cannot be told "
                           "(log verify names them): " + lost + "\n";

  sgtest::CliResult show = sgtest::RunCli({"log", "show", dir.path}, dir.path);
  EXPECT_EQ(show.status, 0) << show.err;
  EXPECT_EQ(show.out,
            "log      sequence time_stamp              computer        user         printer          document\n"
            "Jobs     3        2026-12-07T09:41:05.250 SPOOLHOST       carol        Wide Format      c.plt\n"
            "1 job\n" + note);
  sgtest::CliResult csv = sgtest::RunCli({"log", "show", dir.path, "--csv"}, dir.path);
  EXPECT_EQ(std::count(csv.out.begin(), csv.out.end(), '\n'), 2) << csv.out;
  EXPECT_NE(csv.out.find("\r\nJobs,SPOOLHOST,3,2,2,1,2026-12-07T09:41:05.250,carol,c.plt,"), std::string::npos)
      << csv.out;
  EXPECT_EQ(csv.err, note);
  sgtest::CliResult summary = sgtest::RunCli({"log", "summary", dir.path, "--json"}, dir.path);
  EXPECT_EQ(summary.status, 0) << summary.err;
  nlohmann::json j = nlohmann::json::parse(summary.out);
  EXPECT_EQ(j["byUser"], nlohmann::json::parse(R"({"carol": {"jobs": 1, "sums": {}}})"));
  EXPECT_EQ(j["byPrinter"], nlohmann::json::parse(R"({"Wide Format": {"jobs": 1, "sums": {}}})"));
  EXPECT_EQ(j["leftOut"], nlohmann::json({{"damaged", 0}, {"pending", 0}, {"untimed", 0},
                                          {"strayFiles", nlohmann::json::array()},
                                          {"headerless", {{"lines", 2}, {"files", {lost}}}}}));
  sgtest::CliResult text = sgtest::RunCli({"log", "summary", dir.path, "--by", "user"}, dir.path);
  EXPECT_EQ(text.out, "user   jobs\ncarol     1\ntotal     1\n" + note);

  // The import refuses the same lines, and verify names the file: the database's reports
  // count what the folder's count.
  sgtest::CliResult import =
      sgtest::RunCli({"log", "import", dir.path, "--db", "sqlite:" + dir / "a.db", "--no-progress"}, dir.path);
  EXPECT_EQ(import.status, 1);
  EXPECT_NE(import.out.find(lost + ":1 (byte 0): its file has no header line, not stored\n"), std::string::npos)
      << import.out;
  sgtest::CliResult stored = sgtest::RunCli({"log", "summary", "--db", "sqlite:" + dir / "a.db", "--json"}, dir.path);
  EXPECT_EQ(nlohmann::json::parse(stored.out)["byUser"], j["byUser"]);
  EXPECT_NE(sgtest::RunCli({"log", "verify", dir.path}, dir.path).out.find(lost + ":1 (byte 0): no header line"),
            std::string::npos);
}

TEST(LogReportTest, AReportWithAnOutputFileGoesWholeIntoItAndNeverOverAFileItReads) {
  sgtest::TempDir dir;
  WriteLog(dir, "alice", "plan.plt");
  const std::string log = sgtest::Slurp(dir / "Jobs.csv");
  sgtest::CliResult show = sgtest::RunCli({"log", "show", dir.path, "-o", "jobs.txt"}, dir.path);
  EXPECT_EQ(show.status, 0) << show.err;
  EXPECT_EQ(show.out, "");
  EXPECT_EQ(sgtest::Slurp(dir / "jobs.txt"),
            "log      sequence time_stamp              computer        user         printer          document\n"
            "Jobs     1        2026-12-07T09:41:05.250 SPOOLHOST       alice        Wide Format      plan.plt\n"
            "1 job\n");
  sgtest::CliResult summary = sgtest::RunCli({"log", "summary", dir.path, "--csv", "--output", "s.out"}, dir.path);
  EXPECT_EQ(summary.status, 0) << summary.err;
  EXPECT_EQ(sgtest::Slurp(dir / "s.out"), "group,name,jobs\r\nuser,alice,1\r\nprinter,Wide Format,1\r\ntotal,,1\r\n");

  // The log's own files, the settings and the database are inputs, by any name.
  dir.Write("s.toml", "[columns]\npages = \"value_252\"\n[[price]]\njob = \"1\"\nper.pages = \"1\"\n");
  ASSERT_EQ(sgtest::RunCli({"log", "import", dir.path, "--db", "sqlite:a.db", "--no-progress"}, dir.path).status, 0);
  const std::string database = sgtest::Slurp(dir / "a.db");
  const std::vector<std::vector<std::string>> inputs = {
      {"log", "show", dir.path, "-o", dir / "Jobs.csv"},
      {"log", "summary", dir.path, "-o", "Jobs.seq"},
      {"log", "summary", dir.path, "-o", "./Jobs.csv", "--json"},
      {"log", "report", dir.path, "--html", "Jobs.csv"},
      {"log", "show", dir.path, "--settings", "s.toml", "-o", "s.toml"},
      {"log", "summary", "--db", "sqlite:a.db", "-o", "a.db"},
  };
  for (const auto& args : inputs) {
    sgtest::CliResult r = sgtest::RunCli(args, dir.path);
    EXPECT_EQ(r.status, 2) << args[1] << " " << args[4];
    EXPECT_NE(r.err.find("is the input"), std::string::npos) << r.err;
  }
  EXPECT_EQ(sgtest::Slurp(dir / "Jobs.csv"), log);
  EXPECT_EQ(sgtest::Slurp(dir / "Jobs.seq"), "1\r\n");
  EXPECT_EQ(sgtest::Slurp(dir / "a.db"), database);

  // A listing that fails half-way (the second job's cost passes 2^64-1) leaves the file
  // as it was, and nothing beside it.
  dir.Write("Jobs.seq", "2\r\n");
  dir.Write("Jobs.csv", kHeaderLine + JobLine(1, "alice", "a.plt") + JobLine(2, "bob", "b.plt", "18446744073709551615"));
  sgtest::CliResult failed =
      sgtest::RunCli({"log", "show", dir.path, "--settings", "s.toml", "--cost", "-o", "jobs.txt"}, dir.path);
  EXPECT_EQ(failed.status, 2);
  EXPECT_NE(failed.err.find("passes"), std::string::npos) << failed.err;
  EXPECT_EQ(sgtest::Slurp(dir / "jobs.txt").substr(0, 4), "log ");
  EXPECT_NE(sgtest::Slurp(dir / "jobs.txt").find("alice        Wide Format      plan.plt\n1 job\n"), std::string::npos);
  for (const auto& item : std::filesystem::directory_iterator(dir.path)) {
    EXPECT_EQ(item.path().string().find(".part"), std::string::npos) << item.path();
  }
}

TEST(LogReportTest, WeeksNumbersAndTextsReadAlikeFromTheFolderAndTheDatabase) {
  sgtest::TempDir dir;
  // Days around the turns of years whose ISO weeks are known: a week belongs to the year
  // of its Thursday. Counts as numbers past the database's bound, with leading zeros, and
  // a surrogate where a name goes.
  struct Day {
    const char* time;
    const char* week;
    const char* pages;
  };
  const Day days[] = {
      {"2008-12-29T08:00:00.000", "2009-W01", "0012"},
      {"2010-01-03T23:59:59.999", "2009-W53", "18446744073709551615"},
      {"2020-12-31T12:00:00.000", "2020-W53", "9223372036854775807"},
      {"2021-01-03T12:00:00.000", "2020-W53", "9223372036854775808"},
      {"2024-12-30T00:00:00.000", "2025-W01", "18446744073709551616"},
      {"2026-12-31T12:00:00.000", "2026-W53", "7"},
      {"2027-01-01T12:00:00.000", "2026-W53", "0"},
      {"2027-01-04T12:00:00.000", "2027-W01", "00"},
  };
  std::string log = kHeaderLine;
  int sequence = 0;
  for (const Day& d : days) log += JobLine(++sequence, "alice", "a.plt", d.pages, d.time);
  log += JobLine(++sequence, "\xED\xA0\x80", "a.plt", "1", "2027-01-04T13:00:00.000");
  dir.Write("Jobs.seq", std::to_string(sequence) + "\r\n");
  dir.Write("Jobs.csv", log);

  // The listing writes a count as JSON writes the number, or null when it is none.
  sgtest::CliResult show = sgtest::RunCli({"log", "show", dir.path, "--json"}, dir.path);
  ASSERT_EQ(show.status, 0) << show.err;
  const char* const pages[] = {"12", "18446744073709551615", "9223372036854775807", "9223372036854775808",
                               "null", "7", "0", "0", "1"};
  nlohmann::json jobs = nlohmann::json::parse(show.out)["jobs"];
  ASSERT_EQ(jobs.size(), std::size(pages));
  for (size_t i = 0; i < jobs.size(); ++i) EXPECT_EQ(jobs[i]["fields"]["value_252"].dump(), pages[i]) << i;

  // The import stores what fits its signed 64-bit columns and UTF-8 texts.
  sgtest::CliResult import =
      sgtest::RunCli({"log", "import", dir.path, "--db", "sqlite:" + dir / "a.db", "--no-progress"}, dir.path);
  EXPECT_EQ(import.status, 1);
  for (int refused : {2, 4, 5}) {
    EXPECT_NE(import.out.find("Jobs.csv:" + std::to_string(refused + 1) + " "), std::string::npos) << import.out;
  }
  EXPECT_NE(import.out.find("Jobs.csv:10 (byte "), std::string::npos) << import.out;
  EXPECT_NE(import.out.find("user is not UTF-8 text"), std::string::npos) << import.out;
  EXPECT_NE(import.out.find("value_252 '9223372036854775808' is not a number"), std::string::npos) << import.out;
  EXPECT_NE(import.out.find(": 5 new, 0 already stored, 4 not stored"), std::string::npos) << import.out;

  // Every week of the folder, and of the database, which holds the lines it stored.
  const std::map<std::string, int> folderWeeks = {
      {"2009-W01", 1}, {"2009-W53", 1}, {"2020-W53", 2}, {"2025-W01", 1}, {"2026-W53", 2}, {"2027-W01", 2}};
  const std::map<std::string, int> storedWeeks = {
      {"2009-W01", 1}, {"2020-W53", 1}, {"2026-W53", 2}, {"2027-W01", 1}};
  for (const auto& [source, expected] :
       {std::pair{std::vector<std::string>{dir.path}, folderWeeks},
        std::pair{std::vector<std::string>{"--db", "sqlite:" + dir / "a.db"}, storedWeeks}}) {
    std::vector<std::string> args = {"log", "summary", "--by", "week", "--json"};
    args.insert(args.end(), source.begin(), source.end());
    sgtest::CliResult r = sgtest::RunCli(args, dir.path);
    ASSERT_EQ(r.status, 0) << r.err;
    std::map<std::string, int> weeks;
    nlohmann::json summary = nlohmann::json::parse(r.out);
    for (const auto& group : summary["groups"]) weeks[group["key"]["week"]] = group["jobs"];
    EXPECT_EQ(weeks, expected) << source[0];
  }
}

}  // namespace
