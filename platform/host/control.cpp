// SPDX-License-Identifier: Apache-2.0
// HostReset: one call that gives a test or a tool a fresh host, sandbox directories
// included, by resetting every module of the layer.
#include "platform/host/host_internal.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

// mkdir -p that also insists on every step being a directory. A root that cannot hold
// the sandbox (a read-only or virtual file system, a file where a directory belongs)
// is the caller's to report, so the reason is handed back instead of stopping the process.
bool MakeDirectories(const std::string& path, std::string* why) {
  for (size_t at = 1; at <= path.size(); ++at) {
    if (at != path.size() && path[at] != '/') continue;
    std::string prefix = path.substr(0, at);
    if (mkdir(prefix.c_str(), 0777) == 0) continue;
    int error = errno;
    struct stat info;
    if (error == EEXIST && stat(prefix.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) continue;
    if (error == EEXIST) error = ENOTDIR;
    if (why != nullptr) *why = "cannot create " + prefix + ": " + std::strerror(error);
    return false;
  }
  return true;
}

}  // namespace

// HostReset - see host_control.h. The Windows directory tree (C:\Windows, System32 and
// Temp) exists from the start, as it does on any Windows machine. The directories are
// made first: a root that cannot hold them leaves the host as it was.
bool HostReset(const std::string& root, std::string* why) {
  std::string r = root;
  while (r.size() > 1 && r.back() == '/') r.pop_back();
  if (r.empty()) {
    if (why != nullptr) *why = "empty sandbox root";
    return false;
  }
  for (const char* sub : {"/C", "/C/Windows", "/C/Windows/System32", "/C/Windows/temp"}) {
    if (!MakeDirectories(r + sub, why)) return false;
  }
  hostimpl::ResetPaths(r);
  hostimpl::ResetRegistry();
  hostimpl::ResetSpooler();
  hostimpl::ResetSystem();
  hostimpl::ResetSecurity();
  // Last, so that handles closed by the resets above leave the counters at zero.
  hostimpl::ResetFaults();
  return true;
}
