// SPDX-License-Identifier: Apache-2.0
// Fixed global memory (GlobalAlloc/GlobalFree) and the counted, fault-injectable heap that
// product code reaches through -Wl,--wrap=malloc,calloc,realloc,free.
#include "platform/host/host_internal.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>

// This library is not linked with --wrap, so malloc and free here are the real ones.
//
// Live blocks are counted with one atomic counter rather than a header in front of each
// block: a wrapped program may hand free() a block that libc allocated (strdup, getline),
// and a header would then be read in front of a foreign block. A counter only miscounts
// such a pair; it never corrupts memory, and AddressSanitizer still sees the exact
// block the product asked for.

namespace {

std::atomic<int64_t> g_liveBlocks{0};

inline void CountBlock(int64_t delta) { g_liveBlocks.fetch_add(delta, std::memory_order_relaxed); }

}  // namespace

// GlobalAlloc - fixed global memory. Only GMEM_FIXED and GMEM_ZEROINIT are supported;
// other flags (moveable memory, discardable...) fail with ERROR_INVALID_PARAMETER.
// A zero-byte request gives a valid, distinct block, as GMEM_FIXED does on Windows.
extern "C" HGLOBAL WINAPI GlobalAlloc(UINT flags, SIZE_T bytes) {
  if (DWORD error = hostimpl::CountCall(HostOp::Alloc)) {
    hostimpl::SetError(error);
    return nullptr;
  }
  if ((flags & ~static_cast<UINT>(GMEM_ZEROINIT)) != 0) {
    hostimpl::SetError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  void* block = (flags & GMEM_ZEROINIT) ? calloc(1, bytes == 0 ? 1 : bytes)
                                         : malloc(bytes == 0 ? 1 : bytes);
  if (block == nullptr) {
    hostimpl::SetError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  CountBlock(1);
  return block;
}

// GlobalFree - returns NULL on success, as Windows does; NULL is accepted and ignored.
extern "C" HGLOBAL WINAPI GlobalFree(HGLOBAL memory) {
  if (memory == nullptr) return nullptr;
  free(memory);
  CountBlock(-1);
  return nullptr;
}

// LocalFree - frees the blocks of the security functions; NULL on success, as Windows
// does. NULL is accepted and ignored.
extern "C" HLOCAL WINAPI LocalFree(HLOCAL memory) {
  if (memory == nullptr) return nullptr;
  free(memory);
  CountBlock(-1);
  return nullptr;
}

namespace hostimpl {

void* AllocLocal(size_t bytes) {
  if (DWORD error = CountCall(HostOp::Alloc)) {
    SetError(error);
    return nullptr;
  }
  void* block = malloc(bytes == 0 ? 1 : bytes);
  if (block == nullptr) {
    SetError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  CountBlock(1);
  return block;
}

}  // namespace hostimpl

// The wrapped allocator. Each allocating call is counted under HostOp::Alloc and can be
// made to fail; a failure returns NULL with errno ENOMEM like an exhausted heap.
extern "C" __attribute__((visibility("default"))) void* __wrap_malloc(size_t bytes) {
  if (hostimpl::CountCall(HostOp::Alloc) != 0) {
    errno = ENOMEM;
    return nullptr;
  }
  void* block = malloc(bytes);
  if (block != nullptr) CountBlock(1);
  return block;
}

extern "C" __attribute__((visibility("default"))) void* __wrap_calloc(size_t count, size_t size) {
  if (hostimpl::CountCall(HostOp::Alloc) != 0) {
    errno = ENOMEM;
    return nullptr;
  }
  void* block = calloc(count, size);
  if (block != nullptr) CountBlock(1);
  return block;
}

// realloc(NULL, n) is an allocation; realloc(p, 0) frees p (glibc's rule, made explicit
// here so that the count does not depend on the allocator underneath) and is not counted.
// A failed realloc leaves the old block live and untouched.
extern "C" __attribute__((visibility("default"))) void* __wrap_realloc(void* block, size_t bytes) {
  if (block != nullptr && bytes == 0) {
    free(block);
    CountBlock(-1);
    return nullptr;
  }
  if (hostimpl::CountCall(HostOp::Alloc) != 0) {
    errno = ENOMEM;
    return nullptr;
  }
  void* moved = realloc(block, bytes);
  if (moved != nullptr && block == nullptr) CountBlock(1);
  return moved;
}

extern "C" __attribute__((visibility("default"))) void __wrap_free(void* block) {
  if (block == nullptr) return;
  free(block);
  CountBlock(-1);
}

// HostLiveAllocations - blocks from GlobalAlloc and the wrapped heap not yet freed, in
// the whole process. HostReset leaves it alone: a block allocated before a reset may be
// freed after it, so tests compare against a count taken at their start.
uint64_t HostLiveAllocations() {
  int64_t n = g_liveBlocks.load(std::memory_order_relaxed);
  return n < 0 ? 0 : static_cast<uint64_t>(n);
}
