// SPDX-License-Identifier: Apache-2.0
// Fault injection and call counters of the host Win32 layer, and its per-thread last error.
// Every Win32 call that can fail asks CountCall first, so a test can fail the Nth one.
#include "platform/host/host_internal.h"

#include <array>
#include <atomic>
#include <mutex>
#include <unistd.h>
#include <vector>

namespace {

struct ArmedFault {
  HostOp op;
  uint64_t triggerAt;  // absolute call number
  DWORD error;         // 0 for a short write
  bool persistent;
  DWORD shortBytes;    // what a short write writes
  bool crash;          // the process ends instead
  bool powerLoss;      // and the writes no flush followed are lost first
  bool torn;           // or torn at a sector
  unsigned tearAt;     // which sector boundary past the first change
};

constexpr size_t kOps = static_cast<size_t>(HostOp::Count);
std::array<std::atomic<uint64_t>, kOps> g_calls{};
std::atomic<bool> g_anyFault{false};
std::mutex g_faultMutex;
std::vector<ArmedFault> g_faults;
std::atomic<int64_t> g_openHandles{0};
thread_local DWORD t_lastError = 0;

}  // namespace

namespace hostimpl {

DWORD CountWrite(HostOp op, DWORD* bytes) {
  uint64_t n = g_calls[static_cast<size_t>(op)].fetch_add(1, std::memory_order_relaxed) + 1;
  if (!g_anyFault.load(std::memory_order_acquire)) return 0;
  std::lock_guard<std::mutex> lock(g_faultMutex);
  for (const ArmedFault& f : g_faults) {
    if (f.op != op || (n != f.triggerAt && !(f.persistent && n > f.triggerAt))) continue;
    if (f.powerLoss && !LosePower(f.torn, f.tearAt)) _exit(HOST_TEAR_PAST_END_EXIT_STATUS);
    if (f.crash) _exit(HOST_CRASH_EXIT_STATUS);
    if (f.error != 0) return f.error;
    if (bytes != nullptr && *bytes > f.shortBytes) *bytes = f.shortBytes;
  }
  return 0;
}

DWORD CountCall(HostOp op) { return CountWrite(op, nullptr); }

void SetError(DWORD error) { t_lastError = error; }

void ResetFaults() {
  ResetPowerLoss();
  std::lock_guard<std::mutex> lock(g_faultMutex);
  g_faults.clear();
  g_anyFault.store(false, std::memory_order_release);
  for (auto& c : g_calls) c.store(0, std::memory_order_relaxed);
  g_openHandles.store(0);
}

void AddOpenHandle(int delta) { g_openHandles.fetch_add(delta, std::memory_order_relaxed); }

}  // namespace hostimpl

extern "C" DWORD WINAPI GetLastError(void) { return t_lastError; }
extern "C" void WINAPI SetLastError(DWORD error) { t_lastError = error; }

void HostFailNth(HostOp op, uint64_t nth, DWORD error, bool persistent) {
  std::lock_guard<std::mutex> lock(g_faultMutex);
  uint64_t now = g_calls[static_cast<size_t>(op)].load();
  g_faults.push_back({op, now + (nth == 0 ? 1 : nth), error, persistent, 0, false, false, false, 1});
  g_anyFault.store(true, std::memory_order_release);
}

void HostShortWriteNth(HostOp op, uint64_t nth, DWORD bytes, bool persistent) {
  std::lock_guard<std::mutex> lock(g_faultMutex);
  uint64_t now = g_calls[static_cast<size_t>(op)].load();
  g_faults.push_back({op, now + (nth == 0 ? 1 : nth), 0, persistent, bytes, false, false, false, 1});
  g_anyFault.store(true, std::memory_order_release);
}

void HostCrashNth(HostOp op, uint64_t nth) {
  std::lock_guard<std::mutex> lock(g_faultMutex);
  uint64_t now = g_calls[static_cast<size_t>(op)].load();
  g_faults.push_back({op, now + (nth == 0 ? 1 : nth), 0, false, 0, true, false, false, 1});
  g_anyFault.store(true, std::memory_order_release);
}

void HostPowerLossNth(HostOp op, uint64_t nth, bool torn, unsigned tearAt) {
  hostimpl::StartPowerLossTracking();
  std::lock_guard<std::mutex> lock(g_faultMutex);
  uint64_t now = g_calls[static_cast<size_t>(op)].load();
  g_faults.push_back({op, now + (nth == 0 ? 1 : nth), 0, false, 0, true, true, torn, tearAt});
  g_anyFault.store(true, std::memory_order_release);
}

void HostClearFaults() {
  std::lock_guard<std::mutex> lock(g_faultMutex);
  g_faults.clear();
  g_anyFault.store(false, std::memory_order_release);
}

uint64_t HostCallCount(HostOp op) { return g_calls[static_cast<size_t>(op)].load(); }

void HostResetCounters() {
  std::lock_guard<std::mutex> lock(g_faultMutex);
  // Armed faults keep their distance from now.
  for (ArmedFault& f : g_faults) {
    uint64_t now = g_calls[static_cast<size_t>(f.op)].load();
    f.triggerAt = f.triggerAt > now ? f.triggerAt - now : 0;
  }
  for (auto& c : g_calls) c.store(0, std::memory_order_relaxed);
}

uint64_t HostOpenHandleCount() {
  int64_t n = g_openHandles.load();
  return n < 0 ? 0 : static_cast<uint64_t>(n);
}
