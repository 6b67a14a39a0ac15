// SPDX-License-Identifier: Apache-2.0
// Many jobs at once: threads each run a mix of archived, printed, registering and
// overlaid jobs, all logging to one accounting log, while another thread keeps reading
// MyDrvSplStartDoc. Every archive must be byte-exact, every printer must receive exactly
// its jobs' bytes, and every job's log line must be there exactly once and whole.
#include "tests/reliability/job_runner.h"

#include <atomic>
#include <filesystem>
#include <thread>

namespace {

using namespace sgtest;
using namespace sgrel;

constexpr int kThreads = 8;
constexpr int kJobsPerThread = 200;

class ConcurrencyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // In memory where the machine has it: the log flushes every line it writes.
    std::error_code ec;
    std::filesystem::path base = std::filesystem::is_directory("/dev/shm", ec)
                                     ? std::filesystem::path("/dev/shm")
                                     : std::filesystem::temp_directory_path();
    std::string pattern = (base / "spoolgate-concurrency-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    HostReset(root_);
    HostMapLibrary(u"ruzoravu64.dll", LOGGER_LIBRARY_PATH);
    MakeWindowsDirectory(u"C:\\Overlays");
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  std::string root_;
};

std::u16string U16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

// One job of a thread, its kind chosen by its number.
struct PlannedJob {
  std::vector<Bytes> blocks;
  std::u16string archivePath;
  Bytes expectedArchive;
  Bytes expectedPrinted;
};

PlannedJob PlanJob(int thread, int index) {
  PlannedJob job;
  std::string tag = "T" + std::to_string(thread) + "J" + std::to_string(index);
  std::u16string overlay = U16("C:\\Overlays\\T" + std::to_string(thread) + ".ovl");
  Bytes data1 = Concat({Data(tag + ";"), Pattern(700 + index % 50, static_cast<uint8_t>(index))});
  Bytes data2 = Concat({Pattern(300, static_cast<uint8_t>(thread)), Data("PG;" + tag)});
  Bytes body = Pattern(600, static_cast<uint8_t>(0x40 + thread));
  JobLogRecord log = NewJobLog();
  log.logFlags = static_cast<uint8_t>(index % 3 == 0 ? 0x00 : 0x19);  // standard or extended
  Bytes logBlock = AsBytes(log);
  std::u16string dir = U16("C:\\Jobs\\T" + std::to_string(thread));
  switch (index % 4) {
    case 0:  // archived, no overlay
      job.blocks = {JobHeader(JOB_FLAG_ARCHIVE | JOB_FLAG_ACCOUNTING),
                    ArchiveLocation(dir, u"", u"unused"), ArchiveHeader(0, 1, 0), data1,
                    logBlock, data2, Tail(2, 3)};
      job.archivePath = dir + u"\\" + U16(tag) + u".plt.RUD";
      job.expectedArchive = Concat({AsBytes(MakeArchiveHeader(2, 0, 3)), data1, data2});
      break;
    case 1:  // printed with raw insertion at two markers
      job.blocks = {JobHeader(JOB_FLAG_OVERLAY | JOB_FLAG_ACCOUNTING),
                    OverlayControl(OVERLAY_MODE_RAW, overlay), data1, Marker(), logBlock, data2,
                    Marker()};
      job.expectedPrinted = Concat({data1, body, Marker(), data2, body, Marker()});
      break;
    case 2:  // registers the thread's overlay again, with the same body
      job.blocks = {JobHeader(JOB_FLAG_OVERLAY | JOB_FLAG_ACCOUNTING),
                    OverlayControl(OVERLAY_MODE_REGISTER, overlay), OverlayHeader(), logBlock,
                    Bytes(body.begin(), body.begin() + 256), Bytes(body.begin() + 256, body.end())};
      break;
    default:  // archived with framed insertion
      job.blocks = {JobHeader(JOB_FLAG_OVERLAY | JOB_FLAG_ARCHIVE | JOB_FLAG_ACCOUNTING),
                    OverlayControl(0, overlay), ArchiveLocation(dir, u"", u"unused"),
                    ArchiveHeader(), data1, Marker(), logBlock, data2, Marker()};
      job.archivePath = dir + u"\\" + U16(tag) + u".plt.RUD";
      job.expectedArchive = Concat({AsBytes(MakeArchiveHeader(0, 0, 0)), data1, BeginCommand(),
                                    body, EndCommand(), Marker(), data2, Marker()});
      break;
  }
  return job;
}

TEST_F(ConcurrencyTest, ThreadsOfMixedJobsLoseNothingAndShareOneLog) {
  std::vector<HANDLE> printers;
  for (int t = 0; t < kThreads; ++t) {
    printers.push_back(HostAddPrinter({std::nullopt, U16("Plotter " + std::to_string(t)), u"LPT1:"}));
    for (int i = 0; i < kJobsPerThread; ++i) {
      std::string tag = "T" + std::to_string(t) + "J" + std::to_string(i);
      HostAddJob(printers[t], static_cast<DWORD>(i + 1), {U16(tag + ".plt"), u"alice"});
    }
    // Each thread's overlay is stored before it starts; its own register jobs rewrite it.
    WriteHostFile(HostMapPath(U16("C:\\Overlays\\T" + std::to_string(t) + ".ovl")),
                  Concat({OverlayHeader(), Pattern(600, static_cast<uint8_t>(0x40 + t))}));
  }

  std::atomic<bool> done{false};
  std::atomic<uint64_t> nonNullSeen{0};
  std::thread reader([&] {
    while (!done.load()) {
      if (MyDrvSplStartDoc() != nullptr) nonNullSeen.fetch_add(1);
    }
  });
  std::vector<int> failures(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kJobsPerThread; ++i) {
        PlannedJob job = PlanJob(t, i);
        HANDLE handle = DrvSplStartDoc(printers[t], static_cast<DWORD>(i + 1));
        if (handle == nullptr) {
          ++failures[t];
          continue;
        }
        for (const Bytes& block : job.blocks) {
          DWORD written = 0;
          if (!DrvSplWritePrinter(handle, const_cast<uint8_t*>(block.data()),
                                  static_cast<DWORD>(block.size()), &written) ||
              written != block.size()) {
            ++failures[t];
          }
        }
        DrvSplEndDoc(handle);
        DrvSplClose(handle);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  done = true;
  reader.join();

  EXPECT_GT(nonNullSeen.load(), 0u);
  EXPECT_EQ(HostOpenHandleCount(), 0u);
  EXPECT_TRUE(HostMessageBoxes().empty());
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(failures[t], 0) << "thread " << t << ": a block was not taken";
    Bytes printed;
    for (int i = 0; i < kJobsPerThread; ++i) {
      PlannedJob job = PlanJob(t, i);
      if (!job.archivePath.empty()) {
        std::string content = ReadHostFile(HostMapPath(job.archivePath));
        Bytes archive(content.begin(), content.end());
        EXPECT_TRUE(archive == job.expectedArchive)
            << "archive of thread " << t << " job " << i << ": " << archive.size() << " bytes, "
            << job.expectedArchive.size() << " expected";
      }
      printed.insert(printed.end(), job.expectedPrinted.begin(), job.expectedPrinted.end());
    }
    EXPECT_TRUE(HostPrinterData(printers[t]).bytes == printed) << "printer of thread " << t;
  }

  bool wellFormed = true;
  std::vector<std::string> lines = LogLinesWith(".plt", &wellFormed);
  EXPECT_TRUE(wellFormed);
  EXPECT_EQ(lines.size(), static_cast<size_t>(kThreads * kJobsPerThread));
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kJobsPerThread; ++i) {
      std::string doc = "T" + std::to_string(t) + "J" + std::to_string(i) + ".plt";
      size_t count = 0;
      for (const std::string& line : lines) {
        if (line.find("," + doc + ",") != std::string::npos) ++count;
      }
      EXPECT_EQ(count, 1u) << doc;
    }
  }
}

}  // namespace
