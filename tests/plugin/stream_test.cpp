// SPDX-License-Identifier: Apache-2.0
// The stream state machine's host-only tests (the rest: tests/conformance): the states
// and results when no overlay or archive file can be opened, and failed printer writes.
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

// Printed as its flags and mode, so that the case's name is the same in every build.
void PrintTo(const FlagsCase& c, std::ostream* out) {
  *out << "flags " << c.flags << " mode " << int(c.mode);
}

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

constexpr uint32_t PASS = STATE_PASS_THROUGH, FEATURE = STATE_FEATURE_RECORD,
                   OVERLAY = STATE_OVERLAY_HEADER, ARCHIVE = STATE_ARCHIVE_HEADER, DATA = STATE_DATA;

INSTANTIATE_TEST_SUITE_P(
    ByFlags, StateSequence,
    ::testing::Values(FlagsCase{0, 0, {PASS}}, FlagsCase{4, 0, {DATA}},
                      FlagsCase{1, 1, {FEATURE, OVERLAY, DATA}},
                      FlagsCase{1, 5, {FEATURE, OVERLAY, DATA}}, FlagsCase{1, 0, {FEATURE, DATA}},
                      FlagsCase{1, 4, {FEATURE, DATA}}, FlagsCase{2, 0, {FEATURE, ARCHIVE, DATA}},
                      FlagsCase{3, 1, {FEATURE, OVERLAY, FEATURE, ARCHIVE, DATA}},
                      FlagsCase{3, 0, {FEATURE, FEATURE, ARCHIVE, DATA}},
                      FlagsCase{3, 4, {FEATURE, FEATURE, ARCHIVE, DATA}}));

// --- STATE_PASS_THROUGH -------------------------------------------------------------

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

// --- STATE_DATA: recognition among the data ------------------------------------------------

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

}  // namespace
