// SPDX-License-Identifier: Apache-2.0
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

  HANDLE StartOverlayJob(DWORD jobId, uint32_t flags, uint8_t mode, uint8_t headerSeed = 0x55) {
    HANDLE job = plugin_.StartDoc(printer_, jobId);
    EXPECT_NE(job, nullptr);
    SendAll(job, {JobHeader(flags), OverlayControl(mode, form_)});
    if (mode & OVERLAY_MODE_REGISTER) {
      EXPECT_TRUE(Send(job, OverlayHeader(headerSeed)));
    }
    if (flags & JOB_FLAG_ARCHIVE) {
      SendAll(job, {ArchiveLocation(Path(u""), archiveName_, u""), ArchiveHeader(0, 0, 0)});
    }
    return job;
  }

  // A printer of its own for one case of a scenario, with job jobId_ on it.
  void UseNewPrinter(const std::u16string& name) {
    printer_ = AddPrinter(std::nullopt, name, u"LPT1:");
    AddJob(printer_, jobId_, u"Drawing.plt", u"alice");
  }

  std::u16string form_ = Path(u"Overlays\\form.ovl");
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

  // Registering again, without the raw bit, replaces that overlay whole; a marker is
  // recorded as data there too.
  job = StartOverlayJob(jobId_, JOB_FLAG_OVERLAY, OVERLAY_MODE_REGISTER, 0x56);
  SendAll(job, {Data("short"), Marker()});
  EndAndClose(job);
  EXPECT_EQ(ReadWindowsFile(form_), Concat({OverlayHeader(0x56), Data("short"), Marker()}));
  EXPECT_TRUE(PrinterBytes(printer_).empty());
  ExpectNotHeld(form_);
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
                OverlayHeader()});
  EXPECT_EQ(Context(job)->overlayFile, INVALID_HANDLE_VALUE);
  // Every block is still reported taken.
  SendAll(job, {a_, Marker(), b_});
  EndAndClose(job);
  EXPECT_FALSE(ReadWindowsFile(missing));
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
  // The overlay is opened anew at every marker and closed after each copy.
  uint32_t a = static_cast<uint32_t>(a_.size()), b = static_cast<uint32_t>(b_.size());
  EXPECT_EQ(PrinterWrites(printer_),
            (std::vector<uint32_t>{a, 256, 256, 88, 8, b, 256, 256, 88, 8, 8, 9}));
  ExpectNotHeld(form_);
}

TEST_F(Overlay, OnlyAnExactMarkerBlockIsAMarker) {
  StoreOverlay();
  Bytes longer = Concat({Marker(), Data("X")});
  Bytes lastByteDiffers = Marker();
  lastByteDiffers[7] ^= 0x01;
  Bytes firstByteDiffers = Marker();
  firstByteDiffers[0] = 0x1C;
  Bytes shorter = Marker();
  shorter.pop_back();
  for (uint8_t mode : {uint8_t{OVERLAY_MODE_RAW}, uint8_t{0}}) {
    SCOPED_TRACE(mode == OVERLAY_MODE_RAW ? "raw" : "framed");
    UseNewPrinter(mode == OVERLAY_MODE_RAW ? u"Raw" : u"Framed");
    HANDLE job = StartOverlayJob(jobId_, JOB_FLAG_OVERLAY, mode);
    SendAll(job, {longer, lastByteDiffers, firstByteDiffers, shorter});
    EXPECT_EQ(Context(job)->overlayInserted, 0u);
    EndAndClose(job);
    EXPECT_EQ(PrinterBytes(printer_), Concat({longer, lastByteDiffers, firstByteDiffers, shorter}));
    EXPECT_EQ(PrinterWrites(printer_), (std::vector<uint32_t>{9, 8, 8, 7}));
  }
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
  SendAll(inserting, {b_, Marker()});
  EndAndClose(recording);
  // Framed insertion is tried at the first marker only, so the overlay now free is
  // not inserted at the second.
  SendAll(inserting, {Marker()});
  EndAndClose(inserting);
  EXPECT_EQ(PrinterBytes(printer_), Concat({b_, BeginCommand(), Marker(), Marker()}));
  EXPECT_EQ(ReadWindowsFile(form_), Concat({OverlayHeader(0x55), a_}));
}

TEST_F(Overlay, OverlayBeingRecordedIsNeitherInsertedRawNorRegisteredAgain) {
  HANDLE recording = StartOverlayJob(jobId_, JOB_FLAG_OVERLAY, OVERLAY_MODE_REGISTER, 0x31);
  EXPECT_TRUE(Send(recording, a_));
  AddJob(printer_, 8, u"Second", u"bob");
  HANDLE raw = StartOverlayJob(8, JOB_FLAG_OVERLAY, OVERLAY_MODE_RAW);
  EXPECT_TRUE(Send(raw, Marker()));  // the overlay is held open: nothing inserted
  EXPECT_EQ(PrinterBytes(printer_), Marker());

  // A second registration cannot create the file either, and leaves the first job's
  // recording intact.
  HANDLE second = StartOverlayJob(8, JOB_FLAG_OVERLAY, OVERLAY_MODE_REGISTER, 0x32);
  EXPECT_EQ(Context(second)->overlayFile, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(Send(second, Data("lost")));
  EndAndClose(second);
  EndAndClose(recording);
  EXPECT_EQ(ReadWindowsFile(form_), Concat({OverlayHeader(0x31), a_}));

  // Raw insertion opens the overlay anew at every marker and now finds the new one.
  EXPECT_TRUE(Send(raw, Marker()));
  EndAndClose(raw);
  EXPECT_EQ(PrinterBytes(printer_), Concat({Marker(), a_, Marker()}));
}

TEST_F(Overlay, RegisteringJobClosedWithoutEndLeavesTheOverlayFree) {
  HANDLE recording = StartOverlayJob(jobId_, JOB_FLAG_OVERLAY, OVERLAY_MODE_REGISTER, 0x31);
  EXPECT_TRUE(Send(recording, a_));
  plugin_.Close(recording);  // neither DrvSplEndDoc nor DrvSplAbort
  ExpectNotHeld(form_);
  HANDLE raw = StartOverlayJob(jobId_, JOB_FLAG_OVERLAY, OVERLAY_MODE_RAW);
  EXPECT_TRUE(Send(raw, Marker()));
  EndAndClose(raw);
  EXPECT_EQ(PrinterBytes(printer_), Concat({a_, Marker()}));
}

TEST_F(Overlay, PathFillingItsWholeFieldIsCutAtTheFieldsEnd) {
  // In the context the 258-character path is followed by the overlay header's bytes,
  // which must not become part of the name.
  const std::u16string directory = Path(u"Overlays");
  form_ = directory + u"\\" + std::u16string(OVERLAY_PATH_CHARS - directory.size() - 1, u'g');
  ASSERT_EQ(form_.size(), size_t{OVERLAY_PATH_CHARS});
  HANDLE job = StartOverlayJob(jobId_, JOB_FLAG_OVERLAY, OVERLAY_MODE_REGISTER, 0x31);
  SendAll(job, {a_});
  EndAndClose(job);
  EXPECT_EQ(ReadWindowsFile(form_), Concat({OverlayHeader(0x31), a_}));
  EXPECT_EQ(ListWindowsDirectory(directory).size(), 1u);
}

TEST_F(Overlay, OverlayWithoutBodyOrWithoutFileInsertsAtMostTheBeginCommand) {
  WriteWindowsFile(form_, OverlayHeader(0x44));
  const std::u16string stored = form_;
  for (uint8_t mode : {uint8_t{OVERLAY_MODE_RAW}, uint8_t{0}}) {
    for (bool headerOnly : {true, false}) {
      const std::u16string name = std::u16string(mode == OVERLAY_MODE_RAW ? u"raw" : u"framed") +
                                  (headerOnly ? u", header only" : u", no overlay file");
      SCOPED_TRACE(Utf8(name));
      UseNewPrinter(name);
      form_ = headerOnly ? stored : Path(u"Overlays\\missing.ovl");
      HANDLE job = StartOverlayJob(jobId_, JOB_FLAG_OVERLAY, mode);
      SendAll(job, {a_, Marker()});
      EndAndClose(job);
      // Framed insertion still sends its begin command; the failed copy skips the end.
      EXPECT_EQ(PrinterBytes(printer_), mode == OVERLAY_MODE_RAW
                                            ? Concat({a_, Marker()})
                                            : Concat({a_, BeginCommand(), Marker()}));
    }
  }
}

}  // namespace
