// SPDX-License-Identifier: Apache-2.0
// Fixed global memory and the counted heap of wrapped libraries: live block counts,
// Nth-allocation failures, and the counter under several threads.
#include "tests/platform/host_test.h"

#include <cerrno>
#include <thread>
#include <vector>

extern "C" void* ProductMalloc(size_t n);
extern "C" void* ProductCalloc(size_t n, size_t s);
extern "C" void* ProductRealloc(void* p, size_t n);
extern "C" void ProductFree(void* p);

namespace {

class MemoryTest : public HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    baseline_ = HostLiveAllocations();
  }
  uint64_t Live() const { return HostLiveAllocations() - baseline_; }
  uint64_t baseline_ = 0;
};

TEST_F(MemoryTest, GlobalAllocCountsBlocksAndZeroesOnRequest) {
  HGLOBAL fixed = GlobalAlloc(GMEM_FIXED, 3036);
  ASSERT_NE(fixed, nullptr);
  auto* zeroed = static_cast<uint8_t*>(GlobalAlloc(GPTR, 520));
  ASSERT_NE(zeroed, nullptr);
  EXPECT_EQ(std::vector<uint8_t>(zeroed, zeroed + 520), std::vector<uint8_t>(520, 0));
  EXPECT_EQ(Live(), 2u);
  EXPECT_EQ(HostCallCount(HostOp::Alloc), 2u);
  EXPECT_EQ(GlobalFree(fixed), nullptr);
  EXPECT_EQ(GlobalFree(zeroed), nullptr);
  EXPECT_EQ(GlobalFree(nullptr), nullptr);
  EXPECT_EQ(Live(), 0u);
}

TEST_F(MemoryTest, UnsupportedFlagsAreRefused) {
  SetLastError(0);
  EXPECT_EQ(GlobalAlloc(0x0002 /* GMEM_MOVEABLE */, 16), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(Live(), 0u);
}

TEST_F(MemoryTest, NthAllocationFailsOnceOrFromThenOn) {
  HostFailNth(HostOp::Alloc, 2, ERROR_NOT_ENOUGH_MEMORY);
  HGLOBAL first = GlobalAlloc(GMEM_FIXED, 8);
  SetLastError(0);
  HGLOBAL second = GlobalAlloc(GMEM_FIXED, 8);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  void* third = ProductMalloc(8);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(second, nullptr);
  EXPECT_NE(third, nullptr);
  EXPECT_EQ(Live(), 2u);
  GlobalFree(first);
  ProductFree(third);

  HostFailNth(HostOp::Alloc, 1, ERROR_NOT_ENOUGH_MEMORY, true);
  errno = 0;
  EXPECT_EQ(ProductMalloc(8), nullptr);
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_EQ(ProductCalloc(2, 8), nullptr);
  EXPECT_EQ(GlobalAlloc(GMEM_FIXED, 8), nullptr);
  HostClearFaults();
  void* after = ProductCalloc(2, 8);
  EXPECT_NE(after, nullptr);
  ProductFree(after);
  EXPECT_EQ(Live(), 0u);
}

TEST_F(MemoryTest, WrappedHeapOfAProductLibraryIsCounted) {
  auto* block = static_cast<char*>(ProductMalloc(16));
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(HostCallCount(HostOp::Alloc), 1u);
  EXPECT_EQ(Live(), 1u);
  block[15] = 'x';
  // Growing keeps one live block; a failed realloc keeps the old one intact.
  block = static_cast<char*>(ProductRealloc(block, 4096));
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(block[15], 'x');
  EXPECT_EQ(Live(), 1u);
  HostFailNth(HostOp::Alloc, 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(ProductRealloc(block, 1 << 20), nullptr);
  EXPECT_EQ(block[15], 'x');
  EXPECT_EQ(Live(), 1u);
  // realloc to zero bytes frees.
  EXPECT_EQ(ProductRealloc(block, 0), nullptr);
  EXPECT_EQ(Live(), 0u);
  void* fromNull = ProductRealloc(nullptr, 32);
  EXPECT_EQ(Live(), 1u);
  ProductFree(fromNull);
  ProductFree(nullptr);
  EXPECT_EQ(Live(), 0u);
}

TEST_F(MemoryTest, CounterHoldsUnderThreads) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 5000; ++i) {
        void* a = ProductMalloc(32);
        HGLOBAL b = GlobalAlloc(GMEM_FIXED, 32);
        ProductFree(a);
        GlobalFree(b);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(Live(), 0u);
  EXPECT_EQ(HostCallCount(HostOp::Alloc), 40000u);
}

}  // namespace
