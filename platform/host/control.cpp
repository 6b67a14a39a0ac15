// HostReset: one call that gives a test or a tool a fresh host, sandbox directories
// included, by resetting every module of the layer.
#include "platform/host/host_internal.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// mkdir -p. The sandbox is the one thing a test cannot run without, so a root that can't
// be created stops the process with the reason.
void MakeDirectories(const std::string& path) {
  for (size_t at = 1; at <= path.size(); ++at) {
    if (at != path.size() && path[at] != '/') continue;
    std::string prefix = path.substr(0, at);
    if (mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) {
      std::fprintf(stderr, "HostReset: cannot create %s\n", prefix.c_str());
      std::abort();
    }
  }
}

}  // namespace

// HostReset - see host_control.h. The Windows directory tree (C:\Windows, System32 and
// Temp) exists from the start, as it does on any Windows machine.
void HostReset(const std::string& root) {
  std::string r = root;
  while (r.size() > 1 && r.back() == '/') r.pop_back();
  if (r.empty()) {
    std::fprintf(stderr, "HostReset: empty sandbox root\n");
    std::abort();
  }
  for (const char* sub : {"/C", "/C/Windows", "/C/Windows/System32", "/C/Windows/temp"}) {
    MakeDirectories(r + sub);
  }
  hostimpl::ResetPaths(r);
  hostimpl::ResetFiles();
  hostimpl::ResetRegistry();
  hostimpl::ResetSpooler();
  hostimpl::ResetSystem();
  hostimpl::ResetSecurity();
  // Last, so that handles closed by the resets above leave the counters at zero.
  hostimpl::ResetFaults();
}
