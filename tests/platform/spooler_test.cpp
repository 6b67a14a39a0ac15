// SPDX-License-Identifier: Apache-2.0
// The spooler double: GetJobW/GetPrinterW size queries and packed records, and the
// WritePrinter sink with its fault injection.
#include "tests/platform/host_test.h"

#include <cstring>
#include <thread>
#include <vector>

namespace {

class SpoolerTest : public HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    printer_ = HostAddPrinter({std::nullopt, u"Plotter 44", u"USB001"});
    HostAddJob(printer_, 7, {u"Drawing.dwg", u"alice"});
  }
  // The size GetJobW asks for, after checking how it asks.
  DWORD JobSize(DWORD jobId) {
    DWORD needed = 0xdeadbeef;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(GetJobW(printer_, jobId, 2, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    return needed;
  }
  HANDLE printer_ = nullptr;
};

// Every string of a returned record lies inside the bytes the call asked for.
void ExpectInside(const std::vector<uint8_t>& buffer, DWORD needed, const WCHAR* text) {
  if (text == nullptr) return;
  auto at = reinterpret_cast<const uint8_t*>(text);
  ASSERT_GE(at, buffer.data());
  size_t offset = static_cast<size_t>(at - buffer.data());
  size_t length = std::char_traits<char16_t>::length(text);
  EXPECT_LE(offset + (length + 1) * 2, needed);
}

TEST_F(SpoolerTest, GetJobSizeQueryThenPackedRecord) {
  DWORD needed = JobSize(7);
  ASSERT_GT(needed, sizeof(JOB_INFO_2W));

  // One byte short: fails and asks for the same size, buffer untouched.
  std::vector<uint8_t> buffer(needed + 16, 0xCC);
  DWORD again = 0;
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(GetJobW(printer_, 7, 2, buffer.data(), needed - 1, &again));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(again, needed);
  EXPECT_EQ(buffer, std::vector<uint8_t>(needed + 16, 0xCC));

  ASSERT_TRUE(GetJobW(printer_, 7, 2, buffer.data(), needed, &again));
  EXPECT_EQ(buffer[needed], 0xCC);
  const auto* info = reinterpret_cast<const JOB_INFO_2W*>(buffer.data());
  EXPECT_EQ(info->JobId, 7u);
  EXPECT_EQ(std::u16string(info->pDocument), u"Drawing.dwg");
  EXPECT_EQ(std::u16string(info->pUserName), u"alice");
  EXPECT_EQ(std::u16string(info->pPrinterName), u"Plotter 44");
  EXPECT_EQ(std::u16string(info->pMachineName), u"\\\\SPOOLHOST");
  EXPECT_EQ(std::u16string(info->pDatatype), u"RAW");
  for (const WCHAR* text : {info->pPrinterName, info->pMachineName, info->pUserName,
                            info->pDocument, info->pNotifyName, info->pDatatype,
                            info->pPrintProcessor, info->pParameters, info->pDriverName}) {
    ExpectInside(buffer, needed, text);
  }
}

TEST_F(SpoolerTest, NeededSizeGrowsWithTheStrings) {
  DWORD base = JobSize(7);
  HostAddJob(printer_, 8, {u"Drawing.dwg-rev-2", u"alice"});  // 6 more characters
  EXPECT_EQ(JobSize(8), base + 12);
  HostSetComputerName(u"WORKSTATION-12");  // 5 more than SPOOLHOST
  EXPECT_EQ(JobSize(7), base + 10);
}

TEST_F(SpoolerTest, AbsentDocumentAndUserAreNullPointers) {
  HostAddJob(printer_, 9, {std::nullopt, std::nullopt});
  DWORD needed = JobSize(9);
  EXPECT_LT(needed, JobSize(7));
  std::vector<uint8_t> buffer(needed);
  ASSERT_TRUE(GetJobW(printer_, 9, 2, buffer.data(), needed, &needed));
  const auto* info = reinterpret_cast<const JOB_INFO_2W*>(buffer.data());
  EXPECT_EQ(info->pDocument, nullptr);
  EXPECT_EQ(info->pUserName, nullptr);
  EXPECT_NE(info->pPrinterName, nullptr);
}

TEST_F(SpoolerTest, GetJobErrors) {
  DWORD needed = 0;
  SetLastError(0);
  EXPECT_FALSE(GetJobW(printer_, 99, 2, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  HostRemoveJob(printer_, 7);
  EXPECT_FALSE(GetJobW(printer_, 7, 2, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(GetJobW(printer_, 7, 1, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
  EXPECT_FALSE(GetJobW(reinterpret_cast<HANDLE>(0x1000), 7, 2, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

  HostFailNth(HostOp::GetJob, 1, ERROR_NOT_ENOUGH_MEMORY);
  HostAddJob(printer_, 7, {u"d", u"u"});
  EXPECT_FALSE(GetJobW(printer_, 7, 2, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_GT(JobSize(7), sizeof(JOB_INFO_2W));  // the next call works again
}

// A string that may lie at an odd address, read without assuming its alignment.
std::u16string Unaligned(const WCHAR* text) {
  std::u16string out;
  const auto* at = reinterpret_cast<const uint8_t*>(text);
  for (;; at += 2) {
    char16_t c;
    std::memcpy(&c, at, 2);
    if (c == 0) return out;
    out.push_back(c);
  }
}

TEST_F(SpoolerTest, GetPrinterRecordIntoUnalignedBuffer) {
  HANDLE remote = HostAddPrinter({u"\\\\PRINTSRV", u"\\\\CSR|PRINTSRV|Plotter", u"IP_10.0.0.5"});
  EXPECT_NE(remote, printer_);
  EXPECT_NE(remote, INVALID_HANDLE_VALUE);
  DWORD needed = 0;
  SetLastError(0);
  EXPECT_FALSE(GetPrinterW(remote, 2, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  // The record needn't be aligned in the caller's buffer.
  std::vector<uint8_t> storage(needed + 1, 0xCC);
  uint8_t* buffer = storage.data() + 1;
  EXPECT_FALSE(GetPrinterW(remote, 2, buffer, needed - 1, &needed));
  ASSERT_TRUE(GetPrinterW(remote, 2, buffer, needed, &needed));
  PRINTER_INFO_2W info;
  std::memcpy(&info, buffer, sizeof info);
  EXPECT_EQ(Unaligned(info.pServerName), u"\\\\PRINTSRV");
  EXPECT_EQ(Unaligned(info.pPrinterName), u"\\\\CSR|PRINTSRV|Plotter");
  EXPECT_EQ(Unaligned(info.pPortName), u"IP_10.0.0.5");
  EXPECT_EQ(reinterpret_cast<uint8_t*>(info.pServerName), buffer + sizeof(PRINTER_INFO_2W));

  // A local printer has no server name.
  ASSERT_FALSE(GetPrinterW(printer_, 2, nullptr, 0, &needed));
  std::vector<uint8_t> local(needed);
  ASSERT_TRUE(GetPrinterW(printer_, 2, local.data(), needed, &needed));
  const auto* localInfo = reinterpret_cast<const PRINTER_INFO_2W*>(local.data());
  EXPECT_EQ(localInfo->pServerName, nullptr);
  EXPECT_EQ(std::u16string(localInfo->pPortName), u"USB001");

  EXPECT_FALSE(GetPrinterW(printer_, 1, local.data(), needed, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
}

TEST_F(SpoolerTest, WritePrinterKeepsBytesAndWriteSizes) {
  DWORD written = 0xdeadbeef;
  uint8_t block[] = {1, 2, 3, 4, 5};
  ASSERT_TRUE(WritePrinter(printer_, block, 5, &written));
  EXPECT_EQ(written, 5u);
  ASSERT_TRUE(WritePrinter(printer_, block, 0, &written));
  EXPECT_EQ(written, 0u);
  ASSERT_TRUE(WritePrinter(printer_, block + 3, 2, &written));
  HostPrinterOutput out = HostPrinterData(printer_);
  EXPECT_EQ(out.bytes, (std::vector<uint8_t>{1, 2, 3, 4, 5, 4, 5}));
  EXPECT_EQ(out.writeSizes, (std::vector<uint32_t>{5, 0, 2}));
  EXPECT_EQ(out.totalBytes, 7u);
  EXPECT_EQ(out.totalWrites, 3u);

  HostClearPrinterData(printer_);
  EXPECT_TRUE(HostPrinterData(printer_).bytes.empty());
  EXPECT_EQ(HostPrinterData(printer_).totalWrites, 0u);
}

TEST_F(SpoolerTest, WritePrinterFailuresReportNothingWritten) {
  uint8_t block[] = {9, 9, 9};
  DWORD written = 0xdeadbeef;
  HostFailNth(HostOp::WritePrinter, 2, ERROR_IO_DEVICE);
  EXPECT_TRUE(WritePrinter(printer_, block, 3, &written));
  written = 0xdeadbeef;
  SetLastError(0);
  EXPECT_FALSE(WritePrinter(printer_, block, 3, &written));
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_DEVICE));
  EXPECT_TRUE(WritePrinter(printer_, block, 1, &written));
  EXPECT_EQ(HostPrinterData(printer_).writeSizes, (std::vector<uint32_t>{3, 1}));

  written = 0xdeadbeef;
  EXPECT_FALSE(WritePrinter(reinterpret_cast<HANDLE>(0x5000), block, 3, &written));
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(SpoolerTest, HandleFromBeforeResetIsRefused) {
  HANDLE old = printer_;
  HostReset(root_);
  HANDLE fresh = HostAddPrinter({std::nullopt, u"Plotter 44", u"USB001"});
  EXPECT_NE(fresh, old);
  DWORD written = 0;
  uint8_t byte = 1;
  EXPECT_FALSE(WritePrinter(old, &byte, 1, &written));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_TRUE(WritePrinter(fresh, &byte, 1, &written));
}

TEST_F(SpoolerTest, CountOnlySinkFromSeveralThreads) {
  HostSetPrinterCountOnly(printer_, true);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([this] {
      uint8_t block[100] = {};
      DWORD written = 0;
      for (int i = 0; i < 1000; ++i) WritePrinter(printer_, block, sizeof block, &written);
    });
  }
  for (auto& thread : threads) thread.join();
  HostPrinterOutput out = HostPrinterData(printer_);
  EXPECT_TRUE(out.bytes.empty());
  EXPECT_TRUE(out.writeSizes.empty());
  EXPECT_EQ(out.totalWrites, 4000u);
  EXPECT_EQ(out.totalBytes, 400000u);
}

}  // namespace
