// SPDX-License-Identifier: Apache-2.0
// Archive file naming: the document name from the spooler, the existence test, the
// file-name-safe copy of a document name, and the choice of the job's ".RUD" path.
#include "archive/archive.h"
#include "core/bounded_text.h"
#include "core/spooler_info.h"

static const WCHAR kArchiveExtension[] = WTEXT(".RUD");
static const WCHAR kPathSeparator[] = WTEXT("\\");
static const WCHAR kNumberFormat[] = WTEXT("%02d");

static const WCHAR kPathTooLongText[] = WTEXT("フルパスが長すぎます。");
static const WCHAR kFileExistsText[] =
    WTEXT("ﾌｧｲﾙ名がすでに存在するため Sheafmark 保存は中止します。");
static const WCHAR kNamesExhaustedText[] =
    WTEXT("ファイルがいっぱいになりました。\nファイルの作成に失敗しました。");

struct ReplacedChar {
  WCHAR from;
  WCHAR to;
};

// Characters that Windows does not allow in a file name, or that would split the name,
// and the full-width characters that stand for them; searched in this order.
static const ReplacedChar kReplacedChars[] = {
    {0x005C, 0xFFE5},  // reverse solidus -> full-width yen sign
    {0x002F, 0xFF0F},  // solidus
    {0x003A, 0xFF1A},  // colon
    {0x002C, 0xFF0C},  // comma
    {0x003B, 0xFF1B},  // semicolon
    {0x002A, 0xFF0A},  // asterisk
    {0x003F, 0xFF1F},  // question mark
    {0x0022, 0x201D},  // quotation mark -> right double quotation mark
    {0x003C, 0xFF1C},  // less-than sign
    {0x003E, 0xFF1E},  // greater-than sign
    {0x007C, 0xFF5C},  // vertical line
};

void ShowArchiveWarning(const WCHAR* text) { MessageBoxW(NULL, text, NULL, MB_ICONWARNING); }

BOOL GetJobDocumentName(HANDLE printer, DWORD jobId, WCHAR* documentName) {
  JOB_INFO_2W* info = QueryJobInfo(printer, jobId);
  if (info == NULL) return FALSE;
  BOOL found = FALSE;
  if (info->pDocument != NULL && info->pDocument[0] != 0) {
    // Longer names are cut to their first 255 characters; the last character of the
    // caller's buffer stays the terminator.
    CopyBoundedText(documentName, DOCUMENT_NAME_CHARS, info->pDocument,
                    DOCUMENT_NAME_CHARS - 1);
    found = TRUE;
  }
  GlobalFree(info);
  return found;
}

BOOL ArchiveFileExists(const WCHAR* path) {
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                            FILE_FLAG_SEQUENTIAL_SCAN, NULL);
  if (file == INVALID_HANDLE_VALUE) return FALSE;
  CloseHandle(file);
  return TRUE;
}

void ReplaceFileNameChars(const WCHAR* source, size_t sourceChars, WCHAR* destination,
                          size_t destinationChars) {
  size_t length = CopyBoundedText(destination, destinationChars, source, sourceChars);
  for (size_t i = 0; i < length; ++i) {
    for (const ReplacedChar& pair : kReplacedChars) {
      if (destination[i] == pair.from) {
        destination[i] = pair.to;
        break;
      }
    }
  }
}

// Puts the text of a field (read within fieldChars, terminator or not) at position
// length of the path buffer; returns the path's new length. The buffer's size leaves
// room for every composition, so nothing is ever cut here.
static size_t PutPathText(WCHAR* path, size_t length, const WCHAR* text, size_t textChars) {
  return length + CopyBoundedText(path + length, ARCHIVE_PATH_CHARS - length, text, textChars);
}

// Directory, separator and base name; returns the length, where a number would go.
// The separator is always inserted, also behind a directory that ends in one.
// A record field without a terminator is cut at the end of its 256 characters, never
// read past; such a path is always longer than the limit, so the job is refused by
// the length test (with the warning where the explicit name is used).
static size_t ComposeBase(WCHAR* path, const WCHAR* directory, const WCHAR* name,
                          size_t nameChars) {
  size_t length = PutPathText(path, 0, directory, ARCHIVE_TEXT_CHARS);
  length = PutPathText(path, length, kPathSeparator, 1);
  return PutPathText(path, length, name, nameChars);
}

static size_t PutExtension(WCHAR* path, size_t length) {
  return PutPathText(path, length, kArchiveExtension, 4);
}

// The explicit name is the user's own: taken as it is, never numbered, and an existing
// file of that name is never touched.
static BOOL ChooseExplicitPath(WCHAR* path, const WCHAR* directory, const WCHAR* fileName) {
  size_t length = PutExtension(path, ComposeBase(path, directory, fileName, ARCHIVE_TEXT_CHARS));
  if (length > ARCHIVE_PATH_LIMIT) {
    ShowArchiveWarning(kPathTooLongText);
    return FALSE;
  }
  if (ArchiveFileExists(path)) {
    ShowArchiveWarning(kFileExistsText);
    return FALSE;
  }
  return TRUE;
}

// The document name, made fit for a file name, then numbered 00 to 99 while taken.
// Only the unnumbered path is measured, so a numbered one may be two characters longer
// than the limit. The choice starts at *candidate (the plain name, or a number when the
// name chosen before was taken meanwhile) and leaves the chosen candidate there.
static BOOL ChooseDocumentPath(WCHAR* path, WCHAR* replaced, WCHAR* number,
                               const WCHAR* directory, const WCHAR* documentName,
                               int* candidate) {
  ReplaceFileNameChars(documentName, DOCUMENT_NAME_CHARS, replaced, ARCHIVE_NAME_CHARS);
  size_t insertion = ComposeBase(path, directory, replaced, ARCHIVE_NAME_CHARS);
  if (PutExtension(path, insertion) > ARCHIVE_PATH_LIMIT) return FALSE;  // no warning
  if (*candidate == ARCHIVE_PLAIN_NAME && !ArchiveFileExists(path)) return TRUE;
  for (int n = *candidate < 0 ? 0 : *candidate; n < ARCHIVE_NUMBERED_NAMES; ++n) {
    wsprintfW(number, kNumberFormat, n);
    PutExtension(path, PutPathText(path, insertion, number, ARCHIVE_NUMBER_CHARS));
    if (!ArchiveFileExists(path)) {
      *candidate = n;
      return TRUE;
    }
  }
  ShowArchiveWarning(kNamesExhaustedText);
  return FALSE;
}

WCHAR* ChooseArchivePathFrom(const WCHAR* directory, const WCHAR* fileName,
                             const WCHAR* documentName, int* candidate) {
  WCHAR* path = (WCHAR*)GlobalAlloc(GMEM_FIXED, ARCHIVE_PATH_CHARS * sizeof(WCHAR));
  WCHAR* replaced = NULL;
  WCHAR* number = NULL;
  if (path != NULL) replaced = (WCHAR*)GlobalAlloc(GMEM_FIXED, ARCHIVE_NAME_CHARS * sizeof(WCHAR));
  if (replaced != NULL) number = (WCHAR*)GlobalAlloc(GMEM_FIXED, ARCHIVE_NUMBER_CHARS * sizeof(WCHAR));

  BOOL chosen = FALSE;
  if (number != NULL) {
    if (BoundedTextLength(fileName, ARCHIVE_TEXT_CHARS) != 0) {
      *candidate = ARCHIVE_EXPLICIT_NAME;
      chosen = ChooseExplicitPath(path, directory, fileName);
    } else {
      chosen = ChooseDocumentPath(path, replaced, number, directory, documentName, candidate);
    }
  }

  if (number != NULL) GlobalFree(number);
  if (replaced != NULL) GlobalFree(replaced);
  if (!chosen && path != NULL) {
    GlobalFree(path);
    path = NULL;
  }
  return path;
}

WCHAR* ChooseArchivePath(const WCHAR* directory, const WCHAR* fileName,
                         const WCHAR* documentName) {
  int candidate = ARCHIVE_PLAIN_NAME;
  return ChooseArchivePathFrom(directory, fileName, documentName, &candidate);
}
