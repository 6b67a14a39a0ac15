// SPDX-License-Identifier: Apache-2.0
// QenDrvLogWriteRecord: where the log goes and under which name, its header, rotation
// at the size limit, sequence numbers across generations, and failed writes.
#include "tests/logger/log_support.h"
#include "logger/logger_internal.h"
#include "platform/host/host_tools.h"
#include "tests/support/sandbox.h"
#include "tools/logread/verify.h"

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

namespace {

using namespace lgtest;
namespace fs = std::filesystem;

class LogWriteTest : public sgtest::SandboxTest {
 protected:
  std::string LogDir() const { return root_ + "/C/Logs"; }
  std::string LogPath(const std::string& name = "Jobs") const {
    return LogDir() + "/" + name + ".csv";
  }
  // A standard record whose document names the job, so every line can be told apart.
  // With quoted_ set, the document continues after a space, and the other texts are
  // filled, with quotes, commas and line breaks spread over the whole line, so that a
  // cut anywhere in it can split a quoted text.
  std::string Record(const std::string& document) {
    auto entry = MakeEntry(LOG_FORMAT_STANDARD);
    SetBytes(entry->document, quoted_ ? document + " Plan \"A\", rev 2.pdf" : document);
    if (quoted_) {
      SetBytes(entry->user, "O\"Brien, \"Pat\"");
      SetBytes(entry->printer, "\"Wide\",\r\n\"Format\" 36\"");
      SetBytes(entry->port, "\"LPT1:\"");
      SetBytes(entry->text200, "Roll \"A0\", 36\" x 50 m\r\nmatte " + std::string(150, '"'));
      SetBytes(entry->text216, "\"profile\", \"plotter\",\r\n\"gloss\"");
      SetBytes(entry->ansi240, "\"D\",42");
      SetBytes(entry->ansi464, "\"p7\"\r\n");
    }
    return FormatRecord(2, 2, *entry);
  }
  bool quoted_ = false;
  int Write(const std::string& document, DWORD maxKib = 64, const std::string& name = "Jobs") {
    return WriteRecord("C:\\Logs", name, maxKib, 2, Record(document));
  }
  // A line that waits without a number: the log's lock is not had.
  int WriteUnnumbered(const std::string& document, DWORD maxKib = 64) {
    HostFailNth(HostOp::LockFile, 1, ERROR_ACCESS_DENIED);
    return Write(document, maxKib);
  }
  // A line that waits with its number: the log is held without write sharing.
  int WriteWhileHeld(const std::string& document, DWORD maxKib = 64) {
    HANDLE held = CreateFileW(u"C:\\Logs\\Jobs.csv", GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(held, INVALID_HANDLE_VALUE);
    int result = Write(document, maxKib);
    CloseHandle(held);
    return result;
  }
  // The current file holds these documents, in order, numbered from 1, all good.
  void ExpectLogHolds(const std::vector<std::string>& expected) {
    LogFile log = ParseLog(sgtest::ReadHostFile(LogPath()));
    std::vector<std::string> documents, sequences, numbers;
    for (const LogLine& line : log.lines) {
      EXPECT_TRUE(ChecksumMatches(line));
      documents.push_back(log.Field(line, "document"));
      sequences.push_back(log.Field(line, "sequence"));
      numbers.push_back(std::to_string(numbers.size() + 1));
    }
    EXPECT_EQ(documents, expected);
    EXPECT_EQ(sequences, numbers);
  }
  // What `log verify` says of the log directory: its problems, one a line.
  std::vector<std::string> VerifyProblems() const {
    std::ostringstream out;
    spoolgate::VerifyLog(LogDir(), false, out);
    std::vector<std::string> problems;
    std::istringstream lines(out.str());
    for (std::string line; std::getline(lines, line);)
      if (line.rfind("verified ", 0) != 0) problems.push_back(line);
    return problems;
  }
  // Every file under the sandbox root, as paths relative to it.
  std::set<std::string> AllFiles() const {
    std::set<std::string> files;
    for (const auto& item : fs::recursive_directory_iterator(root_))
      if (item.is_regular_file()) files.insert(fs::relative(item.path(), root_).string());
    return files;
  }
};

TEST_F(LogWriteTest, FirstRecordCreatesTheDirectoriesAndAHeaderWithByteOrderMark) {
  EXPECT_EQ(WriteRecord("C:\\Logs\\Print\\2026\\", "Jobs", 64, 2, Record("first.plt")), 1);
  std::string bytes = sgtest::ReadHostFile(root_ + "/C/Logs/Print/2026/Jobs.csv");
  ASSERT_FALSE(bytes.empty());
  LogFile log = ParseLog(bytes);
  EXPECT_TRUE(log.byteOrderMark);
  EXPECT_TRUE(log.wellFormed);
  ASSERT_GE(log.header.size(), 3u);
  EXPECT_EQ(log.header.front(), "sequence");
  EXPECT_EQ(log.header[1], "level");
  EXPECT_EQ(log.header.back(), "crc32");
  ASSERT_EQ(log.lines.size(), 1u);
  EXPECT_EQ(log.Field(log.lines[0], "sequence"), "1");
  EXPECT_EQ(log.Field(log.lines[0], "document"), "first.plt");
  EXPECT_TRUE(ChecksumMatches(log.lines[0]));

  // The second record is appended under the same header, with no second mark.
  EXPECT_EQ(WriteRecord("C:\\Logs\\Print\\2026", "Jobs", 64, 2, Record("second.plt")), 1);
  std::string after = sgtest::ReadHostFile(root_ + "/C/Logs/Print/2026/Jobs.csv");
  EXPECT_EQ(after.compare(0, bytes.size(), bytes), 0) << "earlier bytes untouched";
  log = ParseLog(after);
  ASSERT_EQ(log.lines.size(), 2u);
  EXPECT_EQ(log.Field(log.lines[1], "sequence"), "2");
  EXPECT_EQ(after.find("\xEF\xBB\xBF", 1), std::string::npos);
}

TEST_F(LogWriteTest, DirectoriesAreMadeWithTheirDescriptorAndNothingGoesThroughALink) {
  const std::u16string locked = u"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FRFX;;;BU)";
  ASSERT_EQ(WriteRecord("C:\\Logs\\Print", "Jobs", 64, 2, Record("first.plt")), 1);
  EXPECT_EQ(HostGetFileSecurity(u"C:\\Logs").descriptor, locked);
  EXPECT_EQ(HostGetFileSecurity(u"C:\\Logs\\Print").descriptor, locked);

  // A symbolic link (a reparse point, as a junction is) as the log directory, as one of
  // its parents, or as the log file: nothing is written, least of all where it leads.
  fs::create_directories(root_ + "/C/Elsewhere");
  fs::create_directory_symlink(root_ + "/C/Elsewhere", LogDir() + "/Linked");
  fs::create_symlink(root_ + "/C/Elsewhere/Jobs.csv", LogDir() + "/Print/Other.csv");
  EXPECT_EQ(WriteRecord("C:\\Logs\\Linked", "Jobs", 64, 2, Record("a")), 0);
  EXPECT_EQ(WriteRecord("C:\\Logs\\Linked\\Deeper", "Jobs", 64, 2, Record("b")), 0);
  EXPECT_EQ(WriteRecord("C:\\Logs\\Print", "Other", 64, 2, Record("c")), 0);
  EXPECT_TRUE(fs::is_empty(root_ + "/C/Elsewhere"));
  EXPECT_EQ(HostOpenHandleCount(), 0u);
  EXPECT_EQ(HostLiveAllocations(), 0u);
}

TEST_F(LogWriteTest, DirectoryAnotherAccountMadeFirstIsNotWrittenTo) {
  // A user who makes the default directory before the first job owns it.
  const std::u16string directory = u"C:\\Windows\\temp\\PrintLog";
  const std::u16string user = u"S-1-5-21-1004336348-1177238915-682003330-1001";
  sgtest::MakeWindowsDirectory(directory);
  HostSetFileOwner(directory, user);
  EXPECT_EQ(WriteRecord("C:\\Windows\\temp\\PrintLog", "Jobs", 64, 2, Record("a")), 0);
  EXPECT_TRUE(fs::is_empty(HostMapPath(directory)));
  EXPECT_EQ(HostEventLog().size(), 1u) << "the line goes where a line that cannot be stored goes";

  // The Administrators, or the account the library itself runs as, are trusted.
  HostSetFileOwner(directory, u"S-1-5-32-544");
  EXPECT_EQ(WriteRecord("C:\\Windows\\temp\\PrintLog", "Jobs", 64, 2, Record("b")), 1);
  HostSetFileOwner(directory, user);
  HostSetProcessAccount(user);
  EXPECT_EQ(WriteRecord("C:\\Windows\\temp\\PrintLog", "Jobs", 64, 2, Record("c")), 1);
  EXPECT_EQ(ParseLog(sgtest::ReadHostFile(HostMapPath(directory) + "/Jobs.csv")).lines.size(), 2u);
  EXPECT_EQ(HostOpenHandleCount(), 0u);
}

// How spoolgate.exe check judges a directory with the library's own function: nothing
// is made, the owner is judged for the account the spooler runs the library as (not the
// one asking), and a link is named by where it is on the path.
TEST_F(LogWriteTest, AJudgementWithoutCreatingMakesNothingAndTrustsTheAccountItIsGiven) {
  auto ownerOf = [](const std::u16string& path) {
    static BYTE descriptors[2][256];
    static int next = 0;
    BYTE* descriptor = descriptors[next++ % 2];
    DWORD needed = 0;
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    EXPECT_TRUE(GetFileSecurityW(path.c_str(), OWNER_SECURITY_INFORMATION, descriptor, 256, &needed));
    EXPECT_TRUE(GetSecurityDescriptorOwner(descriptor, &owner, &defaulted));
    return owner;
  };
  std::u16string directory = u"C:\\Logs\\Print";
  EXPECT_EQ(JudgeLogDirectory(directory.data(), FALSE, nullptr, nullptr), LOG_DIRECTORY_MISSING);
  EXPECT_FALSE(fs::exists(LogDir())) << "a judgement made a directory";

  const std::u16string user = u"S-1-5-21-1004336348-1177238915-682003330-1001";
  sgtest::MakeWindowsDirectory(directory);
  sgtest::MakeWindowsDirectory(u"C:\\Spooler");
  HostSetFileOwner(directory, user);
  HostSetFileOwner(u"C:\\Spooler", u"S-1-5-18");
  HostSetProcessAccount(user);
  // This process owns it, but the spooler's SYSTEM does not: refused for SYSTEM.
  EXPECT_EQ(JudgeLogDirectory(directory.data(), FALSE, nullptr, nullptr), LOG_DIRECTORY_USABLE);
  PSID system = ownerOf(u"C:\\Spooler");
  EXPECT_EQ(JudgeLogDirectory(directory.data(), FALSE, system, nullptr), LOG_DIRECTORY_FOREIGN_OWNER);
  EXPECT_EQ(JudgeLogDirectory(directory.data(), FALSE, ownerOf(directory), nullptr), LOG_DIRECTORY_USABLE);

  fs::create_directories(root_ + "/C/Elsewhere");
  fs::create_directory_symlink(root_ + "/C/Elsewhere", LogDir() + "/Linked");
  std::u16string through = u"C:\\Logs\\Linked\\Deeper\\PrintLog";
  size_t where = 0;
  EXPECT_EQ(JudgeLogDirectory(through.data(), FALSE, system, &where), LOG_DIRECTORY_REPARSE_POINT);
  EXPECT_EQ(through.substr(0, where), u"C:\\Logs\\Linked");
  EXPECT_TRUE(fs::is_empty(root_ + "/C/Elsewhere"));
}

TEST_F(LogWriteTest, NamesThatTryToLeaveTheDirectoryOrNameADeviceStayInside) {
  struct Case {
    const char* given;
    const char* file;
  } cases[] = {
      {"..\\x", "_._x.csv"},        {"..", "_.csv"},   {"C:\\x", "C__x.csv"},
      {"a/b", "a_b.csv"},           {"\\\\srv\\s", "__srv_s.csv"}, {"CON", "_CON.csv"},
      {"lpt1.txt", "_lpt1.txt.csv"}, {"com9", "_com9.csv"},   {"Nul ", "_Nul.csv"},
      {"", "PrintLog.csv"},         {"q?<>|*\"x", "q______x.csv"}, {"tab\tname. .", "tab_name.csv"},
      {"CONSOLE", "CONSOLE.csv"},   {"COM\xFD", "_COM\xC2\xB2.csv"},  // COM² in code page 437
      // Names that look like another log's generation get a name of their own.
      {"Jobs-20261207-221537", "Jobs-20261207-221537_.csv"},
      {"Jobs-20261207-221537Z-2", "Jobs-20261207-221537Z-2_.csv"},
      {"Jobs-20261207-2215", "Jobs-20261207-2215.csv"},
  };
  std::set<std::string> before = AllFiles();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.given);
    EXPECT_EQ(WriteRecord("C:\\Logs", c.given, 64, 2, Record(c.given)), 1);
    EXPECT_TRUE(sgtest::HostFileExists(LogDir() + "/" + c.file));
  }
  for (const std::string& file : AllFiles()) {
    if (before.count(file)) continue;
    EXPECT_EQ(file.rfind("C/Logs/", 0), 0u) << file << " lies outside the log directory";
    EXPECT_EQ(file.find('/', 7), std::string::npos) << file << " is not directly in it";
  }
}

TEST_F(LogWriteTest, DoubleByteNameWithBackslashTrailBytesIsOneFile) {
  HostSetOemCodePage(932);
  EXPECT_EQ(WriteRecord("C:\\Logs", "\x95\x5C\x83\x5C", 64, 2, Record("x")), 1);  // 表ソ
  EXPECT_TRUE(sgtest::HostFileExists(LogDir() + "/\xE8\xA1\xA8\xE3\x82\xBD.csv"));
}

// "YYYYMMDD-HHMMSS" of the clock now, in UTC.
std::string UtcNow() {
  SYSTEMTIME t;
  GetSystemTime(&t);
  char text[40];
  std::snprintf(text, sizeof(text), "%04u%02u%02u-%02u%02u%02u", t.wYear, t.wMonth, t.wDay, t.wHour,
                t.wMinute, t.wSecond);
  return text;
}

TEST_F(LogWriteTest, RotationAtTheLimitKeepsEveryLineAndDeletesNothing) {
  const int kRecords = 40;
  const DWORD kMaxKib = 4;
  std::string before = UtcNow();
  for (int i = 1; i <= kRecords; ++i)
    ASSERT_EQ(Write("job-" + std::to_string(i) + ".plt", kMaxKib), 1) << i;
  std::string after = UtcNow();

  // Generations are named in UTC, marked Z, so that a clock set back cannot name a
  // newer one before an older one.
  std::regex generation(R"(Jobs-(\d{8}-\d{6})Z(-\d+)?\.csv)");
  std::set<int> sequences;
  std::set<std::string> documents;
  int generations = 0;
  for (const auto& [name, bytes] : FilesIn(LogDir())) {
    if (name == "Jobs.seq") continue;
    SCOPED_TRACE(name);
    std::smatch stamp;
    EXPECT_TRUE(name == "Jobs.csv" || std::regex_match(name, stamp, generation));
    if (name != "Jobs.csv") {
      ++generations;
      EXPECT_TRUE(stamp[1] >= before && stamp[1] <= after) << before << " .. " << after;
    }
    LogFile log = ParseLog(bytes);
    EXPECT_TRUE(log.byteOrderMark);
    EXPECT_TRUE(log.wellFormed);
    EXPECT_EQ(log.header.front(), "sequence");
    EXPECT_FALSE(log.lines.empty()) << "no empty generations";
    if (log.lines.size() > 1) {
      EXPECT_LE(bytes.size(), kMaxKib * 1024u);
    }
    int previous = 0;
    for (const LogLine& line : log.lines) {
      EXPECT_TRUE(ChecksumMatches(line));
      int sequence = std::stoi(log.Field(line, "sequence"));
      if (previous != 0) {
        EXPECT_EQ(sequence, previous + 1) << "a file holds a run of numbers";
      }
      previous = sequence;
      EXPECT_TRUE(sequences.insert(sequence).second) << "sequence " << sequence << " twice";
      documents.insert(log.Field(line, "document"));
    }
  }
  EXPECT_GE(generations, 5);
  EXPECT_EQ(sequences.size(), static_cast<size_t>(kRecords));
  EXPECT_EQ(*sequences.begin(), 1);
  EXPECT_EQ(*sequences.rbegin(), kRecords) << "numbers continue across generations";
  EXPECT_EQ(documents.size(), static_cast<size_t>(kRecords));
}

TEST_F(LogWriteTest, TheBytesThatCloseATornLineCountAgainstTheLimit) {
  // A line torn inside its quoted document: the next append first closes it with a quote
  // and CRLF, three bytes that the file must have room for too.
  ASSERT_EQ(Write("Plan \"A\", rev 2", 1), 1);
  std::string bytes = sgtest::ReadHostFile(LogPath());
  size_t torn = bytes.find(", rev") + 1;
  fs::resize_file(LogPath(), torn);
  // A probe in a log of its own tells how long a line is for its document's length.
  ASSERT_EQ(Write(std::string(100, 'p'), 64, "Probe"), 1);
  std::string probe = sgtest::ReadHostFile(LogPath("Probe"));
  size_t probeLine = probe.size() - (probe.find("\r\n") + 2);
  // The next line alone would just fit behind the torn one (1023 of 1024 bytes); with
  // the closing bytes it does not, so it starts a new generation.
  size_t document = 1023 - torn - (probeLine - 100);
  ASSERT_LT(document, 1024u);
  ASSERT_EQ(Write(std::string(document, 'd'), 1), 1);
  size_t files = 0;
  for (const auto& [name, content] : FilesIn(LogDir())) {
    if (name.rfind("Jobs", 0) != 0 || name == "Jobs.seq") continue;
    ++files;
    LogFile log = ParseLog(content);
    EXPECT_TRUE(log.wellFormed) << name;
    EXPECT_EQ(log.lines.size(), 1u) << name;
    EXPECT_LE(content.size(), 1024u) << name;
  }
  EXPECT_EQ(files, 2u);
  LogFile current = ParseLog(sgtest::ReadHostFile(LogPath()));
  ASSERT_EQ(current.lines.size(), 1u);
  EXPECT_EQ(current.Field(current.lines[0], "document"), std::string(document, 'd'));
  EXPECT_EQ(current.Field(current.lines[0], "sequence"), "2");
}

TEST_F(LogWriteTest, OneRecordLargerThanTheLimitStillGoesIntoAFreshFile) {
  // Header and one line with a 600-byte document already pass 1 KiB.
  for (char c : {'a', 'b', 'c'}) ASSERT_EQ(Write(std::string(600, c), 1), 1);
  size_t files = 0;
  for (const auto& [name, bytes] : FilesIn(LogDir())) {
    if (name == "Jobs.seq") continue;
    ++files;
    EXPECT_GT(bytes.size(), 1024u);
    EXPECT_EQ(ParseLog(bytes).lines.size(), 1u) << name;
  }
  EXPECT_EQ(files, 3u);
}

TEST_F(LogWriteTest, SequenceContinuesFromTheLogWhenItsNumberFileFellBehind) {
  ASSERT_EQ(Write("one"), 1);
  ASSERT_EQ(Write("two"), 1);
  // A crash between the append and the number file's update leaves it one behind.
  std::ofstream(LogDir() + "/Jobs.seq", std::ios::trunc) << "00000000000000000001\r\n";
  ASSERT_EQ(Write("three"), 1);
  LogFile log = ParseLog(sgtest::ReadHostFile(LogPath()));
  ASSERT_EQ(log.lines.size(), 3u);
  EXPECT_EQ(log.Field(log.lines[2], "sequence"), "3");

  // And with the number file gone, the log's last line still tells the number.
  fs::remove(LogDir() + "/Jobs.seq");
  ASSERT_EQ(Write("four"), 1);
  log = ParseLog(sgtest::ReadHostFile(LogPath()));
  ASSERT_EQ(log.lines.size(), 4u);
  EXPECT_EQ(log.Field(log.lines[3], "sequence"), "4");

  // Even when that line was altered since: its checksum fails, its number stays used.
  std::string bytes = sgtest::ReadHostFile(LogPath());
  bytes[bytes.rfind("four")] = 'F';
  std::ofstream(LogPath(), std::ios::binary | std::ios::trunc) << bytes;
  fs::remove(LogDir() + "/Jobs.seq");
  ASSERT_EQ(Write("five"), 1);
  log = ParseLog(sgtest::ReadHostFile(LogPath()));
  ASSERT_EQ(log.lines.size(), 5u);
  EXPECT_FALSE(ChecksumMatches(log.lines[3]));
  EXPECT_EQ(log.Field(log.lines[4], "sequence"), "5");

  // After a rotation the current file holds no line (here: cut back to its header) and
  // the number file is gone or behind:
  // the generation before tells the number, and no number repeats across the files.
  for (bool deleted : {true, false}) {
    SCOPED_TRACE(deleted ? "number file deleted" : "number file behind");
    fs::remove_all(LogDir());
    for (const char* job : {"g1", "g2", "g3", "g4"}) ASSERT_EQ(Write(job), 1);
    ASSERT_EQ(Write("rotated away", 1), 1);  // numbered 5, the first line of a new file
    auto files = FilesIn(LogDir());
    ASSERT_EQ(std::count_if(files.begin(), files.end(), [](const auto& f) { return f.first.rfind("Jobs-", 0) == 0; }), 1);
    fs::resize_file(LogPath(), LogFormatFileStart(nullptr, 0));
    fs::remove(LogDir() + "/Jobs.seq");
    if (!deleted) std::ofstream(LogDir() + "/Jobs.seq") << "00000000000000000002\r\n";
    ASSERT_EQ(Write("after the rotation", 1), 1);
    log = ParseLog(sgtest::ReadHostFile(LogPath()));
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_EQ(log.Field(log.lines[0], "sequence"), "5");
    EXPECT_EQ(VerifyProblems(), std::vector<std::string>());
  }
}

// A number file deleted, spoiled or behind (as a power loss leaves it, since it is
// written without a flush), then a job while the log cannot be opened (or can): every
// line reaches the log once, with rising numbers, and `log verify` named the number
// file before the next append mended it.
TEST_F(LogWriteTest, EveryNumberFileStateKeepsEveryLineOnceWithTheLogOpenOrNot) {
  const std::vector<std::pair<const char*, const char*>> states = {
      {"deleted", nullptr}, {"garbage", "x"}, {"empty", ""}, {"negative", "-5\r\n"},
      {"one behind", "00000000000000000002\r\n"}, {"zero", "0"},
      {"past the limit", "99999999999999999999\r\n"}, {"2^63", "9223372036854775808\r\n"}};
  for (bool logHeld : {false, true}) {
    for (const auto& [state, contents] : states) {
      SCOPED_TRACE(std::string(state) + (logHeld ? ", log held at the victim's job" : ""));
      fs::remove_all(LogDir());
      for (const char* job : {"j1", "j2", "j3"}) ASSERT_EQ(Write(job), 1);
      fs::remove(LogDir() + "/Jobs.seq");
      if (contents != nullptr) std::ofstream(LogDir() + "/Jobs.seq", std::ios::binary) << contents;
      std::vector<std::string> problems = VerifyProblems();
      EXPECT_EQ(std::count_if(problems.begin(), problems.end(),
                              [](const std::string& p) { return p.find("Jobs.seq") != std::string::npos; }),
                1)
          << ::testing::PrintToString(problems);
      EXPECT_EQ(logHeld ? WriteWhileHeld("victim") : Write("victim"), logHeld ? 0 : 1);
      if (logHeld) {
        // The victim could number only from what it saw: a number the log holds.
        problems = VerifyProblems();
        EXPECT_EQ(std::count_if(problems.begin(), problems.end(),
                                [](const std::string& p) { return p.find("holds for another line") != std::string::npos; }),
                  1)
            << ::testing::PrintToString(problems);
      }
      ASSERT_EQ(Write("j4"), 1);
      ExpectLogHolds({"j1", "j2", "j3", "victim", "j4"});
      EXPECT_EQ(ParseLog(sgtest::ReadHostFile(LogDir() + "/Jobs.pending")).lines.size(), 0u);
      EXPECT_EQ(VerifyProblems(), std::vector<std::string>());
    }
  }
}

TEST_F(LogWriteTest, TextPosingAsALineCannotMoveTheSequence) {
  // The document's second "line" looks like a record numbered 900 with a checksum.
  std::string forged = "900,2,2";
  char crc[9];
  std::snprintf(crc, sizeof(crc), "%08X", ReferenceCrc32(forged));
  ASSERT_EQ(Write("x\r\n" + forged + "," + crc), 1);
  fs::remove(LogDir() + "/Jobs.seq");
  ASSERT_EQ(Write("next"), 1);
  LogFile log = ParseLog(sgtest::ReadHostFile(LogPath()));
  ASSERT_EQ(log.lines.size(), 2u);
  EXPECT_EQ(log.Field(log.lines[1], "sequence"), "2");
}

TEST_F(LogWriteTest, LineTornByACrashStaysOneBadLineAndItsNumberIsNotRepeated) {
  // A document name with a comma, quotes and a line break is written as a quoted field.
  const std::string document = "Plan \"A\", rev 2\r\nsecond sheet";
  struct Tear {
    const char* where;
    size_t (*cut)(const std::string& line);  // bytes of the line that survive the crash
  } tears[] = {
      {"inside the quoted field, after its comma",
       [](const std::string& line) { return line.find(", rev") + 1; }},
      {"right after the quoted CRLF",
       [](const std::string& line) { return line.find("\r\nsecond") + 2; }},
      {"inside the checksum column", [](const std::string& line) { return line.size() - 6; }},
  };
  for (const Tear& tear : tears) {
    SCOPED_TRACE(tear.where);
    std::string name = "Torn" + std::to_string(&tear - tears);
    ASSERT_EQ(Write(document, 64, name), 1);
    std::string bytes = sgtest::ReadHostFile(LogPath(name));
    size_t lineStart = bytes.find("\r\n") + 2;
    std::string line = bytes.substr(lineStart, bytes.size() - 2 - lineStart);
    // The crash cut the line and came before the number file was updated.
    fs::resize_file(LogPath(name), lineStart + tear.cut(line));
    fs::remove(LogDir() + "/" + name + ".seq");
    for (int i = 1; i <= 3; ++i) ASSERT_EQ(Write("after-" + std::to_string(i), 64, name), 1);

    LogFile log = ParseLog(sgtest::ReadHostFile(LogPath(name)));
    EXPECT_TRUE(log.wellFormed);
    ASSERT_EQ(log.lines.size(), 4u) << "one torn line and three good ones";
    EXPECT_FALSE(ChecksumMatches(log.lines[0]));
    for (int i = 1; i <= 3; ++i) {
      EXPECT_TRUE(ChecksumMatches(log.lines[i]));
      EXPECT_EQ(log.Field(log.lines[i], "document"), "after-" + std::to_string(i));
      EXPECT_EQ(log.Field(log.lines[i], "sequence"), std::to_string(i + 1))
          << "the torn line's number 1 stays its own";
    }

    // The same cut in the pending file, of a line that waited with or without its
    // number: it moves as one damaged record, and every line after it is whole.
    for (bool numbered : {true, false}) {
      SCOPED_TRACE(numbered ? "pending, numbered" : "pending, unnumbered");
      fs::remove_all(LogDir());
      ASSERT_EQ(Write("before"), 1);
      ASSERT_EQ(numbered ? WriteWhileHeld(document) : WriteUnnumbered(document), 0);
      std::string pending = LogDir() + "/Jobs.pending";
      std::string waiting = sgtest::ReadHostFile(pending);
      size_t start = waiting.find("\r\n") + 2;
      fs::resize_file(pending, start + tear.cut(waiting.substr(start, waiting.size() - 2 - start)));
      for (int i = 1; i <= 3; ++i) ASSERT_EQ(Write("after-" + std::to_string(i)), 1);
      log = ParseLog(sgtest::ReadHostFile(LogPath()));
      EXPECT_TRUE(log.wellFormed);
      ASSERT_EQ(log.lines.size(), 5u) << "the cut line between whole ones";
      EXPECT_FALSE(ChecksumMatches(log.lines[1]));
      for (int i = 1; i <= 3; ++i) {
        EXPECT_TRUE(ChecksumMatches(log.lines[i + 1]));
        EXPECT_EQ(log.Field(log.lines[i + 1], "document"), "after-" + std::to_string(i));
      }
      EXPECT_EQ(VerifyProblems().size(), 1u) << "the cut line alone";
    }
  }
}

// The longest line the library can write, worked out by hand from the columns: the
// number (19 digits), level and format (11 each), content flags (10), the time stamp
// (seven 16-bit members of 5 digits and 6 separators: 41), the computer name (32 bytes,
// 3 UTF-8 bytes each and 2 quotes: 98), six long texts (6 x 1,538), six short ones
// (6 x 770), the wide text_440 (128 characters: 386), the other 20 values (200), two
// blocks (2 x 256), written_utc (a time and its "Z": 42), the checksum (8) and 42
// commas: 15,228 bytes. A damaged record longer than that is named as the remains of
// several lines, and is not counted as a line.
TEST_F(LogWriteTest, VerifyNamesADamagedRecordLongerThanAnyLineAsSeveral) {
  const size_t kLongestLine = 19 + 11 + 11 + 10 + 41 + 98 + 6 * 1538 + 6 * 770 + 386 + 200 + 2 * 256 + 42 + 8 + 42;
  ASSERT_EQ(kLongestLine, 15228u);
  ASSERT_EQ(Write("first"), 1);
  const std::string start = sgtest::ReadHostFile(LogPath());
  struct Case {
    size_t bytes;
    const char* says;
  } cases[] = {
      {kLongestLine, "no checksum at the end of the line"},
      {kLongestLine + 1, "a damaged record of 15,229 bytes that may hold several lines"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    std::string record = "2," + std::string(c.bytes - 2, 'x');
    std::ofstream(LogPath(), std::ios::binary | std::ios::trunc) << start << record << "\r\n";
    std::ofstream(LogDir() + "/Jobs.seq", std::ios::trunc) << "00000000000000000002\r\n";
    std::vector<std::string> problems = VerifyProblems();
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0].find(c.says), std::string::npos) << problems[0];
  }

  // Lines the library wrote, run together by a quote lost near the start of the second:
  // from there to the end of the file is one record, which the summary does not count
  // as one line.
  fs::remove_all(LogDir());
  const std::string longText(500, 'w');
  for (int i = 1; i <= 20; ++i) ASSERT_EQ(Write("job-" + std::to_string(i) + " \"" + longText + "\""), 1);
  std::string bytes = sgtest::ReadHostFile(LogPath());
  size_t second = bytes.find("\r\n2,") + 2;
  size_t quote = bytes.find('"', second);
  bytes.erase(quote, 1);
  std::ofstream(LogPath(), std::ios::binary | std::ios::trunc) << bytes;
  const size_t merged = bytes.size() - second;
  ASSERT_GT(merged, kLongestLine);
  std::ostringstream out;
  spoolgate::VerifyLog(LogDir(), false, out);
  std::string said = out.str();
  std::string size = std::to_string(merged / 1000) + "," + std::to_string(merged % 1000 + 1000).substr(1);
  EXPECT_NE(said.find("a damaged record of " + size + " bytes that may hold several lines"), std::string::npos) << said;
  EXPECT_NE(said.find("verified 1 line and 1 damaged record of several in 1 file"), std::string::npos) << said;
}

TEST_F(LogWriteTest, LineThatCannotBeAppendedWaitsInThePendingFileWithItsNumber) {
  ASSERT_EQ(Write("one"), 1);
  std::string before = sgtest::ReadHostFile(LogPath());

  // Held open without write sharing, as a spreadsheet holds it.
  HANDLE held = CreateFileW(u"C:\\Logs\\Jobs.csv", GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Write("while held"), 0);
  CloseHandle(held);
  HostFailNth(HostOp::WriteFile, 1, ERROR_DISK_FULL);
  EXPECT_EQ(Write("lost to a full disk"), 0);
  // The flush fails after the bytes went in: they are taken out of the log again.
  HostFailNth(HostOp::FlushFile, 1, ERROR_IO_DEVICE);
  EXPECT_EQ(Write("lost to a failed flush"), 0);
  EXPECT_EQ(sgtest::ReadHostFile(LogPath()), before) << "no partial line in the log";
  LogFile pending = ParseLog(sgtest::ReadHostFile(LogDir() + "/Jobs.pending"));
  ASSERT_EQ(pending.lines.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(pending.Field(pending.lines[i], "sequence"), std::to_string(i + 2));
    EXPECT_TRUE(ChecksumMatches(pending.lines[i]));
  }

  // The next append that reaches the log moves them in first, in order.
  HostClearFaults();
  ASSERT_EQ(Write("two"), 1);
  ExpectLogHolds({"one", "while held", "lost to a full disk", "lost to a failed flush", "two"});
  EXPECT_EQ(sgtest::ReadHostFile(LogDir() + "/Jobs.pending"), "");
  EXPECT_TRUE(HostEventLog().empty());
  EXPECT_EQ(HostOpenHandleCount(), 0u);
  EXPECT_EQ(HostLiveAllocations(), 0u);
}

// Six lines wait without a number, each named with quotes and a comma; the append that
// numbers them loses the power at the pending file's flush, the write torn at each
// sector boundary in turn. Whatever the name's length (so wherever the quotes fall
// against the boundaries), one more append finds every line whole: sixteen before and
// six that waited, each once under its own number.
TEST_F(LogWriteTest, APowerCutWhileWaitingLinesAreNumberedLosesNoneOfThem) {
  for (size_t length : {1u, 7u, 18u, 25u, 31u}) {
    SCOPED_TRACE("name of " + std::to_string(length + 26) + " bytes");
    const std::string name = std::string(length, 'x') + "Plan \"A\", rev 2.pdf";
    fs::remove_all(LogDir());
    for (int i = 1; i <= 10; ++i) ASSERT_EQ(Write("log-" + std::to_string(i) + " " + name), 1);
    for (int i = 1; i <= 6; ++i) ASSERT_EQ(WriteUnnumbered("waited-" + std::to_string(i) + " " + name), 0);
    const auto start = FilesIn(LogDir());
    for (unsigned tearAt = 1;; ++tearAt) {
      SCOPED_TRACE("sector boundary " + std::to_string(tearAt));
      fs::remove_all(LogDir());
      fs::create_directories(LogDir());
      for (const auto& [file, bytes] : start) std::ofstream(LogDir() + "/" + file, std::ios::binary) << bytes;
      pid_t child = fork();
      ASSERT_GE(child, 0);
      if (child == 0) {
        HostPowerLossNth(HostOp::FlushFile, 1, true, tearAt);
        Write("cut " + name);
        _exit(0);
      }
      int status = 0;
      ASSERT_EQ(waitpid(child, &status, 0), child);
      ASSERT_TRUE(WIFEXITED(status));
      if (WEXITSTATUS(status) == HOST_TEAR_PAST_END_EXIT_STATUS) break;
      ASSERT_EQ(WEXITSTATUS(status), HOST_CRASH_EXIT_STATUS);
      ASSERT_EQ(Write("after " + name), 1);
      LogFile log = ParseLog(sgtest::ReadHostFile(LogPath()));
      std::map<std::string, int> good;
      std::set<std::string> numbers;
      for (const LogLine& line : log.lines) {
        EXPECT_TRUE(ChecksumMatches(line)) << line.raw.substr(0, 80);
        std::string document = log.Field(line, "document");
        ++good[document.substr(0, document.find(' '))];
        EXPECT_TRUE(numbers.insert(log.Field(line, "sequence")).second) << "number twice";
      }
      for (int i = 1; i <= 10; ++i) EXPECT_EQ(good["log-" + std::to_string(i)], 1) << i;
      for (int i = 1; i <= 6; ++i) EXPECT_EQ(good["waited-" + std::to_string(i)], 1) << i;
      EXPECT_EQ(good["after"], 1);
      if (HasFailure()) return;
    }
  }
}

// A reader that holds the pending file open (a spreadsheet, a copy in progress) keeps
// Windows from replacing it: the move waits for a later append, and no line is lost or
// moved twice. The numbers the failed move meant to give stay free: the line written
// meanwhile waits under the next one and moves first, the waiting lines follow without
// a gap.
TEST_F(LogWriteTest, APendingFileAReaderHoldsOpenWaitsForTheNextAppend) {
  ASSERT_EQ(Write("before"), 1);
  ASSERT_EQ(WriteUnnumbered("waited-1"), 0);
  ASSERT_EQ(WriteUnnumbered("waited-2"), 0);
  HANDLE reader = CreateFileW(u"C:\\Logs\\Jobs.pending", GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Write("while read"), 0) << "the line waits behind the ones before it";
  CloseHandle(reader);
  EXPECT_FALSE(sgtest::HostFileExists(LogDir() + "/Jobs.pending-new"));
  ASSERT_EQ(Write("after"), 1);
  ExpectLogHolds({"before", "while read", "waited-1", "waited-2", "after"});
  EXPECT_EQ(VerifyProblems(), std::vector<std::string>());
}

// The clock went back across rotations: fifteen appends at 2027-01-10 12:00 under a
// 2 KiB limit, nine at 2026-12-01 08:00; then the current file was renamed to a
// generation's name (a rotation cut before its new file) and the number file deleted.
// The next appends continue after 24, the highest number the log holds. And however
// many generations the folder holds, that recovery opens as many files.
TEST_F(LogWriteTest, NumbersNeverRepeatAfterTheClockWentBackAcrossRotations) {
  auto history = [&](int later, int earlier) {
    fs::remove_all(LogDir());
    HostSetSystemTime(SYSTEMTIME{2027, 1, 0, 10, 12, 0, 0, 0});
    for (int i = 1; i <= later + earlier; ++i) {
      if (i == later + 1) HostSetSystemTime(SYSTEMTIME{2026, 12, 2, 1, 8, 0, 0, 0});
      ASSERT_EQ(Write("job-" + std::to_string(i), 2), 1);
    }
    fs::rename(LogPath(), LogDir() + "/Jobs-20261201-080000Z.csv");
    fs::remove(LogDir() + "/Jobs.seq");
  };
  history(15, 9);
  ASSERT_GE(FilesIn(LogDir()).size(), 6u);
  for (int i = 25; i <= 27; ++i) ASSERT_EQ(Write("next-" + std::to_string(i), 2), 1);
  std::map<std::string, int> numbers;
  for (const auto& [name, bytes] : FilesIn(LogDir())) {
    if (name.size() < 4 || name.compare(name.size() - 4, 4, ".csv") != 0) continue;
    LogFile file = ParseLog(bytes);
    for (const LogLine& line : file.lines) {
      EXPECT_TRUE(ChecksumMatches(line));
      std::string document = file.Field(line, "document");
      if (document.rfind("next-", 0) == 0) {
        EXPECT_EQ(file.Field(line, "sequence"), document.substr(5));
      }
      EXPECT_EQ(++numbers[file.Field(line, "sequence")], 1) << "number " << file.Field(line, "sequence") << " twice";
    }
  }
  EXPECT_EQ(numbers.size(), 27u);
  EXPECT_EQ(VerifyProblems(), std::vector<std::string>());

  // The bound: the recovering append opens the same files after 6 generations as after
  // 60 (lines of about 600 bytes, three to a file of 2 KiB).
  std::vector<uint64_t> opens;
  for (int lines : {18, 180}) {
    history(lines / 2, lines / 2);
    HostResetCounters();
    ASSERT_EQ(Write("recovered", 2), 1);
    opens.push_back(HostCallCount(HostOp::CreateFile));
  }
  EXPECT_EQ(opens[0], opens[1]);
  HostSetSystemTime(std::nullopt);
}

TEST_F(LogWriteTest, LineStoredNowhereUsesItsNumberAndGoesToTheEventLog) {
  ASSERT_EQ(Write("one"), 1);
  // Neither the log nor the pending file takes the line; the number file still does.
  HostFailNth(HostOp::WriteFile, 2, ERROR_DISK_FULL);
  HostFailNth(HostOp::WriteFile, 3, ERROR_DISK_FULL);
  EXPECT_EQ(Write("stored nowhere"), 0);
  // A directory that is a file: there is not even a number to use.
  std::ofstream(root_ + "/C/Blocked") << "a file";
  EXPECT_EQ(WriteRecord("C:\\Blocked", "Jobs", 64, 2, Record("no directory")), 0);
  HostFailNth(HostOp::CreateDirectory, 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(WriteRecord("C:\\Denied", "Jobs", 64, 2, Record("denied")), 0);
  ASSERT_EQ(Write("three"), 1);

  LogFile log = ParseLog(sgtest::ReadHostFile(LogPath()));
  ASSERT_EQ(log.lines.size(), 2u);
  EXPECT_EQ(log.Field(log.lines[1], "sequence"), "3") << "the gap shows the lost line";
  std::vector<HostEvent> events = HostEventLog();
  ASSERT_EQ(events.size(), 3u);
  const std::u16string paths[] = {u"C:\\Logs\\Jobs.csv", u"C:\\Blocked\\Jobs.csv", u"C:\\Denied\\Jobs.csv"};
  const char* lines[] = {"2,2,2,1,", ",2,2,1,", ",2,2,1,"};
  const char* documents[] = {"stored nowhere", "no directory", "denied"};
  // Why, as the failed call's Win32 error and the system's text of it.
  const std::u16string reasons[] = {u"error 112: There is not enough space on the disk.",
                                    u"error 267: The directory name is invalid.",
                                    u"error 5: Access is denied."};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(events[i].source, u"ruzoravu64");
    EXPECT_EQ(events[i].type, EVENTLOG_ERROR_TYPE);
    ASSERT_EQ(events[i].strings.size(), 3u);
    EXPECT_EQ(events[i].strings[0], paths[i]);
    EXPECT_EQ(events[i].strings[2], reasons[i]);
    std::string text(events[i].strings[1].begin(), events[i].strings[1].end());
    EXPECT_EQ(text.rfind(lines[i], 0), 0u) << text;
    EXPECT_NE(text.find(documents[i]), std::string::npos) << text;
  }
}

TEST_F(LogWriteTest, ANumberUsedWithoutALineSurvivesAPowerLoss) {
  ASSERT_EQ(Write("one"), 1);
  // An ordinary append flushes the log alone: its last line tells the number, and a
  // flush of the number file too would double the disk syncs of every job.
  HostResetCounters();
  ASSERT_EQ(Write("two"), 1);
  EXPECT_EQ(HostCallCount(HostOp::FlushFile), 1u);
  fs::remove_all(LogDir());
  ASSERT_EQ(Write("one"), 1);
  const auto withOne = FilesIn(LogDir());
  // The opens of an append whose line is stored nowhere, counted in a run of its own.
  HostResetCounters();
  HostFailNth(HostOp::WriteFile, 2, ERROR_DISK_FULL);
  HostFailNth(HostOp::WriteFile, 3, ERROR_DISK_FULL);
  ASSERT_EQ(Write("stored nowhere"), 0);
  const uint64_t opens = HostCallCount(HostOp::CreateFile);
  HostClearFaults();
  fs::remove_all(LogDir());
  fs::create_directories(LogDir());
  for (const auto& [name, bytes] : withOne) std::ofstream(LogDir() + "/" + name, std::ios::binary) << bytes;

  // Again, and the power fails as the next append starts: only what was flushed stays.
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    HostPowerLossNth(HostOp::CreateFile, opens + 1, false);
    HostFailNth(HostOp::WriteFile, 2, ERROR_DISK_FULL);
    HostFailNth(HostOp::WriteFile, 3, ERROR_DISK_FULL);
    Write("stored nowhere");
    Write("never written");
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), HOST_CRASH_EXIT_STATUS);
  // Number 2 went to the event log with the lost line: it is never used again.
  ASSERT_EQ(Write("three"), 1);
  LogFile log = ParseLog(sgtest::ReadHostFile(LogPath()));
  ASSERT_EQ(log.lines.size(), 2u);
  EXPECT_EQ(log.Field(log.lines[0], "document"), "one");
  EXPECT_EQ(log.Field(log.lines[1], "sequence"), "3");
}

TEST_F(LogWriteTest, AStalledLockHolderDelaysAnAppendOnlyAFewSeconds) {
  ASSERT_EQ(Write("one"), 1);
  HANDLE holder = CreateFileW(u"C:\\Logs\\Jobs.seq", GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  OVERLAPPED range{};
  ASSERT_TRUE(LockFileEx(holder, LOCKFILE_EXCLUSIVE_LOCK, 0, 0xFFFFFFFFu, 0xFFFFFFFFu, &range));
  auto started = std::chrono::steady_clock::now();
  std::string record = Record("while stalled");
  auto append = std::async(std::launch::async,
                           [&] { return WriteRecord("C:\\Logs", "Jobs", 64, 2, record); });
  bool returned = append.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
  auto waited = std::chrono::steady_clock::now() - started;
  UnlockFileEx(holder, 0, 0xFFFFFFFFu, 0xFFFFFFFFu, &range);
  CloseHandle(holder);
  EXPECT_TRUE(returned) << "the append waited for the holder";
  EXPECT_EQ(append.get(), 0);
  EXPECT_GE(waited, std::chrono::seconds(3));
  // Without the lock the line has no number yet; it gets one when it is moved.
  LogFile pending = ParseLog(sgtest::ReadHostFile(LogDir() + "/Jobs.pending"));
  ASSERT_EQ(pending.lines.size(), 1u);
  EXPECT_EQ(pending.Field(pending.lines[0], "sequence"), "");
  ASSERT_EQ(Write("two"), 1);
  LogFile log = ParseLog(sgtest::ReadHostFile(LogPath()));
  ASSERT_EQ(log.lines.size(), 3u);
  EXPECT_EQ(log.Field(log.lines[1], "document"), "while stalled");
  EXPECT_EQ(log.Field(log.lines[1], "sequence"), "2");
  EXPECT_TRUE(ChecksumMatches(log.lines[1]));
  EXPECT_EQ(log.Field(log.lines[2], "sequence"), "3");
}

TEST_F(LogWriteTest, PendingFileThatLostItsHeaderLosesNoLine) {
  ASSERT_EQ(Write("one"), 1);
  ASSERT_EQ(WriteWhileHeld("waited-1"), 0);
  ASSERT_EQ(WriteUnnumbered("waited-2"), 0);
  std::string pending = LogDir() + "/Jobs.pending";
  std::string bytes = sgtest::ReadHostFile(pending);
  std::ofstream(pending, std::ios::binary | std::ios::trunc) << bytes.substr(bytes.find("\r\n") + 2);
  ASSERT_EQ(Write("two"), 1);
  ExpectLogHolds({"one", "waited-1", "waited-2", "two"});
}

TEST_F(LogWriteTest, TwoPendingLinesHoldingOneNumberMoveUnderTwoInTheirOrder) {
  // A crash after a line went to the pending file under number 2 but before the number
  // file said so: the next writer takes 2 again, and its line waits too.
  ASSERT_EQ(Write("one"), 1);
  ASSERT_EQ(WriteWhileHeld("waited-1"), 0);
  ASSERT_EQ(WriteWhileHeld("waited-2"), 0);
  std::string pending = LogDir() + "/Jobs.pending";
  LogFile waiting = ParseLog(sgtest::ReadHostFile(pending));
  ASSERT_EQ(waiting.lines.size(), 2u);
  ASSERT_EQ(waiting.Field(waiting.lines[1], "sequence"), "3");
  // The second line renumbered 2 with its checksum made anew, as the writer would have.
  std::string bytes = sgtest::ReadHostFile(pending);
  const std::string& second = waiting.lines[1].raw;
  std::string body = "2" + second.substr(1, second.rfind(',') - 1);
  char crc[16];
  std::snprintf(crc, sizeof crc, ",%08X", ReferenceCrc32(body));
  bytes.replace(bytes.find(second), second.size(), body + crc);
  std::ofstream(pending, std::ios::binary | std::ios::trunc) << bytes;
  std::ofstream(LogDir() + "/Jobs.seq", std::ios::binary | std::ios::trunc) << "00000000000000000002\r\n";
  ASSERT_EQ(ParseLog(sgtest::ReadHostFile(pending)).Field(ParseLog(sgtest::ReadHostFile(pending)).lines[1], "sequence"),
            "2");

  // The later of the two gets the next free number and both move in, in file order.
  ASSERT_EQ(Write("two"), 1);
  ExpectLogHolds({"one", "waited-1", "waited-2", "two"});
  EXPECT_EQ(sgtest::ReadHostFile(pending), "");
  EXPECT_TRUE(VerifyProblems().empty());
}

TEST_F(LogWriteTest, AtTheSequenceLimitALineIsStoredNowhereRatherThanUnderAUsedNumber) {
  fs::create_directories(LogDir());
  std::ofstream(LogDir() + "/Jobs.seq", std::ios::binary) << "09223372036854775806\r\n";
  ASSERT_EQ(Write("last"), 1);
  EXPECT_EQ(Write("beyond"), 0);
  // A number past the limit, as an earlier writer could leave it, counts as used up.
  std::ofstream(LogDir() + "/Jobs.seq", std::ios::binary | std::ios::trunc) << "18446744073709551608\r\n";
  EXPECT_EQ(Write("far beyond"), 0);
  LogFile log = ParseLog(sgtest::ReadHostFile(LogPath()));
  ASSERT_EQ(log.lines.size(), 1u);
  EXPECT_EQ(log.Field(log.lines[0], "sequence"), "9223372036854775807");
  std::vector<HostEvent> events = HostEventLog();
  ASSERT_EQ(events.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    std::string text(events[i].strings[1].begin(), events[i].strings[1].end());
    EXPECT_EQ(text.rfind(",2,2,", 0), 0u) << "stored nowhere, under no number: " << text;
    EXPECT_EQ(events[i].strings.at(2), u"every sequence number is used");
  }
  // The readers keep to the same limit: a line numbered past it has no number for them.
  std::string line = "9223372036854775808" + log.lines[0].raw.substr(19, log.lines[0].raw.size() - 28);
  char crc[9];
  std::snprintf(crc, sizeof(crc), "%08X", ReferenceCrc32(line));
  std::string bytes = sgtest::ReadHostFile(LogPath());
  std::ofstream(LogPath(), std::ios::binary | std::ios::app) << line << "," << crc << "\r\n";
  std::vector<std::string> problems = VerifyProblems();
  EXPECT_EQ(std::count_if(problems.begin(), problems.end(),
                          [](const std::string& p) { return p.find("no sequence number") != std::string::npos; }),
            1)
      << ::testing::PrintToString(problems);
}

TEST_F(LogWriteTest, ASequenceFileDeletedUnderAWriterLetsNoTwoWritersIn) {
  ASSERT_EQ(Write("one"), 1);
  auto lockSequenceFile = [](OVERLAPPED* range) {
    HANDLE file = CreateFileW(u"C:\\Logs\\Jobs.seq", GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_TRUE(LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 0xFFFFFFFFu, 0xFFFFFFFFu, range));
    return file;
  };
  OVERLAPPED first{}, second{};
  HANDLE old = lockSequenceFile(&first);
  std::string record = Record("waited");
  auto append = std::async(std::launch::async,
                           [&] { return WriteRecord("C:\\Logs", "Jobs", 64, 2, record); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // it has the file and waits
  fs::remove(LogDir() + "/Jobs.seq");
  HANDLE fresh = lockSequenceFile(&second);  // the next writer made a new one and holds it
  UnlockFileEx(old, 0, 0xFFFFFFFFu, 0xFFFFFFFFu, &first);
  CloseHandle(old);
  EXPECT_EQ(append.wait_for(std::chrono::seconds(1)), std::future_status::timeout)
      << "the waiting writer went on under the lock of a file no one else can reach";
  UnlockFileEx(fresh, 0, 0xFFFFFFFFu, 0xFFFFFFFFu, &second);
  CloseHandle(fresh);
  EXPECT_EQ(append.get(), 1);

  // Deleted while the writer holds the lock (its first read is of the sequence file):
  // the next writer could come in, so this one writes nothing more to the log, and the
  // line waits without a number.
  struct Deleter {
    std::string path;
    bool done = false;
    static void OnCall(const HostCall& call, void* context) {
      auto* self = static_cast<Deleter*>(context);
      if (self->done || std::string(call.function) != "ReadFile") return;
      self->done = true;
      fs::remove(self->path);
    }
  } deleter{LogDir() + "/Jobs.seq"};
  HostSetCallSink(&Deleter::OnCall, &deleter);
  EXPECT_EQ(Write("lock lost"), 0);
  HostSetCallSink(nullptr, nullptr);
  EXPECT_TRUE(deleter.done);
  ASSERT_EQ(Write("two"), 1);
  ExpectLogHolds({"one", "waited", "lock lost", "two"});
}

TEST_F(LogWriteTest, CurrentFileWithoutTheAppendTimeColumnIsRotatedNotMixed) {
  ASSERT_EQ(Write("one"), 1);
  // The same file as an earlier version wrote it: no written_utc column.
  std::string old = "\xEF\xBB\xBFsequence,level,format,document,crc32\r\n1,2,2,old.plt,";
  char crc[9];
  std::snprintf(crc, sizeof(crc), "%08X", ReferenceCrc32("1,2,2,old.plt"));
  std::ofstream(LogPath(), std::ios::binary | std::ios::trunc) << old << crc << "\r\n";
  ASSERT_EQ(Write("two"), 1);
  for (const auto& [name, bytes] : FilesIn(LogDir())) {
    if (name == "Jobs.seq") continue;
    LogFile file = ParseLog(bytes);
    for (const LogLine& line : file.lines) {
      EXPECT_EQ(line.fields.size(), file.header.size()) << name << " mixes two column sets";
    }
  }
  LogFile log = ParseLog(sgtest::ReadHostFile(LogPath()));
  ASSERT_EQ(log.lines.size(), 1u);
  EXPECT_EQ(log.Field(log.lines[0], "sequence"), "2");
  EXPECT_NE(log.Field(log.lines[0], "written_utc"), "");
}

TEST_F(LogWriteTest, FailedFirstWriteLeavesNoHeaderWithoutItsLine) {
  HostFailNth(HostOp::WriteFile, 2, ERROR_DISK_FULL);
  EXPECT_EQ(Write("kept waiting"), 0);
  EXPECT_EQ(sgtest::ReadHostFile(LogPath()), "");
  ASSERT_EQ(Write("kept"), 1);
  LogFile log = ParseLog(sgtest::ReadHostFile(LogPath()));
  EXPECT_TRUE(log.byteOrderMark);
  ASSERT_EQ(log.lines.size(), 2u);
  EXPECT_EQ(log.Field(log.lines[0], "sequence"), "1");
  EXPECT_EQ(log.Field(log.lines[0], "document"), "kept waiting");
}

TEST_F(LogWriteTest, DataThatIsNotOneCsvLineIsRefused) {
  for (const char* data : {"", "no line end", "1,2\r\n3,4\r\n", "bare\nfeed\r\n",
                           "\"open quote\r\n", "a,b\r\nextra"}) {
    SCOPED_TRACE(data);
    EXPECT_EQ(QenDrvLogWriteRecord("C:\\Logs", "Jobs", 64, 2, data, nullptr), 0);
  }
  EXPECT_EQ(QenDrvLogWriteRecord("C:\\Logs", "Jobs", 64, 2, nullptr, nullptr), 0);
  EXPECT_EQ(QenDrvLogWriteRecord(nullptr, "Jobs", 64, 2, "a\r\n", nullptr), 0);
  EXPECT_EQ(QenDrvLogWriteRecord("", "Jobs", 64, 2, "a\r\n", nullptr), 0);
  EXPECT_FALSE(sgtest::HostFileExists(LogPath()));
}

// What a log directory holds, line by line, over every generation.
struct LogContents {
  std::map<std::string, int> good;  // documents of lines whose checksum is right
  std::map<std::string, int> numbers;  // sequence fields of every record
  int damaged = 0;
  // Damaged records that do not hold exactly one line's document (two merged, or a
  // fragment of one), and the documents the damaged records hold.
  int damagedNotOneLine = 0;
  std::map<std::string, int> inDamaged;
  bool wellFormed = true;
  size_t files = 0;
  size_t pendingLines = 0;
};

LogContents ReadLogDirectory(const std::string& directory) {
  LogContents c;
  for (const auto& [name, bytes] : FilesIn(directory)) {
    LogFile file = ParseLog(bytes);
    if (name == "Jobs.pending") c.pendingLines = file.lines.size();
    if (name.size() < 4 || name.compare(name.size() - 4, 4, ".csv") != 0) continue;
    ++c.files;
    c.wellFormed = c.wellFormed && file.wellFormed;
    for (const LogLine& line : file.lines) {
      // A document's name is the sweep's word for it, up to its first space.
      std::string document = file.Field(line, "document");
      if (ChecksumMatches(line)) {
        ++c.good[document.substr(0, document.find(' '))];
      } else {
        ++c.damaged;
        // A sweep's document opens its field: ,"<name> Plan ""A""
        static const std::regex kDocument(",\"([a-z]+(-[0-9]+)?) Plan \"\"A\"\"");
        int held = 0;
        for (std::sregex_iterator it(line.raw.begin(), line.raw.end(), kDocument), end; it != end; ++it, ++held)
          ++c.inDamaged[(*it)[1]];
        c.damagedNotOneLine += held != 1;
      }
      ++c.numbers[file.Field(line, "sequence")];
    }
  }
  return c;
}

using DirectoryFiles = std::vector<std::pair<std::string, std::string>>;

// The writer is stopped before its n-th call of each file operation, for every n, in
// states where the pending file holds numbered and unnumbered lines (unnumbered first),
// the move passes the size limit, and (second start) the pending file ends in a line
// cut inside its quoted name. Where a stop left lines both moved and still pending, a
// next writer under a lower limit is stopped at each of its writes and renames too. One
// clean write follows. Each point is tried twice: the process killed, and the power
// lost (every write no flush followed torn at each sector boundary in turn where the
// writer writes or flushes, at the first where the next writer does, dropped at other
// calls), the latter from starts whose
// number file is deleted (first start) or behind (second). Every line carries quotes,
// commas and line breaks in its texts, so that a cut anywhere can split a quoted text.
// A third start (the writer killed) has its clock set back across rotations: the
// newest generation by its name holds the lowest numbers, the current file was renamed
// to a generation's name and the number file is gone. Every line whose append reported success must then be in
// the log once, nothing twice, no number twice, nothing left pending; after a kill every
// line that waited is in the log too and `log verify` names exactly the damage there is
// (the cut line, the numbers of stopped lines never written); after a power loss a
// waiting line may be damaged by the rewrite the power cut, but then as a damaged
// record of its own, and verify's verdict must be the sweep's.
TEST_F(LogWriteTest, ACrashAtAnyCallOfAnAppendStoresEveryLineOnce) {
  const DWORD kMaxKib = 5;
  const std::vector<HostOp> kOps = {HostOp::CreateFile, HostOp::ReadFile,     HostOp::WriteFile,
                                    HostOp::SetFilePointer, HostOp::FlushFile, HostOp::MoveFile,
                                    HostOp::SetEndOfFile, HostOp::LockFile};
  quoted_ = true;
  const std::string crashing[2] = {Record("crashing-1"), Record("crashing-2")};
  // The second writer finds the limit lowered, so that it would rotate a file that
  // holds lines the first moved.
  const DWORD limits[2] = {kMaxKib, 1};
  std::vector<std::string> acknowledged;
  std::vector<std::string> waited;
  struct Tally {
    int points = 0, twice = 0, lost = 0, waitedDamaged = 0, merged = 0, numbersTwice = 0, verdicts = 0,
        agreed = 0;
  } tally[2];
  enum Start { kWholeLines, kTornTail, kClockSetBack };
  bool powerLoss = false;
  Start start = kWholeLines;
  auto restore = [&](const DirectoryFiles& files) {
    fs::remove_all(LogDir());
    fs::create_directories(LogDir());
    for (const auto& [name, bytes] : files) std::ofstream(LogDir() + "/" + name, std::ios::binary) << bytes;
  };
  // Runs write `which` in a child stopped at the n-th call of op (its write torn at
  // sector boundary tearAt). FALSE when that boundary lies past every write in flight.
  auto crash = [&](int which, HostOp op, uint64_t n, unsigned tearAt = 1) {
    pid_t child = fork();
    EXPECT_GE(child, 0);
    if (child == 0) {
      // Writes in flight are torn where the writer writes or flushes, dropped elsewhere.
      if (powerLoss) HostPowerLossNth(op, n, op == HostOp::WriteFile || op == HostOp::FlushFile, tearAt);
      else HostCrashNth(op, n);
      WriteRecord("C:\\Logs", "Jobs", limits[which], 2, crashing[which]);
      _exit(0);
    }
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == HOST_TEAR_PAST_END_EXIT_STATUS) return false;
    // A rotation tries a second name only when the first is taken in the same second,
    // so a writer may make one rename fewer than the count: it then ends normally. A
    // start whose number file is missing or behind makes a few calls fewer too.
    EXPECT_TRUE(WEXITSTATUS(status) == HOST_CRASH_EXIT_STATUS ||
                ((op == HostOp::MoveFile || powerLoss) && WEXITSTATUS(status) == 0));
    tally[powerLoss].points += WEXITSTATUS(status) == HOST_CRASH_EXIT_STATUS;
    return true;
  };
  // The calls of each operation that write `which` makes from files.
  auto countCalls = [&](int which, const DirectoryFiles& files) {
    restore(files);
    HostResetCounters();
    EXPECT_EQ(WriteRecord("C:\\Logs", "Jobs", limits[which], 2, crashing[which]), 1);
    std::map<HostOp, uint64_t> calls;
    for (HostOp op : kOps) calls[op] = HostCallCount(op);
    return calls;
  };
  auto checkAfterCleanWrite = [&]() {
    Tally& t = tally[powerLoss];
    const bool torn = start == kTornTail;
    EXPECT_EQ(Write("after", kMaxKib), 1);
    LogContents c = ReadLogDirectory(LogDir());
    EXPECT_TRUE(c.wellFormed);
    for (const std::string& document : acknowledged) {
      EXPECT_EQ(c.good[document], 1) << document;
      t.twice += std::max(c.good[document] - 1, 0);
      t.lost += c.good[document] == 0;
    }
    EXPECT_EQ(c.good["after"], 1);
    t.lost += c.good["after"] == 0;
    int unwritten = 0, damagedWaiting = 0;
    for (const std::string& document : waited) {
      EXPECT_LE(c.good[document], 1) << document;
      if (!powerLoss) {
        EXPECT_EQ(c.good[document], 1) << document;
      }
      t.twice += std::max(c.good[document] - 1, 0);
      damagedWaiting += c.good[document] == 0;
    }
    t.waitedDamaged += damagedWaiting;
    // Only a power cut inside the pending file's move damages a waiting line, and then
    // it leaves a damaged record of its own: a waiting line never vanishes, nor do two
    // merge into one record.
    if (powerLoss) {
      EXPECT_EQ(c.damagedNotOneLine, 0) << "a damaged record holds two lines, or part of one";
    }
    t.merged += c.damagedNotOneLine;
    for (const std::string& document : waited) {
      EXPECT_TRUE(c.good[document] == 1 || c.inDamaged[document] == 1) << document << " vanished";
    }
    for (const char* stopped : {"crashing-1", "crashing-2"}) {
      EXPECT_LE(c.good[stopped], 1) << stopped;
      t.twice += std::max(c.good[stopped] - 1, 0);
      unwritten += c.good[stopped] == 0;
    }
    if (!powerLoss) {
      EXPECT_EQ(c.damaged, torn ? 1 : 0) << "the cut line is one damaged record";
    }
    int missing = 0, top = 0;
    for (const auto& [number, count] : c.numbers) {
      EXPECT_EQ(count, 1) << "number " << number;
      if (!number.empty()) t.numbersTwice += count > 1;
      if (!powerLoss) {
        EXPECT_FALSE(number.empty()) << "every line in the log has its number";
      }
      if (!number.empty()) top = std::max(top, std::stoi(number));
    }
    for (int i = 1; i <= top; ++i) missing += c.numbers.count(std::to_string(i)) == 0;
    if (!powerLoss) {
      EXPECT_LE(missing, unwritten) << "only stopped lines' numbers are missing";
    }
    EXPECT_EQ(c.pendingLines, 0u);
    size_t problems = VerifyProblems().size();
    if (!powerLoss) {
      EXPECT_EQ(problems, static_cast<size_t>(c.damaged + missing));
    }
    bool sound = c.damaged + missing == 0;
    EXPECT_EQ(problems == 0, sound) << "verify's verdict is the sweep's";
    ++t.verdicts;
    t.agreed += (problems == 0) == sound;
  };
  // Stops write `which` at the n-th call of op; at a torn write, once for each sector
  // boundary the writes in flight reach.
  auto crashAt = [&](int which, HostOp op, uint64_t n, const DirectoryFiles& from, auto&& then) {
    // The next writer's writes are torn at their first boundary only.
    bool tearing = powerLoss && which == 0 && (op == HostOp::WriteFile || op == HostOp::FlushFile);
    for (unsigned tearAt = 1;; ++tearAt) {
      SCOPED_TRACE("sector boundary " + std::to_string(tearAt));
      restore(from);
      if (!crash(which, op, n, tearAt)) break;
      then();
      if (HasFailure() || !tearing) break;
    }
  };

  for (bool mode : {false, true}) {
    powerLoss = mode;
    for (Start s : {kWholeLines, kTornTail, kClockSetBack}) {
      // The clock's start is about numbers, which a killed writer tests at every call
      // as well as a power cut does; it runs once, to keep the sweep's time.
      if (s == kClockSetBack && powerLoss) continue;
      start = s;
      SCOPED_TRACE(std::string(powerLoss ? "power loss, " : "kill, ") +
                   (s == kWholeLines ? "whole pending lines" : s == kTornTail ? "torn pending tail" : "clock set back"));
      fs::remove_all(LogDir());
      acknowledged.clear();
      if (s == kClockSetBack) {
        // Five generations at the later time, then three after the clock went back.
        HostSetSystemTime(SYSTEMTIME{2027, 1, 0, 10, 12, 0, 0, 0});
        for (int i = 1; i <= 8; ++i) {
          if (i == 6) HostSetSystemTime(SYSTEMTIME{2026, 12, 2, 1, 8, 0, 0, 0});
          acknowledged.push_back("log-" + std::to_string(i));
          ASSERT_EQ(Write(acknowledged.back(), 1), 1);
        }
      } else {
        for (int i = 1; i <= 3; ++i) {
          acknowledged.push_back("log-" + std::to_string(i));
          ASSERT_EQ(Write(acknowledged.back(), kMaxKib), 1);
        }
      }
      // Lines that wait without a number and with one; after the clock went back only
      // the former, so that no waiting line holds the highest number.
      waited.clear();
      for (int i = 1; i <= 2; ++i) {
        waited.push_back("unnumbered-" + std::to_string(i));
        ASSERT_EQ(WriteUnnumbered(waited.back(), kMaxKib), 0);
        if (s == kClockSetBack) continue;
        waited.push_back("numbered-" + std::to_string(i));
        ASSERT_EQ(WriteWhileHeld(waited.back(), kMaxKib), 0);
      }
      if (s == kTornTail) {
        ASSERT_EQ(WriteUnnumbered("cut", kMaxKib), 0);
        std::string pending = LogDir() + "/Jobs.pending";
        fs::resize_file(pending, sgtest::ReadHostFile(pending).rfind(", rev"));
      }
      // A power loss leaves the number file behind (it is written without a flush), or
      // a user deleted it.
      if (powerLoss && s == kWholeLines) fs::remove(LogDir() + "/Jobs.seq");
      if (powerLoss && s == kTornTail) std::ofstream(LogDir() + "/Jobs.seq", std::ios::trunc) << "00000000000000000002\r\n";
      if (s == kClockSetBack) {
        // A rotation cut between its rename and the new file (the name it would give
        // at the clock set back), and a number file deleted.
        std::string renamed;
        for (int attempt = 9; renamed.empty() || fs::exists(renamed); ++attempt)
          renamed = LogDir() + "/Jobs-20261201-080000Z-" + std::to_string(attempt) + ".csv";
        fs::rename(LogPath(), renamed);
        fs::remove(LogDir() + "/Jobs.seq");
        ASSERT_GE(ReadLogDirectory(LogDir()).files, 8u);
      } else {
        ASSERT_EQ(ReadLogDirectory(LogDir()).files, 1u);
      }
      const DirectoryFiles begin = FilesIn(LogDir());
      size_t filesBefore = ReadLogDirectory(LogDir()).files;
      std::map<HostOp, uint64_t> calls = countCalls(0, begin);
      ASSERT_GT(ReadLogDirectory(LogDir()).files, s == kClockSetBack ? filesBefore : 1u) << "the move passes the limit";

      for (HostOp op : kOps) {
        for (uint64_t n = 1; n <= calls[op]; ++n) {
          SCOPED_TRACE("op " + std::to_string(static_cast<unsigned>(op)) + " call " + std::to_string(n));
          crashAt(0, op, n, begin, [&] {
            const DirectoryFiles stopped = FilesIn(LogDir());
            LogContents c = ReadLogDirectory(LogDir());
            bool replay = c.pendingLines > 0 && c.good["numbered-1"] + c.good["unnumbered-1"] > 0;
            if (replay) {
              std::map<HostOp, uint64_t> again = countCalls(1, stopped);
              for (HostOp op2 : {HostOp::WriteFile, HostOp::MoveFile}) {
                for (uint64_t n2 = 1; n2 <= again[op2]; ++n2) {
                  SCOPED_TRACE("then op " + std::to_string(static_cast<unsigned>(op2)) + " call " + std::to_string(n2));
                  crashAt(1, op2, n2, stopped, checkAfterCleanWrite);
                  if (HasFailure()) return;
                }
              }
              restore(stopped);
            }
            checkAfterCleanWrite();
          });
          if (HasFailure()) break;
        }
        if (HasFailure()) break;
      }
      HostSetSystemTime(std::nullopt);
      if (HasFailure()) break;
    }
    if (HasFailure()) break;
  }
  for (bool mode : {false, true}) {
    const Tally& t = tally[mode];
    std::printf("%s: crash points %d, acknowledged lines lost %d, lines twice %d, waiting lines damaged %d, "
                "damaged records not of one line %d, numbers given twice %d, log verify agreed %d of %d\n",
                mode ? "power loss" : "kill", t.points, t.lost, t.twice, t.waitedDamaged, t.merged,
                t.numbersTwice, t.agreed, t.verdicts);
  }
}

}  // namespace
