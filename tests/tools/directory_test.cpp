// SPDX-License-Identifier: Apache-2.0
// The directory that reports bill departments by: which snapshot a job's day takes, the
// account a logged name stands for, a PowerShell export in its encodings, and reading a
// real LDAP server (scripts/ldap-server.sh; skipped, visibly, without one): paged, a bind
// refused without its password shown, one that never answers, an account of two entries.
#include "tests/tools/cli_runner.h"
#include "tests/tools/directory_fleet.h"
#include "tools/common/errors.h"
#include "tools/directory/directory_csv.h"
#include "tools/directory/directory_snapshot.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <sys/socket.h>

#include <chrono>
#include <cstdlib>

namespace {

using spoolgate::DirectoryHistory;
using spoolgate::DirectorySnapshot;

TEST(DirectorySnapshotTest, AJobTakesTheNewestSnapshotOnOrBeforeItsDay) {
  DirectoryHistory history;
  for (const char* date : {"2026-11-16", "2026-11-01", "2026-12-01"}) {
    DirectorySnapshot s;
    s.date = date;
    s.source = "first";
    spoolgate::AddSnapshot(history, s);
  }
  struct Case {
    const char* day;
    const char* snapshot;
  };
  for (const Case& c : {Case{"2026-10-31", "2026-11-01"},  // before every snapshot: the first known
                        Case{"2026-11-01", "2026-11-01"}, Case{"2026-11-15", "2026-11-01"},
                        Case{"2026-11-16", "2026-11-16"}, Case{"2026-11-30", "2026-11-16"},
                        Case{"2026-12-01", "2026-12-01"}, Case{"2027-06-01", "2026-12-01"},
                        Case{"", "2026-12-01"}}) {  // a job without a time: the newest
    ASSERT_NE(spoolgate::SnapshotAt(history, c.day), nullptr);
    EXPECT_EQ(spoolgate::SnapshotAt(history, c.day)->date, c.snapshot) << c.day;
  }
  // A second reading of a day replaces the first.
  DirectorySnapshot again;
  again.date = "2026-11-16";
  again.source = "second";
  spoolgate::AddSnapshot(history, again);
  ASSERT_EQ(history.snapshots.size(), 3u);
  EXPECT_EQ(spoolgate::SnapshotAt(history, "2026-11-20")->source, "second");
  EXPECT_EQ(spoolgate::SnapshotAt(DirectoryHistory{}, "2026-11-20"), nullptr);

  for (auto [name, account] : {std::pair{"CORP\\Alice", "alice"}, {"ALICE@corp.example", "alice"}, {"alice", "alice"},
                               {"CORP\\\xC3\x89LODIE", "\xC3\xA9lodie"}, {"", ""}}) {
    EXPECT_EQ(spoolgate::AccountKey(name), account) << name;
  }
  for (auto [text, ok] : {std::pair{"2028-02-29", true}, {"2026-02-29", false}, {"2026-13-01", false},
                          {"2026-11-1", false}, {"2026/11/01", false}}) {
    EXPECT_EQ(spoolgate::IsSnapshotDate(text), ok) << text;
  }
}

spoolgate::DirectoryFields ExportFields() {
  return {"samaccountname", {{"department", "Department"}, {"display_name", "displayname"}}};
}

TEST(DirectoryCsvTest, APowerShellExportIsReadInEachOfItsEncodings) {
  sgtest::TempDir dir;
  std::string utf8 = sgtest::kDirectoryExportNovember1;
  // UTF-16 with its byte order mark (Export-Csv -Encoding Unicode), as UTF-8 with one.
  std::string utf16 = "\xFF\xFE";
  for (size_t i = 0; i < utf8.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(utf8[i]);
    unsigned code = c;
    if (c >= 0xC0) code = (c & 0x1F) << 6 | (static_cast<unsigned char>(utf8[++i]) & 0x3F);  // two-byte letters only
    utf16 += char(code & 0xFF), utf16 += char(code >> 8);
  }
  dir.Write("utf16.csv", utf16);
  dir.Write("bom.csv", "\xEF\xBB\xBF" + utf8);
  for (const char* file : {"utf16.csv", "bom.csv"}) {
    std::vector<std::string> conflicts;
    DirectorySnapshot s = spoolgate::ReadDirectoryCsv(dir / file, ExportFields(), conflicts);
    EXPECT_TRUE(conflicts.empty());
    ASSERT_EQ(s.users.size(), 3u) << file;
    EXPECT_EQ(s.users.at("alice").values.at("display_name"), "Archer, Alice") << file;
    EXPECT_EQ(s.users.at("bob").values.at("display_name"), "Bob \"Bobby\" Baker") << file;
    const auto& elodie = s.users.at("\xC3\xA9lodie");
    EXPECT_EQ(elodie.values.at("department"), "Entwicklung S\xC3\xBC\x64") << file;
    EXPECT_EQ(elodie.values.at("display_name"), "\xC3\x89lodie M\xC3\xBC\x6Cler") << file;
  }

  // The same account twice: kept once when the entries agree, named when they do not.
  std::string header = "\"SamAccountName\",\"Department\",\"DisplayName\"\r\n";
  dir.Write("same.csv", header + "alice,Research,A\r\nCORP\\ALICE,Research,A\r\n");
  dir.Write("differ.csv", header + "alice,Research,A\r\nALICE,Sales,A\r\nbob,Sales,B\r\n");
  std::vector<std::string> conflicts;
  EXPECT_EQ(spoolgate::ReadDirectoryCsv(dir / "same.csv", ExportFields(), conflicts).users.size(), 1u);
  EXPECT_TRUE(conflicts.empty());
  spoolgate::ReadDirectoryCsv(dir / "differ.csv", ExportFields(), conflicts);
  EXPECT_EQ(conflicts, std::vector<std::string>{"alice"});

  // Mistakes name the file and line.
  dir.Write("short.csv", header + "alice,Research\r\n");
  dir.Write("open.csv", header + "alice,\"Research,A\r\n");
  dir.Write("nocolumn.csv", "\"Name\",\"Department\"\r\n");
  for (auto [file, why] : {std::pair{"short.csv", "short.csv:2: 2 values for 3 columns"},
                           {"open.csv", "open.csv:2: a quoted value that never ends"},
                           {"nocolumn.csv", "nocolumn.csv:1: no column samaccountname (the columns are: Name, Department)"}}) {
    try {
      spoolgate::ReadDirectoryCsv(dir / file, ExportFields(), conflicts);
      ADD_FAILURE() << file << " was read";
    } catch (const spoolgate::InputError& e) {
      EXPECT_NE(std::string(e.what()).find(why), std::string::npos) << e.what();
    }
  }
}

// The figures of a summary --json --by KEY: group -> (jobs, pages).
sgtest::Figures SummaryFigures(const std::string& out, const std::string& by) {
  sgtest::Figures figures;
  nlohmann::json j = nlohmann::json::parse(out);
  for (const auto& g : j["groups"]) {
    figures[g["key"][by].get<std::string>()] = {g["jobs"].get<uint64_t>(), g["sums"]["pages"].get<uint64_t>()};
  }
  return figures;
}

TEST(DirectoryReportTest, JobsAreBilledByTheDirectoryOfTheirDayFromTheSnapshotFile) {
  sgtest::TempDir dir;
  sgtest::WriteHandLog(dir, sgtest::DirectoryFleetJobs());
  dir.Write("nov1.csv", sgtest::kDirectoryExportNovember1);
  dir.Write("nov16.csv", sgtest::kDirectoryExportNovember16);
  std::vector<std::string> keep = {"--keep", "department=Department", "--keep", "cost_centre=extensionAttribute1",
                                   "--file", "snapshots.json"};
  // Taken in the wrong order: the dates decide, not the order of the imports.
  for (auto [file, date] : {std::pair{"nov16.csv", "2026-11-16"}, {"nov1.csv", "2026-11-01"}}) {
    std::vector<std::string> args = {"directory", "import", "--csv", file, "--date", date};
    args.insert(args.end(), keep.begin(), keep.end());
    sgtest::CliResult r = sgtest::RunCli(args, dir.path);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, std::string("directory snapshot of ") + date + ": 3 users from " + file + "\n");
  }
  for (const sgtest::DirectoryFleetCase& c : sgtest::DirectoryFleetCases()) {
    dir.Write("site.toml", sgtest::DirectoryFleetSettings(c.driverText));
    sgtest::CliResult r = sgtest::RunCli(
        {"log", "summary", dir.path, "--settings", "site.toml", "--by", c.by, "--sum", "pages", "--json"}, dir.path);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(SummaryFigures(r.out, c.by), c.figures) << c.by << " " << c.driverText;
    EXPECT_EQ(nlohmann::json::parse(r.out)["unknownUsers"],
              nlohmann::json::parse(R"({"jobs": 3, "names": ["carol", "mallory"]})")) << c.by;
  }
  // An attribute the snapshots never kept is named, not billed to nobody.
  sgtest::CliResult unkept =
      sgtest::RunCli({"log", "summary", dir.path, "--settings", "site.toml", "--by", "display_name"}, dir.path);
  EXPECT_EQ(unkept.status, 2);
  EXPECT_NE(unkept.err.find("--by display_name: the directory snapshot of 2026-11-"), std::string::npos) << unkept.err;
  EXPECT_NE(unkept.err.find("keeps no such attribute (it keeps: department, cost_centre)"), std::string::npos)
      << unkept.err;
  // The page charts the directory's departments, not the driver's texts.
  sgtest::CliResult page =
      sgtest::RunCli({"log", "report", dir.path, "--settings", "site.toml", "--by", "department", "--html", "-"}, dir.path);
  ASSERT_EQ(page.status, 0) << page.err;
  EXPECT_NE(page.out.find("Per department"), std::string::npos);
  EXPECT_NE(page.out.find("Entwicklung S\xC3\xBC\x64"), std::string::npos);
  // The text report names them too; without [directory] nothing changes.
  sgtest::CliResult text = sgtest::RunCli({"log", "summary", dir.path, "--settings", "site.toml"}, dir.path);
  EXPECT_NE(text.out.find("\n3 jobs have users the directory did not know at the job's time: carol mallory\n"),
            std::string::npos) << text.out;
  dir.Write("plain.toml", "[columns]\ndepartment = \"text_200\"\n");
  sgtest::CliResult plain =
      sgtest::RunCli({"log", "summary", dir.path, "--settings", "plain.toml", "--by", "user", "--json"}, dir.path);
  EXPECT_EQ(nlohmann::json::parse(plain.out)["groups"].size(), 8u) << plain.out;
  EXPECT_FALSE(nlohmann::json::parse(plain.out).contains("unknownUsers"));

  // An account in two disagreeing entries stores nothing.
  dir.Write("twice.csv", "SamAccountName,Department\r\nalice,Research\r\nAlice,Sales\r\n");
  sgtest::CliResult twice = sgtest::RunCli({"directory", "import", "--csv", "twice.csv", "--file", "t.json"}, dir.path);
  EXPECT_EQ(twice.status, 1);
  EXPECT_NE(twice.err.find("two entries that disagree, so no snapshot is stored"), std::string::npos) << twice.err;
  EXPECT_FALSE(std::filesystem::exists(dir / "t.json"));
}

// Reading the test's slapd (scripts/ldap-server.sh); skipped without one.
class DirectoryLdapTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* url = std::getenv("SPOOLGATE_TEST_LDAP_URL");
    if (url == nullptr || *url == '\0') {
      GTEST_SKIP() << "OpenLDAP: no server given (SPOOLGATE_TEST_LDAP_URL is not set; scripts/test.sh starts one)";
    }
    url_ = url;
    base_ = std::getenv("SPOOLGATE_TEST_LDAP_BASE");
    bindDn_ = std::getenv("SPOOLGATE_TEST_LDAP_BIND_DN");
    password_ = std::getenv("SPOOLGATE_TEST_LDAP_PASSWORD");
  }
  sgtest::CliResult Import(const std::string& ou, const std::string& passwordFile,
                           std::vector<std::string> more = {}) const {
    std::vector<std::string> args = {"directory", "import", "--ldap", url_, "--base", "ou=" + ou + "," + base_,
                                     "--bind-dn", bindDn_, "--password-file", passwordFile, "--filter",
                                     "(sAMAccountName=*)", "--keep", "department", "--keep",
                                     "cost_centre=employeeNumber"};
    args.insert(args.end(), more.begin(), more.end());
    return sgtest::RunCli(args, dir_.path);
  }
  sgtest::TempDir dir_;
  std::string url_, base_, bindDn_, password_;
};

TEST_F(DirectoryLdapTest, TheUsersComeInPagesAndBillTheFleetAsTheExportDoes) {
  dir_.Write("password", password_ + "\n");
  // Twelve people in pages of four (the server hands over five to a reader that does
  // not page, and refuses a page of more).
  sgtest::CliResult r =
      Import("people", "password", {"--date", "2026-11-16", "--file", "snapshots.json", "--page-size", "4"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "directory snapshot of 2026-11-16: 12 users from " + url_ + "\n");
  dir_.Write("nov1.csv", sgtest::kDirectoryExportNovember1);
  ASSERT_EQ(sgtest::RunCli({"directory", "import", "--csv", "nov1.csv", "--date", "2026-11-01", "--keep",
                            "department=Department", "--keep", "cost_centre=extensionAttribute1", "--file",
                            "snapshots.json"}, dir_.path).status, 0);
  sgtest::WriteHandLog(dir_, sgtest::DirectoryFleetJobs());
  for (const sgtest::DirectoryFleetCase& c : sgtest::DirectoryFleetCases()) {
    if (std::string(c.by) == "user") continue;  // the export spells names as the directory does
    dir_.Write("site.toml", sgtest::DirectoryFleetSettings(c.driverText));
    sgtest::CliResult s = sgtest::RunCli(
        {"log", "summary", dir_.path, "--settings", "site.toml", "--by", c.by, "--sum", "pages", "--json"}, dir_.path);
    ASSERT_EQ(s.status, 0) << s.err;
    EXPECT_EQ(SummaryFigures(s.out, c.by), c.figures) << c.by << " " << c.driverText;
  }
}

TEST_F(DirectoryLdapTest, ARefusedBindAndAnAccountOfTwoEntriesStoreNothing) {
  dir_.Write("wrong", "not-" + password_ + "\n");
  sgtest::CliResult refused = Import("people", "wrong", {"--file", "s.json"});
  EXPECT_EQ(refused.status, 2);
  EXPECT_NE(refused.err.find(url_ + ": bind as '" + bindDn_ + "' refused: Invalid credentials"), std::string::npos)
      << refused.err;
  EXPECT_EQ(refused.err.find(password_), std::string::npos) << "the password is shown";
  EXPECT_EQ(refused.out.find(password_), std::string::npos) << "the password is shown";
  // A bind DN without a password would bind as nobody.
  dir_.Write("empty", "\n");
  sgtest::CliResult empty = Import("people", "empty", {"--file", "s.json"});
  EXPECT_EQ(empty.status, 2);
  EXPECT_NE(empty.err.find(": no password (--password-file FILE or --password-env NAME)"), std::string::npos)
      << empty.err;
  dir_.Write("password", password_ + "\n");
  // StartTLS that the server does not offer is an error before the bind, not a bind in
  // the clear; on ldaps:// it is refused as a mistake.
  sgtest::CliResult clear = Import("people", "password", {"--file", "s.json", "--starttls"});
  EXPECT_EQ(clear.status, 2);
  EXPECT_NE(clear.err.find(url_ + ": StartTLS: "), std::string::npos) << clear.err;
  sgtest::CliResult both = sgtest::RunCli({"directory", "import", "--ldap", "ldaps://127.0.0.1:1", "--starttls",
                                           "--file", "s.json"}, dir_.path);
  EXPECT_EQ(both.status, 2);
  EXPECT_NE(both.err.find("--starttls is for ldap://"), std::string::npos) << both.err;
  sgtest::CliResult twice = Import("duplicates", "password", {"--file", "s.json", "--page-size", "5"});
  EXPECT_EQ(twice.status, 1) << twice.err;
  EXPECT_NE(twice.err.find("1 account has two entries that disagree, so no snapshot is stored"), std::string::npos)
      << twice.err;
  EXPECT_FALSE(std::filesystem::exists(dir_ / "s.json"));
  // Bounded: more entries than allowed is an error, not a cut list.
  sgtest::CliResult many = Import("people", "password", {"--file", "s.json", "--max-entries", "11", "--page-size", "5"});
  EXPECT_EQ(many.status, 2);
  EXPECT_NE(many.err.find("more than 11 entries match"), std::string::npos) << many.err;
}

TEST(DirectoryLdapTimeoutTest, AServerThatNeverAnswersIsGivenUpAfterTheTimeout) {
  // A socket that listens and never reads: the connection is made, the bind unanswered.
  int s = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(s, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(s, 4), 0);
  socklen_t size = sizeof a;
  ASSERT_EQ(getsockname(s, reinterpret_cast<sockaddr*>(&a), &size), 0);
  std::string url = "ldap://127.0.0.1:" + std::to_string(ntohs(a.sin_port));
  sgtest::TempDir dir;
  setenv("SPOOLGATE_SILENT_PASSWORD", "secret", 1);
  auto start = std::chrono::steady_clock::now();
  sgtest::CliResult r = sgtest::RunCli({"directory", "import", "--ldap", url, "--bind-dn", "cn=x", "--password-env",
                                        "SPOOLGATE_SILENT_PASSWORD", "--timeout", "2", "--file", "s.json"},
                                       dir.path);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  close(s);
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find(url + ": bind: no answer within 2 seconds"), std::string::npos) << r.err;
  EXPECT_LT(seconds, 10) << "the timeout was not kept";
  EXPECT_FALSE(std::filesystem::exists(dir / "s.json"));
}

}  // namespace
