// Archive file creation and header: the new ".RUD" file with any missing directories,
// the header written at creation, and the header completed at the end of the job.
#include "archive/archive.h"
#include "core/bounded_text.h"

static const WCHAR kCreateFailedText[] = WTEXT("ファイルの作成に失敗しました。");
static const WCHAR kBackslash = 0x005C;

// CREATE_NEW, never opening an existing file: a file of the chosen name that appeared
// after the existence test (another job's archive, finished or still being written) is
// left to its owner instead of being overwritten from its start with its old tail
// left behind; this job then gets the creation warning.
static HANDLE CreateNewArchive(const WCHAR* path) {
  return CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_NEW,
                     FILE_FLAG_RANDOM_ACCESS, NULL);
}

// Hands every prefix of the directory that ends before a backslash, and the whole
// directory last, to CreateDirectoryW. TRUE only when the walk got through and the
// last prefix was created by this call: a last directory that already existed means the
// missing piece lies elsewhere (in the file name), so a second attempt would fail too.
// Existing directories and drives (ERROR_ALREADY_EXISTS, or ERROR_ACCESS_DENIED for a
// drive root) are passed over; any other error ends the walk.
static BOOL CreateArchiveDirectories(const WCHAR* directory) {
  WCHAR prefix[ARCHIVE_PREFIX_CHARS];
  size_t length = BoundedTextLength(directory, ARCHIVE_TEXT_CHARS);
  BOOL lastCreated = FALSE;
  for (size_t end = 0; end <= length; ++end) {
    if (end < length && directory[end] != kBackslash) continue;
    // Only a directory that fills its whole field has no room for the terminator of
    // its last prefix, and its path was already refused as too long.
    if (end >= ARCHIVE_PREFIX_CHARS) return FALSE;
    CopyBoundedText(prefix, ARCHIVE_PREFIX_CHARS, directory, end);
    if (CreateDirectoryW(prefix, NULL)) {
      lastCreated = TRUE;
      continue;
    }
    DWORD error = GetLastError();
    if (error != ERROR_ALREADY_EXISTS && error != ERROR_ACCESS_DENIED) return FALSE;
    lastCreated = FALSE;
  }
  return lastCreated;
}

static HANDLE FailArchiveCreation(void) {
  ShowArchiveWarning(kCreateFailedText);
  return INVALID_HANDLE_VALUE;
}

HANDLE CreateArchiveFile(const WCHAR* path, const WCHAR* directory) {
  HANDLE file = CreateNewArchive(path);
  if (file != INVALID_HANDLE_VALUE) return file;
  // Only a missing path is worth creating directories for. ERROR_FILE_EXISTS (the name
  // was taken after it was chosen) and every other error end here.
  if (GetLastError() != ERROR_PATH_NOT_FOUND) return FailArchiveCreation();
  if (!CreateArchiveDirectories(directory)) return FailArchiveCreation();
  file = CreateNewArchive(path);
  if (file == INVALID_HANDLE_VALUE) return FailArchiveCreation();
  return file;
}

// Puts the header over the first bytes of the file. A failed write is not reported:
// the data still has its place behind the header, and the job goes on. When the file
// pointer cannot be moved to the start, the header is not written at all: written
// where the pointer stands (behind the data at the end of the job) it would add 380
// bytes to the print data that a reprint would send to the printer.
static void WriteArchiveHeader(HANDLE file, const ArchiveHeaderRecord* header) {
  if (SetFilePointer(file, 0, NULL, FILE_BEGIN) == INVALID_SET_FILE_POINTER) return;
  DWORD written = 0;
  WriteFile(file, header, sizeof(*header), &written, NULL);
}

HANDLE OpenArchiveFile(const WCHAR* directory, const WCHAR* fileName, const WCHAR* documentName,
                       const ArchiveHeaderRecord* header) {
  WCHAR* path = ChooseArchivePath(directory, fileName, documentName);
  if (path == NULL) return INVALID_HANDLE_VALUE;
  HANDLE file = CreateArchiveFile(path, directory);
  GlobalFree(path);
  if (file != INVALID_HANDLE_VALUE) WriteArchiveHeader(file, header);
  return file;
}

void FinishArchiveFile(HANDLE* file, ArchiveHeaderRecord* header, uint32_t pageCount) {
  if (*file == INVALID_HANDLE_VALUE) return;
  header->totalPages = pageCount;
  WriteArchiveHeader(*file, header);
  CloseHandle(*file);
  // Marked closed, so that a later end or abort of the same job neither writes to the
  // handle nor closes it again.
  *file = INVALID_HANDLE_VALUE;
}
