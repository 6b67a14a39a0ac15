// SPDX-License-Identifier: Apache-2.0
// The SandboxTest fixture: each test gets its own temporary root, a reset host layer,
// the printer "Wide Format" on LPT1: and job 7 ("Drawing.plt" by alice).
#include "tests/support/sandbox.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace sgtest {

std::string ReadHostFile(const std::string& hostPath) {
  std::ifstream in(hostPath, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool HostFileExists(const std::string& hostPath) {
  return !hostPath.empty() && std::filesystem::is_regular_file(hostPath);
}

void WriteHostFile(const std::string& hostPath, const Bytes& bytes) {
  std::filesystem::create_directories(std::filesystem::path(hostPath).parent_path());
  std::ofstream out(hostPath, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void MakeWindowsDirectory(const std::u16string& windowsPath) {
  std::filesystem::create_directories(HostMapPath(windowsPath));
}

void InstallLibrary(const std::u16string& windowsPath, const std::string& hostLibrary) {
  std::filesystem::path target = HostMapPath(windowsPath);
  std::filesystem::create_directories(target.parent_path());
  std::filesystem::copy_file(hostLibrary, target,
                             std::filesystem::copy_options::overwrite_existing);
}

void SandboxTest::SetUp() {
  std::string base = std::filesystem::temp_directory_path() / "spoolgate-test-XXXXXX";
  std::vector<char> pattern(base.begin(), base.end());
  pattern.push_back('\0');
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  root_ = pattern.data();
  HostReset(root_);
  printer_ = HostAddPrinter({std::nullopt, u"Wide Format", u"LPT1:"});
  HostAddJob(printer_, jobId_, {u"Drawing.plt", u"alice"});
}

void SandboxTest::TearDown() {
  // Whatever the product opened during the test is closed by its end; a test that opens
  // a file itself closes it too.
  EXPECT_EQ(HostOpenHandleCount(), 0u) << "a file or key is still open at the end of the test";
  std::error_code ignored;
  std::filesystem::remove_all(root_, ignored);
}

HANDLE SandboxTest::StartJob() {
  HANDLE job = DrvSplStartDoc(printer_, jobId_);
  EXPECT_NE(job, nullptr);
  return job;
}

BOOL SandboxTest::Send(HANDLE job, const Bytes& block) {
  DWORD written = 0xDEADBEEF;
  BOOL result = DrvSplWritePrinter(job, const_cast<uint8_t*>(block.data()),
                                   static_cast<DWORD>(block.size()), &written);
  EXPECT_EQ(written, block.size()) << "bytes-written must always be the block size";
  return result;
}

void SandboxTest::SendAll(HANDLE job, const std::vector<Bytes>& blocks) {
  for (const Bytes& block : blocks) EXPECT_TRUE(Send(job, block)) << Hex(block, 16);
}

Bytes SandboxTest::PrinterBytes() const { return HostPrinterData(printer_).bytes; }

std::vector<uint32_t> SandboxTest::PrinterWrites() const {
  return HostPrinterData(printer_).writeSizes;
}

Bytes SandboxTest::WindowsFile(const std::u16string& windowsPath) const {
  // Read as another program would, through the share modes of the handles open on it.
  Bytes bytes;
  DWORD error = 0;
  if (!HostReadFile(windowsPath, &bytes, &error)) {
    EXPECT_NE(error, static_cast<DWORD>(ERROR_SHARING_VIOLATION))
        << "the file is held open without read sharing";
  }
  return bytes;
}

bool SandboxTest::WindowsFileExists(const std::u16string& windowsPath) const {
  return HostFileExists(HostMapPath(windowsPath));
}

void SandboxTest::PutWindowsFile(const std::u16string& windowsPath, const Bytes& bytes) const {
  WriteHostFile(HostMapPath(windowsPath), bytes);
}

}  // namespace sgtest
