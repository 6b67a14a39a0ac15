// SPDX-License-Identifier: Apache-2.0
// The stream state machine seen through the exports: how much of a record block is
// taken, what the job flags make of the blocks that follow, and what each call reports.
#include "tests/conformance/conformance.h"

using namespace sgconf;
using namespace sgtest;

namespace {

class Stream : public ConformanceTest {
 protected:
  std::vector<uint32_t> StatesAfter(HANDLE job, const std::vector<Bytes>& blocks) {
    std::vector<uint32_t> states;
    for (const Bytes& b : blocks) {
      EXPECT_TRUE(Send(job, b));
      states.push_back(Context(job)->state);
    }
    return states;
  }
};

// --- STATE_HEADER: the job header ------------------------------------------------------

TEST_F(Stream, HeaderKeepsItsFirst36BytesOnly) {
  HANDLE job = StartJob();
  Bytes header = Concat({JobHeader(0, 0x77), Data("trailing bytes are not print data")});
  EXPECT_TRUE(Send(job, header));
  EXPECT_EQ(memcmp(&Context(job)->jobHeader, header.data(), 36), 0);
  EXPECT_EQ(Context(job)->state, STATE_PASS_THROUGH);
  EXPECT_TRUE(PrinterBytes(printer_).empty());
  plugin_.Close(job);
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
  Bytes control = OverlayControl(OVERLAY_MODE_RAW, Path(u"x.ovl"));
  control.resize(3);
  EXPECT_TRUE(Send(job, control));
  EXPECT_EQ(Context(job)->overlayControl.mode, OVERLAY_MODE_RAW);
  EXPECT_EQ(Context(job)->overlayControl.overlayPath[0], 0);
  EXPECT_EQ(Context(job)->state, STATE_DATA);
  plugin_.Close(job);
}

TEST_F(Stream, FlagsAboveBitTwoAreCarriedAndStrandTheJob) {
  HANDLE job = StartJob();
  EXPECT_EQ(StatesAfter(job, {JobHeader(8)}), (std::vector<uint32_t>{STATE_FEATURE_RECORD}));
  EXPECT_EQ(Context(job)->pendingRecords, 8u);
  SendAll(job, {Data("print data"), Tail(3, 9), AsBytes(NewJobLog()), Marker()});
  EXPECT_EQ(Context(job)->state, STATE_FEATURE_RECORD);
  EXPECT_TRUE(PrinterBytes(printer_).empty());
  EXPECT_EQ(Context(job)->pageCount, 0u);
  EXPECT_EQ(Context(job)->jobLog.magic, 0u);
  plugin_.Close(job);
}

TEST_F(Stream, HighFlagsStillTakeTheOverlayAndArchiveRecords) {
  HANDLE job = StartJob();
  std::vector<uint32_t> states =
      StatesAfter(job, {JobHeader(0x8 | 0x3), OverlayControl(OVERLAY_MODE_REGISTER, Path(u"f.ovl")),
                        OverlayHeader(), ArchiveLocation(Path(u"Jobs"), u"name", u""),
                        ArchiveHeader(), Data("discarded")});
  EXPECT_EQ(states, (std::vector<uint32_t>{STATE_FEATURE_RECORD, STATE_OVERLAY_HEADER,
                                           STATE_FEATURE_RECORD, STATE_ARCHIVE_HEADER,
                                           STATE_FEATURE_RECORD, STATE_FEATURE_RECORD}));
  EXPECT_EQ(Context(job)->pendingRecords, 8u);
  EndAndClose(job);
  // Both files are made and keep only their headers: the data after them is discarded.
  EXPECT_EQ(ReadWindowsFile(Path(u"f.ovl")), OverlayHeader());
  EXPECT_EQ(ReadWindowsFile(Path(u"Jobs\\name.RUD")), ArchiveHeader());
  EXPECT_TRUE(PrinterBytes(printer_).empty());
}

// --- STATE_PASS_THROUGH ----------------------------------------------------------------

TEST_F(Stream, NullBytesWrittenPointerIsNotWrittenThrough) {
  HANDLE job = StartJob();
  Bytes header = JobHeader(0);
  EXPECT_TRUE(plugin_.WritePrinter(job, header.data(), 36, nullptr));
  Bytes data = Data("abc");
  EXPECT_TRUE(plugin_.WritePrinter(job, data.data(), 3, nullptr));
  EXPECT_EQ(PrinterBytes(printer_), data);
  plugin_.Close(job);
}

// --- STATE_DATA: recognition among the data --------------------------------------------

TEST_F(Stream, LogRecordIsDataWithoutTheAccountingFlag) {
  HANDLE job = StartJob();
  SendAll(job, {JobHeader(JOB_FLAG_OVERLAY), OverlayControl(0, Path(u"none.ovl"))});
  Bytes log = AsBytes(NewJobLog());
  EXPECT_TRUE(Send(job, log));
  EXPECT_EQ(PrinterBytes(printer_), log);
  EXPECT_EQ(Context(job)->jobLog.magic, 0u);
  plugin_.Close(job);
}

TEST_F(Stream, BlocksThatStartLikeARecordButDifferInSizeArePrintData) {
  // A driver's print data may happen to start with a record's magic: only a block of the
  // record's exact size is the record, one byte more or less is printed.
  HANDLE job = StartJob();
  SendAll(job, {JobHeader(JOB_FLAG_ACCOUNTING)});
  Bytes log = AsBytes(NewJobLog());
  Bytes longer = Concat({log, Data("x")});
  Bytes shorter(log.begin(), log.end() - 1);
  SendAll(job, {longer, shorter});
  EXPECT_EQ(Context(job)->jobLog.magic, 0u);
  EXPECT_EQ(PrinterBytes(printer_), Concat({longer, shorter}));
  plugin_.Close(job);

  // The same for the tail record of an archived job: the longer block is archived.
  job = StartJob();
  SendAll(job, {JobHeader(JOB_FLAG_ARCHIVE), ArchiveLocation(Path(u"Jobs"), u"lookalike", u""),
                ArchiveHeader(/*headerFlags*/ 0, /*tailBit0*/ 0, /*pages*/ 0)});
  Bytes tailLonger = Concat({Tail(1, 40), Data("y")});
  EXPECT_TRUE(Send(job, tailLonger));
  EXPECT_EQ(Context(job)->pageCount, 0u);
  EndAndClose(job);
  Bytes archived = *ReadWindowsFile(Path(u"Jobs\\lookalike.RUD"));
  ASSERT_GE(archived.size(), tailLonger.size());
  EXPECT_EQ(Bytes(archived.end() - long(tailLonger.size()), archived.end()), tailLonger);
}

TEST_F(Stream, TailRecordUpdatesPagesAndHeaderWordsOnly) {
  HANDLE job = StartJob();
  SendAll(job, {JobHeader(JOB_FLAG_ARCHIVE), ArchiveLocation(Path(u""), u"", u"doc"),
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
  EXPECT_TRUE(PrinterBytes(printer_).empty());
  plugin_.Close(job);
}

TEST_F(Stream, FramedModeMarksTheFirstMarkerEvenWhenNothingCanBeInserted) {
  HANDLE job = StartJob();
  SendAll(job, {JobHeader(JOB_FLAG_OVERLAY), OverlayControl(0, Path(u"missing.ovl"))});
  Bytes nearMarker = Marker();
  nearMarker[7] ^= 0xFF;
  Bytes longer = Concat({Marker(), Data("x")});
  SendAll(job, {nearMarker, longer});
  EXPECT_EQ(Context(job)->overlayInserted, 0u);
  EXPECT_TRUE(Send(job, Marker()));
  EXPECT_EQ(Context(job)->overlayInserted, 1u);
  // The begin command went out; the missing body stopped the insertion there.
  EXPECT_EQ(PrinterBytes(printer_), Concat({nearMarker, longer, BeginCommand(), Marker()}));
  plugin_.Close(job);
}

TEST_F(Stream, InterleavedJobsKeepSeparateState) {
  HANDLE a = StartJob();
  AddJob(printer_, 8, u"Other", u"bob");
  HANDLE b = plugin_.StartDoc(printer_, 8);
  Bytes log = AsBytes(NewJobLog());
  SendAll(a, {JobHeader(0)});
  SendAll(b, {JobHeader(JOB_FLAG_ACCOUNTING)});
  SendAll(a, {Data("A1")});
  SendAll(b, {log, Data("B1")});
  SendAll(a, {log});
  EXPECT_EQ(Context(a)->state, STATE_PASS_THROUGH);
  EXPECT_EQ(Context(b)->state, STATE_DATA);
  EXPECT_EQ(Context(a)->writeCount, 3u);
  EXPECT_EQ(Context(b)->writeCount, 3u);
  EXPECT_EQ(Context(a)->jobLog.magic, 0u);
  EXPECT_EQ(Context(b)->jobLog.magic, JOB_LOG_RECORD_MAGIC);
  EXPECT_EQ(PrinterBytes(printer_), Concat({Data("A1"), Data("B1"), log}));
  plugin_.Close(a);
  plugin_.Close(b);
}

TEST_F(Stream, WriteCountIncludesControlRecordsAndEmptyBlocks) {
  HANDLE job = StartJob();
  SendAll(job, {JobHeader(JOB_FLAG_ACCOUNTING), Bytes{}, AsBytes(NewJobLog()), Data("d")});
  EXPECT_EQ(Context(job)->writeCount, 4u);
  EXPECT_EQ(PrinterWrites(printer_), (std::vector<uint32_t>{0, 1}));
  plugin_.Close(job);
}

}  // namespace
