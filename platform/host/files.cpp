// SPDX-License-Identifier: Apache-2.0
// Files of the host Win32 layer: CreateFileW with Windows share modes and dispositions,
// the read/write/seek/lock calls on file handles, directories, renames and CloseHandle.
//
// Sharing is kept in one table of the open handles of this process, keyed by the file's
// device and inode; it is consulted only when a name is opened, renamed or deleted. The
// data path (ReadFile, WriteFile) takes no lock: a magic check, an access check, the
// fault check and the system call loop.
//
// Not modelled: share modes between processes (each process has its own table), and
// Windows' mandatory byte-range locking (locks exclude other lockers, not reads and
// writes through other handles).
#include "platform/host/call_record.h"
#include "platform/host/file_internal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <cstring>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <mutex>
#include <type_traits>
#include <vector>

namespace {

constexpr DWORD kFileAttributeArchive = 0x20;  // FILE_ATTRIBUTE_ARCHIVE

struct LockRange {
  uint64_t offset;
  uint64_t length;
  bool exclusive;
};

// What a file HANDLE points to. Closed objects keep their memory (magic cleared) and are
// reused, so a stale handle is rejected instead of reading freed memory.
struct HostFile {
  std::atomic<uint32_t> magic{0};
  int fd = -1;
  bool canRead = false;
  bool canWrite = false;
  bool canDelete = false;
  DWORD share = 0;
  dev_t dev = 0;
  ino_t ino = 0;
  std::mutex lockMutex;  // guards locks
  std::vector<LockRange> locks;
};
static_assert(std::is_standard_layout<HostFile>::value, "magic must sit at offset 0");

// Never destroyed: handles may be used until the process ends, after static destructors.
std::mutex& g_tableMutex = *new std::mutex;
std::vector<HostFile*>& g_open = *new std::vector<HostFile*>;  // live handles
std::vector<HostFile*>& g_free = *new std::vector<HostFile*>;  // closed, kept for reuse

BOOL Fail(DWORD error) {
  hostimpl::SetError(error);
  return FALSE;
}

HANDLE FailHandle(DWORD error) {
  hostimpl::SetError(error);
  return INVALID_HANDLE_VALUE;
}

HostFile* AsFile(HANDLE handle) {
  if (hostimpl::HandleMagic(handle) != hostimpl::kFileMagic) return nullptr;
  return static_cast<HostFile*>(handle);
}

bool IsDirectory(const std::string& hostPath) {
  struct stat st;
  return stat(hostPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A missing entry is ERROR_FILE_NOT_FOUND when its directory exists, else
// ERROR_PATH_NOT_FOUND, as Windows tells the two apart.
DWORD MissingError(const hostimpl::ResolvedPath& path) {
  return !path.parent.empty() && IsDirectory(path.parent) ? ERROR_FILE_NOT_FOUND
                                                          : ERROR_PATH_NOT_FOUND;
}

DWORD OpenError(int error, const hostimpl::ResolvedPath& path) {
  return error == ENOENT ? MissingError(path) : hostimpl::ErrnoToError(error);
}

// Whether a new open with access (read, write, delete) and share conflicts with the
// handles already open on the file. Windows checks both directions.
bool SharingConflict(dev_t dev, ino_t ino, bool read, bool write, bool del, DWORD share) {
  for (const HostFile* f : g_open) {
    if (f->dev != dev || f->ino != ino) continue;
    if (read && !(f->share & FILE_SHARE_READ)) return true;
    if (write && !(f->share & FILE_SHARE_WRITE)) return true;
    if (del && !(f->share & FILE_SHARE_DELETE)) return true;
    if (f->canRead && !(share & FILE_SHARE_READ)) return true;
    if (f->canWrite && !(share & FILE_SHARE_WRITE)) return true;
    if (f->canDelete && !(share & FILE_SHARE_DELETE)) return true;
  }
  return false;
}

// Whether any handle open on the file refuses to share delete access (renames and
// deletion need it).
bool HeldWithoutDeleteSharing(const struct stat& st) {
  for (const HostFile* f : g_open) {
    if (f->dev == st.st_dev && f->ino == st.st_ino && !(f->share & FILE_SHARE_DELETE)) return true;
  }
  return false;
}

// TRUE when any handle holds the file open, whatever it shares.
bool HeldOpen(const struct stat& st) {
  for (const HostFile* f : g_open) {
    if (f->dev == st.st_dev && f->ino == st.st_ino) return true;
  }
  return false;
}

// New position for a seek, or an error: ERROR_NEGATIVE_SEEK before the start,
// ERROR_INVALID_PARAMETER for an unknown method or an overflow.
DWORD SeekTarget(HostFile* f, int64_t distance, DWORD method, int64_t* target) {
  int64_t base = 0;
  if (method == FILE_CURRENT) {
    off_t cur = lseek(f->fd, 0, SEEK_CUR);
    if (cur < 0) return hostimpl::ErrnoToError(errno);
    base = cur;
  } else if (method == FILE_END) {
    struct stat st;
    if (fstat(f->fd, &st) != 0) return hostimpl::ErrnoToError(errno);
    base = st.st_size;
  } else if (method != FILE_BEGIN) {
    return ERROR_INVALID_PARAMETER;
  }
  if (__builtin_add_overflow(base, distance, target)) return ERROR_INVALID_PARAMETER;
  if (*target < 0) return ERROR_NEGATIVE_SEEK;
  return 0;
}

DWORD SeekTo(HostFile* f, int64_t target) {
  if (lseek(f->fd, static_cast<off_t>(target), SEEK_SET) < 0) {
    return errno == EINVAL ? ERROR_INVALID_PARAMETER : hostimpl::ErrnoToError(errno);
  }
  return 0;
}

// A Windows byte range as an open-file-description lock. Windows ranges run to 2^64;
// one that reaches past the largest host offset runs to the end of the file and beyond.
struct flock ToFlock(uint64_t offset, uint64_t length, short type) {
  struct flock fl {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  const uint64_t maxOffset = static_cast<uint64_t>(INT64_MAX);
  uint64_t start = std::min(offset, maxOffset - 1);
  fl.l_start = static_cast<off_t>(start);
  uint64_t end = offset + length;
  if (end < offset || end > maxOffset) {
    fl.l_len = 0;
  } else {
    fl.l_len = static_cast<off_t>(end - start);
  }
  return fl;
}

bool Overlap(const LockRange& a, uint64_t offset, uint64_t length) {
  if (a.length == 0 || length == 0) return false;
  uint64_t aEnd = a.offset + a.length < a.offset ? UINT64_MAX : a.offset + a.length;
  uint64_t bEnd = offset + length < offset ? UINT64_MAX : offset + length;
  return a.offset < bEnd && offset < aEnd;
}

}  // namespace

namespace hostimpl {

// HandleMagic - see file_internal.h.
uint32_t HandleMagic(HANDLE handle) {
  auto value = reinterpret_cast<uintptr_t>(handle);
  if (value < 0x10000 || handle == INVALID_HANDLE_VALUE || value % alignof(HandleHeader) != 0) {
    return 0;
  }
  return static_cast<HandleHeader*>(handle)->magic.load(std::memory_order_acquire);
}

// ErrnoToError - the Windows error for an errno of a file operation.
DWORD ErrnoToError(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ETXTBSY:
      return ERROR_ACCESS_DENIED;
    case EEXIST:
      return ERROR_FILE_EXISTS;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return ERROR_DISK_FULL;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case ELOOP:
      return ERROR_CANT_RESOLVE_FILENAME;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    case ENOTEMPTY:
      return ERROR_DIR_NOT_EMPTY;
    case EXDEV:
      return kErrorNotSameDevice;
    case EAGAIN:
      return ERROR_LOCK_VIOLATION;
    case EIO:
      return ERROR_IO_DEVICE;
    default:
      return ERROR_INVALID_FUNCTION;
  }
}

}  // namespace hostimpl

// CreateFileW - opens or creates a file under the sandbox.
// Access: GENERIC_READ, GENERIC_WRITE (or FILE_READ_DATA, FILE_WRITE_DATA) and DELETE;
// flags: FILE_FLAG_SEQUENTIAL_SCAN, FILE_FLAG_RANDOM_ACCESS, FILE_FLAG_WRITE_THROUGH and
// FILE_ATTRIBUTE_NORMAL; anything else fails with ERROR_INVALID_PARAMETER. The share
// check runs before CREATE_ALWAYS or TRUNCATE_EXISTING empties the file, so a refused
// open never damages it. On success the last error is ERROR_ALREADY_EXISTS when
// OPEN_ALWAYS or CREATE_ALWAYS found the file, else 0, as on Windows.
HANDLE hostimpl::plain::CreateFileW(LPCWSTR path, DWORD access, DWORD shareMode,
                                    LPSECURITY_ATTRIBUTES /*security*/, DWORD disposition,
                                    DWORD flagsAndAttributes, HANDLE templateFile) {
  if (DWORD error = hostimpl::CountCall(HostOp::CreateFile)) return FailHandle(error);
  const DWORD kAccess = GENERIC_READ | GENERIC_WRITE | FILE_READ_DATA | FILE_WRITE_DATA | DELETE;
  const DWORD kFlags = FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_RANDOM_ACCESS |
                       FILE_FLAG_WRITE_THROUGH | FILE_ATTRIBUTE_NORMAL;
  const bool read = access & (GENERIC_READ | FILE_READ_DATA);
  const bool write = access & (GENERIC_WRITE | FILE_WRITE_DATA);
  const bool del = access & DELETE;
  if (!path || (access & ~kAccess) ||
      (shareMode & ~(FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)) ||
      disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING ||
      (flagsAndAttributes & ~kFlags) || templateFile ||
      (disposition == TRUNCATE_EXISTING && !write)) {
    return FailHandle(ERROR_INVALID_PARAMETER);
  }
  hostimpl::ResolvedPath target = hostimpl::ResolvePath(hostimpl::ToU16(path));
  if (target.error) return FailHandle(target.error);
  // Without the long-path opt-in Windows refuses full paths of MAX_PATH characters.
  if (target.fullLength >= MAX_PATH) return FailHandle(ERROR_PATH_NOT_FOUND);
  if (target.trailingSeparator) {
    // "name\" names a directory: a file of that name cannot be opened or created.
    return FailHandle(IsDirectory(target.host) ? ERROR_ACCESS_DENIED : ERROR_INVALID_NAME);
  }
  if (target.isVolumeRoot) {
    return FailHandle(IsDirectory(target.host) ? ERROR_ACCESS_DENIED : ERROR_PATH_NOT_FOUND);
  }

  int oflags = O_CLOEXEC | (read && write ? O_RDWR : write ? O_WRONLY : O_RDONLY);
  if (flagsAndAttributes & FILE_FLAG_WRITE_THROUGH) oflags |= O_DSYNC;
  const char* host = target.host.c_str();

  std::lock_guard<std::mutex> lock(g_tableMutex);
  int fd = -1;
  bool existed = false;
  int openErrno = 0;
  if (disposition == CREATE_NEW) {
    fd = open(host, oflags | O_CREAT | O_EXCL, 0666);
    if (fd < 0) openErrno = errno;
  } else {
    for (;;) {
      fd = open(host, oflags);
      if (fd >= 0) {
        existed = true;
        break;
      }
      if (errno != ENOENT || disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING) {
        openErrno = errno;
        break;
      }
      fd = open(host, oflags | O_CREAT | O_EXCL, 0666);
      struct stat link;
      if (fd < 0 && errno == EEXIST && lstat(host, &link) == 0 && S_ISLNK(link.st_mode)) {
        // A link to nothing: the file is made where it leads, as Windows does.
        fd = open(host, oflags | O_CREAT, 0666);
      }
      if (fd >= 0 || errno != EEXIST) {
        openErrno = fd < 0 ? errno : 0;
        break;
      }
      // Created by someone else in between: open it as existing.
    }
  }
  if (fd < 0) {
    if (openErrno == EEXIST) return FailHandle(ERROR_FILE_EXISTS);
    return FailHandle(OpenError(openErrno, target));
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    int error = errno;
    close(fd);
    return FailHandle(hostimpl::ErrnoToError(error));
  }
  if (S_ISDIR(st.st_mode)) {
    close(fd);
    return FailHandle(ERROR_ACCESS_DENIED);  // directories need backup semantics
  }
  if (SharingConflict(st.st_dev, st.st_ino, read, write, del, shareMode)) {
    close(fd);
    return FailHandle(ERROR_SHARING_VIOLATION);
  }
  if (existed && (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING)) {
    int rc = write ? ftruncate(fd, 0) : truncate(host, 0);
    if (rc != 0) {
      int error = errno;
      close(fd);
      return FailHandle(hostimpl::ErrnoToError(error));
    }
  }
  if (flagsAndAttributes & FILE_FLAG_SEQUENTIAL_SCAN) {
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  } else if (flagsAndAttributes & FILE_FLAG_RANDOM_ACCESS) {
    posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
  }

  HostFile* f;
  if (!g_free.empty()) {
    f = g_free.back();
    g_free.pop_back();
  } else {
    f = new HostFile;
  }
  f->fd = fd;
  f->canRead = read;
  f->canWrite = write;
  f->canDelete = del;
  f->share = shareMode;
  f->dev = st.st_dev;
  f->ino = st.st_ino;
  f->locks.clear();
  f->magic.store(hostimpl::kFileMagic, std::memory_order_release);
  g_open.push_back(f);
  hostimpl::AddOpenHandle(+1);
  bool reported = existed && (disposition == OPEN_ALWAYS || disposition == CREATE_ALWAYS);
  hostimpl::SetError(reported ? ERROR_ALREADY_EXISTS : 0);
  return f;
}

// ReadFile - reads up to toRead bytes at the file pointer; fewer only at the end of the
// file (0 there, with TRUE). Overlapped reads are not supported (ERROR_INVALID_PARAMETER).
BOOL hostimpl::plain::ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read,
                               LPOVERLAPPED overlapped) {
  if (read) *read = 0;
  if (DWORD error = hostimpl::CountCall(HostOp::ReadFile)) return Fail(error);
  HostFile* f = AsFile(file);
  if (!f) return Fail(ERROR_INVALID_HANDLE);
  if (overlapped || (!buffer && toRead)) return Fail(ERROR_INVALID_PARAMETER);
  if (!f->canRead) return Fail(ERROR_ACCESS_DENIED);
  auto* p = static_cast<char*>(buffer);
  DWORD done = 0;
  while (done < toRead) {
    ssize_t n = ::read(f->fd, p + done, toRead - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      int error = errno;
      if (read) *read = done;
      return Fail(hostimpl::ErrnoToError(error));
    }
    if (n == 0) break;
    done += static_cast<DWORD>(n);
  }
  if (read) *read = done;
  return TRUE;
}

// WriteFile - writes all toWrite bytes at the file pointer in one call. A device that
// takes fewer bytes (or none: ENOSPC) fails the call with ERROR_DISK_FULL and reports
// how many bytes went out. After HostShortWriteNth it writes only the first bytes and
// succeeds. Overlapped writes are not supported.
BOOL hostimpl::plain::WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written,
                                LPOVERLAPPED overlapped) {
  if (written) *written = 0;
  if (DWORD error = hostimpl::CountWrite(HostOp::WriteFile, &toWrite)) return Fail(error);
  HostFile* f = AsFile(file);
  if (!f) return Fail(ERROR_INVALID_HANDLE);
  if (overlapped || (!buffer && toWrite)) return Fail(ERROR_INVALID_PARAMETER);
  if (!f->canWrite) return Fail(ERROR_ACCESS_DENIED);
  hostimpl::NoteUnflushedChange(f->fd, f->dev, f->ino);
  const auto* p = static_cast<const char*>(buffer);
  DWORD done = 0;
  while (done < toWrite) {
    ssize_t n = ::write(f->fd, p + done, toWrite - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      DWORD error = n == 0 ? ERROR_DISK_FULL : hostimpl::ErrnoToError(errno);
      if (written) *written = done;
      return Fail(error);
    }
    done += static_cast<DWORD>(n);
  }
  if (written) *written = done;
  return TRUE;
}

// SetFilePointer - moves the file pointer; returns the low 32 bits of the new position
// (the high ones through distanceHigh). Without distanceHigh the distance is a signed
// 32-bit value and a position beyond 4 GiB - 1 fails with ERROR_INVALID_PARAMETER. A
// negative position fails with ERROR_NEGATIVE_SEEK and leaves the pointer. A successful
// move to a low part of 0xFFFFFFFF sets the last error to 0 so callers can tell it apart.
DWORD hostimpl::plain::SetFilePointer(HANDLE file, LONG distance, PLONG distanceHigh,
                                      DWORD method) {
  if (DWORD error = hostimpl::CountCall(HostOp::SetFilePointer)) {
    hostimpl::SetError(error);
    return INVALID_SET_FILE_POINTER;
  }
  HostFile* f = AsFile(file);
  if (!f) {
    hostimpl::SetError(ERROR_INVALID_HANDLE);
    return INVALID_SET_FILE_POINTER;
  }
  int64_t move = distanceHigh ? static_cast<int64_t>((static_cast<uint64_t>(
                                                          static_cast<uint32_t>(*distanceHigh))
                                                      << 32) |
                                                     static_cast<uint32_t>(distance))
                              : static_cast<int64_t>(distance);
  int64_t target = 0;
  DWORD error = SeekTarget(f, move, method, &target);
  if (!error && !distanceHigh && target > static_cast<int64_t>(UINT32_MAX)) {
    error = ERROR_INVALID_PARAMETER;
  }
  if (!error) error = SeekTo(f, target);
  if (error) {
    hostimpl::SetError(error);
    return INVALID_SET_FILE_POINTER;
  }
  if (distanceHigh) *distanceHigh = static_cast<LONG>(static_cast<uint64_t>(target) >> 32);
  DWORD low = static_cast<DWORD>(target);
  if (low == INVALID_SET_FILE_POINTER) hostimpl::SetError(0);
  return low;
}

// SetFilePointerEx - the 64-bit SetFilePointer; newPosition may be null.
BOOL hostimpl::plain::SetFilePointerEx(HANDLE file, LARGE_INTEGER distance,
                                       PLARGE_INTEGER newPosition, DWORD method) {
  if (DWORD error = hostimpl::CountCall(HostOp::SetFilePointer)) return Fail(error);
  HostFile* f = AsFile(file);
  if (!f) return Fail(ERROR_INVALID_HANDLE);
  int64_t target = 0;
  DWORD error = SeekTarget(f, distance.QuadPart, method, &target);
  if (!error) error = SeekTo(f, target);
  if (error) return Fail(error);
  if (newPosition) newPosition->QuadPart = target;
  return TRUE;
}

// GetFileSizeEx - the size of the file in bytes.
BOOL hostimpl::plain::GetFileSizeEx(HANDLE file, PLARGE_INTEGER size) {
  HostFile* f = AsFile(file);
  if (!f) return Fail(ERROR_INVALID_HANDLE);
  if (!size) return Fail(ERROR_INVALID_PARAMETER);
  struct stat st;
  if (fstat(f->fd, &st) != 0) return Fail(hostimpl::ErrnoToError(errno));
  size->QuadPart = st.st_size;
  return TRUE;
}

// GetFileInformationByHandle - the file's size, its identity (volume and index: the
// device and inode) and its links, 0 once it was deleted while open.
BOOL hostimpl::plain::GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info) {
  HostFile* f = AsFile(file);
  if (!f) return Fail(ERROR_INVALID_HANDLE);
  if (!info) return Fail(ERROR_INVALID_PARAMETER);
  struct stat st;
  if (fstat(f->fd, &st) != 0) return Fail(hostimpl::ErrnoToError(errno));
  memset(info, 0, sizeof(*info));
  info->dwFileAttributes = FILE_ATTRIBUTE_NORMAL;
  info->dwVolumeSerialNumber = static_cast<DWORD>(st.st_dev);
  info->nFileSizeHigh = static_cast<DWORD>(static_cast<uint64_t>(st.st_size) >> 32);
  info->nFileSizeLow = static_cast<DWORD>(st.st_size);
  info->nNumberOfLinks = static_cast<DWORD>(st.st_nlink);
  info->nFileIndexHigh = static_cast<DWORD>(static_cast<uint64_t>(st.st_ino) >> 32);
  info->nFileIndexLow = static_cast<DWORD>(st.st_ino);
  return TRUE;
}

// SetEndOfFile - cuts or extends the file at the file pointer; needs write access.
BOOL hostimpl::plain::SetEndOfFile(HANDLE file) {
  if (DWORD error = hostimpl::CountCall(HostOp::SetEndOfFile)) return Fail(error);
  HostFile* f = AsFile(file);
  if (!f) return Fail(ERROR_INVALID_HANDLE);
  if (!f->canWrite) return Fail(ERROR_ACCESS_DENIED);
  hostimpl::NoteUnflushedChange(f->fd, f->dev, f->ino);
  off_t position = lseek(f->fd, 0, SEEK_CUR);
  if (position < 0 || ftruncate(f->fd, position) != 0) return Fail(hostimpl::ErrnoToError(errno));
  return TRUE;
}

// FlushFileBuffers - writes the file's data and metadata to the device; as on Windows
// the handle needs write access.
BOOL hostimpl::plain::FlushFileBuffers(HANDLE file) {
  if (DWORD error = hostimpl::CountCall(HostOp::FlushFile)) return Fail(error);
  HostFile* f = AsFile(file);
  if (!f) return Fail(ERROR_INVALID_HANDLE);
  if (!f->canWrite) return Fail(ERROR_ACCESS_DENIED);
  while (fsync(f->fd) != 0) {
    if (errno != EINTR) return Fail(hostimpl::ErrnoToError(errno));
  }
  hostimpl::NoteFlush(f->dev, f->ino);
  return TRUE;
}

// LockFileEx - locks a byte range (offset from overlapped) for this handle, against
// every other handle of this and other processes (open-file-description locks, so two
// handles of one process exclude each other as on Windows). Without
// LOCKFILE_FAIL_IMMEDIATELY the call waits. As on Windows, a range of this handle may
// only overlap another of its ranges when both are shared; where Windows would then
// wait for itself forever, this fails with ERROR_LOCK_VIOLATION. A zero-length range
// locks nothing but must be unlocked like any other. A shared lock needs read access
// on the host (ERROR_ACCESS_DENIED on a write-only handle).
BOOL hostimpl::plain::LockFileEx(HANDLE file, DWORD flags, DWORD reserved, DWORD bytesLow,
                                 DWORD bytesHigh, LPOVERLAPPED overlapped) {
  if (DWORD error = hostimpl::CountCall(HostOp::LockFile)) return Fail(error);
  HostFile* f = AsFile(file);
  if (!f) return Fail(ERROR_INVALID_HANDLE);
  if (reserved || !overlapped || (flags & ~(LOCKFILE_FAIL_IMMEDIATELY | LOCKFILE_EXCLUSIVE_LOCK))) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (!f->canRead && !f->canWrite) return Fail(ERROR_ACCESS_DENIED);
  LockRange range{(static_cast<uint64_t>(overlapped->OffsetHigh) << 32) | overlapped->Offset,
                  (static_cast<uint64_t>(bytesHigh) << 32) | bytesLow,
                  (flags & LOCKFILE_EXCLUSIVE_LOCK) != 0};
  {
    std::lock_guard<std::mutex> lock(f->lockMutex);
    for (const LockRange& held : f->locks) {
      if (Overlap(held, range.offset, range.length) && (held.exclusive || range.exclusive)) {
        return Fail(ERROR_LOCK_VIOLATION);
      }
    }
  }
  if (range.length != 0) {
    struct flock fl = ToFlock(range.offset, range.length, range.exclusive ? F_WRLCK : F_RDLCK);
    int cmd = (flags & LOCKFILE_FAIL_IMMEDIATELY) ? F_OFD_SETLK : F_OFD_SETLKW;
    while (fcntl(f->fd, cmd, &fl) != 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EACCES) return Fail(ERROR_LOCK_VIOLATION);
      if (errno == EBADF) return Fail(ERROR_ACCESS_DENIED);
      return Fail(hostimpl::ErrnoToError(errno));
    }
  }
  std::lock_guard<std::mutex> lock(f->lockMutex);
  f->locks.push_back(range);
  return TRUE;
}

// UnlockFileEx - releases a range locked through this handle; offset and length must
// match a LockFileEx exactly, else ERROR_NOT_LOCKED.
BOOL hostimpl::plain::UnlockFileEx(HANDLE file, DWORD reserved, DWORD bytesLow, DWORD bytesHigh,
                                   LPOVERLAPPED overlapped) {
  HostFile* f = AsFile(file);
  if (!f) return Fail(ERROR_INVALID_HANDLE);
  if (reserved || !overlapped) return Fail(ERROR_INVALID_PARAMETER);
  uint64_t offset = (static_cast<uint64_t>(overlapped->OffsetHigh) << 32) | overlapped->Offset;
  uint64_t length = (static_cast<uint64_t>(bytesHigh) << 32) | bytesLow;
  std::lock_guard<std::mutex> lock(f->lockMutex);
  auto it = std::find_if(f->locks.begin(), f->locks.end(), [&](const LockRange& r) {
    return r.offset == offset && r.length == length;
  });
  if (it == f->locks.end()) return Fail(hostimpl::kErrorNotLocked);
  f->locks.erase(it);
  if (length == 0) return TRUE;
  struct flock fl = ToFlock(offset, length, F_UNLCK);
  if (fcntl(f->fd, F_OFD_SETLK, &fl) != 0) return Fail(hostimpl::ErrnoToError(errno));
  // The host merges overlapping shared ranges of one handle; put back the parts that
  // other ranges of this handle still hold.
  for (const LockRange& r : f->locks) {
    if (!Overlap(r, offset, length)) continue;
    struct flock again = ToFlock(r.offset, r.length, r.exclusive ? F_WRLCK : F_RDLCK);
    fcntl(f->fd, F_OFD_SETLK, &again);
  }
  return TRUE;
}

// CloseHandle - closes a file or token handle. Null, INVALID_HANDLE_VALUE, a closed
// handle or anything else fails with ERROR_INVALID_HANDLE.
BOOL hostimpl::plain::CloseHandle(HANDLE object) {
  if (hostimpl::IsTokenHandle(object)) return hostimpl::CloseTokenHandle(object);
  if (hostimpl::HandleMagic(object) != hostimpl::kFileMagic) return Fail(ERROR_INVALID_HANDLE);
  auto* f = static_cast<HostFile*>(object);
  uint32_t expected = hostimpl::kFileMagic;
  if (!f->magic.compare_exchange_strong(expected, 0)) return Fail(ERROR_INVALID_HANDLE);
  std::lock_guard<std::mutex> lock(g_tableMutex);
  auto live = std::find(g_open.begin(), g_open.end(), f);
  if (live != g_open.end()) g_open.erase(live);
  {
    std::lock_guard<std::mutex> rangeLock(f->lockMutex);
    f->locks.clear();
  }
  close(f->fd);  // also drops the handle's byte-range locks
  f->fd = -1;
  g_free.push_back(f);
  hostimpl::AddOpenHandle(-1);
  return TRUE;
}

// CreateDirectoryW - creates one directory. ERROR_ALREADY_EXISTS when anything exists
// there; ERROR_PATH_NOT_FOUND for a missing parent or an empty path; a volume root
// ("C:\", "\", "\\srv\share") fails with ERROR_ACCESS_DENIED, while "C:" alone is the
// current directory of drive C and so usually exists. A trailing backslash is allowed.
// Without the long-path opt-in Windows limits the path to 248 characters in its NT form
// ("\??\C:\..."), failing with ERROR_FILENAME_EXCED_RANGE. The new directory belongs
// to the process's account, and the layer keeps the descriptor it was given
// (HostGetFileSecurity); a descriptor the layer did not make is
// ERROR_INVALID_SECURITY_DESCR.
BOOL hostimpl::plain::CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security) {
  if (DWORD error = hostimpl::CountCall(HostOp::CreateDirectory)) return Fail(error);
  if (!path) return Fail(ERROR_PATH_NOT_FOUND);
  std::optional<std::u16string> descriptor;
  if (DWORD error = hostimpl::DescriptorText(security, &descriptor)) return Fail(error);
  hostimpl::ResolvedPath target = hostimpl::ResolvePath(hostimpl::ToU16(path));
  if (target.error) return Fail(target.error);
  size_t ntLength = target.fullLength + (target.unc ? 6 : 4);
  if (ntLength > MAX_PATH - 12) return Fail(ERROR_FILENAME_EXCED_RANGE);
  if (target.isVolumeRoot) {
    return Fail(IsDirectory(target.volume) ? ERROR_ACCESS_DENIED : ERROR_PATH_NOT_FOUND);
  }
  if (mkdir(target.host.c_str(), 0777) != 0) {
    if (errno == EEXIST) return Fail(ERROR_ALREADY_EXISTS);
    return Fail(hostimpl::ErrnoToError(errno));
  }
  hostimpl::RecordNewFile(target.host, descriptor);
  return TRUE;
}

// GetFileAttributesW - FILE_ATTRIBUTE_DIRECTORY for a directory; a file shows
// FILE_ATTRIBUTE_ARCHIVE (set on every new file by Windows), plus
// FILE_ATTRIBUTE_READONLY when its owner may not write it. A symbolic link is a reparse
// point, as a junction or symbolic link is on Windows: FILE_ATTRIBUTE_REPARSE_POINT,
// with FILE_ATTRIBUTE_DIRECTORY when it leads to a directory.
DWORD hostimpl::plain::GetFileAttributesW(LPCWSTR path) {
  hostimpl::ResolvedPath target = hostimpl::ResolvePath(hostimpl::ToU16(path));
  DWORD error = target.error;
  if (!error && target.fullLength >= MAX_PATH) error = ERROR_PATH_NOT_FOUND;
  struct stat st;
  DWORD reparse = 0;
  if (!error && lstat(target.host.c_str(), &st) != 0) {
    error = errno == ENOENT ? MissingError(target) : hostimpl::ErrnoToError(errno);
  } else if (!error && S_ISLNK(st.st_mode)) {
    reparse = FILE_ATTRIBUTE_REPARSE_POINT;
    struct stat to;
    if (stat(target.host.c_str(), &to) == 0) st = to;  // a link to nothing is still one
  }
  if (!error && target.trailingSeparator && !S_ISDIR(st.st_mode)) error = ERROR_INVALID_NAME;
  if (error) {
    hostimpl::SetError(error);
    return INVALID_FILE_ATTRIBUTES;
  }
  if (S_ISDIR(st.st_mode)) return FILE_ATTRIBUTE_DIRECTORY | reparse;
  return reparse | kFileAttributeArchive | ((st.st_mode & S_IWUSR) ? 0 : FILE_ATTRIBUTE_READONLY);
}

// MoveFileExW - renames a file or directory within one volume, atomically. An existing
// target fails with ERROR_ALREADY_EXISTS unless MOVEFILE_REPLACE_EXISTING; a directory
// target, or one any handle holds open, with ERROR_ACCESS_DENIED: Windows replaces only
// a file nobody has open, whatever the handles share. A source
// held open without FILE_SHARE_DELETE fails with ERROR_SHARING_VIOLATION. Moving to
// another drive or share fails with ERROR_NOT_SAME_DEVICE (no MOVEFILE_COPY_ALLOWED).
// Renaming a file to another case of its own name changes the case.
BOOL hostimpl::plain::MoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags) {
  if (DWORD error = hostimpl::CountCall(HostOp::MoveFile)) return Fail(error);
  if (!from || !to || (flags & ~(MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  hostimpl::ResolvedPath src = hostimpl::ResolvePath(hostimpl::ToU16(from));
  if (src.error) return Fail(src.error);
  hostimpl::ResolvedPath dst = hostimpl::ResolvePath(hostimpl::ToU16(to));
  if (dst.error) return Fail(dst.error);
  if (src.fullLength >= MAX_PATH || dst.fullLength >= MAX_PATH) return Fail(ERROR_PATH_NOT_FOUND);
  std::lock_guard<std::mutex> lock(g_tableMutex);
  struct stat srcStat;
  if (lstat(src.host.c_str(), &srcStat) != 0) {
    return Fail(errno == ENOENT ? MissingError(src) : hostimpl::ErrnoToError(errno));
  }
  if (src.isVolumeRoot || dst.isVolumeRoot) return Fail(ERROR_ACCESS_DENIED);
  if (src.volumeKey != dst.volumeKey) return Fail(hostimpl::kErrorNotSameDevice);
  if (HeldWithoutDeleteSharing(srcStat)) return Fail(ERROR_SHARING_VIOLATION);
  std::string destination = dst.host;
  struct stat dstStat;
  if (lstat(dst.host.c_str(), &dstStat) == 0) {
    if (dstStat.st_dev == srcStat.st_dev && dstStat.st_ino == srcStat.st_ino) {
      destination = dst.parent + "/" + dst.givenName;  // same entry: a change of case
    } else if (!(flags & MOVEFILE_REPLACE_EXISTING)) {
      return Fail(ERROR_ALREADY_EXISTS);
    } else if (S_ISDIR(dstStat.st_mode) || S_ISDIR(srcStat.st_mode) || HeldOpen(dstStat)) {
      return Fail(ERROR_ACCESS_DENIED);
    }
  } else if (errno != ENOENT) {
    return Fail(hostimpl::ErrnoToError(errno));
  }
  if (rename(src.host.c_str(), destination.c_str()) != 0) {
    int error = errno;
    if (error == ENOENT) return Fail(ERROR_PATH_NOT_FOUND);  // the target's directory
    if (error == EINVAL || error == ENOTEMPTY || error == EISDIR) return Fail(ERROR_ACCESS_DENIED);
    return Fail(hostimpl::ErrnoToError(error));
  }
  if (flags & MOVEFILE_WRITE_THROUGH) {
    int dir = open(dst.parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
      fsync(dir);
      close(dir);
    }
  }
  return TRUE;
}

// DeleteFileW - removes a file. A directory or a read-only file fails with
// ERROR_ACCESS_DENIED, a file held open without FILE_SHARE_DELETE with
// ERROR_SHARING_VIOLATION. With FILE_SHARE_DELETE the name goes at once and open
// handles keep working, as with the POSIX delete semantics of current Windows.
BOOL hostimpl::plain::DeleteFileW(LPCWSTR path) {
  hostimpl::ResolvedPath target = hostimpl::ResolvePath(hostimpl::ToU16(path));
  if (target.error) return Fail(target.error);
  if (target.fullLength >= MAX_PATH) return Fail(ERROR_PATH_NOT_FOUND);
  std::lock_guard<std::mutex> lock(g_tableMutex);
  struct stat st;
  if (lstat(target.host.c_str(), &st) != 0) {
    return Fail(errno == ENOENT ? MissingError(target) : hostimpl::ErrnoToError(errno));
  }
  if (target.trailingSeparator && !S_ISDIR(st.st_mode)) return Fail(ERROR_INVALID_NAME);
  if (S_ISDIR(st.st_mode) || !(st.st_mode & S_IWUSR)) return Fail(ERROR_ACCESS_DENIED);
  if (HeldWithoutDeleteSharing(st)) return Fail(ERROR_SHARING_VIOLATION);
  if (unlink(target.host.c_str()) != 0) return Fail(hostimpl::ErrnoToError(errno));
  return TRUE;
}

// HostReadFile - the whole file as a reader that shares everything would see it, for
// tests: refused with ERROR_SHARING_VIOLATION while a handle holds the file without
// read sharing, as CreateFileW(GENERIC_READ) would be. Neither counted nor faulted.
bool HostReadFile(const std::u16string& windowsPath, std::vector<uint8_t>* bytes, DWORD* error) {
  bytes->clear();
  *error = 0;
  hostimpl::ResolvedPath target = hostimpl::ResolvePath(windowsPath);
  if (target.error) {
    *error = target.error;
    return false;
  }
  std::lock_guard<std::mutex> lock(g_tableMutex);
  int fd = open(target.host.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = OpenError(errno, target);
    return false;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    *error = ERROR_ACCESS_DENIED;
  } else if (SharingConflict(st.st_dev, st.st_ino, true, false, false,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)) {
    *error = ERROR_SHARING_VIOLATION;
  } else {
    uint8_t chunk[65536];
    ssize_t got;
    while ((got = read(fd, chunk, sizeof chunk)) > 0) bytes->insert(bytes->end(), chunk, chunk + got);
    if (got < 0) *error = hostimpl::ErrnoToError(errno);
  }
  close(fd);
  return *error == 0;
}
