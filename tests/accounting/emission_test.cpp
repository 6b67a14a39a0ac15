// SPDX-License-Identifier: Apache-2.0
// The end of an accounting job as the library double sees it, host-only (the log line end
// to end: tests/conformance): its loading, its calls and arguments, and failed steps.
#include "tests/accounting/accounting_fixture.h"

#include <algorithm>

namespace sgtest {
namespace {

using K = CallKind;

TEST_F(AccountingTest, JobWithoutAccountingFlagTouchesNeitherRegistryNorLibrary) {
  uint64_t registryCalls = HostCallCount(HostOp::Registry);
  uint64_t loads = HostCallCount(HostOp::LoadLibrary);
  log_.logFlags = 0x19;
  RunJob(log_, 0);  // a plain job: the record is only print data

  EXPECT_EQ(HostCallCount(HostOp::Registry), registryCalls);
  EXPECT_EQ(HostCallCount(HostOp::LoadLibrary), loads);
  EXPECT_TRUE(Kinds().empty());
  EXPECT_FALSE(HostRegistryKeyExists(kSettingsKey));
}

TEST_F(AccountingTest, StandardEmissionCallsTheLibraryInOrderWithItsArguments) {
  RunJob(log_);

  ASSERT_EQ(Kinds(), (std::vector<CallKind>{K::Load, K::Initialize, K::Format, K::Format,
                                            K::Write, K::Unload}));
  Call init = CallOf(K::Initialize);
  EXPECT_EQ(init.format, 2);
  EXPECT_EQ(init.constant, 4);
  ASSERT_NE(init.entry, nullptr);
  EXPECT_EQ(Entry().size(), 496u);

  Call sizing = CallOf(K::Format, 0);
  Call filling = CallOf(K::Format, 1);
  for (const Call& c : {sizing, filling}) {
    EXPECT_EQ(c.level, 2);
    EXPECT_EQ(c.format, 2);
    EXPECT_EQ(c.entry, init.entry);
    EXPECT_NE(c.requiredSize, nullptr);
  }
  EXPECT_EQ(sizing.buffer, nullptr);
  EXPECT_EQ(sizing.bufferSize, 0u);
  EXPECT_EQ(filling.requiredSize, sizing.requiredSize);
  EXPECT_NE(filling.buffer, nullptr);
  EXPECT_EQ(filling.bufferSize, logdouble::GetState().config.requiredSize);

  Call write = CallOf(K::Write);
  EXPECT_EQ(write.directory, "C:\\Windows\\temp\\PrintLog");
  EXPECT_EQ(write.name, "PrintLog");
  EXPECT_EQ(write.maxSize, 64u);
  EXPECT_EQ(write.level, 2);
  EXPECT_EQ(write.data, filling.buffer);
  EXPECT_EQ(write.zero, nullptr);
  Bytes record(39, 'R');
  record.push_back(0);
  EXPECT_EQ(logdouble::GetState().written, record);
}

TEST_F(AccountingTest, LogFlagsChooseTheEntryAndTheLevel) {
  struct Case {
    uint8_t logFlags;
    int format;
    int level;
  };
  const Case cases[] = {{0x00, 2, 2},  {0x08, 2, 2}, {0x10, 2, 2}, {0x18, 2, 2},
                        {0x1C, 2, 2},  {0x01, 3, 3}, {0x02, 3, 3}, {0x03, 3, 3},
                        {0x05, 3, 3},  {0x09, 3, 6}, {0x0A, 3, 6}, {0x11, 3, 10},
                        {0x19, 3, 10}, {0x12, 3, 10}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "logFlags 0x" << std::hex << int(c.logFlags));
    logdouble::Reset();
    log_.logFlags = c.logFlags;
    RunJob(log_);
    ASSERT_EQ(Kinds(), (std::vector<CallKind>{K::Load, K::Initialize, K::Format, K::Format,
                                              K::Write, K::Unload}));
    EXPECT_EQ(CallOf(K::Initialize).format, c.format);
    EXPECT_EQ(Entry().size(), c.format == 2 ? 496u : 752u);
    for (size_t i = 0; i < 2; ++i) {
      EXPECT_EQ(CallOf(K::Format, i).format, c.format);
      EXPECT_EQ(CallOf(K::Format, i).level, c.level);
    }
    EXPECT_EQ(CallOf(K::Write).level, c.level);
  }
}

TEST_F(AccountingTest, OneEntryAtTheFirstEndAndNoneForAnAbortedJob) {
  const std::vector<CallKind> once = {K::Load, K::Initialize, K::Format, K::Format, K::Write,
                                      K::Unload};
  HANDLE job = StartJob();
  SendAll(job, {JobHeader(JOB_FLAG_ACCOUNTING), AsBytes(log_)});
  DrvSplEndDoc(job);
  DrvSplEndDoc(job);
  DrvSplAbort(job);
  DrvSplEndDoc(job);
  DrvSplClose(job);
  EXPECT_EQ(Kinds(), once) << "a second end hands over no second entry";

  HANDLE aborted = StartJob();
  SendAll(aborted, {JobHeader(JOB_FLAG_ACCOUNTING), AsBytes(log_)});
  DrvSplAbort(aborted);
  DrvSplEndDoc(aborted);
  DrvSplClose(aborted);
  EXPECT_EQ(Kinds(), once) << "an aborted job's entry is never handed over";
}

TEST_F(AccountingTest, MissingLibraryStillLeavesTheSettingsBehind) {
  HostMapLibrary(u"ruzoravu64.dll", "");
  EXPECT_EQ(WriteStandardJobLog(printer_, jobId_, &log_), 0);
  EXPECT_TRUE(Kinds().empty());
  ASSERT_TRUE(Setting(u"LogFileDirectory").has_value());
  EXPECT_EQ(Setting(u"LogFileDirectory")->data, Utf16Bytes(u"C:\\Windows\\temp\\PrintLog"));
  ASSERT_TRUE(Setting(u"MaxLogFileSize").has_value());
  EXPECT_EQ(Setting(u"MaxLogFileSize")->data, DwordBytes(64));

  log_.logFlags = 0x01;
  EXPECT_EQ(WriteExtendedJobLog(printer_, jobId_, &log_), 0);
  EXPECT_TRUE(Kinds().empty());
}

TEST_F(AccountingTest, LibraryWithoutFormatEntryPointIsUnloadedUncalled) {
  HostMapLibrary(u"ruzoravu64.dll", LOG_DOUBLE_NO_FORMAT_PATH);
  EXPECT_EQ(WriteStandardJobLog(printer_, jobId_, &log_), 0);
  EXPECT_EQ(Kinds(), (std::vector<CallKind>{K::Load, K::Unload}));
  log_.logFlags = 0x03;
  logdouble::Reset();
  EXPECT_EQ(WriteExtendedJobLog(printer_, jobId_, &log_), 0);
  EXPECT_EQ(Kinds(), (std::vector<CallKind>{K::Load, K::Unload}));
}

TEST_F(AccountingTest, LibraryIsLoadedOnlyBesideThePluginOrFromTheSystemDirectory) {
  // A copy in the current directory, where a search by bare name would find it, is
  // never loaded: only the plug-in's own directory and System32 are asked, by full path.
  HostClearLibraryMappings();
  InstallLibrary(u"C:\\Users\\Public\\ruzoravu64.dll", LOG_DOUBLE_PATH);
  HostSetCurrentDirectory(u"C:\\Users\\Public");
  const std::u16string beside = kDriverDirectory + u"\\ruzoravu64.dll";
  const std::u16string system = u"C:\\Windows\\System32\\ruzoravu64.dll";
  EXPECT_EQ(WriteStandardJobLog(printer_, jobId_, &log_), 0);
  EXPECT_TRUE(Kinds().empty());
  EXPECT_EQ(HostLibraryLookups(), (std::vector<std::u16string>{beside, system}));

  InstallLibrary(system, LOG_DOUBLE_PATH);
  EXPECT_EQ(WriteStandardJobLog(printer_, jobId_, &log_), 1);
  EXPECT_EQ(Kinds().front(), K::Load);
  EXPECT_EQ(HostLibraryLookups().size(), 4u);

  logdouble::Reset();
  InstallLibrary(beside, LOG_DOUBLE_PATH);
  EXPECT_EQ(WriteStandardJobLog(printer_, jobId_, &log_), 1);
  EXPECT_EQ(Kinds().front(), K::Load);
  EXPECT_EQ(HostLibraryLookups().back(), beside) << "the copy beside the plug-in comes first";
  EXPECT_EQ(HostLibraryLookups().size(), 5u);
}

TEST_F(AccountingTest, ZeroRequiredSizeStillFormatsAndWrites) {
  logdouble::GetState().config.requiredSize = 0;
  EXPECT_EQ(WriteStandardJobLog(printer_, jobId_, &log_), 1);
  Call filling = CallOf(K::Format, 1);
  EXPECT_NE(filling.buffer, nullptr);
  EXPECT_EQ(filling.bufferSize, 0u);
  EXPECT_EQ(CallOf(K::Write).data, filling.buffer);

  // A library that stores nothing at all gets the same, not a size from stale memory.
  logdouble::Reset();
  logdouble::GetState().config.storeRequiredSize = false;
  EXPECT_EQ(WriteStandardJobLog(printer_, jobId_, &log_), 1);
  EXPECT_EQ(CallOf(K::Format, 1).bufferSize, 0u);
}

TEST_F(AccountingTest, PrinterInformationUnavailableMeansNoFormatOrWrite) {
  // Once the size query fails, once the read after it.
  for (uint64_t nth : {1u, 2u}) {
    SCOPED_TRACE(nth);
    logdouble::Reset();
    HostFailNth(HostOp::GetPrinter, nth, ERROR_INVALID_HANDLE);
    EXPECT_EQ(WriteStandardJobLog(printer_, jobId_, &log_), 0);
    EXPECT_EQ(Kinds(), (std::vector<CallKind>{K::Load, K::Initialize, K::Unload}));
    HostClearFaults();
  }
  logdouble::Reset();
  log_.logFlags = 0x19;
  HostFailNth(HostOp::GetPrinter, 1, ERROR_INVALID_HANDLE, true);
  EXPECT_EQ(WriteExtendedJobLog(printer_, jobId_, &log_), 0);
  EXPECT_EQ(Kinds(), (std::vector<CallKind>{K::Load, K::Initialize, K::Unload}));
}

TEST_F(AccountingTest, SettingsThatCannotBeReadArriveAsEmptyDirectoryAndZero) {
  HostFailNth(HostOp::Registry, 1, ERROR_ACCESS_DENIED);  // the key's create or open
  EXPECT_EQ(WriteStandardJobLog(printer_, jobId_, &log_), 1);
  EXPECT_EQ(CallOf(K::Write).directory, "");
  EXPECT_EQ(CallOf(K::Write).maxSize, 0u);
}

TEST_F(AccountingTest, LeadingTextBecomesTheNameArgument) {
  SetText(log_.leadingText, u"");
  EXPECT_EQ(WriteStandardJobLog(printer_, jobId_, &log_), 1);
  EXPECT_EQ(CallOf(K::Write).name, "");

  // 256 double-byte characters need 512 bytes: the name is cut at a whole character
  // within its 260 bytes.
  HostSetOemCodePage(932);
  logdouble::Reset();
  SetText(log_.leadingText, std::u16string(256, u'\u3042'));
  EXPECT_EQ(WriteStandardJobLog(printer_, jobId_, &log_), 1);
  std::string name = CallOf(K::Write).name;
  EXPECT_EQ(name.size(), 258u);
  EXPECT_EQ(name.substr(0, 2), "\x82\xa0");
  EXPECT_EQ(name.substr(256), "\x82\xa0");
}

// Fails each allocation of a full extended emission in turn: whatever fails, nothing
// leaks, the library is unloaded, and an entry is written exactly when the result is 1.
TEST_F(AccountingTest, EveryFailedAllocationIsCleanedUp) {
  log_.logFlags = 0x1D;
  uint64_t before = HostCallCount(HostOp::Alloc);
  ASSERT_EQ(WriteExtendedJobLog(printer_, jobId_, &log_), 1);
  uint64_t allocations = HostCallCount(HostOp::Alloc) - before;
  ASSERT_GE(allocations, 18u);  // 2 texts, 14 buffers, the block, spooler blocks

  for (uint64_t nth = 1; nth <= allocations; ++nth) {
    SCOPED_TRACE(testing::Message() << "allocation " << nth << " fails");
    logdouble::Reset();
    uint64_t live = HostLiveAllocations();
    HostFailNth(HostOp::Alloc, nth, ERROR_NOT_ENOUGH_MEMORY);
    int result = WriteExtendedJobLog(printer_, jobId_, &log_);
    HostClearFaults();
    EXPECT_EQ(HostLiveAllocations(), live);
    std::vector<CallKind> kinds = Kinds();
    size_t writes = std::count(kinds.begin(), kinds.end(), K::Write);
    EXPECT_EQ(writes, result == 1 ? 1u : 0u);
    if (!kinds.empty()) {
      EXPECT_EQ(kinds.back(), K::Unload);
    }
    if (nth <= 2) {
      EXPECT_TRUE(kinds.empty()) << "no library load without the two texts";
    }
  }
}

TEST_F(AccountingTest, FailedEntryBufferEndsTheEmissionBeforeTheFill) {
  uint64_t before = HostCallCount(HostOp::Alloc);
  ASSERT_EQ(WriteStandardJobLog(printer_, jobId_, &log_), 1);
  uint64_t allocations = HostCallCount(HostOp::Alloc) - before;
  uint64_t getJobCalls = HostCallCount(HostOp::GetJob);
  // The two texts come first, then the 13 buffers: fail the last buffer.
  logdouble::Reset();
  HostFailNth(HostOp::Alloc, 15, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(WriteStandardJobLog(printer_, jobId_, &log_), 0);
  EXPECT_EQ(Kinds(), (std::vector<CallKind>{K::Load, K::Initialize, K::Unload}));
  EXPECT_EQ(HostCallCount(HostOp::GetJob), getJobCalls) << "the fill must not run";
  EXPECT_GT(allocations, 15u);
}

}  // namespace
}  // namespace sgtest
