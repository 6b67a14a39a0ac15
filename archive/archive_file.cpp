// Archive file creation and header (placeholder until the archive subsystem lands).
// The job goes on without an archive file, exactly as when creation fails.
#include "archive/archive.h"

BOOL GetJobDocumentName(HANDLE printer, DWORD jobId, WCHAR* documentName) {
  (void)printer;
  (void)jobId;
  (void)documentName;
  return FALSE;
}

HANDLE OpenArchiveFile(const WCHAR* directory, const WCHAR* fileName, const WCHAR* documentName,
                       const ArchiveHeaderRecord* header) {
  (void)directory;
  (void)fileName;
  (void)documentName;
  (void)header;
  return INVALID_HANDLE_VALUE;
}

void FinishArchiveFile(JobContext* context) {
  if (context->archiveFile == INVALID_HANDLE_VALUE) return;
  CloseHandle(context->archiveFile);
  context->archiveFile = INVALID_HANDLE_VALUE;
}
