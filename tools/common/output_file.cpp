// SPDX-License-Identifier: Apache-2.0
// Writing the command's output files through a unique temporary file beside the target,
// renamed over nothing or a regular file only; devices, FIFOs and link targets are
// written through. SIGINT and SIGTERM remove a temporary file that is being written.
#include "tools/common/output_file.h"

#include "tools/common/errors.h"

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

void UnregisterTemp(const std::string& path) {
  for (auto& slot : g_temps) {
    if (path == slot) slot[0] = '\0';
  }
}

std::string Reason() { return std::strerror(errno); }

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The path a name finally refers to, with every symbolic link on the last step
// followed (also one whose target does not exist yet).
std::string FollowLinks(const std::string& path) {
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
  errno = ELOOP;
  throw InputError(path + ": " + Reason());
}

// The copy of standard input, removed at exit.
struct StandardInputCopy {
  std::string path;
  ~StandardInputCopy() {
    if (!path.empty()) {
      unlink(path.c_str());
      UnregisterTemp(path);
    }
  }
};
StandardInputCopy g_stdinCopy;

// The descriptor a name stands for when it names one this process already has open:
// "-" (standard output), /dev/stdin, /dev/stdout, /dev/stderr, /dev/fd/N and
// /proc/self/fd/N (or this process's own number). -1 for any other name. Such a name
// must be written through: following it leads to whatever the descriptor holds (a
// file appended to, a pipe), which must neither be replaced nor created beside.
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

}  // namespace

bool NamesStandardOutput(const std::string& path) { return DescriptorNamed(path) == STDOUT_FILENO; }

OutputFile::OutputFile(const std::string& path, const std::vector<std::string>& inputs)
    : path_(path) {
  struct stat info;
  const int named = DescriptorNamed(path);
  if (named >= 0) {
    if (fstat(named, &info) != 0) throw InputError(path + ": " + Reason());
    if (S_ISDIR(info.st_mode)) throw InputError(path + ": is a directory");
    // A copy of the descriptor shares its file position and append mode.
    fd_ = fcntl(named, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (fd_ < 0) throw InputError(path + ": " + Reason());
    target_ = path;
    if (S_ISREG(info.st_mode)) {
      identity_ = true;
      device_ = info.st_dev;
      inode_ = info.st_ino;
    }
  } else {
    target_ = FollowLinks(path);
    if (stat(target_.c_str(), &info) == 0) {
      if (S_ISDIR(info.st_mode)) throw InputError(path + ": is a directory");
      exists_ = true;
      identity_ = true;
      device_ = info.st_dev;
      inode_ = info.st_ino;
      mode_ = info.st_mode & 07777;
    } else if (errno != ENOENT) {
      throw InputError(path + ": " + Reason());
    }
  }
  for (const std::string& input : inputs) CheckNotInput(input);
  if (fd_ >= 0) return;

  if (exists_ && !S_ISREG(info.st_mode)) {
    // A device or FIFO takes the bytes as they come; replacing it would harm the system.
    fd_ = open(target_.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd_ < 0) throw InputError(path + ": " + Reason());
    return;
  }
  if (!exists_) {
    mode_t mask = umask(0);
    umask(mask);
    mode_ = 0666 & ~mask;
  }
  std::string name = target_.substr(target_.rfind('/') + 1);
  std::string pattern = DirectoryOf(target_) + "/." + name + ".XXXXXX.part";
  {
    SignalsHeld held;
    fd_ = mkstemps(pattern.data(), 5);
    if (fd_ >= 0) {
      temp_ = pattern;
      RegisterTemp(temp_);
    }
  }
  if (fd_ < 0) throw InputError(path + ": cannot create a temporary file beside it: " + Reason());
  if (fchmod(fd_, mode_) != 0) {
    // The destructor does not run for a constructor that throws.
    std::string reason = Reason();
    close(fd_);
    unlink(temp_.c_str());
    UnregisterTemp(temp_);
    throw InputError(path + ": " + reason);
  }
}

OutputFile::~OutputFile() {
  if (fd_ > STDERR_FILENO) close(fd_);
  if (!temp_.empty()) {
    unlink(temp_.c_str());
    UnregisterTemp(temp_);
  }
}

void OutputFile::CheckNotInput(const std::string& path) const {
  struct stat info;
  if (!identity_) return;
  // Standard input is the file behind it, whether read directly or through its copy.
  const bool standardInput = path == "-" || (!g_stdinCopy.path.empty() && path == g_stdinCopy.path);
  if (standardInput ? fstat(STDIN_FILENO, &info) != 0 : stat(path.c_str(), &info) != 0) return;
  if (info.st_dev == device_ && info.st_ino == inode_) {
    throw InputError(path_ + ": is the input " + path + "; choose another output");
  }
}

void OutputFile::WriteOut(const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = write(fd_, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw InputError(path_ + ": write failed: " + Reason());
    p += n;
    size -= size_t(n);
  }
}

void OutputFile::Commit() {
  Flush();
  if (fd_ > STDERR_FILENO) {
    int fd = fd_;
    fd_ = -1;
    if (close(fd) != 0) throw InputError(path_ + ": write failed: " + Reason());
  }
  if (temp_.empty()) return;
  if (exists_) {
    // Replace only what was there: a regular file. Anything that took its place since
    // (a link, a device) is left alone.
    struct stat now;
    if (lstat(target_.c_str(), &now) == 0 && !S_ISREG(now.st_mode)) {
      throw InputError(path_ + ": is no longer a regular file; nothing written");
    }
    if (rename(temp_.c_str(), target_.c_str()) != 0) throw InputError(path_ + ": " + Reason());
  } else if (renameat2(AT_FDCWD, temp_.c_str(), AT_FDCWD, target_.c_str(), RENAME_NOREPLACE) != 0) {
    if (errno == EEXIST) throw InputError(path_ + ": appeared while it was written; nothing replaced");
    if (errno != EINVAL || rename(temp_.c_str(), target_.c_str()) != 0) {
      throw InputError(path_ + ": " + Reason());
    }
  }
  UnregisterTemp(temp_);
  temp_.clear();
}

std::string InputPath(const std::string& given) {
  StandardInputCopy& copy = g_stdinCopy;
  if (given != "-") return given;
  if (!copy.path.empty()) return copy.path;
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/spoolgate-stdin-XXXXXX";
  int fd = -1;
  {
    SignalsHeld held;
    fd = mkstemp(pattern.data());
    if (fd >= 0) {
      copy.path = pattern;
      RegisterTemp(copy.path);
    }
  }
  if (fd < 0) throw InputError("-: cannot copy standard input: " + Reason());
  char buffer[1 << 16];
  for (;;) {
    ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      close(fd);
      throw InputError("-: read error: " + Reason());
    }
    if (n == 0) break;
    for (ssize_t done = 0; done < n;) {
      ssize_t w = write(fd, buffer + done, size_t(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        close(fd);
        throw InputError("-: cannot copy standard input: " + Reason());
      }
      done += w;
    }
  }
  if (close(fd) != 0) throw InputError("-: cannot copy standard input: " + Reason());
  return copy.path;
}

}  // namespace spoolgate
