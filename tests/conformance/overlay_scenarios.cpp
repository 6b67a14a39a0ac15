// Overlays end to end: a job recorded as an overlay file, and later jobs that have the
// stored body inserted at the overlay marker, to the printer or into their archive file.
#include "tests/conformance/conformance.h"

using namespace sgconf;
using namespace sgtest;

namespace {

class Overlay : public ConformanceTest {
 protected:
  void SetUp() override {
    ConformanceTest::SetUp();
    MakeWindowsDirectory(Path(u"Overlays"));
  }

  // A stored overlay: its 444-byte header, then a body of 600 bytes (three chunks).
  Bytes StoreOverlay() {
    Bytes body = Pattern(600, 0x0B);
    WriteWindowsFile(form_, Concat({OverlayHeader(0x44), body}));
    return body;
  }

  HANDLE StartOverlayJob(DWORD jobId, uint32_t flags, uint8_t mode) {
    HANDLE job = plugin_.StartDoc(printer_, jobId);
    EXPECT_NE(job, nullptr);
    SendAll(job, {JobHeader(flags), OverlayControl(mode, form_)});
    if (mode & OVERLAY_MODE_REGISTER) {
      EXPECT_TRUE(Send(job, OverlayHeader(0x55)));
    }
    if (flags & JOB_FLAG_ARCHIVE) {
      SendAll(job, {ArchiveLocation(Path(u""), archiveName_, u""), ArchiveHeader(0, 0, 0)});
    }
    return job;
  }

  const std::u16string form_ = Path(u"Overlays\\form.ovl");
  std::u16string archiveName_ = u"with overlay";
  const Bytes a_ = Data("data before the first marker");
  const Bytes b_ = Data("data between the markers");
};

TEST_F(Overlay, RegisterModeRecordsThePrintDataIntoANewOverlayFile) {
  WriteWindowsFile(form_, Pattern(5000, 0x99));  // an older, longer overlay is replaced
  HANDLE job = StartOverlayJob(jobId_, JOB_FLAG_OVERLAY, OVERLAY_MODE_REGISTER | OVERLAY_MODE_RAW);
  SendAll(job, {a_, Marker(), b_, Tail(3, 2)});
  EndAndClose(job);
  EXPECT_EQ(ReadWindowsFile(form_), Concat({OverlayHeader(0x55), a_, Marker(), b_, Tail(3, 2)}));
  EXPECT_TRUE(PrinterBytes(printer_).empty());
}

TEST_F(Overlay, RegisteringWithArchiveFlagLeavesTheArchiveFileItsHeaderOnly) {
  HANDLE job = StartOverlayJob(jobId_, JOB_FLAG_OVERLAY | JOB_FLAG_ARCHIVE, OVERLAY_MODE_REGISTER);
  SendAll(job, {a_, b_});
  EndAndClose(job);
  EXPECT_EQ(ReadWindowsFile(form_), Concat({OverlayHeader(0x55), a_, b_}));
  EXPECT_EQ(ReadWindowsFile(Path(u"with overlay.RUD")), ArchiveHeader(0, 0, 0));
  EXPECT_TRUE(PrinterBytes(printer_).empty());
}

TEST_F(Overlay, RegisteringIntoAMissingDirectoryLosesTheDataSilently) {
  const std::u16string missing = Path(u"NoSuchDir\\form.ovl");
  HANDLE job = plugin_.StartDoc(printer_, jobId_);
  SendAll(job, {JobHeader(JOB_FLAG_OVERLAY), OverlayControl(OVERLAY_MODE_REGISTER, missing),
                OverlayHeader(), a_});
  EndAndClose(job);
  EXPECT_FALSE(WindowsDirectoryExists(Path(u"NoSuchDir")));
  EXPECT_TRUE(PrinterBytes(printer_).empty());
  EXPECT_TRUE(MessageBoxesShown().empty());
}

TEST_F(Overlay, FramedInsertionPutsTheBodyBeforeTheFirstMarkerOnly) {
  Bytes body = StoreOverlay();
  HANDLE job = StartOverlayJob(jobId_, JOB_FLAG_OVERLAY, 0);
  SendAll(job, {a_, Marker(), b_, Marker()});
  EndAndClose(job);
  EXPECT_EQ(PrinterBytes(printer_),
            Concat({a_, BeginCommand(), body, EndCommand(), Marker(), b_, Marker()}));
  // The body goes out in chunks of at most 256 bytes.
  uint32_t a = static_cast<uint32_t>(a_.size()), b = static_cast<uint32_t>(b_.size());
  EXPECT_EQ(PrinterWrites(printer_), (std::vector<uint32_t>{a, 6, 256, 256, 88, 4, 8, b, 8}));
}

TEST_F(Overlay, RawInsertionPutsTheBodyBeforeEveryMarker) {
  Bytes body = StoreOverlay();
  HANDLE job = StartOverlayJob(jobId_, JOB_FLAG_OVERLAY, OVERLAY_MODE_RAW);
  Bytes nearMarker = Marker();
  nearMarker[7] ^= 1;
  SendAll(job, {a_, Marker(), b_, Marker(), nearMarker, Concat({Marker(), Data("x")})});
  EndAndClose(job);
  EXPECT_EQ(PrinterBytes(printer_), Concat({a_, body, Marker(), b_, body, Marker(), nearMarker,
                                            Marker(), Data("x")}));
}

TEST_F(Overlay, BothInsertionModesGoIntoTheArchiveFileInstead) {
  Bytes body = StoreOverlay();
  HANDLE job = StartOverlayJob(jobId_, JOB_FLAG_OVERLAY | JOB_FLAG_ARCHIVE, 0);
  SendAll(job, {a_, Marker(), b_, Marker()});
  EndAndClose(job);
  EXPECT_EQ(ReadWindowsFile(Path(u"with overlay.RUD")),
            Concat({ArchiveHeader(0, 0, 0), a_, BeginCommand(), body, EndCommand(), Marker(), b_,
                    Marker()}));

  archiveName_ = u"raw";
  job = StartOverlayJob(jobId_, JOB_FLAG_OVERLAY | JOB_FLAG_ARCHIVE, OVERLAY_MODE_RAW);
  SendAll(job, {a_, Marker(), b_, Marker()});
  EndAndClose(job);
  EXPECT_EQ(ReadWindowsFile(Path(u"raw.RUD")),
            Concat({ArchiveHeader(0, 0, 0), a_, body, Marker(), b_, body, Marker()}));
  EXPECT_TRUE(PrinterBytes(printer_).empty());
}

TEST_F(Overlay, OverlayBeingRecordedCannotBeInsertedByAnotherJob) {
  HANDLE recording = StartOverlayJob(jobId_, JOB_FLAG_OVERLAY, OVERLAY_MODE_REGISTER);
  EXPECT_TRUE(Send(recording, a_));
  // The recording job holds the file without sharing: the framed insertion of another
  // job gets its begin command out, then the body copy fails and the end command is
  // left out; the marker still follows.
  AddJob(printer_, 8, u"Second", u"bob");
  HANDLE inserting = StartOverlayJob(8, JOB_FLAG_OVERLAY, 0);
  SendAll(inserting, {b_, Marker(), Marker()});
  EndAndClose(inserting);
  EndAndClose(recording);
  EXPECT_EQ(PrinterBytes(printer_), Concat({b_, BeginCommand(), Marker(), Marker()}));
  EXPECT_EQ(ReadWindowsFile(form_), Concat({OverlayHeader(0x55), a_}));
}

TEST_F(Overlay, OverlayWithoutBodyInsertsNothingButTheBeginCommand) {
  WriteWindowsFile(form_, OverlayHeader(0x44));
  HANDLE job = StartOverlayJob(jobId_, JOB_FLAG_OVERLAY, 0);
  SendAll(job, {Marker()});
  EndAndClose(job);
  EXPECT_EQ(PrinterBytes(printer_), Concat({BeginCommand(), Marker()}));
}

}  // namespace
