// Archive jobs through the exports: the file and its header, directory creation,
// refused creation, and the header completed at the end of the job or left at abort.
#include "tests/archive/archive_support.h"

#include <filesystem>

namespace sgtest {
namespace {

class ArchiveJobTest : public ArchiveTest {
 protected:
  // Starts job jobId and sends the archive records; the header block must be reported
  // written whatever becomes of the file.
  HANDLE StartArchiveJob(DWORD jobId, std::u16string_view directory, std::u16string_view fileName,
                         std::u16string_view fallbackName, const Bytes& header) {
    HANDLE job = DrvSplStartDoc(printer_, jobId);
    EXPECT_NE(job, nullptr);
    EXPECT_TRUE(Send(job, JobHeader(JOB_FLAG_ARCHIVE)));
    EXPECT_TRUE(Send(job, ArchiveLocation(directory, fileName, fallbackName)));
    EXPECT_TRUE(Send(job, header));
    return job;
  }
  HANDLE StartArchiveJob(std::u16string_view directory, std::u16string_view fileName = u"",
                         std::u16string_view fallbackName = u"Fallback") {
    return StartArchiveJob(jobId_, directory, fileName, fallbackName, ArchiveHeader());
  }
  void EndPages(HANDLE job, int pages) {
    for (int i = 0; i < pages; ++i) {
      DrvSplStartPage(job);
      DrvSplEndPage(job);
    }
  }
};

// --- the file and its header ------------------------------------------------------------

TEST_F(ArchiveJobTest, DataFollowsHeaderAndEndOfJobCompletesTheHeader) {
  const Bytes received = ArchiveHeader(/*headerFlags=*/1, /*tailBit0=*/1, /*totalPages=*/0x99);
  const Bytes first = Pattern(1000, 1);
  const Bytes second = Pattern(4097, 2);
  HANDLE job = StartArchiveJob(jobId_, u"C:\\Jobs", u"", u"Fallback", received);
  EXPECT_TRUE(Send(job, first));
  EndPages(job, 3);
  EXPECT_TRUE(Send(job, Tail(/*tailFlags=*/2, /*tailPages=*/5)));
  EXPECT_TRUE(Send(job, second));
  EndPages(job, 1);
  // Until the end of the job the file carries the header as it was received.
  EXPECT_EQ(WindowsFile(u"C:\\Jobs\\Drawing.plt.RUD"), Concat({received, first, second}));

  DrvSplEndDoc(job);
  Bytes file = WindowsFile(u"C:\\Jobs\\Drawing.plt.RUD");
  EXPECT_EQ(file.size(), 380u + first.size() + second.size());
  EXPECT_EQ(U32At(file, 292), 3u) << "headerFlags: tail bit 1 OR-ed in";
  EXPECT_EQ(U32At(file, 296), 0u) << "tailBit0: the tail's bit 0";
  EXPECT_EQ(U32At(file, 312), 6u) << "totalPages: the tail's 5, then one more page";
  EXPECT_EQ(file, Concat({ArchiveHeader(3, 0, 6), first, second}));
  EXPECT_TRUE(PrinterBytes().empty());
  EXPECT_TRUE(WarningTexts().empty());

  EXPECT_EQ(Context(job)->archiveFile, INVALID_HANDLE_VALUE);
  EXPECT_EQ(HostOpenHandleCount(), 0u);
  DrvSplEndDoc(job);  // a second end neither writes nor closes again
  EXPECT_EQ(WindowsFile(u"C:\\Jobs\\Drawing.plt.RUD"), Concat({ArchiveHeader(3, 0, 6), first, second}));
  DrvSplClose(job);
}

TEST_F(ArchiveJobTest, PageCountWithoutTailRecordBecomesTotalPages) {
  HANDLE job = StartArchiveJob(jobId_, u"C:\\Jobs", u"", u"", ArchiveHeader(0, 0, 0x1234));
  EndPages(job, 3);
  DrvSplEndDoc(job);
  EXPECT_EQ(WindowsFile(u"C:\\Jobs\\Drawing.plt.RUD"), ArchiveHeader(0, 0, 3));
  DrvSplClose(job);
}

TEST_F(ArchiveJobTest, HeaderThatCannotBeRewrittenInPlaceIsNotAppendedToTheData) {
  const Bytes received = ArchiveHeader(1, 0, 0x99);
  const Bytes data = Pattern(500, 4);
  HANDLE job = StartArchiveJob(jobId_, u"C:\\Jobs", u"", u"", received);
  EXPECT_TRUE(Send(job, data));
  EndPages(job, 2);
  HostFailNth(HostOp::SetFilePointer, 1, ERROR_INVALID_PARAMETER);
  DrvSplEndDoc(job);
  EXPECT_EQ(WindowsFile(u"C:\\Jobs\\Drawing.plt.RUD"), Concat({received, data}));
  EXPECT_EQ(HostOpenHandleCount(), 0u);
  DrvSplClose(job);
}

TEST_F(ArchiveJobTest, AbortedOrNeverEndedJobKeepsTheHeaderAsReceived) {
  const Bytes received = ArchiveHeader(1, 1, 0x99);
  const Bytes data = Pattern(700, 3);
  // An abort, and a close without end or abort, leave the same file and no handle.
  for (bool abort : {true, false}) {
    HANDLE job = StartArchiveJob(jobId_, u"C:\\Jobs", abort ? u"aborted" : u"closed", u"",
                                 received);
    EXPECT_TRUE(Send(job, data));
    EndPages(job, 2);
    EXPECT_TRUE(Send(job, Tail(3, 9)));
    if (abort) DrvSplAbort(job);
    DrvSplClose(job);
    EXPECT_EQ(HostOpenHandleCount(), 0u);
    EXPECT_EQ(WindowsFile(abort ? u"C:\\Jobs\\aborted.RUD" : u"C:\\Jobs\\closed.RUD"),
              Concat({received, data}));
  }
}

TEST_F(ArchiveJobTest, HeaderThatCannotBeWrittenAtCreationFailsTheCreation) {
  // Data behind a missing header would start at offset 0, where the header rewrite at the
  // end of the job overwrites it.
  for (HostOp op : {HostOp::WriteFile, HostOp::SetFilePointer}) {
    HostFailNth(op, 1, ERROR_DISK_FULL);
    HANDLE job = StartArchiveJob(u"C:\\Jobs", u"plan");
    EXPECT_EQ(Context(job)->archiveFile, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(Send(job, Pattern(1000, 4)));
    DrvSplEndDoc(job);
    DrvSplClose(job);
    EXPECT_FALSE(WindowsFileExists(u"C:\\Jobs\\plan.RUD")) << "the name is free again";
    EXPECT_EQ(HostOpenHandleCount(), 0u);
  }
  EXPECT_EQ(WarningTexts(), (std::vector<std::u16string>{kCreateFailedText, kCreateFailedText}));
}

TEST_F(ArchiveJobTest, WritesToAFailedArchiveFailButReportTheBlockSize) {
  PutWindowsFile(u"C:\\Jobs\\plan.RUD", Data("someone's archive"));
  uint64_t live = HostLiveAllocations();
  HANDLE job = StartArchiveJob(u"C:\\Jobs", u"plan");
  EXPECT_EQ(WarningTexts(), std::vector<std::u16string>{kFileExistsText});
  EXPECT_FALSE(Send(job, Pattern(512, 4)));  // Send checks bytes-written == 512
  EXPECT_TRUE(Send(job, Tail(3, 2)));         // control records are still taken
  DrvSplEndDoc(job);
  DrvSplClose(job);
  EXPECT_EQ(WindowsFile(u"C:\\Jobs\\plan.RUD"), Data("someone's archive"));
  EXPECT_TRUE(PrinterBytes().empty());
  EXPECT_EQ(HostLiveAllocations(), live);
}

// --- which name the job gets ------------------------------------------------------------

TEST_F(ArchiveJobTest, FallbackNameIsUsedWhenTheSpoolerGivesNone) {
  HostAddJob(printer_, 31, {std::nullopt, u"alice"});
  HANDLE unnamed = StartArchiveJob(31, u"C:\\Jobs", u"", u"Fallback", ArchiveHeader());
  DrvSplEndDoc(unnamed);
  DrvSplClose(unnamed);
  // Job 32 is unknown to the spooler altogether.
  HANDLE unknown = StartArchiveJob(32, u"C:\\Jobs", u"", u"Fallback", ArchiveHeader());
  DrvSplEndDoc(unknown);
  DrvSplClose(unknown);
  EXPECT_TRUE(WindowsFileExists(u"C:\\Jobs\\Fallback.RUD"));
  EXPECT_TRUE(WindowsFileExists(u"C:\\Jobs\\Fallback00.RUD"));

  // An empty fallback leaves only the extension.
  HANDLE bare = StartArchiveJob(31, u"C:\\Jobs", u"", u"", ArchiveHeader());
  DrvSplEndDoc(bare);
  DrvSplClose(bare);
  HANDLE bareAgain = StartArchiveJob(32, u"C:\\Jobs", u"", u"", ArchiveHeader());
  DrvSplEndDoc(bareAgain);
  DrvSplClose(bareAgain);
  EXPECT_TRUE(WindowsFileExists(u"C:\\Jobs\\.RUD"));
  EXPECT_TRUE(WindowsFileExists(u"C:\\Jobs\\00.RUD"));
  EXPECT_TRUE(WarningTexts().empty());
}

TEST_F(ArchiveJobTest, SpoolerIsAskedAlsoWhenTheFileNameIsGiven) {
  HostResetCounters();
  HANDLE job = StartArchiveJob(u"C:\\Jobs", u"plan");
  EXPECT_EQ(HostCallCount(HostOp::GetJob), 2u) << "size query, then the information";
  DrvSplEndDoc(job);
  DrvSplClose(job);
  EXPECT_TRUE(WindowsFileExists(u"C:\\Jobs\\plan.RUD"));
  EXPECT_FALSE(WindowsFileExists(u"C:\\Jobs\\Drawing.plt.RUD"));
}

// --- directories --------------------------------------------------------------------------

TEST_F(ArchiveJobTest, MissingDirectoriesAreCreatedPrefixByPrefix) {
  MakeWindowsDirectory(u"C:\\Jobs");
  HostResetCounters();
  HANDLE job = StartArchiveJob(u"C:\\Jobs\\2021\\May");
  EXPECT_EQ(CreatedDirectoryCalls(),
            (std::vector<std::u16string>{u"C:", u"C:\\Jobs", u"C:\\Jobs\\2021",
                                         u"C:\\Jobs\\2021\\May"}));
  EXPECT_EQ(HostCallCount(HostOp::CreateFile), 3u) << "existence test and two attempts";
  DrvSplEndDoc(job);
  DrvSplClose(job);
  EXPECT_EQ(WindowsFile(u"C:\\Jobs\\2021\\May\\Drawing.plt.RUD"), ArchiveHeader());
  EXPECT_TRUE(WarningTexts().empty());
}

TEST_F(ArchiveJobTest, TrailingBackslashDirectoryIsCreatedAtOnce) {
  // The last prefix, C:\New\, reports that it exists: C:\New was made just before.
  HANDLE job = StartArchiveJob(u"C:\\New\\");
  EXPECT_EQ(CreatedDirectoryCalls(),
            (std::vector<std::u16string>{u"C:", u"C:\\New", u"C:\\New\\"}));
  DrvSplEndDoc(job);
  DrvSplClose(job);
  EXPECT_EQ(WindowsFile(u"C:\\New\\Drawing.plt.RUD"), ArchiveHeader());
  EXPECT_TRUE(WarningTexts().empty());
}

TEST_F(ArchiveJobTest, DirectoryMadeByAnotherJobMeanwhileCountsAsMade) {
  MakeWindowsDirectory(u"C:\\Jobs");
  // The other job creates the dated directory between this job's two calls.
  SetBeforeCreateDirectory([](const std::u16string& prefix) {
    if (prefix == u"C:\\Jobs\\2026") MakeWindowsDirectory(prefix);
  });
  HANDLE job = StartArchiveJob(u"C:\\Jobs\\2026");
  SetBeforeCreateDirectory(nullptr);
  EXPECT_NE(Context(job)->archiveFile, INVALID_HANDLE_VALUE);
  DrvSplEndDoc(job);
  DrvSplClose(job);
  EXPECT_EQ(WindowsFile(u"C:\\Jobs\\2026\\Drawing.plt.RUD"), ArchiveHeader());
  EXPECT_TRUE(WarningTexts().empty());
}

TEST_F(ArchiveJobTest, MissingDirectoriesOnAShareAreCreatedBehindTheShare) {
  std::filesystem::create_directories(root_ + "/UNC/srv/share");
  HANDLE job = StartArchiveJob(u"\\\\srv\\share\\Jobs\\2026");
  EXPECT_EQ(CreatedDirectoryCalls(),
            (std::vector<std::u16string>{u"\\\\srv\\share\\Jobs", u"\\\\srv\\share\\Jobs\\2026"}));
  DrvSplEndDoc(job);
  DrvSplClose(job);
  EXPECT_EQ(WindowsFile(u"\\\\srv\\share\\Jobs\\2026\\Drawing.plt.RUD"), ArchiveHeader());
  EXPECT_TRUE(WarningTexts().empty());
}

TEST_F(ArchiveJobTest, DirectoriesInTheExplicitNameAreNeverCreated) {
  MakeWindowsDirectory(u"C:\\Jobs");
  HANDLE job = StartArchiveJob(u"C:\\Jobs", u"sub\\name");
  EXPECT_EQ(CreatedDirectoryCalls(), (std::vector<std::u16string>{u"C:", u"C:\\Jobs"}));
  EXPECT_EQ(WarningTexts(), std::vector<std::u16string>{kCreateFailedText});
  DrvSplEndDoc(job);
  DrvSplClose(job);
  EXPECT_FALSE(std::filesystem::exists(HostMapPath(u"C:\\Jobs\\sub")));
}

TEST_F(ArchiveJobTest, DirectoryErrorOtherThanExistsOrDeniedEndsTheWalk) {
  HostFailNth(HostOp::CreateDirectory, 2, ERROR_DISK_FULL);
  HANDLE job = StartArchiveJob(u"C:\\Jobs\\2021");
  EXPECT_EQ(CreatedDirectoryCalls(), (std::vector<std::u16string>{u"C:", u"C:\\Jobs"}));
  EXPECT_EQ(WarningTexts(), std::vector<std::u16string>{kCreateFailedText});
  DrvSplEndDoc(job);
  DrvSplClose(job);
  EXPECT_FALSE(std::filesystem::exists(HostMapPath(u"C:\\Jobs\\2021")));
}

// --- an archive of the same name appearing meanwhile -------------------------------------

TEST_F(ArchiveJobTest, FileCreatedAfterTheNameWasChosenIsNeverOverwritten) {
  auto path = ChoosePath(u"C:\\Jobs", u"", u"Report");
  ASSERT_EQ(path, u"C:\\Jobs\\Report.RUD");
  // Another job creates and finishes its archive of the same name right now.
  const Bytes other = Concat({ArchiveHeader(0, 0, 4, 0x77), Pattern(3000, 5)});
  PutWindowsFile(*path, other);

  ArchiveLocationRecord location;
  SetText(location.directory, u"C:\\Jobs");
  EXPECT_EQ(CreateArchiveFile(path->c_str(), location.directory), INVALID_HANDLE_VALUE);
  EXPECT_EQ(WarningTexts(), std::vector<std::u16string>{kCreateFailedText});
  EXPECT_TRUE(CreatedDirectoryCalls().empty()) << "an existing file is no missing directory";
  EXPECT_EQ(WindowsFile(*path), other);
  EXPECT_EQ(HostOpenHandleCount(), 0u);
}

TEST_F(ArchiveJobTest, ArchiveStillBeingWrittenCountsAsFreeThenTheNextNumberIsTaken) {
  const Bytes firstData = Pattern(2048, 6);
  const Bytes secondData = Pattern(99, 7);
  HANDLE writing = StartArchiveJob(jobId_, u"C:\\Jobs", u"", u"", ArchiveHeader(0, 0, 0, 0x41));
  EXPECT_TRUE(Send(writing, firstData));

  // The name the existence test found free is taken at the creation: the plug-in's own
  // name gives way to the next number.
  HostAddJob(printer_, 8, {u"Drawing.plt", u"bob"});
  HANDLE second = StartArchiveJob(8, u"C:\\Jobs", u"", u"", ArchiveHeader(0, 0, 0, 0x42));
  EXPECT_TRUE(Send(second, secondData));
  DrvSplEndDoc(second);
  DrvSplClose(second);
  EXPECT_EQ(WindowsFile(u"C:\\Jobs\\Drawing.plt00.RUD"),
            Concat({ArchiveHeader(0, 0, 0, 0x42), secondData}));
  EXPECT_TRUE(WarningTexts().empty());

  // The user's own name is never exchanged for another: the creation warning.
  HANDLE named = StartArchiveJob(8, u"C:\\Jobs", u"Drawing.plt", u"", ArchiveHeader());
  EXPECT_EQ(WarningTexts(), std::vector<std::u16string>{kCreateFailedText});
  EXPECT_FALSE(Send(named, secondData));
  DrvSplEndDoc(named);
  DrvSplClose(named);

  EndPages(writing, 2);
  DrvSplEndDoc(writing);
  DrvSplClose(writing);
  EXPECT_EQ(WindowsFile(u"C:\\Jobs\\Drawing.plt.RUD"),
            Concat({ArchiveHeader(0, 0, 2, 0x41), firstData}));
  EXPECT_FALSE(WindowsFileExists(u"C:\\Jobs\\Drawing.plt01.RUD"));
}

}  // namespace
}  // namespace sgtest
