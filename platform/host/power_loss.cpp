// SPDX-License-Identifier: Apache-2.0
// The power-loss mode of the host layer: what a file held at its last flush, so that a
// crash point can drop (or tear at a sector) every write no flush of that file followed.
#include "platform/host/host_internal.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace {

// A file's sector: a write that the power cut while it was on its way lands whole
// sectors only.
constexpr size_t kSectorBytes = 512;

struct Unflushed {
  int fd = -1;          // a descriptor of its own, so that a rename or a close does not lose it
  std::string durable;  // the contents at the last flush (or when the mode was armed)
};

std::mutex g_mutex;
std::atomic<bool> g_tracking{false};  // read without the mutex by every write
std::map<std::pair<dev_t, ino_t>, Unflushed> g_files;

// The whole contents behind fd, read with pread; false when it cannot be read.
bool ReadAll(int fd, std::string* out) {
  out->clear();
  char buffer[65536];
  for (off_t at = 0;;) {
    ssize_t n = pread(fd, buffer, sizeof buffer, at);
    if (n < 0) return false;
    if (n == 0) return true;
    out->append(buffer, size_t(n));
    at += n;
  }
}

bool WriteAll(int fd, const std::string& bytes) {
  for (size_t at = 0; at < bytes.size();) {
    ssize_t n = pwrite(fd, bytes.data() + at, bytes.size() - at, off_t(at));
    if (n <= 0) return false;
    at += size_t(n);
  }
  return ftruncate(fd, off_t(bytes.size())) == 0;
}

// What the disk holds after the power went: the durable contents, or with torn the new
// contents up to the tearAt-th sector boundary past the first byte that changed, and the
// durable ones after it. *inside tells whether that boundary fell inside the new bytes.
std::string AfterPowerLoss(const std::string& durable, const std::string& now, bool torn,
                           unsigned tearAt, bool* inside) {
  *inside = false;
  if (!torn) return durable;
  size_t differ = 0;
  while (differ < durable.size() && differ < now.size() && durable[differ] == now[differ]) ++differ;
  size_t boundary = (differ / kSectorBytes + std::max(tearAt, 1u)) * kSectorBytes;
  *inside = boundary < now.size() || tearAt <= 1;
  size_t cut = std::min(now.size(), boundary);
  std::string result = now.substr(0, cut);
  if (durable.size() > cut) result.append(durable, cut, std::string::npos);
  return result;
}

}  // namespace

namespace hostimpl {

void StartPowerLossTracking() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_tracking = true;
}

void NoteUnflushedChange(int fd, dev_t dev, ino_t ino) {
  if (!g_tracking.load(std::memory_order_relaxed)) return;
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_files.count({dev, ino}) != 0) return;
  Unflushed u;
  u.fd = open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_RDWR | O_CLOEXEC);
  if (u.fd < 0 || !ReadAll(u.fd, &u.durable)) {
    if (u.fd >= 0) close(u.fd);
    return;
  }
  g_files.emplace(std::make_pair(dev, ino), std::move(u));
}

void NoteFlush(dev_t dev, ino_t ino) {
  if (!g_tracking.load(std::memory_order_relaxed)) return;
  std::lock_guard<std::mutex> lock(g_mutex);
  auto it = g_files.find({dev, ino});
  if (it == g_files.end()) return;
  close(it->second.fd);
  g_files.erase(it);
}

bool LosePower(bool torn, unsigned tearAt) {
  std::lock_guard<std::mutex> lock(g_mutex);
  bool any = false;
  for (auto& [key, u] : g_files) {
    std::string now;
    bool inside = false;
    if (ReadAll(u.fd, &now)) WriteAll(u.fd, AfterPowerLoss(u.durable, now, torn, tearAt, &inside));
    any = any || inside;
  }
  return any || !torn || tearAt <= 1;
}

void ResetPowerLoss() {
  std::lock_guard<std::mutex> lock(g_mutex);
  for (auto& [key, u] : g_files) close(u.fd);
  g_files.clear();
  g_tracking = false;
}

}  // namespace hostimpl
