// SPDX-License-Identifier: Apache-2.0
// Pass-through jobs, the job context from its start to its close, and the context that
// MyDrvSplStartDoc hands to other code, through the exports of the real library.
#include "tests/conformance/conformance.h"

#include <set>

using namespace sgconf;
using namespace sgtest;

namespace {

class PassThrough : public ConformanceTest {};

TEST_F(PassThrough, PrintDataReachesThePrinterUnchangedBlockByBlock) {
  HANDLE job = StartJob();
  // With no flags nothing after the header is recognised: records, markers and
  // look-alikes of the records among the data all go to the printer as they are.
  JobLogRecord log = NewJobLog();
  std::vector<Bytes> data = {Data("\x1b%-12345X@PJL JOB\r\n"), Pattern(4096, 1), AsBytes(log),
                             Tail(3, 12),  Marker(), Pattern(1, 2), JobHeader(2)};
  EXPECT_TRUE(Send(job, JobHeader(0)));
  for (const Bytes& block : data) EXPECT_TRUE(Send(job, block));
  EXPECT_EQ(PrinterBytes(printer_), Concat({data[0], data[1], data[2], data[3], data[4], data[5],
                                            data[6]}));
  std::vector<uint32_t> sizes;
  for (const Bytes& block : data) sizes.push_back(static_cast<uint32_t>(block.size()));
  EXPECT_EQ(PrinterWrites(printer_), sizes);
  EXPECT_EQ(sizes[0], 19u);
  EXPECT_EQ(Context(job)->state, STATE_PASS_THROUGH);
  EXPECT_EQ(Context(job)->writeCount, 8u);
  EXPECT_EQ(Context(job)->pageCount, 0u) << "the tail record among the data counts no pages";
  EXPECT_EQ(Context(job)->jobLog.magic, 0u) << "nor is the log record kept";
  EndAndClose(job);
  EXPECT_TRUE(ListWindowsDirectory(TestRoot()).empty());
}

TEST_F(PassThrough, AccountingOnlyJobKeepsItsRecordsFromThePrinter) {
  HANDLE job = StartJob();
  Bytes shortLog = AsBytes(NewJobLog());
  shortLog.pop_back();
  Bytes otherMagic = AsBytes(NewJobLog());
  otherMagic[0] ^= 1;
  JobLogRecord later = NewJobLog();
  later.logFlags = 0x19;
  EXPECT_TRUE(Send(job, JobHeader(JOB_FLAG_ACCOUNTING)));
  EXPECT_EQ(Context(job)->state, STATE_DATA);
  EXPECT_TRUE(Send(job, Data("page 1")));
  EXPECT_TRUE(Send(job, AsBytes(NewJobLog())));
  EXPECT_TRUE(Send(job, shortLog));
  EXPECT_TRUE(Send(job, otherMagic));
  EXPECT_TRUE(Send(job, AsBytes(later)));  // a later record replaces the earlier one
  EXPECT_TRUE(Send(job, Tail(1, 1)));  // only archived jobs take a tail record
  EXPECT_EQ(PrinterBytes(printer_), Concat({Data("page 1"), shortLog, otherMagic, Tail(1, 1)}));
  EXPECT_EQ(memcmp(&Context(job)->jobLog, &later, sizeof later), 0);
  EXPECT_EQ(Context(job)->pageCount, 0u);
  plugin_.Abort(job);  // no log entry on abort
  plugin_.Close(job);
}

TEST_F(PassThrough, FailedPrinterWriteIsReportedWithTheFullSizeWritten) {
  // A printer handle the spooler never gave out makes WritePrinter fail.
  HANDLE job = plugin_.StartDoc(reinterpret_cast<HANDLE>(uintptr_t{0xBAD0}), jobId_);
  ASSERT_NE(job, nullptr);
  EXPECT_TRUE(Send(job, JobHeader(0)));
  EXPECT_FALSE(Send(job, Data("lost")));
  EXPECT_EQ(Context(job)->state, STATE_PASS_THROUGH);
  EXPECT_TRUE(PrinterBytes(printer_).empty());
  EndAndClose(job);
}

class JobContextSeen : public ConformanceTest {};

TEST_F(JobContextSeen, FreshContextHasItsStartValues) {
  HANDLE job = StartJob();
  JobContext* c = Context(job);
  const uint8_t* raw = reinterpret_cast<const uint8_t*>(c);
  EXPECT_EQ(Bytes(raw, raw + 4), (Bytes{0x47, 0x53, 0x52, 0x44}));
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
  plugin_.Close(job);
}

TEST_F(JobContextSeen, PagesAreCountedAndTailRecordReplacesTheCount) {
  HANDLE job = StartJob();
  SendAll(job, {JobHeader(JOB_FLAG_ARCHIVE), ArchiveLocation(Path(u""), u"", u""),
                ArchiveHeader()});
  EXPECT_TRUE(plugin_.StartPage(job));
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(plugin_.EndPage(job));
  EXPECT_EQ(Context(job)->pageCount, 3u);
  EXPECT_EQ(Context(job)->endPageCount, 3u);
  EXPECT_EQ(Context(job)->startPageCount, 1u);
  EXPECT_TRUE(Send(job, Tail(0, 10)));
  EXPECT_EQ(Context(job)->pageCount, 10u);
  EXPECT_TRUE(plugin_.EndPage(job));
  EXPECT_EQ(Context(job)->pageCount, 11u);
  EXPECT_EQ(Context(job)->endPageCount, 4u);
  EndAndClose(job);
}

TEST_F(JobContextSeen, PageCallsSucceedInEveryState) {
  // Streams that stop in each state after STATE_HEADER, which each passes first.
  const std::vector<std::vector<Bytes>> streams = {
      {JobHeader(0)},
      {JobHeader(JOB_FLAG_ACCOUNTING)},
      {JobHeader(8)},
      {JobHeader(JOB_FLAG_OVERLAY), OverlayControl(OVERLAY_MODE_REGISTER, Path(u"f.ovl"))},
      {JobHeader(JOB_FLAG_ARCHIVE), ArchiveLocation(Path(u""), u"", u"")},
  };
  std::set<uint32_t> states;
  for (const std::vector<Bytes>& blocks : streams) {
    HANDLE job = StartJob();
    for (size_t i = 0; i <= blocks.size(); ++i) {
      states.insert(Context(job)->state);
      EXPECT_TRUE(plugin_.StartPage(job)) << "state " << Context(job)->state;
      EXPECT_TRUE(plugin_.EndPage(job)) << "state " << Context(job)->state;
      if (i < blocks.size()) {
        EXPECT_TRUE(Send(job, blocks[i]));
      }
    }
    EXPECT_EQ(Context(job)->pageCount, blocks.size() + 1);
    plugin_.Abort(job);
    plugin_.Close(job);
  }
  EXPECT_EQ(states, (std::set<uint32_t>{STATE_HEADER, STATE_FEATURE_RECORD, STATE_OVERLAY_HEADER,
                                        STATE_ARCHIVE_HEADER, STATE_DATA, STATE_PASS_THROUGH}));
}

TEST_F(JobContextSeen, NullOrForeignHandlesAreRefused) {
  DWORD written = 0;
  uint8_t byte = 0;
  EXPECT_FALSE(plugin_.WritePrinter(nullptr, &byte, 1, &written));
  EXPECT_EQ(written, 1u);
  EXPECT_TRUE(plugin_.StartPage(nullptr));
  EXPECT_TRUE(plugin_.EndPage(nullptr));
  plugin_.EndDoc(nullptr);
  plugin_.Abort(nullptr);
  plugin_.Close(nullptr);
  // Memory that does not carry the context's signature is not taken as a job.
  JobContext foreign{};
  EXPECT_FALSE(plugin_.WritePrinter(&foreign, &byte, 1, &written));
  EXPECT_EQ(foreign.writeCount, 0u);
  EXPECT_TRUE(PrinterBytes(printer_).empty());
}

TEST_F(JobContextSeen, MyDrvSplStartDocHandsOutTheNewestContext) {
  HANDLE first = StartJob();
  EXPECT_EQ(plugin_.MyStartDoc(), first);
  HANDLE second = plugin_.StartDoc(printer_, 8);
  ASSERT_NE(second, nullptr);
  ASSERT_EQ(plugin_.MyStartDoc(), second);

  // Other code in the process reads the context through its fixed layout.
  const uint8_t* raw = static_cast<const uint8_t*>(plugin_.MyStartDoc());
  EXPECT_EQ(Bytes(raw, raw + 4), (Bytes{0x47, 0x53, 0x52, 0x44}));
  HANDLE printerSeen;
  memcpy(&printerSeen, raw + 8, sizeof printerSeen);
  EXPECT_EQ(printerSeen, printer_);
  EXPECT_EQ(U32At(Bytes(raw, raw + 40), 16), 8u);  // jobId
  EXPECT_EQ(U32At(Bytes(raw, raw + 40), 20), JOB_STATUS_STARTED);

  EXPECT_TRUE(Send(second, JobHeader(0, 0x5C)));
  EXPECT_TRUE(plugin_.StartPage(second));
  EXPECT_TRUE(plugin_.EndPage(second));
  Bytes seen(raw, raw + sizeof(JobContext));
  EXPECT_EQ(U32At(seen, 24), 1u);  // writeCount
  EXPECT_EQ(U32At(seen, 28), 1u);  // startPageCount
  EXPECT_EQ(U32At(seen, 32), 1u);  // endPageCount
  EXPECT_EQ(Bytes(seen.begin() + 36, seen.begin() + 72), JobHeader(0, 0x5C));
  EXPECT_EQ(U32At(seen, 1036), uint32_t{STATE_PASS_THROUGH});
  EXPECT_EQ(U32At(seen, 2996), 1u);  // pageCount
  plugin_.EndDoc(second);
  EXPECT_EQ(U32At(Bytes(raw, raw + 24), 20), JOB_STATUS_STARTED | JOB_STATUS_ENDED);

  plugin_.Abort(first);
  EXPECT_EQ(Context(first)->status, JOB_STATUS_STARTED | JOB_STATUS_ABORTED);
  plugin_.Close(first);
  EXPECT_EQ(plugin_.MyStartDoc(), second);
  plugin_.Close(second);
  EXPECT_EQ(plugin_.MyStartDoc(), nullptr);
}

}  // namespace
