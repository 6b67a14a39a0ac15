// SPDX-License-Identifier: Apache-2.0
// Overlay insertion's host-only tests (end-to-end overlay jobs: tests/conformance): the
// writes counted into an archive file, and printer writes failed at each step.
#include "tests/overlay/overlay_fixture.h"

namespace sgtest {
namespace {

class InsertionTest : public OverlayTest {
 protected:
  void SetUp() override {
    OverlayTest::SetUp();
    body_ = Pattern(600, 0x42);
    StoreOverlay(body_);
  }

  // Sends data, M, data, M and returns each block's result.
  std::vector<BOOL> SendDataMarkerDataMarker(HANDLE job) {
    return {Send(job, first_), Send(job, Marker()), Send(job, second_), Send(job, Marker())};
  }

  Bytes body_;
  Bytes first_ = Data("first data");
  Bytes second_ = Data("second data, longer");
};

// Into an archive file the byte order is the same; the number of writes stands for
// their boundaries, and the printer receives nothing.
TEST_F(InsertionTest, FramedInsertionGoesIntoTheArchiveOfAnArchivedJob) {
  HANDLE job = StartOverlayJob(kFramed, true);
  HostResetCounters();
  EXPECT_EQ(SendDataMarkerDataMarker(job), (std::vector<BOOL>{TRUE, TRUE, TRUE, TRUE}));
  EXPECT_EQ(HostCallCount(HostOp::WriteFile), 9u);
  EndJob(job);

  EXPECT_EQ(ArchiveData(), Concat({first_, BeginCommand(), body_, EndCommand(), Marker(), second_,
                                   Marker()}));
  EXPECT_TRUE(PrinterBytes().empty());
}

TEST_F(InsertionTest, RawInsertionGoesIntoTheArchiveOfAnArchivedJob) {
  HANDLE job = StartOverlayJob(kRaw, true);
  HostResetCounters();
  EXPECT_EQ(SendDataMarkerDataMarker(job), (std::vector<BOOL>{TRUE, TRUE, TRUE, TRUE}));
  EXPECT_EQ(HostCallCount(HostOp::WriteFile), 10u);
  EndJob(job);

  EXPECT_EQ(ArchiveData(), Concat({first_, body_, Marker(), second_, body_, Marker()}));
  EXPECT_TRUE(PrinterBytes().empty());
}

TEST_F(InsertionTest, FramedInsertionStopsWhenTheBeginCommandFailsAndNeverRetries) {
  HANDLE job = StartOverlayJob(kFramed);
  EXPECT_TRUE(Send(job, first_));
  HostResetCounters();
  HostFailNth(HostOp::WritePrinter, 1, ERROR_WRITE_FAULT);  // the begin command
  EXPECT_TRUE(Send(job, Marker()));
  EXPECT_TRUE(Send(job, second_));
  EXPECT_TRUE(Send(job, Marker()));
  EXPECT_EQ(HostCallCount(HostOp::CreateFile), 0u) << "the overlay was opened";
  EndJob(job);

  EXPECT_EQ(PrinterBytes(), Concat({first_, Marker(), second_, Marker()}));
}

TEST_F(InsertionTest, FramedInsertionSkipsTheEndCommandWhenTheBodyCopyFails) {
  HANDLE job = StartOverlayJob(kFramed);
  EXPECT_TRUE(Send(job, first_));
  // Begin command, then the three chunks; the last chunk decides the copy's result.
  HostFailNth(HostOp::WritePrinter, 4, ERROR_WRITE_FAULT);
  EXPECT_TRUE(Send(job, Marker()));
  EXPECT_TRUE(Send(job, second_));
  EXPECT_TRUE(Send(job, Marker()));
  EndJob(job);

  Bytes partial(body_.begin(), body_.begin() + 512);
  EXPECT_EQ(PrinterBytes(), Concat({first_, BeginCommand(), partial, Marker(), second_, Marker()}));
}

TEST_F(InsertionTest, AFailedMarkerWriteIsTheCallsResultWhileTheInsertionStands) {
  HANDLE job = StartOverlayJob(kRaw);
  HostFailNth(HostOp::WritePrinter, 4, ERROR_WRITE_FAULT);  // after the three chunks
  EXPECT_FALSE(Send(job, Marker()));
  EndJob(job);

  EXPECT_EQ(PrinterBytes(), body_);
}

}  // namespace
}  // namespace sgtest
