// SPDX-License-Identifier: Apache-2.0
// The archive path's host-only tests (end-to-end archive jobs: tests/conformance): faults
// in creation and header rewrite, spooler call counts, and the recorded directory walk.
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

  // A header cut short by a full disk is no header either.
  HostShortWriteNth(HostOp::WriteFile, 1, 100);
  HANDLE job = StartArchiveJob(u"C:\\Jobs", u"short");
  EXPECT_EQ(Context(job)->archiveFile, INVALID_HANDLE_VALUE);
  DrvSplEndDoc(job);
  DrvSplClose(job);
  EXPECT_FALSE(WindowsFileExists(u"C:\\Jobs\\short.RUD"));
  EXPECT_EQ(WarningTexts().size(), 3u);
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
  // The drive answers as a drive root does on Windows, and is passed over.
  HostFailNth(HostOp::CreateDirectory, 1, ERROR_ACCESS_DENIED);
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

  // The share itself is never handed to CreateDirectoryW: a directory missing in the
  // explicit name below it gives the creation warning without a walk.
  ClearCreatedDirectoryCalls();
  job = StartArchiveJob(u"\\\\srv\\share", u"sub\\name");
  EXPECT_TRUE(CreatedDirectoryCalls().empty());
  EXPECT_EQ(WarningTexts(), std::vector<std::u16string>{kCreateFailedText});
  DrvSplEndDoc(job);
  DrvSplClose(job);
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

TEST_F(ArchiveJobTest, CreationRefusedForAnotherReasonThanAMissingPathMakesNoDirectory) {
  // The existence test is the first open, the creation the second.
  HostFailNth(HostOp::CreateFile, 2, ERROR_ACCESS_DENIED);
  ArchiveLocationRecord location;
  SetText(location.directory, u"C:\\Jobs\\2022");
  SetText(location.fileName, u"Report");
  ArchiveHeaderRecord header{};
  EXPECT_EQ(OpenArchiveFile(location.directory, location.fileName, u"", &header), INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CreatedDirectoryCalls().empty());
  EXPECT_EQ(WarningTexts(), std::vector<std::u16string>{kCreateFailedText});
  EXPECT_FALSE(std::filesystem::exists(HostMapPath(u"C:\\Jobs")));
  EXPECT_EQ(HostOpenHandleCount(), 0u);
}

// --- an archive of the same name appearing meanwhile -------------------------------------

TEST_F(ArchiveJobTest, FileCreatedAfterTheNameWasChosenIsNeverOverwritten) {
  // Another job is writing C:\Jobs\Report.RUD without sharing it: the existence test
  // cannot open it, so the user's name looks free, and its creation finds it taken.
  const Bytes other = Concat({ArchiveHeader(0, 0, 4, 0x77), Pattern(3000, 5)});
  PutWindowsFile(u"C:\\Jobs\\Report.RUD", other);
  HANDLE held = CreateFileW(u"C:\\Jobs\\Report.RUD", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);

  ArchiveLocationRecord location;
  SetText(location.directory, u"C:\\Jobs");
  SetText(location.fileName, u"Report");
  ArchiveHeaderRecord header{};
  EXPECT_EQ(OpenArchiveFile(location.directory, location.fileName, u"", &header),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(WarningTexts(), std::vector<std::u16string>{kCreateFailedText});
  EXPECT_TRUE(CreatedDirectoryCalls().empty()) << "an existing file is no missing directory";
  CloseHandle(held);
  EXPECT_EQ(WindowsFile(u"C:\\Jobs\\Report.RUD"), other);
  EXPECT_EQ(HostOpenHandleCount(), 0u);
}

}  // namespace
}  // namespace sgtest
