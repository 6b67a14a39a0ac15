// SPDX-License-Identifier: Apache-2.0
// The accounting log's pending lines through the real logging library on Windows' own
// files, locks and share modes: waiting lines, numbered and not, move once into a log
// that rotates on the way, and once again only where a crash left them both moved and
// pending.
#include "core/log_entry.h"
#include "logger/crc32.h"
#include "tests/wine/wine_platform.h"

#include <cstdio>
#include <map>
#include <string>

using namespace sgconf;
using namespace sgtest;

namespace {

class AccountingRecovery : public ConformanceTest {
 protected:
  void SetUp() override {
    ConformanceTest::SetUp();
    dir_ = TestRoot() + u"\\acct";
    MakeWindowsDirectory(dir_);
    library_ = LoadLibraryW(W(ProgramDirectory() + u"\\driver\\ruzoravu64.dll"));
    ASSERT_NE(library_, nullptr);
    write_ = reinterpret_cast<QenDrvLogWriteRecordFn>(
        reinterpret_cast<void*>(GetProcAddress(library_, "QenDrvLogWriteRecord")));
    ASSERT_NE(write_, nullptr);
  }
  void TearDown() override {
    if (library_ != nullptr) FreeLibrary(library_);
    ConformanceTest::TearDown();
  }
  // One job's record, its document naming it, into the log "Jobs" with a 1 KiB limit:
  // three lines and the header fit, the three lines that wait do not fit with them.
  int Write(const std::string& document) {
    std::string record = "2,2," + document + "," + std::string(70, 'x') + "\r\n";
    return write_(Utf8(dir_).c_str(), "Jobs", 1, 2, record.c_str(), nullptr);
  }
  std::string Read(const std::u16string& name) {
    std::optional<Bytes> bytes = ReadWindowsFile(dir_ + u"\\" + name);
    return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
  }
  void Put(const std::u16string& name, const std::string& text) {
    WriteWindowsFile(dir_ + u"\\" + name, Bytes(text.begin(), text.end()));
  }
  // Every line of every log file: documents of good lines, and how often each number is.
  void Count(std::map<std::string, int>* documents, std::map<std::string, int>* numbers,
             size_t* files) {
    for (const std::u16string& name : ListWindowsDirectory(dir_)) {
      if (name.size() < 4 || name.compare(name.size() - 4, 4, u".csv") != 0) continue;
      ++*files;
      std::string text = Read(name);
      for (size_t at = text.find("\r\n") + 2; at < text.size();) {
        size_t end = text.find("\r\n", at);
        std::string line = text.substr(at, end - at);
        at = end + 2;
        size_t comma = line.rfind(',');
        char crc[9];
        std::snprintf(crc, sizeof(crc), "%08X", Crc32Update(0, line.data(), comma));
        EXPECT_EQ(line.substr(comma + 1), crc) << line;
        ++(*numbers)[line.substr(0, line.find(','))];
        size_t document = line.find(",2,2,") + 5;
        ++(*documents)[line.substr(document, line.find(',', document) - document)];
      }
    }
  }
  // Every document once, numbers 1 to its count each once, nothing pending.
  void ExpectEachOnce(const std::vector<std::string>& expected) {
    std::map<std::string, int> documents, numbers;
    size_t files = 0;
    Count(&documents, &numbers, &files);
    EXPECT_GE(files, 2u) << "the log rotated";
    for (const std::string& document : expected) EXPECT_EQ(documents[document], 1) << document;
    EXPECT_EQ(documents.size(), expected.size());
    for (size_t i = 1; i <= expected.size(); ++i) EXPECT_EQ(numbers[std::to_string(i)], 1) << i;
    EXPECT_EQ(numbers.size(), expected.size());
    EXPECT_EQ(Read(u"Jobs.pending"), "");
  }

  std::u16string dir_;
  HMODULE library_ = nullptr;
  QenDrvLogWriteRecordFn write_ = nullptr;
};

TEST_F(AccountingRecovery, PendingLinesMoveOnceThroughARotationAndAfterACrash) {
  for (int i = 1; i <= 3; ++i) ASSERT_EQ(Write("log-" + std::to_string(i)), 1);
  // Held without write sharing, as a spreadsheet holds it: the lines wait numbered.
  HANDLE held = CreateFileW(W(dir_ + u"\\Jobs.csv"), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Write("numbered-1"), 0);
  EXPECT_EQ(Write("numbered-2"), 0);
  CloseHandle(held);
  // A line written without the lock waits unnumbered, here first in the file.
  std::string pending = Read(u"Jobs.pending");
  size_t body = pending.find("\r\n") + 2;
  std::string unnumbered = ",2,2,unnumbered-1,2026-12-08T00:00:00.000Z";
  char crc[9];
  std::snprintf(crc, sizeof(crc), "%08X", Crc32Update(0, unnumbered.data(), unnumbered.size()));
  Put(u"Jobs.pending", pending.substr(0, body) + unnumbered + "," + crc + "\r\n" + pending.substr(body));

  // The move passes the 1 KiB limit.
  ASSERT_EQ(Write("after"), 1);
  ExpectEachOnce({"log-1", "log-2", "log-3", "numbered-1", "numbered-2", "unnumbered-1", "after"});

  // A crash between the move and the emptying leaves the moved lines pending as well.
  std::string current = Read(u"Jobs.csv");
  Put(u"Jobs.pending", current.substr(0, current.find("\r\n", current.find(",unnumbered-1,")) + 2));
  ASSERT_EQ(Write("again"), 1);
  ExpectEachOnce({"log-1", "log-2", "log-3", "numbered-1", "numbered-2", "unnumbered-1", "after", "again"});
}

}  // namespace
