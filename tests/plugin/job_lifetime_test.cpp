// A job's lifetime through the exports: the fresh context, page counting, the end and
// abort of a job, closing, and what MyDrvSplStartDoc hands to other code.
#include "tests/support/sandbox.h"

#include <dlfcn.h>

#include <set>

using namespace sgtest;

namespace {

class JobLifetime : public SandboxTest {};

TEST_F(JobLifetime, FreshContextHasItsStartValues) {
  HANDLE job = StartJob();
  JobContext* c = Context(job);
  const uint8_t* raw = reinterpret_cast<const uint8_t*>(c);
  EXPECT_EQ(raw[0], 0x47);
  EXPECT_EQ(raw[1], 0x53);
  EXPECT_EQ(raw[2], 0x52);
  EXPECT_EQ(raw[3], 0x44);
  EXPECT_EQ(c->printer, printer_);
  EXPECT_EQ(c->jobId, jobId_);
  EXPECT_EQ(c->status, JOB_STATUS_STARTED);
  EXPECT_EQ(c->state, STATE_HEADER);
  EXPECT_EQ(c->pendingRecords, 0u);
  EXPECT_EQ(c->writeCount, 0u);
  EXPECT_EQ(c->startPageCount, 0u);
  EXPECT_EQ(c->endPageCount, 0u);
  EXPECT_EQ(c->spareFile, INVALID_HANDLE_VALUE);
  EXPECT_EQ(c->overlayFile, INVALID_HANDLE_VALUE);
  EXPECT_EQ(c->archiveFile, INVALID_HANDLE_VALUE);
  EXPECT_EQ(c->overlayInserted, 0u);
  EXPECT_EQ(c->pageCount, 0u);
  // A JobLogRecord that never arrives reads as an all-zero record.
  JobLogRecord zero{};
  EXPECT_EQ(memcmp(&c->jobLog, &zero, sizeof zero), 0);
  DrvSplClose(job);
}

TEST_F(JobLifetime, MostRecentContextIsHandedOutUntilItIsClosed) {
  HANDLE first = StartJob();
  EXPECT_EQ(MyDrvSplStartDoc(), first);
  HANDLE second = DrvSplStartDoc(printer_, 8);
  EXPECT_EQ(MyDrvSplStartDoc(), second);
  // Closing an older job leaves the newest one in place.
  DrvSplClose(first);
  EXPECT_EQ(MyDrvSplStartDoc(), second);
  // Closing the newest one never leaves other code a pointer to freed memory.
  DrvSplClose(second);
  EXPECT_EQ(MyDrvSplStartDoc(), nullptr);
}

TEST_F(JobLifetime, NoRecentContextBeforeTheFirstJob) {
  // A fresh copy of the library, in which no job has started yet.
  void* library = dlopen(SPOOLGATE_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  auto myStartDoc = reinterpret_cast<decltype(&MyDrvSplStartDoc)>(dlsym(library, "MyDrvSplStartDoc"));
  auto startDoc = reinterpret_cast<decltype(&DrvSplStartDoc)>(dlsym(library, "DrvSplStartDoc"));
  auto close = reinterpret_cast<decltype(&DrvSplClose)>(dlsym(library, "DrvSplClose"));
  ASSERT_TRUE(myStartDoc && startDoc && close);
  EXPECT_EQ(myStartDoc(), nullptr);
  HANDLE job = startDoc(printer_, jobId_);
  EXPECT_EQ(myStartDoc(), job);
  close(job);
  dlclose(library);
}

TEST_F(JobLifetime, FailedAllocationGivesNoJobAndNoRecentContext) {
  HANDLE earlier = StartJob();
  ASSERT_EQ(MyDrvSplStartDoc(), earlier);
  HostFailNth(HostOp::Alloc, 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(DrvSplStartDoc(printer_, 9), nullptr);
  EXPECT_EQ(MyDrvSplStartDoc(), nullptr);
  DrvSplClose(earlier);
}

TEST_F(JobLifetime, PagesAreCountedAndTailRecordReplacesTheCount) {
  HANDLE job = StartJob();
  SendAll(job, {JobHeader(JOB_FLAG_ARCHIVE), ArchiveLocation(u"C:\\Jobs", u"", u""),
                ArchiveHeader()});
  EXPECT_TRUE(DrvSplStartPage(job));
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(DrvSplEndPage(job));
  EXPECT_EQ(Context(job)->pageCount, 3u);
  EXPECT_EQ(Context(job)->endPageCount, 3u);
  EXPECT_EQ(Context(job)->startPageCount, 1u);
  EXPECT_TRUE(Send(job, Tail(0, 10)));
  EXPECT_EQ(Context(job)->pageCount, 10u);
  DrvSplEndPage(job);
  EXPECT_EQ(Context(job)->pageCount, 11u);
  EXPECT_EQ(Context(job)->endPageCount, 4u);
  DrvSplEndDoc(job);
  DrvSplClose(job);
}

TEST_F(JobLifetime, PageCallsSucceedInEveryState) {
  // Streams that stop in states 1, 5, 2, 3 and 4; each passes state 0 first.
  const std::vector<std::vector<Bytes>> streams = {
      {JobHeader(0)},
      {JobHeader(JOB_FLAG_ACCOUNTING)},
      {JobHeader(8)},
      {JobHeader(JOB_FLAG_OVERLAY), OverlayControl(OVERLAY_MODE_REGISTER, u"C:\\f.ovl")},
      {JobHeader(JOB_FLAG_ARCHIVE), ArchiveLocation(u"C:\\Jobs", u"", u"")},
  };
  std::set<uint32_t> states;
  for (const std::vector<Bytes>& blocks : streams) {
    HANDLE job = StartJob();
    for (size_t i = 0; i <= blocks.size(); ++i) {
      states.insert(Context(job)->state);
      EXPECT_TRUE(DrvSplStartPage(job)) << "state " << Context(job)->state;
      EXPECT_TRUE(DrvSplEndPage(job)) << "state " << Context(job)->state;
      if (i < blocks.size()) Send(job, blocks[i]);
    }
    EXPECT_EQ(Context(job)->pageCount, blocks.size() + 1);
    DrvSplAbort(job);
    DrvSplClose(job);
  }
  EXPECT_EQ(states, (std::set<uint32_t>{0, 1, 2, 3, 4, 5}));
}

TEST_F(JobLifetime, EndAndAbortAddTheirStatusBits) {
  HANDLE ended = StartJob();
  DrvSplEndDoc(ended);
  EXPECT_EQ(Context(ended)->status, JOB_STATUS_STARTED | JOB_STATUS_ENDED);
  HANDLE aborted = DrvSplStartDoc(printer_, 8);
  DrvSplAbort(aborted);
  EXPECT_EQ(Context(aborted)->status, JOB_STATUS_STARTED | JOB_STATUS_ABORTED);
  DrvSplClose(ended);
  DrvSplClose(aborted);
}

TEST_F(JobLifetime, SecondEndOrAbortTouchesNoClosedHandle) {
  HANDLE job = StartJob();
  // An open file stands in for whatever the job has open at its end.
  HANDLE file = CreateFileW(WTEXT("C:\\spare.bin"), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, NULL);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  Context(job)->spareFile = file;
  uint64_t open = HostOpenHandleCount();
  DrvSplEndDoc(job);
  EXPECT_EQ(HostOpenHandleCount(), open - 1);
  EXPECT_EQ(Context(job)->spareFile, INVALID_HANDLE_VALUE);
  DrvSplEndDoc(job);
  DrvSplAbort(job);
  EXPECT_EQ(HostOpenHandleCount(), open - 1);
  DrvSplClose(job);
}

TEST_F(JobLifetime, NullOrForeignHandlesAreRefused) {
  DWORD written = 0;
  uint8_t byte = 0;
  EXPECT_FALSE(DrvSplWritePrinter(nullptr, &byte, 1, &written));
  EXPECT_EQ(written, 1u);
  EXPECT_TRUE(DrvSplStartPage(nullptr));
  EXPECT_TRUE(DrvSplEndPage(nullptr));
  DrvSplEndDoc(nullptr);
  DrvSplAbort(nullptr);
  DrvSplClose(nullptr);
  // Memory that does not carry the context's signature is not taken as a job.
  JobContext foreign{};
  EXPECT_FALSE(DrvSplWritePrinter(&foreign, &byte, 1, &written));
  EXPECT_EQ(foreign.writeCount, 0u);
  EXPECT_TRUE(PrinterBytes().empty());
}

TEST_F(JobLifetime, ClosingFreesTheContext) {
  uint64_t live = HostLiveAllocations();
  HANDLE job = StartJob();
  EXPECT_EQ(HostLiveAllocations(), live + 1);
  DrvSplEndDoc(job);
  DrvSplClose(job);
  EXPECT_EQ(HostLiveAllocations(), live);
}

}  // namespace
