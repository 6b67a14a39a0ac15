// SPDX-License-Identifier: Apache-2.0
// The three overlay file operations called directly: creation, the chunked body copy
// to the printer and into a file, their results, and the bounded overlay path.
#include "tests/overlay/overlay_fixture.h"

namespace sgtest {
namespace {

using OverlayFileTest = OverlayTest;

std::vector<WCHAR> PathField(const std::u16string& path) {
  std::vector<WCHAR> field(OVERLAY_PATH_CHARS, 0);
  for (size_t i = 0; i < path.size() && i < field.size(); ++i) field[i] = path[i];
  return field;
}

OverlayHeaderRecord HeaderRecord(uint8_t seed) {
  OverlayHeaderRecord header;
  Bytes bytes = OverlayHeader(seed);
  std::memcpy(&header, bytes.data(), sizeof(header));
  return header;
}

TEST_F(OverlayFileTest, CreationWritesTheHeaderAndReplacesAnExistingFileWhole) {
  PutWindowsFile(kOverlayPath, Pattern(5000, 0x77));
  std::vector<WCHAR> path = PathField(kOverlayPath);
  OverlayHeaderRecord header = HeaderRecord(0x22);

  HANDLE file = CreateOverlayFile(path.data(), &header);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  Bytes body = Data("body");
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(file, body.data(), 4, &written, nullptr));  // lands behind the header
  CloseHandle(file);

  EXPECT_EQ(WindowsFile(kOverlayPath), Concat({OverlayHeader(0x22), body}));
}

TEST_F(OverlayFileTest, CreationInAMissingDirectoryGivesNoFileNoDirectoryNoMessage) {
  std::vector<WCHAR> path = PathField(u"C:\\Missing\\form.ovl");
  OverlayHeaderRecord header = HeaderRecord(0x22);

  EXPECT_EQ(CreateOverlayFile(path.data(), &header), INVALID_HANDLE_VALUE);

  EXPECT_FALSE(WindowsFileExists(u"C:\\Missing\\form.ovl"));
  EXPECT_FALSE(std::filesystem::exists(HostMapPath(u"C:\\Missing")));
  EXPECT_TRUE(HostMessageBoxes().empty());
  EXPECT_EQ(HostOpenHandleCount(), 0u);
}

TEST_F(OverlayFileTest, AHeaderThatCannotBeWrittenFailsTheCreation) {
  // Otherwise the body would start where later copies skip it.
  std::vector<WCHAR> path = PathField(kOverlayPath);
  OverlayHeaderRecord header = HeaderRecord(0x22);
  HostFailNth(HostOp::WriteFile, 1, ERROR_DISK_FULL);

  EXPECT_EQ(CreateOverlayFile(path.data(), &header), INVALID_HANDLE_VALUE);
  EXPECT_EQ(HostOpenHandleCount(), 0u);
  EXPECT_FALSE(CopyOverlayToPrinter(printer_, path.data()));
  EXPECT_TRUE(PrinterBytes().empty());
}

TEST_F(OverlayFileTest, ABodyOf600BytesReachesThePrinterAs256And256And88) {
  Bytes body = Pattern(600, 0x42);
  StoreOverlay(body);

  EXPECT_TRUE(CopyOverlayToPrinter(printer_, PathField(kOverlayPath).data()));

  EXPECT_EQ(PrinterBytes(), body);
  EXPECT_EQ(PrinterWrites(), (std::vector<uint32_t>{256, 256, 88}));
  EXPECT_EQ(HostOpenHandleCount(), 0u);
}

TEST_F(OverlayFileTest, ABodyOf600BytesIsAppendedToAFileAtItsPosition) {
  Bytes body = Pattern(600, 0x42);
  StoreOverlay(body);
  MakeWindowsDirectory(kArchiveDir);
  HANDLE file = CreateFileW(reinterpret_cast<LPCWSTR>(kArchivePath.c_str()), GENERIC_WRITE, 0,
                            nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  Bytes before = Data("before");
  WriteFile(file, before.data(), static_cast<DWORD>(before.size()), &written, nullptr);
  HostResetCounters();

  EXPECT_TRUE(CopyOverlayToFile(file, PathField(kOverlayPath).data()));
  EXPECT_EQ(HostCallCount(HostOp::WriteFile), 3u);
  CloseHandle(file);

  EXPECT_EQ(WindowsFile(kArchivePath), Concat({before, body}));
}

TEST_F(OverlayFileTest, AnOverlayWithoutBodyOrWithoutFileCopiesNothing) {
  MakeWindowsDirectory(kArchiveDir);
  HANDLE file = CreateFileW(reinterpret_cast<LPCWSTR>(kArchivePath.c_str()), GENERIC_WRITE, 0,
                            nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  std::vector<WCHAR> path = PathField(kOverlayPath);

  // No file at all, then a file of exactly the header.
  EXPECT_FALSE(CopyOverlayToPrinter(printer_, path.data()));
  EXPECT_FALSE(CopyOverlayToFile(file, path.data()));
  EXPECT_FALSE(WindowsFileExists(kOverlayPath)) << "a copy never creates the overlay";
  StoreOverlay({});
  EXPECT_FALSE(CopyOverlayToPrinter(printer_, path.data()));
  EXPECT_FALSE(CopyOverlayToFile(file, path.data()));
  CloseHandle(file);

  EXPECT_TRUE(PrinterBytes().empty());
  EXPECT_TRUE(WindowsFile(kArchivePath).empty());
  EXPECT_EQ(HostOpenHandleCount(), 0u);
}

TEST_F(OverlayFileTest, CopyingToTheInvalidHandleDoesNotOpenTheOverlay) {
  StoreOverlay(Pattern(100, 1));
  HostResetCounters();

  EXPECT_FALSE(CopyOverlayToFile(INVALID_HANDLE_VALUE, PathField(kOverlayPath).data()));
  EXPECT_EQ(HostCallCount(HostOp::CreateFile), 0u);
}

TEST_F(OverlayFileTest, OnlyTheLastWriteDecidesTheResult) {
  Bytes body = Pattern(600, 0x42);
  StoreOverlay(body);
  std::vector<WCHAR> path = PathField(kOverlayPath);

  // A failed first chunk does not end the copy, and the last one succeeds.
  HostFailNth(HostOp::WritePrinter, 1, ERROR_WRITE_FAULT);
  EXPECT_TRUE(CopyOverlayToPrinter(printer_, path.data()));
  EXPECT_EQ(PrinterWrites(), (std::vector<uint32_t>{256, 88}));

  HostClearPrinterData(printer_);
  HostFailNth(HostOp::WritePrinter, 3, ERROR_WRITE_FAULT);
  EXPECT_FALSE(CopyOverlayToPrinter(printer_, path.data()));
  EXPECT_EQ(PrinterWrites(), (std::vector<uint32_t>{256, 256}));
}

TEST_F(OverlayFileTest, AReadErrorEndsTheCopyWithTheLastWritesResult) {
  Bytes body = Pattern(600, 0x42);
  StoreOverlay(body);
  std::vector<WCHAR> path = PathField(kOverlayPath);

  HostFailNth(HostOp::ReadFile, 2, ERROR_READ_FAULT);
  EXPECT_TRUE(CopyOverlayToPrinter(printer_, path.data()));
  EXPECT_EQ(PrinterBytes(), Bytes(body.begin(), body.begin() + 256));

  HostClearPrinterData(printer_);
  HostFailNth(HostOp::ReadFile, 1, ERROR_READ_FAULT);
  EXPECT_FALSE(CopyOverlayToPrinter(printer_, path.data()));
  EXPECT_TRUE(PrinterBytes().empty());
  EXPECT_EQ(HostOpenHandleCount(), 0u);
}

TEST_F(OverlayFileTest, AFailedSeekNeverSendsTheHeaderAsBody) {
  StoreOverlay(Pattern(100, 1));
  HostFailNth(HostOp::SetFilePointer, 1, ERROR_INVALID_PARAMETER);

  EXPECT_FALSE(CopyOverlayToPrinter(printer_, PathField(kOverlayPath).data()));
  EXPECT_TRUE(PrinterBytes().empty());
  EXPECT_EQ(HostOpenHandleCount(), 0u);
}

TEST_F(OverlayFileTest, APathFillingTheWholeFieldIsReadOnlyWithinIt) {
  // 258 characters and no terminator: the field is allocated at exactly its size, so
  // a read past it is caught under the address sanitizer; the file gets all 258.
  std::u16string longPath = kOverlayDir + u"\\" + std::u16string(OVERLAY_PATH_CHARS - 12, u'f');
  ASSERT_EQ(longPath.size(), static_cast<size_t>(OVERLAY_PATH_CHARS));
  std::vector<WCHAR> field = PathField(longPath);
  ASSERT_EQ(field.size(), static_cast<size_t>(OVERLAY_PATH_CHARS));
  OverlayHeaderRecord header = HeaderRecord(0x22);

  HANDLE file = CreateOverlayFile(field.data(), &header);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  Bytes body = Pattern(300, 9);
  DWORD written = 0;
  WriteFile(file, body.data(), static_cast<DWORD>(body.size()), &written, nullptr);
  CloseHandle(file);

  EXPECT_TRUE(WindowsFileExists(longPath));
  EXPECT_EQ(FilesIn(kOverlayDir).size(), 1u);
  EXPECT_TRUE(CopyOverlayToPrinter(printer_, field.data()));
  EXPECT_EQ(PrinterBytes(), body);
}

}  // namespace
}  // namespace sgtest
