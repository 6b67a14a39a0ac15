// The stream state machine: which block is taken as which record, the state after
// each control record, what reaches the printer, and what each call reports.
#include "tests/support/sandbox.h"

#include <tuple>

using namespace sgtest;

namespace {

class Stream : public SandboxTest {
 protected:
  // Makes the archive file impossible to open, so archived data has nowhere to go.
  void FailAllFileOpens() { HostFailNth(HostOp::CreateFile, 1, ERROR_ACCESS_DENIED, true); }

  std::vector<uint32_t> StatesAfter(HANDLE job, const std::vector<Bytes>& blocks) {
    std::vector<uint32_t> states;
    for (const Bytes& b : blocks) {
      EXPECT_TRUE(Send(job, b));
      states.push_back(Context(job)->state);
    }
    return states;
  }
};

// --- the state after each control record, by job flags -----------------------------

struct FlagsCase {
  uint32_t flags;
  uint8_t mode;
  std::vector<uint32_t> states;
};

class StateSequence : public Stream, public ::testing::WithParamInterface<FlagsCase> {};

TEST_P(StateSequence, FollowsTheRecordsTheFlagsAskFor) {
  const FlagsCase& c = GetParam();
  // Neither the overlay nor the archive file can be created here: their failure
  // must change neither the results nor the states.
  FailAllFileOpens();
  for (uint32_t accounting : {0u, JOB_FLAG_ACCOUNTING}) {
    if (c.flags == 0 && accounting != 0) continue;
    HANDLE job = StartJob();
    std::vector<Bytes> blocks = {JobHeader(c.flags | accounting)};
    if (c.flags & JOB_FLAG_OVERLAY) {
      blocks.push_back(OverlayControl(c.mode, u"C:\\Overlays\\form.ovl"));
      if (c.mode & OVERLAY_MODE_REGISTER) blocks.push_back(OverlayHeader());
    }
    if (c.flags & JOB_FLAG_ARCHIVE) {
      blocks.push_back(ArchiveLocation(u"C:\\Jobs", u"", u"doc"));
      blocks.push_back(ArchiveHeader());
    }
    EXPECT_EQ(StatesAfter(job, blocks), c.states)
        << "flags " << (c.flags | accounting) << " mode " << int(c.mode);
    EXPECT_EQ(Context(job)->pendingRecords, 0u);
    EXPECT_TRUE(PrinterBytes().empty()) << "no control record may reach the printer";
    DrvSplEndDoc(job);
    DrvSplClose(job);
  }
}

INSTANTIATE_TEST_SUITE_P(
    ByFlags, StateSequence,
    ::testing::Values(FlagsCase{0, 0, {1}}, FlagsCase{4, 0, {5}}, FlagsCase{1, 1, {2, 3, 5}},
                      FlagsCase{1, 5, {2, 3, 5}}, FlagsCase{1, 0, {2, 5}}, FlagsCase{1, 4, {2, 5}},
                      FlagsCase{2, 0, {2, 4, 5}}, FlagsCase{3, 1, {2, 3, 2, 4, 5}},
                      FlagsCase{3, 0, {2, 2, 4, 5}}, FlagsCase{3, 4, {2, 2, 4, 5}}));

// --- state 0: the job header ---------------------------------------------------------

TEST_F(Stream, HeaderKeepsItsFirst36BytesOnly) {
  HANDLE job = StartJob();
  Bytes header = Concat({JobHeader(0, 0x77), Data("trailing bytes are not print data")});
  EXPECT_TRUE(Send(job, header));
  EXPECT_EQ(memcmp(&Context(job)->jobHeader, header.data(), 36), 0);
  EXPECT_EQ(Context(job)->state, STATE_PASS_THROUGH);
  EXPECT_TRUE(PrinterBytes().empty());
  DrvSplClose(job);
}

TEST_F(Stream, ShortRecordBlocksAreTakenWithZerosForTheMissingBytes) {
  HANDLE job = StartJob();
  Bytes header = JobHeader(JOB_FLAG_OVERLAY, 0x55);
  header.resize(6);
  EXPECT_TRUE(Send(job, header));
  EXPECT_EQ(Context(job)->jobHeader.jobFlags, JOB_FLAG_OVERLAY);
  EXPECT_EQ(Context(job)->jobHeader.rest[0], 0x55);
  EXPECT_EQ(Context(job)->jobHeader.rest[1], 0x55);
  EXPECT_EQ(Context(job)->jobHeader.rest[2], 0);
  EXPECT_EQ(Context(job)->jobHeader.rest[31], 0);
  // A three-byte overlay control record: mode raw, the path all zeros.
  Bytes control = OverlayControl(OVERLAY_MODE_RAW, u"C:\\x.ovl");
  control.resize(3);
  EXPECT_TRUE(Send(job, control));
  EXPECT_EQ(Context(job)->overlayControl.mode, OVERLAY_MODE_RAW);
  EXPECT_EQ(Context(job)->overlayControl.overlayPath[0], 0);
  EXPECT_EQ(Context(job)->state, STATE_DATA);
  DrvSplClose(job);
}

TEST_F(Stream, FlagsAboveBitTwoAreCarriedAndStrandTheJob) {
  HANDLE job = StartJob();
  EXPECT_EQ(StatesAfter(job, {JobHeader(8)}), (std::vector<uint32_t>{2}));
  EXPECT_EQ(Context(job)->pendingRecords, 8u);
  for (const Bytes& b : {Data("print data"), Tail(3, 9), AsBytes(NewJobLog()), Marker()}) {
    EXPECT_TRUE(Send(job, b));
  }
  EXPECT_EQ(Context(job)->state, STATE_FEATURE_RECORD);
  EXPECT_TRUE(PrinterBytes().empty());
  EXPECT_EQ(Context(job)->pageCount, 0u);
  EXPECT_EQ(Context(job)->jobLog.magic, 0u);
  DrvSplClose(job);
}

TEST_F(Stream, HighFlagsStillTakeTheOverlayAndArchiveRecords) {
  HANDLE job = StartJob();
  std::vector<uint32_t> states =
      StatesAfter(job, {JobHeader(0x8 | 0x3), OverlayControl(OVERLAY_MODE_REGISTER, u"C:\\f.ovl"),
                        OverlayHeader(), ArchiveLocation(u"C:\\Jobs", u"name", u""),
                        ArchiveHeader(), Data("discarded")});
  EXPECT_EQ(states, (std::vector<uint32_t>{2, 3, 2, 4, 2, 2}));
  EXPECT_EQ(Context(job)->pendingRecords, 8u);
  DrvSplEndDoc(job);
  DrvSplClose(job);
  // Both files are made and keep only their headers: the data after them is discarded.
  EXPECT_EQ(WindowsFile(u"C:\\f.ovl"), OverlayHeader());
  EXPECT_EQ(WindowsFile(u"C:\\Jobs\\name.RUD"), ArchiveHeader());
  EXPECT_TRUE(PrinterBytes().empty());
}

// --- state 1: pass-through -------------------------------------------------------------

TEST_F(Stream, PassThroughPrintsEveryBlockUnchangedEvenRecordLookalikes) {
  HANDLE job = StartJob();
  Bytes data = Pattern(1000, 1);
  Bytes log = AsBytes(NewJobLog());
  Bytes tail = Tail(3, 12);
  SendAll(job, {JobHeader(0), data, log, tail, Marker()});
  EXPECT_EQ(PrinterBytes(), Concat({data, log, tail, Marker()}));
  EXPECT_EQ(PrinterWrites(), (std::vector<uint32_t>{1000, 2780, 76, 8}));
  EXPECT_EQ(Context(job)->pageCount, 0u);
  EXPECT_EQ(Context(job)->jobLog.magic, 0u);
  DrvSplClose(job);
}

TEST_F(Stream, FailedPrinterWriteReportsFalseButTheWholeBlockWritten) {
  HANDLE job = StartJob();
  Send(job, JobHeader(0));
  HostFailNth(HostOp::WritePrinter, 1, ERROR_INVALID_PRINTER_STATE);
  EXPECT_FALSE(Send(job, Data("lost")));
  EXPECT_EQ(Context(job)->state, STATE_PASS_THROUGH);
  EXPECT_TRUE(Send(job, Data("kept")));
  EXPECT_EQ(PrinterBytes(), Data("kept"));
  DrvSplClose(job);
}

TEST_F(Stream, NullBytesWrittenPointerIsNotWrittenThrough) {
  HANDLE job = StartJob();
  Bytes header = JobHeader(0);
  EXPECT_TRUE(DrvSplWritePrinter(job, header.data(), 36, nullptr));
  Bytes data = Data("abc");
  EXPECT_TRUE(DrvSplWritePrinter(job, data.data(), 3, nullptr));
  EXPECT_EQ(PrinterBytes(), data);
  DrvSplClose(job);
}

// --- state 5: recognition among the data ------------------------------------------------

TEST_F(Stream, AccountingJobKeepsItsLogRecordAndPrintsLookalikes) {
  HANDLE job = StartJob();
  EXPECT_EQ(StatesAfter(job, {JobHeader(JOB_FLAG_ACCOUNTING)}), (std::vector<uint32_t>{5}));
  JobLogRecord first = NewJobLog();
  JobLogRecord second = NewJobLog();
  second.logFlags = 0x19;
  Bytes otherMagic = AsBytes(NewJobLog());
  otherMagic[0] ^= 1;
  Bytes shortLog = AsBytes(NewJobLog());
  shortLog.pop_back();
  Bytes tail = Tail(3, 4);  // only an archived job knows TailRecords
  SendAll(job, {AsBytes(first), otherMagic, shortLog, AsBytes(second), tail});
  EXPECT_EQ(memcmp(&Context(job)->jobLog, &second, sizeof second), 0);
  EXPECT_EQ(PrinterBytes(), Concat({otherMagic, shortLog, tail}));
  EXPECT_EQ(Context(job)->pageCount, 0u);
  DrvSplClose(job);
}

TEST_F(Stream, LogRecordIsDataWithoutTheAccountingFlag) {
  FailAllFileOpens();
  HANDLE job = StartJob();
  SendAll(job, {JobHeader(JOB_FLAG_OVERLAY), OverlayControl(0, u"C:\\none.ovl")});
  Bytes log = AsBytes(NewJobLog());
  EXPECT_TRUE(Send(job, log));
  EXPECT_EQ(PrinterBytes(), log);
  EXPECT_EQ(Context(job)->jobLog.magic, 0u);
  DrvSplClose(job);
}

TEST_F(Stream, TailRecordUpdatesPagesAndHeaderWordsOnly) {
  FailAllFileOpens();
  HANDLE job = StartJob();
  SendAll(job, {JobHeader(JOB_FLAG_ARCHIVE), ArchiveLocation(u"C:\\Jobs", u"", u"doc"),
                ArchiveHeader(/*headerFlags*/ 0x10, /*tailBit0*/ 0, /*pages*/ 77)});
  ArchiveHeaderRecord before = Context(job)->archiveHeader;
  EXPECT_TRUE(Send(job, Tail(3, 12)));
  ArchiveHeaderRecord& h = Context(job)->archiveHeader;
  EXPECT_EQ(Context(job)->pageCount, 12u);
  EXPECT_EQ(h.tailBit0, 1u);
  EXPECT_EQ(h.headerFlags, 0x12u);
  EXPECT_EQ(h.totalPages, 77u);
  EXPECT_EQ(memcmp(h.leading, before.leading, sizeof h.leading), 0);
  EXPECT_TRUE(Send(job, Tail(0, 5)));
  EXPECT_EQ(Context(job)->pageCount, 5u);
  EXPECT_EQ(h.tailBit0, 0u);
  EXPECT_EQ(h.headerFlags, 0x12u) << "bit 1 is only ever added";
  EXPECT_TRUE(PrinterBytes().empty());
  DrvSplClose(job);
}

TEST_F(Stream, ArchivedDataNeverReachesThePrinterAndFailsWithoutAFile) {
  FailAllFileOpens();
  HANDLE job = StartJob();
  SendAll(job, {JobHeader(JOB_FLAG_ARCHIVE), ArchiveLocation(u"C:\\Jobs", u"", u"doc"),
                ArchiveHeader()});
  ASSERT_EQ(Context(job)->archiveFile, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(Send(job, Data("raster")));
  EXPECT_FALSE(Send(job, Marker()));
  EXPECT_TRUE(PrinterBytes().empty());
  EXPECT_EQ(Context(job)->state, STATE_DATA);
  DrvSplEndDoc(job);
  DrvSplClose(job);
}

TEST_F(Stream, RegisterModeSwallowsDataEvenWithoutAnOverlayFile) {
  FailAllFileOpens();
  HANDLE job = StartJob();
  SendAll(job, {JobHeader(JOB_FLAG_OVERLAY), OverlayControl(OVERLAY_MODE_REGISTER | 4, u"C:\\o"),
                OverlayHeader()});
  EXPECT_EQ(Context(job)->overlayFile, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(Send(job, Data("recorded nowhere")));
  EXPECT_TRUE(Send(job, Marker()));
  EXPECT_TRUE(PrinterBytes().empty());
  DrvSplClose(job);
}

TEST_F(Stream, FramedModeMarksTheFirstMarkerEvenWhenNothingCanBeInserted) {
  HANDLE job = StartJob();
  SendAll(job, {JobHeader(JOB_FLAG_OVERLAY), OverlayControl(0, u"C:\\missing.ovl")});
  Bytes nearMarker = Marker();
  nearMarker[7] ^= 0xFF;
  Bytes longer = Concat({Marker(), Data("x")});
  SendAll(job, {nearMarker, longer});
  EXPECT_EQ(Context(job)->overlayInserted, 0u);
  EXPECT_TRUE(Send(job, Marker()));
  EXPECT_EQ(Context(job)->overlayInserted, 1u);
  // The begin command went out; the missing body stopped the insertion there.
  EXPECT_EQ(PrinterBytes(), Concat({nearMarker, longer, BeginCommand(), Marker()}));
  DrvSplClose(job);
}

TEST_F(Stream, InterleavedJobsKeepSeparateState) {
  HANDLE a = StartJob();
  HostAddJob(printer_, 8, {u"Other", u"bob"});
  HANDLE b = DrvSplStartDoc(printer_, 8);
  Send(a, JobHeader(0));
  Send(b, JobHeader(JOB_FLAG_ACCOUNTING));
  Send(a, Data("A1"));
  Bytes log = AsBytes(NewJobLog());
  Send(b, log);
  Send(b, Data("B1"));
  Send(a, log);
  EXPECT_EQ(Context(a)->state, STATE_PASS_THROUGH);
  EXPECT_EQ(Context(b)->state, STATE_DATA);
  EXPECT_EQ(Context(a)->writeCount, 3u);
  EXPECT_EQ(Context(b)->writeCount, 3u);
  EXPECT_EQ(Context(a)->jobLog.magic, 0u);
  EXPECT_EQ(Context(b)->jobLog.magic, JOB_LOG_RECORD_MAGIC);
  EXPECT_EQ(PrinterBytes(), Concat({Data("A1"), Data("B1"), log}));
  DrvSplClose(a);
  DrvSplClose(b);
}

TEST_F(Stream, WriteCountIncludesControlRecordsAndEmptyBlocks) {
  HANDLE job = StartJob();
  SendAll(job, {JobHeader(JOB_FLAG_ACCOUNTING), Bytes{}, AsBytes(NewJobLog()), Data("d")});
  EXPECT_EQ(Context(job)->writeCount, 4u);
  EXPECT_EQ(PrinterWrites(), (std::vector<uint32_t>{0, 1}));
  DrvSplClose(job);
}

}  // namespace
