// SPDX-License-Identifier: Apache-2.0
// What the reports print, judged from outside: costs, --top and --rank, the formula guard
// of every cell and the import's exit statuses, each against a table worked out by hand
// or a small model written here, never against the code that makes the report (a folder
// compared with the database cannot see a fault in what both share).
#include "tests/tools/cli_runner.h"
#include "tests/tools/hand_log.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <string>
#include <vector>

namespace {

using sgtest::CliResult;
using sgtest::HandJob;
using sgtest::RunCli;
using sgtest::TempDir;

HandJob Job(const std::string& user, const std::string& printer, const std::string& pages) {
  HandJob j;
  j.user = user, j.printer = printer, j.pages = pages;
  return j;
}

// The report's settings: a price for every job, a dearer one on the plotter.
const char* const kSettings =
    "currency = \"EUR\"\ndecimals = 2\n[columns]\npages = \"value_252\"\n"
    "[[price]]\njob = \"0.25\"\n"
    "[[price]]\nprinter = \"Plotter\"\njob = \"1.00\"\nper.pages = \"0.05\"\n";

// Seven jobs whose totals differ by each rank, worked out by hand (cost = 0.25 a job on
// Wide; 1.00 + 0.05 a page on the Plotter):
//   user   jobs pages cost      printer  jobs pages cost
//   alice   2    13   0.50      Plotter   3    7    3.35
//   bob     3     6   2.55      Wide      4   20    1.00
//   carol   1     1   1.05
//   dave    1     7   0.25      all       7   27    4.35
std::vector<HandJob> Fleet() {
  return {Job("alice", "Wide", "3"),  Job("alice", "Wide", "10"), Job("bob", "Plotter", "2"),
          Job("carol", "Plotter", "1"), Job("bob", "Wide", "0"),    Job("dave", "Wide", "7"),
          Job("bob", "Plotter", "4")};
}

TEST(ReportValues, CostsAreDecimalTextsWithEveryPlaceInEveryForm) {
  TempDir dir;
  struct Case {
    int decimals;
    const char* job;
    const char* perPage;
    const char* pages;
    const char* cost;  // worked out by hand
    const char* grouped = nullptr;  // the text forms' spelling, where it has thousands
  };
  const Case cases[] = {
      {2, "0.25", "0", "3", "0.25"},        {2, "0.05", "0", "3", "0.05"},   {2, "0", "0", "3", "0.00"},
      {2, "0.5", "0", "3", "0.50"},         {2, "12.5", "0", "3", "12.50"},  {2, "0.01", "0.02", "4", "0.09"},
      {3, "0.007", "0", "3", "0.007"},      {0, "7", "0", "3", "7"},         {6, "0.000001", "0", "3", "0.000001"},
      {1, "0", "0.1", "12", "1.2"},         {2, "3", "0", "3", "3.00"},
      // A whole-number price is whole units: 2^64-1 cents is the most a cost may be.
      {2, "184467440737095516", "0", "0", "184467440737095516.00", "184,467,440,737,095,516.00"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.job) + " + " + c.perPage + " x " + c.pages + ", " + std::to_string(c.decimals) +
                 " decimals");
    sgtest::WriteHandLog(dir, {Job("alice", "Wide", c.pages)});
    dir.Write("s.toml", "currency = \"EUR\"\ndecimals = " + std::to_string(c.decimals) +
                            "\n[columns]\npages = \"value_252\"\n[[price]]\njob = \"" + c.job + "\"\nper.pages = \"" +
                            c.perPage + "\"\n");
    const std::string cost = c.cost;
    const std::string grouped = c.grouped != nullptr ? c.grouped : c.cost;
    auto run = [&](std::vector<std::string> args) {
      args.insert(args.end(), {dir.path, "--settings", "s.toml", "--cost"});
      CliResult r = RunCli(args, dir.path);
      EXPECT_EQ(r.status, 0) << r.err;
      return r.out;
    };
    EXPECT_EQ(run({"log", "summary", "--by", "user", "--csv", "--total"}),
              "user,jobs,cost EUR\r\nalice,1," + cost + "\r\ntotal,1," + cost + "\r\n");
    nlohmann::json summary = nlohmann::json::parse(run({"log", "summary", "--by", "user", "--json"}));
    EXPECT_EQ(summary["groups"][0]["cost"], cost);
    // The text's columns are right-aligned: the cost ends the row.
    std::string table = run({"log", "summary", "--by", "user"});
    EXPECT_NE(table.find(" " + grouped + "\ntotal "), std::string::npos) << table;
    EXPECT_NE(run({"log", "summary"}).find("  cost " + grouped + " EUR\n"), std::string::npos);
    std::string listed = run({"log", "show", "--csv"});
    EXPECT_EQ(listed.substr(listed.size() - cost.size() - 3), "," + cost + "\r\n") << listed;
    EXPECT_EQ(nlohmann::json::parse(run({"log", "show", "--json"}))["jobs"][0]["cost"], cost);
    std::string text = run({"log", "show"});
    EXPECT_NE(text.find("plan.plt  " + grouped + "\n1 job\n"), std::string::npos) << text;
  }
  // Of two prices that name as much of a job, the first in the file applies.
  sgtest::WriteHandLog(dir, {Job("alice", "Wide", "3")});
  dir.Write("s.toml", "decimals = 2\n[columns]\npages = \"value_252\"\n[[price]]\ncomputer = \"SPOOLHOST\"\n"
                      "job = \"0.30\"\n[[price]]\nprinter = \"wide\"\njob = \"0.70\"\n[[price]]\njob = \"0.10\"\n");
  CliResult tie = RunCli({"log", "summary", dir.path, "--settings", "s.toml", "--cost", "--csv"}, dir.path);
  EXPECT_EQ(tie.out, "group,name,jobs,cost\r\nuser,alice,1,0.30\r\nprinter,Wide,1,0.30\r\ntotal,,1,0.30\r\n");
  // One cent more than 2^64-1 cents is refused, not wrapped around.
  dir.Write("s.toml", "decimals = 2\n[columns]\npages = \"value_252\"\n[[price]]\njob = 184467440737095517\n");
  CliResult past = RunCli({"log", "summary", dir.path, "--settings", "s.toml", "--cost"}, dir.path);
  EXPECT_EQ(past.status, 2) << past.out;
  EXPECT_EQ(past.err, "spoolgate: s.toml:5: job: too large\n");
}

TEST(ReportValues, TopAndRankKeepTheRowsOfAHandTableFromTheFolderAndTheDatabase) {
  TempDir dir;
  sgtest::WriteHandLog(dir, Fleet());
  dir.Write("s.toml", kSettings);
  ASSERT_EQ(RunCli({"log", "import", dir.path, "--db", "sqlite:" + dir / "a.db", "--no-progress"}, dir.path).status, 0);
  struct Case {
    std::vector<std::string> args;
    const char* csv;  // the rows of the hand table above, in the rank's order
  };
  const Case cases[] = {
      // Without --rank and --top: key order.
      {{"--by", "user"}, "user,jobs\r\nalice,2\r\nbob,3\r\ncarol,1\r\ndave,1\r\n"},
      // By jobs, the largest first; ties in key order.
      {{"--by", "user", "--rank", "jobs"}, "user,jobs\r\nbob,3\r\nalice,2\r\ncarol,1\r\ndave,1\r\n"},
      {{"--by", "user", "--top", "1"}, "user,jobs\r\nbob,3\r\n"},
      {{"--by", "user", "--rank", "jobs", "--top", "2"}, "user,jobs\r\nbob,3\r\nalice,2\r\n"},
      // The first --sum ranks by default, the cost with --cost.
      {{"--by", "user", "--sum", "pages", "--top", "2"}, "user,jobs,pages\r\nalice,2,13\r\ndave,1,7\r\n"},
      {{"--by", "user", "--cost", "--top", "2"}, "user,jobs,cost EUR\r\nbob,3,2.55\r\ncarol,1,1.05\r\n"},
      {{"--by", "user", "--cost", "--sum", "pages", "--rank", "pages", "--top", "1"},
       "user,jobs,pages,cost EUR\r\nalice,2,13,0.50\r\n"},
      {{"--by", "user", "--cost", "--rank", "cost", "--top", "9"},
       "user,jobs,cost EUR\r\nbob,3,2.55\r\ncarol,1,1.05\r\nalice,2,0.50\r\ndave,1,0.25\r\n"},
      // Within each printer: the Plotter's two, and of Wide's three (alice 13, dave 7,
      // bob 0) the first two.
      {{"--by", "printer", "--by", "user", "--sum", "pages", "--rank", "pages", "--top", "2"},
       "printer,user,jobs,pages\r\nPlotter,bob,2,6\r\nPlotter,carol,1,1\r\nWide,alice,2,13\r\nWide,dave,1,7\r\n"},
      {{"--by", "printer", "--by", "user", "--top", "1"}, "printer,user,jobs\r\nPlotter,bob,2\r\nWide,alice,2\r\n"},
      // The default summary: each list cut, the total whole.
      {{"--top", "1"}, "group,name,jobs\r\nuser,bob,3\r\nprinter,Wide,4\r\ntotal,,7\r\n"},
      {{"--cost", "--top", "1"}, "group,name,jobs,cost EUR\r\nuser,bob,3,2.55\r\nprinter,Plotter,3,3.35\r\ntotal,,7,4.35\r\n"},
  };
  for (const Case& c : cases) {
    for (const std::vector<std::string>& source :
         {std::vector<std::string>{dir.path}, std::vector<std::string>{"--db", "sqlite:" + dir / "a.db"}}) {
      std::vector<std::string> args = {"log", "summary", "--settings", "s.toml", "--csv"};
      args.insert(args.end(), source.begin(), source.end());
      args.insert(args.end(), c.args.begin(), c.args.end());
      CliResult r = RunCli(args, dir.path);
      std::string shown;
      for (const std::string& a : c.args) shown += a + " ";
      EXPECT_EQ(r.status, 0) << shown << r.err;
      EXPECT_EQ(r.out, c.csv) << shown << source[0];
    }
  }
  // --top 1 keeps one row in the JSON and the text too.
  CliResult json = RunCli({"log", "summary", dir.path, "--by", "user", "--top", "1", "--json"}, dir.path);
  ASSERT_EQ(json.status, 0) << json.err;
  nlohmann::json groups = nlohmann::json::parse(json.out)["groups"];
  ASSERT_EQ(groups.size(), 1u) << json.out;
  EXPECT_EQ(groups[0]["key"]["user"], "bob");
  CliResult text = RunCli({"log", "summary", dir.path, "--by", "user", "--top", "1"}, dir.path);
  EXPECT_NE(text.out.find("bob"), std::string::npos) << text.out;
  EXPECT_EQ(text.out.find("alice"), std::string::npos) << text.out;
}

TEST(ReportValues, TimeKeysAndRangesFollowTheCalendar) {
  TempDir dir;
  // ISO weeks worked out by hand: a week is its Thursday's year's.
  struct Day {
    const char* time;
    const char* week;
  };
  const Day days[] = {
      {"2025-12-28T23:59:59.999", "2025-W52"},  // a Sunday
      {"2025-12-29T00:00:00.000", "2026-W01"},  // Monday; its Thursday is 2026-01-01
      {"2026-12-07T09:41:05.250", "2026-W50"},
      {"2021-01-01T12:00:00.000", "2020-W53"},  // a Friday
      {"2027-01-03T12:00:00.000", "2026-W53"},  // a Sunday
  };
  std::vector<HandJob> jobs;
  for (const Day& d : days) {
    HandJob j;
    j.time = d.time;
    jobs.push_back(j);
  }
  sgtest::WriteHandLog(dir, jobs);
  CliResult weeks = RunCli({"log", "summary", dir.path, "--by", "week", "--csv"}, dir.path);
  EXPECT_EQ(weeks.out, "week,jobs\r\n2020-W53,1\r\n2025-W52,1\r\n2026-W01,1\r\n2026-W50,1\r\n2026-W53,1\r\n");
  // A range holds its first and its last millisecond.
  struct Range {
    const char* from;
    const char* to;
    const char* csv;
  };
  const Range ranges[] = {
      {"2025-12-29", "2025-12-29", "day,jobs\r\n2025-12-29,1\r\n"},
      {"2025-12-28", "2025-12-28", "day,jobs\r\n2025-12-28,1\r\n"},
      {"2025-12", "2026-12", "day,jobs\r\n2025-12-28,1\r\n2025-12-29,1\r\n2026-12-07,1\r\n"},
  };
  for (const Range& r : ranges) {
    CliResult got = RunCli({"log", "summary", dir.path, "--by", "day", "--csv", "--from", r.from, "--to", r.to}, dir.path);
    EXPECT_EQ(got.out, r.csv) << r.from << " " << r.to << got.err;
  }
}

TEST(ReportValues, SumsReachTheirBoundAndPrintersTheirComputers) {
  TempDir dir;
  // 2^64-2 and 1 make 2^64-1, the largest sum; one more is refused.
  sgtest::WriteHandLog(dir, {Job("alice", "Wide", "18446744073709551614"), Job("alice", "Wide", "1")});
  CliResult most = RunCli({"log", "summary", dir.path, "--by", "user", "--sum", "value_252", "--csv"}, dir.path);
  EXPECT_EQ(most.out, "user,jobs,value_252\r\nalice,2,18446744073709551615\r\n") << most.err;
  sgtest::WriteHandLog(dir, {Job("alice", "Wide", "18446744073709551615"), Job("alice", "Wide", "1")});
  CliResult past = RunCli({"log", "summary", dir.path, "--by", "user", "--sum", "value_252", "--csv"}, dir.path);
  EXPECT_EQ(past.status, 2);
  EXPECT_EQ(past.err, "spoolgate: --sum value_252: the sum passes 18446744073709551615\n");

  // A printer is named by its computer once the jobs come from more than one.
  HandJob north = Job("alice", "Wide", "1"), south = Job("bob", "Wide", "1");
  north.computer = "NORTH", south.computer = "SOUTH";
  sgtest::WriteHandLog(dir, {north, south});
  CliResult two = RunCli({"log", "summary", dir.path, "--by", "printer", "--csv"}, dir.path);
  EXPECT_EQ(two.out, "printer,jobs\r\n\\\\NORTH\\Wide,1\r\n\\\\SOUTH\\Wide,1\r\n");
  sgtest::WriteHandLog(dir, {north, north});
  CliResult one = RunCli({"log", "summary", dir.path, "--by", "printer", "--csv"}, dir.path);
  EXPECT_EQ(one.out, "printer,jobs\r\nWide,2\r\n");
}

TEST(ReportValues, InputAtItsEdgesIsReadAsTheDocsSay) {
  TempDir dir;
  HandJob lineFeed = Job(sgtest::Quoted("a\nb"), "Wide", "18446744073709551616");  // 2^64: no number
  HandJob hour24 = Job("c", "Wide", "5");
  hour24.time = "2026-12-07T24:00:00.000";  // no time of day
  HandJob later = Job("d", "Wide", "1");
  later.time = "2026-12-08T10:00:00.000";
  sgtest::WriteHandLog(dir, {lineFeed, hour24, later});
  // A line feed in a name keeps the name in its quoted cell.
  CliResult csv = RunCli({"log", "summary", dir.path, "--by", "user", "--sum", "value_252", "--csv"}, dir.path);
  EXPECT_EQ(csv.out, "user,jobs,value_252\r\n\"a\nb\",1,0\r\nc,1,5\r\nd,1,1\r\n");
  EXPECT_EQ(csv.err, "spoolgate: warning: 1 values were not numbers and count as 0\n");
  // Within 2026-12-07 lies only the first job; the one at hour 24 has no time and is
  // left out and counted.
  CliResult day = RunCli({"log", "summary", dir.path, "--from", "2026-12-07", "--to", "2026-12-07", "--json"}, dir.path);
  nlohmann::json j = nlohmann::json::parse(day.out);
  EXPECT_EQ(j["total"]["jobs"], 1) << day.out;
  EXPECT_EQ(j["leftOut"]["untimed"], 1) << day.out;
  for (const char* month : {"2026-13", "2026-00"}) {
    CliResult bad = RunCli({"log", "summary", dir.path, "--from", month}, dir.path);
    EXPECT_EQ(bad.status, 2) << month;
    EXPECT_EQ(bad.err, std::string("spoolgate: --from ") + month + ": no month " + std::to_string(std::stoi(month + 5)) +
                           "\n");
  }
}

// The guard, as spreadsheets need it: a cell starting with = + - @, a tab or a CR is led
// by an apostrophe; then RFC 4180 quoting.
std::string GuardedCell(const std::string& cell) {
  std::string out = !cell.empty() && std::string("=+-@\t\r").find(cell[0]) != std::string::npos ? "'" + cell : cell;
  if (out.find_first_of(",\"\r\n") == std::string::npos) return out;
  std::string quoted = "\"";
  for (char c : out) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

// The terminal's form: control characters as \xHH.
std::string TerminalText(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (static_cast<unsigned char>(c) < 0x20) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned>(c));
      out += hex;
    } else {
      out += c;
    }
  }
  return out;
}

TEST(ReportValues, EveryFormulaStartIsGuardedInTheCsvAndShownAsItIsElsewhere) {
  TempDir dir;
  // Names in byte order, one for each character a spreadsheet reads as a formula's start,
  // and a plain one.
  const std::vector<std::string> users = {"\tbob", "\rcarl", "+1", "-1", "=1+2", "@SUM(1+1)", "dave"};
  std::vector<HandJob> jobs;
  for (const std::string& u : users) {
    HandJob j = Job(sgtest::Quoted(u), "Wide", "5");
    j.document = sgtest::Quoted(u + ".plt");
    jobs.push_back(j);
  }
  sgtest::WriteHandLog(dir, jobs);

  std::string expected = "user,jobs\r\n";
  for (const std::string& u : users) expected += GuardedCell(u) + ",1\r\n";
  CliResult csv = RunCli({"log", "summary", dir.path, "--by", "user", "--csv"}, dir.path);
  EXPECT_EQ(csv.out, expected);
  CliResult listing = RunCli({"log", "show", dir.path, "--csv"}, dir.path);
  CliResult text = RunCli({"log", "show", dir.path}, dir.path);
  CliResult summaryText = RunCli({"log", "summary", dir.path, "--by", "user"}, dir.path);
  nlohmann::json json = nlohmann::json::parse(RunCli({"log", "show", dir.path, "--json"}, dir.path).out)["jobs"];
  nlohmann::json groups =
      nlohmann::json::parse(RunCli({"log", "summary", dir.path, "--by", "user", "--json"}, dir.path).out)["groups"];
  ASSERT_EQ(json.size(), users.size());
  ASSERT_EQ(groups.size(), users.size());
  for (size_t i = 0; i < users.size(); ++i) {
    const std::string& u = users[i];
    SCOPED_TRACE(TerminalText(u));
    EXPECT_NE(listing.out.find(",2026-12-07T09:41:05.250," + GuardedCell(u) + "," + GuardedCell(u + ".plt") +
                               ",Wide,"),
              std::string::npos)
        << listing.out;
    // Neither the terminal nor JSON is a spreadsheet: no apostrophe there.
    EXPECT_NE(text.out.find(" " + TerminalText(u) + " "), std::string::npos) << text.out;
    EXPECT_NE(text.out.find(" " + TerminalText(u + ".plt") + "\n"), std::string::npos) << text.out;
    EXPECT_NE(summaryText.out.find("\n" + TerminalText(u) + " "), std::string::npos) << summaryText.out;
    EXPECT_EQ(json[i]["fields"]["user"], u);
    EXPECT_EQ(json[i]["fields"]["document"], u + ".plt");
    EXPECT_EQ(groups[i]["key"]["user"], u);
  }

  // A printable line takes the listing's quick path, which looks at each field's first
  // byte 16 bytes at a time and byte by byte in the rest: one formula cell a line, at
  // every offset from a step's start, as a text early in the line and as the number
  // right before the checksum (which the byte-wise rest reaches).
  for (const char* start : {"=", "+", "-", "@"}) {
    jobs.clear();
    for (size_t pad = 1; pad <= 16; ++pad) {
      HandJob named = Job(std::string(pad, 'u'), "Wide", "7"), number = named;
      named.document = std::string(start) + "plan";
      number.length = std::string(start) + "1";
      jobs.push_back(named);
      jobs.push_back(number);
    }
    sgtest::WriteHandLog(dir, jobs);
    CliResult quick = RunCli({"log", "show", dir.path, "--csv"}, dir.path);
    ASSERT_EQ(quick.status, 0) << quick.err;
    for (size_t pad = 1; pad <= 16; ++pad) {
      const std::string user = "," + std::string(pad, 'u') + ",";
      EXPECT_NE(quick.out.find(user + "'" + start + "plan,Wide,LPT1:,Admin,bond,A0,1,7,1189,"), std::string::npos)
          << start << " after " << pad << "\n" << quick.out;
      EXPECT_NE(quick.out.find(user + "plan.plt,Wide,LPT1:,Admin,bond,A0,1,7,'" + start + "1,"), std::string::npos)
          << start << " after " << pad << "\n" << quick.out;
    }
  }
}

TEST(ReportValues, TheImportSaysByItsStatusWhetherEveryLineWasStored) {
  const std::string good = sgtest::HandLine(Job("alice", "Wide", "3"), "1");
  std::string altered = sgtest::HandLine(Job("bob", "Wide", "3"), "2");
  altered.replace(altered.size() - 8, 8, "00000000");
  // A pending line waiting for its number: the sequence field empty.
  const std::string waiting = sgtest::HandLine(Job("carol", "Wide", "3"), "");
  struct Case {
    const char* what;
    std::vector<std::pair<std::string, std::string>> files;
    int status;  // as docs/accounting-database.md promises
  };
  const std::string header = sgtest::kHandLogHeader;
  const Case cases[] = {
      {"every line stored", {{"Jobs.seq", "1\r\n"}, {"Jobs.csv", header + good + "\r\n"}}, 0},
      {"a line waits for its number",
       {{"Jobs.seq", "1\r\n"}, {"Jobs.csv", header + good + "\r\n"}, {"Jobs.pending", header + waiting + "\r\n"}},
       0},
      {"an altered line", {{"Jobs.seq", "2\r\n"}, {"Jobs.csv", header + good + "\r\n" + altered + "\r\n"}}, 1},
      {"a torn line", {{"Jobs.seq", "2\r\n"}, {"Jobs.csv", header + good + "\r\n" + good.substr(0, 20)}}, 1},
      // A log whose .seq is gone is found by no reader: named, and the status says so.
      {"a log without its .seq",
       {{"Jobs.seq", "1\r\n"}, {"Jobs.csv", header + good + "\r\n"}, {"Other.csv", header + good + "\r\n"}}, 1},
      {"a pending file without its .seq",
       {{"Jobs.seq", "1\r\n"}, {"Jobs.csv", header + good + "\r\n"}, {"Other.pending", header + waiting + "\r\n"}}, 1},
      {"no log at all", {{"Jobs.csv", header + good + "\r\n"}}, 2},
  };
  // verify says the same by its status, in JSON too.
  for (const char* form : {"--json", ""}) {
    TempDir dir;
    dir.Write("Jobs.seq", "2\r\n");
    dir.Write("Jobs.csv", header + good + "\r\n" + altered + "\r\n");
    std::vector<std::string> args = {"log", "verify", dir.path};
    if (*form != '\0') args.push_back(form);
    EXPECT_EQ(RunCli(args, dir.path).status, 1) << form;
    dir.Write("Jobs.seq", "1\r\n");
    dir.Write("Jobs.csv", header + good + "\r\n");
    EXPECT_EQ(RunCli(args, dir.path).status, 0) << form;
  }
  // The files of a log are read oldest first, also when no line of theirs can be trusted
  // for its number: a generation before the current file.
  {
    TempDir dir;
    dir.Write("Jobs.seq", "2\r\n");
    dir.Write("Jobs-20261207-094105Z.csv", header + altered + "\r\n");
    std::string later = sgtest::HandLine(Job("bob", "Wide", "4"), "3");
    later.replace(later.size() - 8, 8, "00000000");
    dir.Write("Jobs.csv", header + later + "\r\n");
    CliResult verified = RunCli({"log", "verify", dir.path}, dir.path);
    EXPECT_EQ(verified.status, 1);
    size_t generation = verified.out.find("Jobs-20261207-094105Z.csv:2 "), current = verified.out.find("Jobs.csv:2 ");
    ASSERT_NE(generation, std::string::npos) << verified.out;
    ASSERT_NE(current, std::string::npos) << verified.out;
    EXPECT_LT(generation, current) << verified.out;
  }
  // A line stored before under another checksum (a log numbered again from 1 after its
  // files were deleted) clashes: kept out, and the status says so.
  {
    TempDir dir;
    dir.Write("Jobs.seq", "1\r\n");
    dir.Write("Jobs.csv", header + good + "\r\n");
    const std::vector<std::string> import = {"log", "import", dir.path, "--db", "sqlite:" + dir / "a.db", "--no-progress"};
    ASSERT_EQ(RunCli(import, dir.path).status, 0);
    dir.Write("Jobs.csv", header + sgtest::HandLine(Job("zoe", "Wide", "9"), "1") + "\r\n");
    CliResult clash = RunCli(import, dir.path);
    EXPECT_EQ(clash.status, 1) << clash.out;
    EXPECT_NE(clash.out.find("is stored with another checksum"), std::string::npos) << clash.out;
  }
  for (const Case& c : cases) {
    TempDir dir;
    for (const auto& [name, bytes] : c.files) dir.Write(name, bytes);
    CliResult r = RunCli({"log", "import", dir.path, "--db", "sqlite:" + dir / "a.db", "--no-progress"}, dir.path);
    EXPECT_EQ(r.status, c.status) << c.what << "\n" << r.out << r.err;
    if (c.status == 1 && std::string(c.what).find(".seq") != std::string::npos) {
      EXPECT_NE((r.out + r.err).find("belongs to no log (no .seq file beside it), not read"), std::string::npos)
          << r.out << r.err;
    }
    // Imported again, nothing new is stored and the verdict stays.
    if (c.status != 2) {
      CliResult again = RunCli({"log", "import", dir.path, "--db", "sqlite:" + dir / "a.db", "--no-progress"}, dir.path);
      EXPECT_EQ(again.status, c.status) << c.what << " (again)\n" << again.out << again.err;
    } else {
      EXPECT_FALSE(std::filesystem::exists(dir / "a.db")) << c.what;
    }
  }
}

}  // namespace
