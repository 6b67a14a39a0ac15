// Register mode through the exports: a job's print data recorded as an overlay file,
// replacing an older one, and a registration that can't create its file.
#include "tests/overlay/overlay_fixture.h"

namespace sgtest {
namespace {

using RegisterModeTest = OverlayTest;

TEST_F(RegisterModeTest, PrintDataGoesIntoTheOverlayBehindItsHeaderAndNowhereElse) {
  Bytes first = Pattern(300, 1);
  Bytes second = Data("second block");
  HANDLE job = StartOverlayJob(kRegister, false, kOverlayPath, 0x31);
  EXPECT_TRUE(Send(job, first));
  EXPECT_TRUE(Send(job, Marker()));  // recorded as data, nothing inserted
  EXPECT_TRUE(Send(job, second));
  EndJob(job);

  EXPECT_EQ(WindowsFile(kOverlayPath), Concat({OverlayHeader(0x31), first, Marker(), second}));
  EXPECT_TRUE(PrinterBytes().empty());
  EXPECT_EQ(HostOpenHandleCount(), 0u);
}

TEST_F(RegisterModeTest, ModeFiveRegistersToo) {
  HANDLE job = StartOverlayJob(OVERLAY_MODE_REGISTER | OVERLAY_MODE_RAW, false, kOverlayPath,
                               0x31);
  EXPECT_TRUE(Send(job, Data("data")));
  EXPECT_TRUE(Send(job, Marker()));
  EndJob(job);

  EXPECT_EQ(WindowsFile(kOverlayPath), Concat({OverlayHeader(0x31), Data("data"), Marker()}));
  EXPECT_TRUE(PrinterBytes().empty());
}

TEST_F(RegisterModeTest, AnArchivedRegisteringJobLeavesTheArchiveWithOnlyItsHeader) {
  HANDLE job = StartOverlayJob(kRegister, true, kOverlayPath, 0x31);
  EXPECT_TRUE(Send(job, Data("overlay data")));
  EndJob(job);

  EXPECT_EQ(WindowsFile(kOverlayPath), Concat({OverlayHeader(0x31), Data("overlay data")}));
  EXPECT_TRUE(WindowsFileExists(kArchivePath)) << "needs the archive subsystem";
  EXPECT_EQ(WindowsFile(kArchivePath).size(), kArchiveHeaderBytes);
  EXPECT_TRUE(PrinterBytes().empty());
}

TEST_F(RegisterModeTest, RegisteringAgainReplacesTheOldOverlayWhole) {
  RegisterOverlay({Pattern(1000, 1), Pattern(700, 2)}, 0x31);
  RegisterOverlay({Data("short")}, 0x32);

  EXPECT_EQ(WindowsFile(kOverlayPath), Concat({OverlayHeader(0x32), Data("short")}));
}

TEST_F(RegisterModeTest, AMissingDirectoryLosesTheDataSilentlyWhileEveryBlockSucceeds) {
  const std::u16string missing = u"C:\\NoSuchDir\\form.ovl";
  HANDLE job = StartOverlayJob(kRegister, false, missing);
  EXPECT_EQ(Context(job)->overlayFile, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(Send(job, Pattern(500, 3)));
  EXPECT_TRUE(Send(job, Marker()));
  EXPECT_TRUE(Send(job, Data("more")));
  EndJob(job);

  EXPECT_FALSE(WindowsFileExists(missing));
  EXPECT_FALSE(std::filesystem::exists(HostMapPath(u"C:\\NoSuchDir")));
  EXPECT_TRUE(HostMessageBoxes().empty());
  EXPECT_TRUE(PrinterBytes().empty());
}

TEST_F(RegisterModeTest, AnUnterminatedPathIsCutAtTheEndOfItsField) {
  // The path fills all 258 characters; in the context it is followed by the overlay
  // header's bytes, which must not become part of the name.
  std::u16string longPath = kOverlayDir + u"\\" + std::u16string(OVERLAY_PATH_CHARS - 12, u'g');
  ASSERT_EQ(longPath.size(), static_cast<size_t>(OVERLAY_PATH_CHARS));
  HANDLE job = StartOverlayJob(kRegister, false, longPath, 0x31);
  EXPECT_TRUE(Send(job, Data("data")));
  EndJob(job);

  EXPECT_EQ(WindowsFile(longPath), Concat({OverlayHeader(0x31), Data("data")}));
  EXPECT_EQ(FilesIn(kOverlayDir).size(), 1u);
}

}  // namespace
}  // namespace sgtest
