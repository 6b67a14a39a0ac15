// Raw and framed insertion through the exports: what reaches the printer or the
// archive file, write by write, and how failures and other jobs' overlays stop it.
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

std::vector<uint32_t> Sizes(std::initializer_list<Bytes> writes) {
  std::vector<uint32_t> sizes;
  for (const Bytes& w : writes) sizes.push_back(static_cast<uint32_t>(w.size()));
  return sizes;
}

TEST_F(InsertionTest, FramedInsertionFramesTheBodyAtTheFirstMarkerOnly) {
  HANDLE job = StartOverlayJob(kFramed);
  EXPECT_EQ(SendDataMarkerDataMarker(job), (std::vector<BOOL>{TRUE, TRUE, TRUE, TRUE}));
  EndJob(job);

  EXPECT_EQ(PrinterBytes(), Concat({first_, BeginCommand(), body_, EndCommand(), Marker(), second_,
                                    Marker()}));
  EXPECT_EQ(PrinterWrites(), Sizes({first_, BeginCommand(), Pattern(256, 0), Pattern(256, 0),
                                    Pattern(88, 0), EndCommand(), Marker(), second_, Marker()}));
}

TEST_F(InsertionTest, RawInsertionPutsTheBareBodyBeforeEveryMarker) {
  HANDLE job = StartOverlayJob(kRaw);
  EXPECT_EQ(SendDataMarkerDataMarker(job), (std::vector<BOOL>{TRUE, TRUE, TRUE, TRUE}));
  EndJob(job);

  EXPECT_EQ(PrinterBytes(), Concat({first_, body_, Marker(), second_, body_, Marker()}));
  EXPECT_EQ(PrinterWrites(), (std::vector<uint32_t>{static_cast<uint32_t>(first_.size()), 256, 256,
                                                    88, 8, static_cast<uint32_t>(second_.size()),
                                                    256, 256, 88, 8}));
  EXPECT_EQ(HostOpenHandleCount(), 0u);
}

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

TEST_F(InsertionTest, AnOverlayWithoutBodyOrWithoutFileInsertsNothing) {
  for (uint8_t mode : {kRaw, kFramed}) {
    SCOPED_TRACE(mode == kRaw ? "raw" : "framed");
    for (bool stored : {true, false}) {
      SCOPED_TRACE(stored ? "header only" : "no overlay file");
      std::filesystem::remove(HostMapPath(kOverlayPath));
      if (stored) StoreOverlay({});
      HostClearPrinterData(printer_);
      HANDLE job = StartOverlayJob(mode);
      EXPECT_TRUE(Send(job, first_));
      EXPECT_TRUE(Send(job, Marker()));
      EndJob(job);

      // Framed insertion still sends its begin command; the failed copy skips the end.
      Bytes expected = mode == kRaw ? Concat({first_, Marker()})
                                    : Concat({first_, BeginCommand(), Marker()});
      EXPECT_EQ(PrinterBytes(), expected);
    }
  }
}

TEST_F(InsertionTest, OnlyAnExactMarkerBlockIsAMarker) {
  Bytes longer = Concat({Marker(), Data("X")});
  Bytes lastByteDiffers = Marker();
  lastByteDiffers[7] ^= 0x01;
  Bytes firstByteDiffers = Marker();
  firstByteDiffers[0] = 0x1C;
  Bytes shorter = Marker();
  shorter.pop_back();
  for (uint8_t mode : {kRaw, kFramed}) {
    SCOPED_TRACE(mode == kRaw ? "raw" : "framed");
    HostClearPrinterData(printer_);
    HANDLE job = StartOverlayJob(mode);
    SendAll(job, {longer, lastByteDiffers, firstByteDiffers, shorter});
    EXPECT_EQ(Context(job)->overlayInserted, 0u);
    EndJob(job);

    EXPECT_EQ(PrinterBytes(), Concat({longer, lastByteDiffers, firstByteDiffers, shorter}));
    EXPECT_EQ(PrinterWrites(), (std::vector<uint32_t>{9, 8, 8, 7}));
  }
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

TEST_F(InsertionTest, AnOverlayBeingRegisteredCannotBeInsertedByAnotherJob) {
  HostAddJob(printer_, 8, {u"Other.plt", u"bob"});
  HANDLE registering = StartOverlayJob(kRegister, false, kOverlayPath, 0x31);
  Bytes newBody = Data("new overlay body");
  EXPECT_TRUE(Send(registering, newBody));

  jobId_ = 8;
  HANDLE raw = StartOverlayJob(kRaw);
  EXPECT_TRUE(Send(raw, Marker()));  // the overlay is held open: nothing inserted
  EXPECT_EQ(PrinterBytes(), Marker());

  // A second registration of the same overlay can't create it either, and leaves the
  // first job's recording intact.
  HANDLE second = StartOverlayJob(kRegister, false, kOverlayPath, 0x32);
  EXPECT_EQ(Context(second)->overlayFile, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(Send(second, Data("lost")));
  EndJob(second);

  EndJob(registering);
  EXPECT_EQ(WindowsFile(kOverlayPath), Concat({OverlayHeader(0x31), newBody}));

  // Raw insertion opens the overlay anew at every marker and now finds the new one.
  EXPECT_TRUE(Send(raw, Marker()));
  EndJob(raw);
  EXPECT_EQ(PrinterBytes(), Concat({Marker(), newBody, Marker()}));
}

TEST_F(InsertionTest, ARegisteringJobClosedWithoutEndLeavesTheOverlayFree) {
  HANDLE registering = StartOverlayJob(kRegister, false, kOverlayPath, 0x31);
  Bytes newBody = Data("new overlay body");
  EXPECT_TRUE(Send(registering, newBody));
  DrvSplClose(registering);  // neither DrvSplEndDoc nor DrvSplAbort
  EXPECT_EQ(HostOpenHandleCount(), 0u);

  HANDLE raw = StartOverlayJob(kRaw);
  EXPECT_TRUE(Send(raw, Marker()));
  EndJob(raw);
  EXPECT_EQ(PrinterBytes(), Concat({newBody, Marker()}));
}

TEST_F(InsertionTest, FramedInsertionBlockedByARegisteringJobIsNotRetried) {
  HostAddJob(printer_, 8, {u"Other.plt", u"bob"});
  HANDLE registering = StartOverlayJob(kRegister, false, kOverlayPath, 0x31);
  jobId_ = 8;
  HANDLE framed = StartOverlayJob(kFramed);
  EXPECT_TRUE(Send(framed, Marker()));
  EndJob(registering);
  EXPECT_TRUE(Send(framed, Marker()));
  EndJob(framed);

  EXPECT_EQ(PrinterBytes(), Concat({BeginCommand(), Marker(), Marker()}));
}

}  // namespace
}  // namespace sgtest
