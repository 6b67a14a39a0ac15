// SPDX-License-Identifier: Apache-2.0
// Windows-only scenarios that need the spooler double's controls: failed printer writes
// in the middle of an insertion, and the level-2 query contract the plug-in relies on.
#include "tests/conformance/conformance.h"
#include "tests/wine/spoolss/spool_double.h"

using namespace sgconf;
using namespace sgtest;

namespace {

class SpoolerFaults : public ConformanceTest {
 protected:
  void StoreOverlay() { WriteWindowsFile(form_, Concat({OverlayHeader(0x44), body_})); }
  HANDLE StartInsertionJob(uint8_t mode) {
    HANDLE job = StartJob();
    SendAll(job, {JobHeader(JOB_FLAG_OVERLAY), OverlayControl(mode, form_)});
    return job;
  }
  const std::u16string form_ = Path(u"form.ovl");
  const Bytes body_ = Pattern(300, 0x0C);  // two chunks: 256 and 44
};

TEST_F(SpoolerFaults, FailedWriteIsReportedWhileTheFullSizeCountsAsWritten) {
  HANDLE job = StartJob();
  EXPECT_TRUE(Send(job, JobHeader(0)));
  SpoolDoubleFailNthWrite(1, ERROR_NOT_ENOUGH_MEMORY, FALSE);
  EXPECT_FALSE(Send(job, Data("lost")));
  EXPECT_TRUE(Send(job, Data("kept")));
  EXPECT_EQ(PrinterBytes(printer_), Data("kept"));
  EndAndClose(job);
}

TEST_F(SpoolerFaults, FramedInsertionStopsAtAFailedBeginCommandForGood) {
  StoreOverlay();
  HANDLE job = StartInsertionJob(0);
  SpoolDoubleFailNthWrite(1, ERROR_PRINT_CANCELLED, FALSE);  // the begin command
  EXPECT_TRUE(Send(job, Marker()));
  EXPECT_TRUE(Send(job, Marker()));  // no second attempt
  EXPECT_EQ(PrinterBytes(printer_), Concat({Marker(), Marker()}));
  EndAndClose(job);
}

TEST_F(SpoolerFaults, FramedInsertionLeavesOutTheEndCommandWhenTheLastBodyWriteFails) {
  StoreOverlay();
  HANDLE job = StartInsertionJob(0);
  SpoolDoubleFailNthWrite(3, ERROR_PRINT_CANCELLED, FALSE);  // begin, chunk 1, chunk 2
  EXPECT_TRUE(Send(job, Marker()));
  Bytes firstChunk(body_.begin(), body_.begin() + 256);
  EXPECT_EQ(PrinterBytes(printer_), Concat({BeginCommand(), firstChunk, Marker()}));
  EndAndClose(job);
}

TEST_F(SpoolerFaults, EarlyBodyWriteFailureIsForgivenByASuccessfulLastOne) {
  StoreOverlay();
  HANDLE job = StartInsertionJob(0);
  SpoolDoubleFailNthWrite(2, ERROR_PRINT_CANCELLED, FALSE);  // chunk 1
  EXPECT_TRUE(Send(job, Marker()));
  Bytes secondChunk(body_.begin() + 256, body_.end());
  EXPECT_EQ(PrinterBytes(printer_), Concat({BeginCommand(), secondChunk, EndCommand(), Marker()}));
  EndAndClose(job);
}

TEST_F(SpoolerFaults, RawInsertionWritesTheMarkerWhateverTheBodyCopyGave) {
  StoreOverlay();
  HANDLE job = StartInsertionJob(OVERLAY_MODE_RAW);
  SpoolDoubleFailNthWrite(1, ERROR_PRINT_CANCELLED, FALSE);
  SpoolDoubleFailNthWrite(2, ERROR_PRINT_CANCELLED, FALSE);
  EXPECT_TRUE(Send(job, Marker()));
  SpoolDoubleFailNthWrite(3, ERROR_PRINT_CANCELLED, FALSE);  // body, body, then the marker
  EXPECT_FALSE(Send(job, Marker()));
  EXPECT_EQ(PrinterBytes(printer_), Concat({Marker(), body_}));
  EndAndClose(job);
}

TEST_F(SpoolerFaults, DocumentNameComesFromASizeQueryThenTheFilledBlock) {
  // The double answers as the spooler does; the plug-in must ask for the size first.
  DWORD needed = 0;
  SetLastError(0xDEADBEEF);
  EXPECT_FALSE(GetJobW(printer_, jobId_, 2, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), DWORD{ERROR_INSUFFICIENT_BUFFER});
  ASSERT_GT(needed, sizeof(JOB_INFO_2W));
  std::vector<BYTE> block(needed - 1, 0xCC);
  EXPECT_FALSE(GetJobW(printer_, jobId_, 2, block.data(), needed - 1, &needed));
  EXPECT_EQ(GetLastError(), DWORD{ERROR_INSUFFICIENT_BUFFER});
  block.assign(needed, 0xCC);
  ASSERT_TRUE(GetJobW(printer_, jobId_, 2, block.data(), needed, &needed));
  const JOB_INFO_2W* info = reinterpret_cast<const JOB_INFO_2W*>(block.data());
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(info->pDocument)), u"Drawing.plt");
  EXPECT_GE(reinterpret_cast<const BYTE*>(info->pDocument), block.data() + sizeof(JOB_INFO_2W));
  EXPECT_LT(reinterpret_cast<const BYTE*>(info->pDocument), block.data() + needed);
  SetLastError(0xDEADBEEF);
  EXPECT_FALSE(GetJobW(printer_, 999, 2, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});

  // An archive job asks the spooler once for the size and once for the block.
  DWORD before = SpoolDoubleCallCount(SPOOL_DOUBLE_GET_JOB);
  HANDLE job = StartJob();
  SendAll(job, {JobHeader(JOB_FLAG_ARCHIVE), ArchiveLocation(Path(u""), u"", u"fallback"),
                ArchiveHeader()});
  EndAndClose(job);
  EXPECT_EQ(SpoolDoubleCallCount(SPOOL_DOUBLE_GET_JOB) - before, 2u);
  EXPECT_TRUE(ReadWindowsFile(Path(u"Drawing.plt.RUD")));
}

}  // namespace
