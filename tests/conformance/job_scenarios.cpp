// Pass-through jobs and the job context that MyDrvSplStartDoc hands to other code,
// through the exports of the real library.
#include "tests/conformance/conformance.h"

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
  EndAndClose(job);
  EXPECT_TRUE(ListWindowsDirectory(TestRoot()).empty());
}

TEST_F(PassThrough, AccountingOnlyJobKeepsItsRecordsFromThePrinter) {
  HANDLE job = StartJob();
  Bytes shortLog = AsBytes(NewJobLog());
  shortLog.pop_back();
  EXPECT_TRUE(Send(job, JobHeader(JOB_FLAG_ACCOUNTING)));
  EXPECT_TRUE(Send(job, Data("page 1")));
  EXPECT_TRUE(Send(job, AsBytes(NewJobLog())));
  EXPECT_TRUE(Send(job, shortLog));
  EXPECT_TRUE(Send(job, Tail(1, 1)));  // only archived jobs take a tail record
  EXPECT_EQ(PrinterBytes(printer_), Concat({Data("page 1"), shortLog, Tail(1, 1)}));
  EXPECT_EQ(Context(job)->jobLog.magic, JOB_LOG_RECORD_MAGIC);
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
