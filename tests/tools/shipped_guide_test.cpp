// SPDX-License-Identifier: Apache-2.0
// The administrator's guide that ships beside spoolgate.exe: it cites only what ships
// with it, keeps what was tried only under Wine in its last section, and its table of
// check's codes holds every code check can print and no other.
#include "tests/tools/cli_runner.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>

namespace {

const std::string kSource = SPOOLGATE_SOURCE;

TEST(ShippedGuide, CitesOnlyTheDocumentsInstalledBesideTheProgram) {
  const std::string guide = sgtest::Slurp(kSource + "/docs/deployment.md");
  ASSERT_FALSE(guide.empty());
  const std::set<std::string> shipped = {"deployment.md", "accounting-log.md", "accounting-database.md"};
  std::regex document(R"([A-Za-z0-9_./\\-]+\.md\b)");
  std::set<std::string> cited;
  for (auto m = std::sregex_iterator(guide.begin(), guide.end(), document); m != std::sregex_iterator(); ++m) {
    cited.insert(m->str());
  }
  for (const std::string& name : cited) EXPECT_EQ(shipped.count(name), 1u) << name << " does not ship with the guide";
  EXPECT_EQ(cited.count("accounting-log.md"), 1u);
  // Nothing of the repository an administrator does not have.
  for (const char* folder : {"docs/", "scripts/", "tests/", "examples/", "README", "windows-suite"}) {
    EXPECT_EQ(guide.find(folder), std::string::npos) << folder;
  }
  // The win64 build puts each one beside spoolgate.exe.
  const std::string build = sgtest::Slurp(kSource + "/tools/windows.cmake");
  std::smatch docs;
  ASSERT_TRUE(std::regex_search(build, docs, std::regex(R"(foreach\(doc ([^)]*)\))")));
  for (const std::string& name : shipped) {
    EXPECT_NE((" " + docs[1].str() + " ").find(" " + name + " "), std::string::npos) << name << " is not installed";
  }
}

TEST(ShippedGuide, SaysWhatWasTriedOnlyUnderWineOnceAtItsEnd) {
  const std::string guide = sgtest::Slurp(kSource + "/docs/deployment.md");
  const std::string last = "\n## What was tested only under Wine\n";
  size_t at = guide.find(last);
  ASSERT_NE(at, std::string::npos);
  EXPECT_EQ(guide.find("\n## ", at + 1), std::string::npos) << "a section follows the list";
  for (const char* note : {"untested on real Windows", "Tested under Wine", "Tested on the host", "Tested:"}) {
    EXPECT_EQ(guide.find(note), std::string::npos) << note;
  }
}

// Every code in the table of "Checking" against every code check's sources can print.
TEST(ShippedGuide, TheTableOfCheckCodesHasEveryCodeAndNoOther) {
  std::regex code(R"re("((?:driver|library|settings|directory|size|permissions|log|printers?)-[a-z-]+)")re");
  std::set<std::string> printed;
  for (const char* file : {"/tools/winkit/win_check.cpp", "/tools/winkit/win_printers.cpp"}) {
    std::string source = sgtest::Slurp(kSource + file);
    for (auto m = std::sregex_iterator(source.begin(), source.end(), code); m != std::sregex_iterator(); ++m) {
      printed.insert((*m)[1].str());
    }
  }
  const std::string guide = sgtest::Slurp(kSource + "/docs/deployment.md");
  size_t start = guide.find("| check | code | ok | what it says |");
  ASSERT_NE(start, std::string::npos);
  size_t end = guide.find("\n\n", start);
  std::string table = guide.substr(start, end - start);
  std::set<std::string> documented;
  std::regex row(R"(\n\| [^|]*\| `([a-z-]+)` \|)");
  for (auto m = std::sregex_iterator(table.begin(), table.end(), row); m != std::sregex_iterator(); ++m) {
    documented.insert((*m)[1].str());
  }
  // Counted by hand from the table: 38 codes, two of them new with the folders above the
  // log directory and the paths that lead nowhere.
  EXPECT_EQ(documented.size(), 38u);
  EXPECT_EQ(documented.count("permissions-parent-open"), 1u);
  EXPECT_EQ(documented.count("directory-unreachable"), 1u);
  EXPECT_EQ(printed, documented);
}

}  // namespace
