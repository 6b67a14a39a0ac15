// SPDX-License-Identifier: Apache-2.0
// The log file reader that show, summary, verify and import stand on: records that
// continue past an LF inside quotes, wherever the reader's buffer ends; and what the
// reports make of names a print client chose, of the site's settings, of a wrong folder.
#include "tests/tools/cli_runner.h"
#include "tools/logread/csv_lines.h"
#include "tools/logread/log_folder.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>

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

// A log of one job written by hand, its checksum right: user and document as CSV fields.
void WriteLog(const sgtest::TempDir& dir, const std::string& user, const std::string& document) {
  std::string line = "1,2,2,1,2026-12-07T09:41:05.250,SPOOLHOST," + user + "," + document +
                     ",Wide Format,LPT1:,Admin,bond,A0,1,841,1189";
  char crc[16];
  std::snprintf(crc, sizeof crc, ",%08X", spoolgate::Crc32(line));
  dir.Write("Jobs.seq", "1\r\n");
  dir.Write("Jobs.csv",
            "sequence,level,format,content_flags,time_stamp,computer,user,document,printer,port,text_200,"
            "text_216,text_240,value_248,value_252,value_256,crc32\r\n" + line + crc + "\r\n");
}

TEST(LogReportTest, NamesAClientChoseCannotDriveTheTerminalOrTheSpreadsheet) {
  sgtest::TempDir dir;
  // A document name that would clear the screen and break the row, a user name a
  // spreadsheet would run as a formula.
  WriteLog(dir, "\"=HYPERLINK(\"\"x\"\")\"", "\"plan\x1B[2J\r\nv2\xC2\x9B.plt\"");
  sgtest::CliResult text = sgtest::RunCli({"log", "show", dir.path}, dir.path);
  ASSERT_EQ(text.status, 0) << text.err;
  EXPECT_EQ(text.out.find('\x1B'), std::string::npos) << text.out;
  EXPECT_EQ(text.out.find("\xC2\x9B"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find(" plan\\x1B[2J\\x0D\\x0Av2\\u009B.plt\n"), std::string::npos) << text.out;
  EXPECT_EQ(std::count(text.out.begin(), text.out.end(), '\n'), 3) << text.out;
  sgtest::CliResult csv = sgtest::RunCli({"log", "summary", dir.path, "--csv"}, dir.path);
  ASSERT_EQ(csv.status, 0) << csv.err;
  EXPECT_EQ(csv.out, "group,name,jobs\r\nuser,\"'=HYPERLINK(\"\"x\"\")\",1\r\nprinter,Wide Format,1\r\ntotal,,1\r\n");
  sgtest::CliResult json = sgtest::RunCli({"log", "show", dir.path, "--json"}, dir.path);
  ASSERT_EQ(json.status, 0) << json.err;
  EXPECT_EQ(nlohmann::json::parse(json.out)["jobs"][0]["fields"]["document"], "plan\x1B[2J\r\nv2\xC2\x9B.plt");
  // A byte that is not UTF-8 is read as Latin-1 in every listing.
  WriteLog(dir, "ren\xE9", "plan.plt");
  for (const char* format : {"--json", "--csv"}) {
    sgtest::CliResult listed = sgtest::RunCli({"log", "show", dir.path, format}, dir.path);
    ASSERT_EQ(listed.status, 0) << listed.err;
    EXPECT_NE(listed.out.find("ren\xC3\xA9"), std::string::npos) << listed.out;
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
  // A name stands for its column in the sums and the headings.
  dir.Write("s.toml", "[columns]\nlength_mm = \"value_256\"\n[[price]]\njob = \"0.50\"\nper.length_mm = \"0.01\"\n");
  sgtest::CliResult named = sgtest::RunCli({"log", "summary", dir.path, "--settings", "s.toml", "--sum", "length_mm",
                                            "--cost", "--by", "printer", "--csv"}, dir.path);
  EXPECT_EQ(named.out, "printer,jobs,length_mm,cost\r\nWide Format,1,1189,12.39\r\n") << named.err;

  // A folder that holds no log is an error for every report and the import, which then
  // creates no database.
  sgtest::TempDir empty;
  for (const char* command : {"show", "summary", "import"}) {
    sgtest::CliResult r = sgtest::RunCli({"log", command, empty.path}, empty.path);
    EXPECT_EQ(r.status, 2) << command;
    EXPECT_EQ(r.err, "spoolgate: " + empty.path + ": no accounting log here (no <name>.seq file)\n") << command;
  }
  EXPECT_FALSE(std::filesystem::exists(empty / "spoolgate.db"));
}

}  // namespace
