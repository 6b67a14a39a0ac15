// SPDX-License-Identifier: Apache-2.0
// Archive file creation and header: the new ".RUD" file with any missing directories,
// the header written at creation, and the header completed at the end of the job.
#include "archive/archive.h"
#include "core/bounded_text.h"

static const WCHAR kCreateFailedText[] = WTEXT("ファイルの作成に失敗しました。");
static const WCHAR kBackslash = 0x005C;

// CREATE_NEW, never opening an existing file: a file of the chosen name that appeared
// after the existence test (another job's archive, finished or still being written) is
// left to its owner instead of being overwritten from its start with its old tail
// left behind; this job then takes the next number, or gets the creation warning.
static HANDLE CreateNewArchive(const WCHAR* path) {
  return CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_NEW,
                     FILE_FLAG_RANDOM_ACCESS, NULL);
}

// Where the directory walk starts: behind "\\server\share\" for a UNC directory (a
// server or share cannot be created, and the prefix before the first backslash of such a
// path is empty), else at the start. Past the end when the directory is only a share.
static size_t FirstPrefixEnd(const WCHAR* directory, size_t length) {
  if (length < 2 || directory[0] != kBackslash || directory[1] != kBackslash) return 0;
  int separators = 0;
  for (size_t i = 2; i < length; ++i) {
    if (directory[i] == kBackslash && ++separators == 2) return i + 1;
  }
  return length + 1;
}

// Hands every prefix of the directory that ends before a backslash, and the whole
// directory last, to CreateDirectoryW. TRUE when the walk got through and the last
// directory is there: created by this call, or reported as existing. A directory that
// exists may have been created by another job a moment ago; if the path is still not
// found then, the missing piece lies in the file name and the second attempt fails.
// Existing directories and drives (ERROR_ALREADY_EXISTS, or ERROR_ACCESS_DENIED for a
// drive root) are passed over; any other error ends the walk. The empty prefix before a
// leading backslash names nothing and is skipped.
static BOOL CreateArchiveDirectories(const WCHAR* directory) {
  WCHAR prefix[ARCHIVE_PREFIX_CHARS];
  size_t length = BoundedTextLength(directory, ARCHIVE_TEXT_CHARS);
  BOOL lastThere = FALSE;
  for (size_t end = FirstPrefixEnd(directory, length); end <= length; ++end) {
    if (end < length && directory[end] != kBackslash) continue;
    if (end == 0) continue;
    // Only a directory that fills its whole field has no room for the terminator of
    // its last prefix, and its path was already refused as too long.
    if (end >= ARCHIVE_PREFIX_CHARS) return FALSE;
    CopyBoundedText(prefix, ARCHIVE_PREFIX_CHARS, directory, end);
    lastThere = CreateDirectoryW(prefix, NULL);
    if (lastThere) continue;
    DWORD error = GetLastError();
    if (error == ERROR_ALREADY_EXISTS) {
      lastThere = TRUE;
    } else if (error != ERROR_ACCESS_DENIED) {
      return FALSE;
    }
  }
  return lastThere;
}

static HANDLE FailArchiveCreation(void) {
  ShowArchiveWarning(kCreateFailedText);
  return INVALID_HANDLE_VALUE;
}

// Creates the archive file at path (never opening an existing one), creating the missing
// directories of the directory field first when the path is not found. The last error
// tells why it failed.
static HANDLE TryCreateArchiveFile(const WCHAR* path, const WCHAR* directory) {
  HANDLE file = CreateNewArchive(path);
  if (file != INVALID_HANDLE_VALUE) return file;
  // Only a missing path is worth creating directories for. ERROR_FILE_EXISTS (the name
  // was taken after it was chosen) and every other error end here.
  if (GetLastError() != ERROR_PATH_NOT_FOUND) return INVALID_HANDLE_VALUE;
  if (!CreateArchiveDirectories(directory)) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  return CreateNewArchive(path);
}

// Puts the header over the first bytes of the file; TRUE when all of it is there.
// When the file pointer cannot be moved to the start, the header is not written at
// all: written where the pointer stands (behind the data at the end of the job) it
// would add 380 bytes to the print data that a reprint would send to the printer.
static BOOL WriteArchiveHeader(HANDLE file, const ArchiveHeaderRecord* header) {
  if (SetFilePointer(file, 0, NULL, FILE_BEGIN) == INVALID_SET_FILE_POINTER) return FALSE;
  DWORD written = 0;
  return WriteFile(file, header, sizeof(*header), &written, NULL) && written == sizeof(*header);
}

HANDLE OpenArchiveFile(const WCHAR* directory, const WCHAR* fileName, const WCHAR* documentName,
                       const ArchiveHeaderRecord* header) {
  // Each round either succeeds, fails, or moves to a higher number: at most 101 rounds.
  int candidate = ARCHIVE_PLAIN_NAME;
  for (;;) {
    WCHAR* path = ChooseArchivePathFrom(directory, fileName, documentName, &candidate);
    if (path == NULL) return INVALID_HANDLE_VALUE;
    HANDLE file = TryCreateArchiveFile(path, directory);
    BOOL taken = file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS;
    if (file != INVALID_HANDLE_VALUE && !WriteArchiveHeader(file, header)) {
      // Data written behind a missing or partial header would start where the header
      // belongs, and the header rewrite at the end of the job would overwrite it. The
      // file holds nothing yet and was made by this job: it goes, and frees the name.
      CloseHandle(file);
      DeleteFileW(path);
      file = INVALID_HANDLE_VALUE;
    }
    GlobalFree(path);
    if (file != INVALID_HANDLE_VALUE) return file;
    // A name the plug-in made up gives way to the next number; the user's own name is
    // never replaced by another.
    if (!taken || candidate == ARCHIVE_EXPLICIT_NAME) return FailArchiveCreation();
    candidate++;
  }
}

void FinishArchiveFile(HANDLE* file, ArchiveHeaderRecord* header, uint32_t pageCount) {
  if (*file == INVALID_HANDLE_VALUE) return;
  header->totalPages = pageCount;
  // A failed rewrite is not reported: the data keeps its place behind the header as
  // first written, and the job goes on.
  WriteArchiveHeader(*file, header);
  CloseHandle(*file);
  // Marked closed, so that a later end or abort of the same job neither writes to the
  // handle nor closes it again.
  *file = INVALID_HANDLE_VALUE;
}
