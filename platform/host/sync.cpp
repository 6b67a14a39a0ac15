// Mutexes of the host Win32 layer: CreateMutexW, WaitForSingleObject and ReleaseMutex,
// named ones shared by the processes of one sandbox, and the process and thread ids.
//
// A named mutex is a lock file <root>/.host/mutex/<name>. Byte 0 carries ownership (an
// exclusive open-file-description lock, held while a thread of this process owns the
// mutex); byte 1 carries presence (a shared lock while this process has the mutex open),
// so CreateMutexW can report ERROR_ALREADY_EXISTS for a mutex another process holds.
// Within the process, ownership is per thread and recursive, as on Windows.
//
// Not modelled: abandonment (WAIT_ABANDONED when the owner exits without releasing);
// the next waiter simply gets the mutex.
#include "platform/host/file_internal.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace {

struct HostMutex {
  std::string lockPath;  // empty for an unnamed mutex
  int fd = -1;           // this process's open of the lock file
  int handles = 0;
  pid_t owner = 0;  // owning thread of this process, 0 when free here
  DWORD recursion = 0;
};

// What a mutex HANDLE points to; like file handles, closed ones are kept for reuse.
struct MutexHandle {
  std::atomic<uint32_t> magic{0};
  HostMutex* mutex = nullptr;
};

// One lock and condition for all mutexes: they are taken rarely, and one lock is what
// the fork handlers below can hand over safely. Pointers, so a forked child can start
// from fresh objects.
std::mutex* g_lock = new std::mutex;
std::condition_variable* g_changed = new std::condition_variable;
std::vector<HostMutex*>& g_mutexes = *new std::vector<HostMutex*>;  // open mutexes
// Fully closed mutexes, kept: a stale handle may still point at one.
std::vector<HostMutex*>& g_deadMutexes = *new std::vector<HostMutex*>;
std::vector<MutexHandle*>& g_freeHandles = *new std::vector<MutexHandle*>;
std::once_flag g_forkHandlers;

pid_t CurrentThread() { return static_cast<pid_t>(syscall(SYS_gettid)); }

bool LockByte(int fd, short type, off_t byte, bool wait) {
  struct flock fl {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = byte;
  fl.l_len = 1;
  for (;;) {
    if (fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl) == 0) return true;
    if (errno != EINTR) return false;
  }
}

// Whether another process has this lock file open as a mutex (holds byte 1).
bool OpenElsewhere(int fd) {
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = 1;
  fl.l_len = 1;
  return fcntl(fd, F_OFD_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
}

int OpenLockFile(const std::string& path) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd >= 0) LockByte(fd, F_RDLCK, 1, false);
  return fd;
}

// A name the host accepts: letters, digits, '.', '_' and '-' stay, other bytes of the
// UTF-8 form become %XX; a long result ends in a hash of the whole name.
std::string LockFileName(const std::u16string& name) {
  std::string utf8 = hostimpl::ToUtf8(name);
  std::string out;
  for (unsigned char c : utf8) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
        c == '_' || c == '-') {
      out.push_back(static_cast<char>(c));
    } else {
      static const char kHex[] = "0123456789ABCDEF";
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    }
  }
  if (out == "." || out == "..") out = "%2E" + out.substr(1);
  if (out.size() > 200) {
    uint64_t hash = 1469598103934665603ULL;
    for (unsigned char c : utf8) hash = (hash ^ c) * 1099511628211ULL;
    char suffix[20];
    snprintf(suffix, sizeof suffix, "~%016llx", static_cast<unsigned long long>(hash));
    out = out.substr(0, 180) + suffix;
  }
  return out;
}

// In a forked child no thread owns anything, and the inherited opens of the lock files
// are the parent's: take fresh ones so the parent's ownership excludes the child.
void ForkPrepare() { g_lock->lock(); }
void ForkParent() { g_lock->unlock(); }
void ForkChild() {
  g_lock = new std::mutex;
  g_changed = new std::condition_variable;
  for (HostMutex* m : g_mutexes) {
    m->owner = 0;
    m->recursion = 0;
    if (m->fd < 0) continue;
    close(m->fd);
    m->fd = OpenLockFile(m->lockPath);
  }
}

// Takes the mutex for the calling thread: first within the process, then across
// processes. Returns WAIT_OBJECT_0 or WAIT_TIMEOUT.
DWORD Acquire(HostMutex* m, DWORD milliseconds) {
  const pid_t self = CurrentThread();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  std::unique_lock<std::mutex> lock(*g_lock);
  if (m->owner == self) {
    ++m->recursion;
    return WAIT_OBJECT_0;
  }
  while (m->owner != 0) {
    if (milliseconds == INFINITE) {
      g_changed->wait(lock);
    } else if (g_changed->wait_until(lock, deadline) == std::cv_status::timeout &&
               m->owner != 0) {
      return WAIT_TIMEOUT;
    }
  }
  m->owner = self;
  m->recursion = 1;
  if (m->fd < 0) return WAIT_OBJECT_0;
  const int fd = m->fd;
  lock.unlock();

  bool owned = false;
  if (milliseconds == INFINITE) {
    owned = LockByte(fd, F_WRLCK, 0, true);
  } else {
    // OFD locks have no timed wait: poll until the deadline.
    for (;;) {
      if (LockByte(fd, F_WRLCK, 0, false)) {
        owned = true;
        break;
      }
      if ((errno != EAGAIN && errno != EACCES) || std::chrono::steady_clock::now() >= deadline) {
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  if (owned) return WAIT_OBJECT_0;
  lock.lock();
  m->owner = 0;
  m->recursion = 0;
  g_changed->notify_all();
  return WAIT_TIMEOUT;
}

}  // namespace

namespace hostimpl {

// CloseMutexHandle - closes one handle of a mutex; the last handle of this process
// gives up its lock file, and with it any ownership left.
BOOL CloseMutexHandle(HANDLE handle) {
  auto* h = static_cast<MutexHandle*>(handle);
  uint32_t expected = kMutexMagic;
  if (!h->magic.compare_exchange_strong(expected, 0)) {
    SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::lock_guard<std::mutex> lock(*g_lock);
  HostMutex* m = h->mutex;
  if (--m->handles == 0) {
    if (m->fd >= 0) close(m->fd);
    m->fd = -1;
    m->owner = 0;
    m->recursion = 0;
    auto open = std::find(g_mutexes.begin(), g_mutexes.end(), m);
    if (open != g_mutexes.end()) g_mutexes.erase(open);
    g_deadMutexes.push_back(m);
    g_changed->notify_all();
  }
  g_freeHandles.push_back(h);
  AddOpenHandle(-1);
  return TRUE;
}

}  // namespace hostimpl

// CreateMutexW - creates or opens a mutex. A named one that exists already (in this or
// another process of the sandbox) is opened, initialOwner is ignored and the last error
// is ERROR_ALREADY_EXISTS; otherwise the last error is 0. The "Global\" and "Local\"
// prefixes name the same mutex, as they do in the spooler's session 0; any other
// backslash fails with ERROR_PATH_NOT_FOUND.
extern "C" HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES /*security*/, BOOL initialOwner,
                                      LPCWSTR name) {
  std::call_once(g_forkHandlers, [] { pthread_atfork(ForkPrepare, ForkParent, ForkChild); });
  std::u16string text = hostimpl::ToU16(name);
  for (const char16_t* prefix : {u"Global\\", u"Local\\"}) {
    std::u16string p = prefix;
    if (text.compare(0, p.size(), p) == 0) {
      text = text.substr(p.size());
      break;
    }
  }
  if (text.find(u'\\') != std::u16string::npos) {
    hostimpl::SetError(ERROR_PATH_NOT_FOUND);
    return nullptr;
  }
  if (text.size() >= MAX_PATH) {
    hostimpl::SetError(ERROR_FILENAME_EXCED_RANGE);
    return nullptr;
  }
  std::string lockPath;  // an empty name makes an unnamed mutex
  if (!text.empty()) {
    std::string root = HostRoot();
    if (root.empty()) {
      hostimpl::SetError(ERROR_PATH_NOT_FOUND);
      return nullptr;
    }
    std::string dir = root + "/.host";
    mkdir(dir.c_str(), 0777);
    dir += "/mutex";
    mkdir(dir.c_str(), 0777);
    lockPath = dir + "/" + LockFileName(text);
  }

  std::unique_lock<std::mutex> lock(*g_lock);
  HostMutex* m = nullptr;
  bool existed = false;
  if (!lockPath.empty()) {
    for (HostMutex* candidate : g_mutexes) {
      if (candidate->lockPath == lockPath) m = candidate;
    }
    existed = m != nullptr;
  }
  if (!m) {
    int fd = -1;
    if (!lockPath.empty()) {
      fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
      if (fd < 0) {
        hostimpl::SetError(hostimpl::ErrnoToError(errno));
        return nullptr;
      }
      existed = OpenElsewhere(fd);
      LockByte(fd, F_RDLCK, 1, false);
    }
    m = new HostMutex;
    m->lockPath = lockPath;
    m->fd = fd;
    g_mutexes.push_back(m);
  }
  ++m->handles;
  MutexHandle* h;
  if (!g_freeHandles.empty()) {
    h = g_freeHandles.back();
    g_freeHandles.pop_back();
  } else {
    h = new MutexHandle;
  }
  h->mutex = m;
  h->magic.store(hostimpl::kMutexMagic, std::memory_order_release);
  hostimpl::AddOpenHandle(+1);
  lock.unlock();
  if (initialOwner && !existed) Acquire(m, INFINITE);
  hostimpl::SetError(existed ? ERROR_ALREADY_EXISTS : 0);
  return h;
}

// WaitForSingleObject - for a mutex, waits until the calling thread owns it
// (WAIT_OBJECT_0) or the time runs out (WAIT_TIMEOUT); the owner may take it again.
// A file handle is always signalled, as on Windows. Anything else: WAIT_FAILED with
// ERROR_INVALID_HANDLE.
extern "C" DWORD WINAPI WaitForSingleObject(HANDLE object, DWORD milliseconds) {
  uint32_t magic = hostimpl::HandleMagic(object);
  if (magic == hostimpl::kFileMagic) return WAIT_OBJECT_0;
  if (magic != hostimpl::kMutexMagic) {
    hostimpl::SetError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  return Acquire(static_cast<MutexHandle*>(object)->mutex, milliseconds);
}

// ReleaseMutex - gives up one level of the calling thread's ownership; the last one
// frees the mutex. A thread that does not own it gets ERROR_NOT_OWNER.
extern "C" BOOL WINAPI ReleaseMutex(HANDLE mutex) {
  if (hostimpl::HandleMagic(mutex) != hostimpl::kMutexMagic) {
    hostimpl::SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  HostMutex* m = static_cast<MutexHandle*>(mutex)->mutex;
  std::lock_guard<std::mutex> lock(*g_lock);
  if (m->owner != CurrentThread()) {
    hostimpl::SetError(hostimpl::kErrorNotOwner);
    return FALSE;
  }
  if (--m->recursion == 0) {
    if (m->fd >= 0) LockByte(m->fd, F_UNLCK, 0, false);
    m->owner = 0;
    g_changed->notify_all();
  }
  return TRUE;
}

// GetCurrentProcessId - the host process id.
extern "C" DWORD WINAPI GetCurrentProcessId(void) { return static_cast<DWORD>(getpid()); }

// GetCurrentThreadId - the host thread id (unique among live threads, like Windows').
extern "C" DWORD WINAPI GetCurrentThreadId(void) { return static_cast<DWORD>(CurrentThread()); }
