// SPDX-License-Identifier: Apache-2.0
// Several writers at once, in threads and in processes: every line lands exactly once,
// whole, and the sequence numbers have no gaps, also across rotations.
#include "tests/logger/log_support.h"
#include "tests/support/sandbox.h"

#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <set>
#include <thread>

namespace {

using namespace lgtest;

class LogConcurrencyTest : public sgtest::SandboxTest {
 protected:
  static constexpr DWORD kMaxKib = 16;  // small enough to rotate several times

  // Formats and appends count records whose documents say who wrote them.
  static int WriteMany(const std::string& writer, int count) {
    int failures = 0;
    for (int i = 0; i < count; ++i) {
      auto entry = MakeEntry(i % 2 ? LOG_FORMAT_EXTENDED : LOG_FORMAT_STANDARD);
      // Quotes and a line break inside: a torn or interleaved line would break them.
      SetBytes(entry->document, writer + " \"doc\"\r\n#" + std::to_string(i));
      int format = i % 2 ? 3 : 2;
      std::string record = FormatRecord(format == 3 ? 6 : 2, format, *entry);
      if (WriteRecord("C:\\Shared\\Logs", "Jobs", kMaxKib, 2, record) != 1) ++failures;
    }
    return failures;
  }

  // Reads every generation: each document exactly once, every line whole and checked,
  // sequence numbers 1..total without a gap.
  void ExpectEveryLineOnce(const std::vector<std::string>& writers, int perWriter) {
    std::map<std::string, int> seen;
    std::set<long> sequences;
    for (const auto& [name, bytes] : FilesIn(root_ + "/C/Shared/Logs")) {
      if (name == "Jobs.seq") continue;
      LogFile log = ParseLog(bytes);
      EXPECT_TRUE(log.wellFormed) << name;
      for (const LogLine& line : log.lines) {
        EXPECT_TRUE(ChecksumMatches(line)) << name << ": " << line.raw;
        EXPECT_EQ(line.fields.size(), log.header.size()) << name << ": " << line.raw;
        ++seen[log.Field(line, "document")];
        EXPECT_TRUE(sequences.insert(std::stol(log.Field(line, "sequence"))).second);
      }
    }
    const long total = static_cast<long>(writers.size()) * perWriter;
    EXPECT_EQ(static_cast<long>(sequences.size()), total);
    if (!sequences.empty()) {
      EXPECT_EQ(*sequences.begin(), 1);
      EXPECT_EQ(*sequences.rbegin(), total) << "no gaps: numbers 1..total all used";
    }
    for (const std::string& writer : writers)
      for (int i = 0; i < perWriter; ++i)
        EXPECT_EQ((seen[writer + " \"doc\"\r\n#" + std::to_string(i)]), 1) << writer << " " << i;
  }
};

TEST_F(LogConcurrencyTest, ThreadsAppendingAtOnceLoseAndTearNothing) {
  const int kThreads = 6, kEach = 30;
  std::vector<std::string> writers;
  std::vector<int> failures(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) writers.push_back("thread" + std::to_string(t));
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] { failures[t] = WriteMany(writers[t], kEach); });
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], 0) << writers[t];
  ExpectEveryLineOnce(writers, kEach);
}

TEST_F(LogConcurrencyTest, ProcessesAppendingAtOnceLoseAndTearNothing) {
  const int kProcesses = 4, kEach = 30;
  std::vector<std::string> writers;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) writers.push_back("process" + std::to_string(p));
  for (int p = 0; p < kProcesses; ++p) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) _exit(WriteMany(writers[p], kEach) == 0 ? 0 : 1);
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a child failed a write";
  }
  ExpectEveryLineOnce(writers, kEach);
}

}  // namespace
