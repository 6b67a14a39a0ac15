// SPDX-License-Identifier: Apache-2.0
// The overlay file: created in register mode with the job's OverlayHeaderRecord at its
// start, and its body (everything behind the header) copied to the printer or a file.
#include "overlay/overlay.h"

#include "core/bounded_text.h"

// The body is copied through one stack buffer of this size: no allocation per copy,
// and the printer sees chunks no larger than this.
#define OVERLAY_CHUNK_BYTES 256

// The overlay path as a terminated text. overlayPath is the record's field of
// OVERLAY_PATH_CHARS characters and is read only within it: a path that fills the
// field without a terminator is cut at the field's end (all of its characters kept)
// rather than run on into whatever follows the record in memory.
static void TakeOverlayPath(WCHAR (&path)[OVERLAY_PATH_CHARS + 1], const WCHAR* overlayPath) {
  CopyBoundedText(path, OVERLAY_PATH_CHARS + 1, overlayPath, OVERLAY_PATH_CHARS);
}

HANDLE CreateOverlayFile(const WCHAR* overlayPath, const OverlayHeaderRecord* header) {
  WCHAR path[OVERLAY_PATH_CHARS + 1];
  TakeOverlayPath(path, overlayPath);
  HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                            FILE_FLAG_SEQUENTIAL_SCAN, NULL);
  if (file == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
  // A file just created or emptied is already at offset 0; the seek only states it.
  SetFilePointer(file, 0, NULL, FILE_BEGIN);
  // A header not written whole would put the body where later copies skip it, and a
  // shifted body is worse than none.
  DWORD written = 0;
  if (!WriteFile(file, header, sizeof(*header), &written, NULL) || written != sizeof(*header)) {
    CloseHandle(file);
    return INVALID_HANDLE_VALUE;
  }
  return file;
}

// Copies the overlay body to the printer (toPrinter) or to an open file. The overlay
// is opened without sharing, so an overlay being recorded or copied by another job
// cannot be read. Returns the result of the last write, FALSE when nothing was written.
static BOOL CopyOverlayBody(HANDLE destination, BOOL toPrinter, const WCHAR* overlayPath) {
  WCHAR path[OVERLAY_PATH_CHARS + 1];
  TakeOverlayPath(path, overlayPath);
  HANDLE overlay = CreateFileW(path, GENERIC_READ, 0, NULL, OPEN_EXISTING,
                               FILE_FLAG_SEQUENTIAL_SCAN, NULL);
  if (overlay == INVALID_HANDLE_VALUE) return FALSE;

  BOOL result = FALSE;
  // Reading from where a failed seek left us would send the header as body.
  if (SetFilePointer(overlay, sizeof(OverlayHeaderRecord), NULL, FILE_BEGIN) !=
      INVALID_SET_FILE_POINTER) {
    uint8_t chunk[OVERLAY_CHUNK_BYTES];
    for (;;) {
      DWORD got = 0;
      if (!ReadFile(overlay, chunk, sizeof(chunk), &got, NULL) || got == 0) break;
      // A failed write does not end the copy; only the last write decides the result.
      DWORD written = 0;
      if (toPrinter) {
        result = WritePrinter(destination, chunk, got, &written);
      } else {
        result = WriteFile(destination, chunk, got, &written, NULL);
      }
    }
  }
  CloseHandle(overlay);
  return result;
}

BOOL CopyOverlayToPrinter(HANDLE printer, const WCHAR* overlayPath) {
  return CopyOverlayBody(printer, TRUE, overlayPath);
}

BOOL CopyOverlayToFile(HANDLE file, const WCHAR* overlayPath) {
  if (file == INVALID_HANDLE_VALUE) return FALSE;
  return CopyOverlayBody(file, FALSE, overlayPath);
}
