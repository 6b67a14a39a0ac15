// The accounting database: three print servers' logs, written by the logging library
// with rotations and a torn line, imported by the command into SQLite and PostgreSQL
// (the server named by SPOOLGATE_TEST_PG_URL; scripts/test.sh starts one).
#include "platform/host/host_control.h"
#include "tests/logger/log_support.h"
#include "tests/tools/cli_runner.h"
#include "tools/log_db_backend.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using sgtest::RunCli;

constexpr int kJobs = 10000;      // per server
constexpr int kSnapshot = 9000;   // jobs when the first import reads the folders
constexpr int kTornAfter = 5000;  // a crash tears a line after this job
constexpr int kPending = 2;       // the last jobs, waiting in the pending file
constexpr DWORD kMaxKib = 512;    // a rotation every ~900 lines
const char* const kServers[] = {"PRINT-NORTH", "PRINT-SOUTH", "PRINT-EAST"};

// The three servers' log folders: snapshot[i] as the folder was after kSnapshot jobs,
// full[i] after kJobs (with at least one rotation between, the last kPending jobs in
// the pending file). Written once per build tree
// and kept there (LOG_FLEET_DIR), since every test runs in a process of its own.
struct Fleet {
  std::vector<std::string> snapshot, full;
};

void WriteFleet(const std::string& target) {
  // The library flushes every line; in memory that costs nothing.
  std::string pattern = (fs::exists("/dev/shm") ? std::string("/dev/shm") : fs::temp_directory_path().string()) +
                        "/spoolgate-fleet-XXXXXX";
  std::string work = mkdtemp(pattern.data());
  HostReset(work + "/root");
  for (const char* server : kServers) {
    std::string windows = std::string("C:\\Logs\\") + server;
    std::string host = work + "/root/C/Logs/" + server;
    std::string printer = std::string("Wide Format ") + server;
    ASSERT_EQ(lgtest::WriteJobs(windows, server, printer, 1, kTornAfter, kMaxKib), kTornAfter);
    // A crash in the middle of an append: the fragment stays without its line end.
    std::ofstream(host + "/Jobs.csv", std::ios::app | std::ios::binary) << "5001,2,2,1,2026-12-0";
    ASSERT_EQ(lgtest::WriteJobs(windows, server, printer, kTornAfter + 1, kSnapshot - kTornAfter, kMaxKib),
              kSnapshot - kTornAfter);
    fs::create_directories(work + "/fleet/snapshot/" + server);
    fs::copy(host, work + "/fleet/snapshot/" + server, fs::copy_options::recursive);
    ASSERT_EQ(lgtest::WriteJobs(windows, server, printer, kSnapshot + 1, kJobs - kSnapshot - kPending, kMaxKib),
              kJobs - kSnapshot - kPending);
    // The last jobs find the log held open without write sharing, as a spreadsheet
    // holds it: they wait in the pending file, numbered.
    std::u16string log = u"C:\\Logs\\" + std::u16string(server, server + std::strlen(server)) + u"\\Jobs.csv";
    HANDLE held = CreateFileW(reinterpret_cast<LPCWSTR>(log.c_str()), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(lgtest::WriteJobs(windows, server, printer, kJobs - kPending + 1, kPending, kMaxKib), 0);
    CloseHandle(held);
    ASSERT_EQ(lgtest::ParseLog(sgtest::Slurp(host + "/Jobs.pending")).lines.size(), size_t(kPending));
    fs::create_directories(work + "/fleet/full/" + server);
    fs::copy(host, work + "/fleet/full/" + server, fs::copy_options::recursive);
  }
  fs::copy(work + "/fleet", target + ".part", fs::copy_options::recursive);
  fs::rename(target + ".part", target);
  fs::remove_all(work);
}

const Fleet& TheFleet() {
  static Fleet fleet = [] {
    std::string target = LOG_FLEET_DIR;
    if (!fs::exists(target)) {
      // Test processes running in parallel wait for the one that writes the logs.
      int lock = open((target + ".lock").c_str(), O_CREAT | O_RDWR, 0644);
      flock(lock, LOCK_EX);
      if (!fs::exists(target)) {
        fs::remove_all(target + ".part");
        WriteFleet(target);
      }
      close(lock);
    }
    Fleet f;
    for (const char* server : kServers) {
      f.snapshot.push_back(target + "/snapshot/" + server);
      f.full.push_back(target + "/full/" + server);
    }
    return f;
  }();
  return fleet;
}

// "12,345 new" in an import's report.
uint64_t NewLines(const std::string& report) {
  std::smatch m;
  if (!std::regex_search(report, m, std::regex(R"(([0-9,]+) new)"))) return UINT64_MAX;
  std::string digits = std::regex_replace(m[1].str(), std::regex(","), "");
  return std::stoull(digits);
}

// Runs the import, summary and show commands against one database of each kind.
class LogDatabaseTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    if (std::string(GetParam()) == "sqlite") {
      url_ = "sqlite:" + dir_ / "accounting.db";
      return;
    }
    const char* server = std::getenv("SPOOLGATE_TEST_PG_URL");
    if (server == nullptr || *server == '\0') {
      GTEST_SKIP() << "PostgreSQL: no server given (SPOOLGATE_TEST_PG_URL is not set; "
                      "scripts/test.sh starts one)";
    }
    // A schema of its own for every test, dropped at the end.
    schema_ = "t" + std::to_string(getpid()) + "_" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name();
    schema_ = std::regex_replace(schema_, std::regex("[^A-Za-z0-9_]"), "_");
    base_ = server;
    spoolgate::OpenDatabase(base_, false)->Exec("DROP SCHEMA IF EXISTS " + schema_ +
                                                " CASCADE; CREATE SCHEMA " + schema_);
    url_ = base_ + (base_.find('?') == std::string::npos ? "?" : "&") +
           "options=-csearch_path%3D" + schema_;
  }
  void TearDown() override {
    if (!schema_.empty()) spoolgate::OpenDatabase(base_, false)->Exec("DROP SCHEMA " + schema_ + " CASCADE");
  }

  sgtest::CliResult Import(const std::vector<std::string>& dirs, const sgtest::TempDir& where) const {
    std::vector<std::string> args = {"log", "import"};
    args.insert(args.end(), dirs.begin(), dirs.end());
    args.insert(args.end(), {"--db", url_, "--no-progress"});
    return RunCli(args, where.path);
  }
  // The first column of the first row of a query, "" for none or NULL.
  std::string Sql(const std::string& sql) const {
    std::string value;
    spoolgate::OpenDatabase(url_, false)->Query(sql, {}, [&](const spoolgate::DbRow& r) {
      if (value.empty() && r[0]) value = *r[0];
    });
    return value;
  }

  sgtest::TempDir dir_;
  std::string url_, base_, schema_;
};

TEST_P(LogDatabaseTest, ImportedTwiceAndAtOnceEveryLineIsStoredExactlyOnce) {
  const Fleet& fleet = TheFleet();
  sgtest::TempDir first, second;

  // The folders as they were after 9,000 jobs: every line but the torn one.
  sgtest::CliResult r = Import(fleet.snapshot, dir_);
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_EQ(NewLines(r.out), uint64_t(3 * kSnapshot)) << r.out;
  EXPECT_NE(r.out.find("3 not stored (3 torn, 0 altered, 0 foreign, 0 clashing)"), std::string::npos) << r.out;
  EXPECT_TRUE(std::regex_search(r.out, std::regex(R"(PRINT-NORTH/Jobs[-0-9Z]*\.csv:[0-9]+ \(byte [0-9]+\): .*torn)")))
      << r.out;

  // After more jobs and a rotation, two importers of the same folders at once add only
  // the new lines, each exactly once between them.
  sgtest::CliResult a, b;
  std::thread ta([&] { a = Import(fleet.full, first); });
  std::thread tb([&] { b = Import(fleet.full, second); });
  ta.join();
  tb.join();
  EXPECT_EQ(a.status, 1) << a.out << a.err;
  EXPECT_EQ(b.status, 1) << b.out << b.err;
  EXPECT_EQ(NewLines(a.out) + NewLines(b.out), uint64_t(3 * (kJobs - kSnapshot))) << a.out << b.out;

  r = Import(fleet.full, dir_);
  EXPECT_NE(r.out.find("0 new, 30,000 already stored"), std::string::npos) << r.out;
  EXPECT_EQ(Sql("SELECT count(*) FROM log_lines"), "30000");
  for (const char* server : kServers) {
    EXPECT_EQ(Sql(std::string("SELECT count(DISTINCT sequence) FROM log_lines WHERE computer = '") + server + "'"),
              "10000");
  }
  // Typed columns: job 4 of a server is Émile's, its value a number, its stamp a time.
  auto db = spoolgate::OpenDatabase(url_, false);
  std::vector<std::string> row;
  db->Query("SELECT user_name, value_252 + 1, " + db->TimeText("time_stamp") +
                " FROM log_lines WHERE computer = 'PRINT-EAST' AND log_name = 'Jobs' AND sequence = 4",
            {}, [&](const spoolgate::DbRow& v) {
              for (const auto& x : v) row.push_back(x.value_or("NULL"));
            });
  EXPECT_EQ(row, (std::vector<std::string>{"\xC3\x89mile", "5", "2026-12-05T04:04:00.004"}));

  // A server whose numbering started again: its line 1 is not the stored line 1, so it
  // is reported and the stored line stays. Beside it, an edited copy of that line, and a
  // line with a right checksum but a text where a number goes (which PostgreSQL's COPY
  // would refuse with the whole batch): each named, none stored.
  HostReset(first.path);
  ASSERT_EQ(lgtest::WriteJobs("C:\\Restarted", "PRINT-NORTH", "Wide Format PRINT-NORTH", 77, 1, kMaxKib), 1);
  std::string csv = first / "C/Restarted/Jobs.csv";
  lgtest::LogFile log = lgtest::ParseLog(sgtest::Slurp(csv));
  ASSERT_EQ(log.lines.size(), 1u);
  std::string edited = std::regex_replace(log.lines[0].raw, std::regex("job 77"), "job 78");
  std::vector<std::string> fields = log.lines[0].fields;
  fields[0] = "2";
  fields[size_t(std::find(log.header.begin(), log.header.end(), "value_252") - log.header.begin())] = "many";
  std::string foreign;
  for (size_t i = 0; i + 1 < fields.size(); ++i) foreign += fields[i] + ",";
  char crc[9];
  std::snprintf(crc, sizeof crc, "%08X", lgtest::ReferenceCrc32(foreign.substr(0, foreign.size() - 1)));
  std::ofstream(csv, std::ios::app | std::ios::binary) << edited << "\r\n" << foreign << crc << "\r\n";
  r = Import({first / "C/Restarted"}, dir_);
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(r.out.find("sequence 1 of log 'Jobs' from 'PRINT-NORTH' is stored with another checksum"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("Jobs.csv:3 (byte "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("): value_252 'many' is not a number, not stored"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("0 new, 0 already stored, 3 not stored (0 torn, 1 altered, 1 foreign, 1 clashing)"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(Sql("SELECT document FROM log_lines WHERE computer = 'PRINT-NORTH' AND sequence = 1"), "job 1.plt");
  EXPECT_EQ(Sql("SELECT count(*) FROM log_lines"), "30000");
}

TEST_P(LogDatabaseTest, SummaryAndListingEqualThoseOfTheCsvLogs) {
  // The folders before any line waited in a pending file: the CSV reports leave such
  // lines out (and say so), the database has them.
  const Fleet& fleet = TheFleet();
  sgtest::CliResult r = Import(fleet.snapshot, dir_);
  ASSERT_EQ(r.status, 1) << r.out << r.err;  // the torn lines

  const std::vector<std::vector<std::string>> filters = {
      {},
      {"--from", "2026-12-10", "--to", "2026-12-20T12", "--user", "bob", "--sum", "value_252", "--sum",
       "value_256"},
  };
  for (const auto& filter : filters) {
    SCOPED_TRACE(::testing::PrintToString(filter));
    // The servers' CSV summaries added up, as one summary of all three; where the lines
    // come from and what the folders left out are not compared.
    auto addTally = [](Json& into, const Json& tally) {
      if (into.is_null()) into = Json::object();
      into["jobs"] = into.value("jobs", uint64_t(0)) + tally["jobs"].get<uint64_t>();
      into["sums"] = into.value("sums", Json::object());
      for (auto& [column, value] : tally["sums"].items()) {
        into["sums"][column] = into["sums"].value(column, uint64_t(0)) + value.get<uint64_t>();
      }
    };
    Json expected = {{"byUser", Json::object()}, {"byPrinter", Json::object()},
                     {"total", Json::object()}, {"notNumbers", 0}};
    for (const std::string& dir : fleet.snapshot) {
      std::vector<std::string> args = {"log", "summary", dir, "--json"};
      args.insert(args.end(), filter.begin(), filter.end());
      sgtest::CliResult csv = RunCli(args, dir_.path);
      ASSERT_EQ(csv.status, 0) << csv.err;
      Json one = Json::parse(csv.out);
      for (const char* group : {"byUser", "byPrinter"}) {
        for (auto& [name, tally] : one[group].items()) addTally(expected[group][name], tally);
      }
      addTally(expected["total"], one["total"]);
      expected["notNumbers"] = expected["notNumbers"].get<uint64_t>() + one["notNumbers"].get<uint64_t>();
    }
    std::vector<std::string> args = {"log", "summary", "--db", url_, "--json"};
    args.insert(args.end(), filter.begin(), filter.end());
    sgtest::CliResult db = RunCli(args, dir_.path);
    ASSERT_EQ(db.status, 0) << db.err;
    Json summaryDb = Json::parse(db.out);
    EXPECT_EQ(summaryDb.value("database", ""), spoolgate::ShownUrl(url_));
    summaryDb.erase("database");
    summaryDb.erase("leftOut");
    EXPECT_EQ(summaryDb, expected);
    EXPECT_GT(expected["total"]["jobs"].get<uint64_t>(), 0u);

    // Text output: one server's jobs, listed from the database as from its folder.
    std::vector<std::string> show = {"log", "show", "--printer", "Wide Format PRINT-SOUTH", "--sum", "value_256"};
    show.insert(show.end(), filter.begin(), filter.end());
    std::vector<std::string> fromCsv = show, fromDb = show;
    fromCsv.insert(fromCsv.begin() + 2, fleet.snapshot[1]);
    fromDb.insert(fromDb.end(), {"--db", url_});
    sgtest::CliResult listedCsv = RunCli(fromCsv, dir_.path), listedDb = RunCli(fromDb, dir_.path);
    EXPECT_EQ(listedDb.status, 0) << listedDb.err;
    // The folder's listing ends in a note of the torn line it left out.
    EXPECT_EQ(listedDb.out, std::regex_replace(listedCsv.out, std::regex("left out [^\n]*\n"), ""));
  }
}

TEST_P(LogDatabaseTest, APasswordInTheUrlStaysOutOfTheReport) {
  if (std::string(GetParam()) == "sqlite") GTEST_SKIP() << "a file has no password";
  // The test server does not ask for it: the report is made, and names the database
  // without it.
  std::filesystem::create_directory(dir_ / "empty");
  sgtest::CliResult created = Import({dir_ / "empty"}, dir_);
  ASSERT_EQ(created.status, 0) << created.err;
  sgtest::CliResult r = RunCli({"log", "summary", "--db", url_ + "&password=S3CRET", "--json"}, dir_.path);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.find("S3CRET"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("password=***"), std::string::npos) << r.out;
}

TEST_P(LogDatabaseTest, ADatabaseOfAnotherSchemaVersionIsRefused) {
  sgtest::TempDir empty;
  sgtest::CliResult r = Import({empty.path}, dir_);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(Sql("SELECT version FROM schema_version"), "1");

  spoolgate::OpenDatabase(url_, false)->Exec("UPDATE schema_version SET version = 2");
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"log", "import", empty.path, "--db", url_},
        std::vector<std::string>{"log", "summary", "--db", url_}}) {
    r = RunCli(args, dir_.path);
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_NE(r.err.find("schema version 2 is not one this spoolgate knows (1)"), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
}

INSTANTIATE_TEST_SUITE_P(Databases, LogDatabaseTest, ::testing::Values("sqlite", "postgresql"),
                         [](const auto& param) { return std::string(param.param); });

}  // namespace
