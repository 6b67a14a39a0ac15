// SPDX-License-Identifier: Apache-2.0
// The output files' system calls on Linux: descriptors by name, links followed by hand
// (also to a file not made yet), mkstemps, rename without replacing, a SIGINT, SIGTERM
// and SIGHUP handler that removes the temporary files being written, and scratch files.
#include "tools/common/file_system.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace spoolgate {
namespace {

// Temporary files being written, for the signal handler: fixed buffers, as a handler
// may only use async-signal-safe calls.
constexpr int kTempSlots = 4;
char g_temps[kTempSlots][PATH_MAX];

extern "C" void RemoveTempsAndDie(int sig) {
  for (auto& slot : g_temps) {
    if (slot[0] != '\0') unlink(slot);
  }
  signal(sig, SIG_DFL);
  raise(sig);
}

constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Holds the signals back while a temporary file is made and registered, so that none can
// find it made but not yet registered; one that came meanwhile is taken at the end.
struct SignalsHeld {
  sigset_t old;
  SignalsHeld() {
    static bool installed = false;
    if (!installed) {
      installed = true;
      for (int sig : kCleanupSignals) {
        struct sigaction action {};
        action.sa_handler = RemoveTempsAndDie;
        sigemptyset(&action.sa_mask);
        sigaction(sig, &action, nullptr);
      }
    }
    sigset_t held;
    sigemptyset(&held);
    for (int sig : kCleanupSignals) sigaddset(&held, sig);
    sigprocmask(SIG_BLOCK, &held, &old);
  }
  ~SignalsHeld() { sigprocmask(SIG_SETMASK, &old, nullptr); }
};

void RegisterTemp(const std::string& path) {
  for (auto& slot : g_temps) {
    if (slot[0] == '\0' && path.size() < sizeof slot) {
      // Written before the name is published, so the handler never sees half a name.
      std::memcpy(slot + 1, path.c_str() + 1, path.size());
      slot[0] = path[0];
      return;
    }
  }
}

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

void FactsOf(const struct stat& info, FileFacts& facts) {
  facts.exists = true;
  facts.directory = S_ISDIR(info.st_mode);
  facts.regular = S_ISREG(info.st_mode);
  facts.hasId = true;
  facts.volume = uint64_t(info.st_dev);
  facts.index = uint64_t(info.st_ino);
}

}  // namespace

std::string LastErrorText() { return std::strerror(errno); }

// /dev/stdin, /dev/stdout, /dev/stderr, /dev/fd/N and /proc/self/fd/N (or this
// process's own number) besides "-".
int DescriptorNamed(const std::string& path) {
  if (path == "-" || path == "/dev/stdout") return STDOUT_FILENO;
  if (path == "/dev/stdin") return STDIN_FILENO;
  if (path == "/dev/stderr") return STDERR_FILENO;
  const std::string own = "/proc/" + std::to_string(getpid()) + "/fd/";
  for (const std::string& prefix : {std::string("/dev/fd/"), std::string("/proc/self/fd/"), own}) {
    if (path.compare(0, prefix.size(), prefix) != 0) continue;
    const std::string digits = path.substr(prefix.size());
    if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos) {
      return -1;
    }
    return std::stoi(digits);
  }
  return -1;
}

int CopyDescriptor(int fd) { return fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1); }

bool DescriptorFacts(int fd, FileFacts& facts) {
  struct stat info;
  if (fstat(fd, &info) != 0) return false;
  FactsOf(info, facts);
  return true;
}

bool PathFacts(const std::string& path, FileFacts& facts) {
  struct stat info;
  facts = FileFacts();
  if (stat(path.c_str(), &info) == 0) {
    FactsOf(info, facts);
    return true;
  }
  return errno == ENOENT;
}

// Only the last step's links: a folder reached through a link is where the name says.
std::string FollowLinks(const std::string& path, std::string& why) {
  std::string at = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat info;
    if (lstat(at.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return at;
    char link[PATH_MAX];
    ssize_t n = readlink(at.c_str(), link, sizeof link - 1);
    if (n < 0) return at;
    link[n] = '\0';
    at = link[0] == '/' ? std::string(link) : DirectoryOf(at) + "/" + link;
  }
  why = std::strerror(ELOOP);
  return std::string();
}

int OpenToWrite(const std::string& path) { return open(path.c_str(), O_WRONLY | O_CLOEXEC); }

int CreateTemp(const std::string& beside, const std::string& prefix, const std::string& suffix,
               std::string& made) {
  std::string pattern;
  if (beside.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/" + prefix + "XXXXXX" + suffix;
  } else {
    pattern = DirectoryOf(beside) + "/" + prefix + beside.substr(beside.rfind('/') + 1) + ".XXXXXX" + suffix;
  }
  SignalsHeld held;
  int fd = mkostemps(pattern.data(), int(suffix.size()), O_CLOEXEC);
  if (fd >= 0) {
    made = pattern;
    RegisterTemp(made);
  }
  return fd;
}

bool TakePermissions(int fd, const std::string&, const std::string& target, bool replacing) {
  mode_t mode = 0;
  struct stat info;
  if (replacing && stat(target.c_str(), &info) == 0) {
    mode = info.st_mode & 07777;
  } else {
    mode_t mask = umask(0);
    umask(mask);
    mode = 0666 & ~mask;
  }
  return fchmod(fd, mode) == 0;
}

long WriteSome(int fd, const void* data, size_t size) {
  for (;;) {
    ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    return long(n);
  }
}

long ReadSome(int fd, void* data, size_t size) {
  for (;;) {
    ssize_t n = read(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    return long(n);
  }
}

bool CloseDescriptor(int fd) { return close(fd) == 0; }

bool StillRegular(const std::string& path) {
  struct stat now;
  return !(lstat(path.c_str(), &now) == 0 && !S_ISREG(now.st_mode));
}

MoveResult MoveTemp(const std::string& temp, const std::string& target, bool replacing) {
  if (replacing) return rename(temp.c_str(), target.c_str()) == 0 ? MoveResult::kDone : MoveResult::kFailed;
  if (renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
    return MoveResult::kDone;
  }
  if (errno == EEXIST) return MoveResult::kTargetAppeared;
  // A file system without RENAME_NOREPLACE.
  if (errno == EINVAL && rename(temp.c_str(), target.c_str()) == 0) return MoveResult::kDone;
  return MoveResult::kFailed;
}

void RemoveTemp(const std::string& temp) { unlink(temp.c_str()); }

void ForgetTemp(const std::string& temp) {
  for (auto& slot : g_temps) {
    if (temp == slot) slot[0] = '\0';
  }
}

std::FILE* OpenScratchFile() {
  const char* tmp = std::getenv("TMPDIR");
  std::string dir = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
  int fd = -1;
#ifdef O_TMPFILE
  fd = open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
#endif
  if (fd < 0) {
    // A file system without unnamed files: the name is gone as soon as it is made.
    std::string pattern = dir + "/spoolgate-XXXXXX";
    SignalsHeld held;
    fd = mkostemp(pattern.data(), O_CLOEXEC);
    if (fd >= 0) unlink(pattern.c_str());
  }
  if (fd < 0) return nullptr;
  std::FILE* file = fdopen(fd, "w+b");
  if (file == nullptr) close(fd);
  return file;
}

}  // namespace spoolgate
