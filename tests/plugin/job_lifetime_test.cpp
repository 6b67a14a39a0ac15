// SPDX-License-Identifier: Apache-2.0
// A job's lifetime, host-only (the rest: tests/conformance): the context before any job,
// a failed allocation, the handles closed at the end, and the context freed by closing.
#include "tests/support/sandbox.h"

#include <dlfcn.h>

using namespace sgtest;

namespace {

class JobLifetime : public SandboxTest {};

TEST_F(JobLifetime, NoRecentContextBeforeTheFirstJob) {
  // A fresh copy of the library, in which no job has started yet.
  void* library = dlopen(SPOOLGATE_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  auto myStartDoc = reinterpret_cast<decltype(&MyDrvSplStartDoc)>(dlsym(library, "MyDrvSplStartDoc"));
  auto startDoc = reinterpret_cast<decltype(&DrvSplStartDoc)>(dlsym(library, "DrvSplStartDoc"));
  auto close = reinterpret_cast<decltype(&DrvSplClose)>(dlsym(library, "DrvSplClose"));
  ASSERT_TRUE(myStartDoc && startDoc && close);
  EXPECT_EQ(myStartDoc(), nullptr);
  HANDLE job = startDoc(printer_, jobId_);
  EXPECT_EQ(myStartDoc(), job);
  close(job);
  dlclose(library);
}

TEST_F(JobLifetime, FailedAllocationGivesNoJobAndNoRecentContext) {
  HANDLE earlier = StartJob();
  ASSERT_EQ(MyDrvSplStartDoc(), earlier);
  HostFailNth(HostOp::Alloc, 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(DrvSplStartDoc(printer_, 9), nullptr);
  EXPECT_EQ(MyDrvSplStartDoc(), nullptr);
  DrvSplClose(earlier);
}

TEST_F(JobLifetime, SecondEndOrAbortTouchesNoClosedHandle) {
  HANDLE job = StartJob();
  // An open file stands in for whatever the job has open at its end.
  HANDLE file = CreateFileW(WTEXT("C:\\spare.bin"), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, NULL);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  Context(job)->overlayFile = file;
  uint64_t open = HostOpenHandleCount();
  DrvSplEndDoc(job);
  EXPECT_EQ(HostOpenHandleCount(), open - 1);
  EXPECT_EQ(Context(job)->overlayFile, INVALID_HANDLE_VALUE);
  DrvSplEndDoc(job);
  DrvSplAbort(job);
  EXPECT_EQ(HostOpenHandleCount(), open - 1);
  DrvSplClose(job);
}

TEST_F(JobLifetime, ClosingFreesTheContext) {
  uint64_t live = HostLiveAllocations();
  HANDLE job = StartJob();
  EXPECT_EQ(HostLiveAllocations(), live + 1);
  DrvSplEndDoc(job);
  DrvSplClose(job);
  EXPECT_EQ(HostLiveAllocations(), live);
}

}  // namespace
