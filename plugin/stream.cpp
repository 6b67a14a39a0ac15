// SPDX-License-Identifier: Apache-2.0
// The stream state machine behind DrvSplWritePrinter: control records are recognised
// by position (or size and magic), copied into the context, and print data is routed.
//
// The states (JobContext.state), what each takes and where it goes ("on" is
// STATE_FEATURE_RECORD while a record is pending, else STATE_DATA):
//
//   STATE_HEADER          the job's first block, the JobHeaderRecord. Flags 0 ->
//                         STATE_PASS_THROUGH; otherwise the flags but JOB_FLAG_ACCOUNTING
//                         become the pending records -> on.
//   STATE_PASS_THROUGH    every block to the printer, to the end of the job.
//   STATE_FEATURE_RECORD  the next pending record, the overlay's first: the
//                         OverlayControlRecord -> STATE_OVERLAY_HEADER in register mode,
//                         else on; the ArchiveLocationRecord -> STATE_ARCHIVE_HEADER. With
//                         only flags above bit 2 pending, blocks are dropped and it stays.
//   STATE_OVERLAY_HEADER  the OverlayHeaderRecord; the overlay file is created -> on.
//   STATE_ARCHIVE_HEADER  the ArchiveHeaderRecord; the archive file is created -> on.
//   STATE_DATA            print data, to the printer or the archive file, to the end of
//                         the job. A JobLogRecord (accounting jobs) or TailRecord (archive
//                         jobs), known by size and magic, is kept instead; in overlay
//                         jobs blocks go to the overlay file (register mode) or the
//                         overlay is inserted at the marker (raw: each, framed: the first).
#include "plugin/exports.h"
#include "plugin/job_context.h"
#include "plugin/job_handle.h"

#include "archive/archive.h"
#include "overlay/overlay.h"

// Copies a control record from the start of a block. A block shorter than the record
// gives the missing bytes as zeros; it is never read past its end.
// Each record is taken once per job into the zero-filled context, so the bytes a short
// block lacks are already zeros.
static void CopyRecord(void* record, size_t recordSize, const void* data, DWORD size) {
  size_t n = size < recordSize ? size : recordSize;
  if (n > 0) memcpy(record, data, n);
}

static uint32_t LeadingWord(const void* data) {
  uint32_t word;
  memcpy(&word, data, sizeof(word));
  return word;
}

static BOOL IsOverlayMarker(const void* data, DWORD size) {
  return size == sizeof(kOverlayMarker) && memcmp(data, kOverlayMarker, size) == 0;
}

static BOOL WriteToPrinter(JobContext* context, const void* data, DWORD size) {
  DWORD written = 0;
  return WritePrinter(context->printer, (LPVOID)data, size, &written);
}

static BOOL WriteToFile(HANDLE file, const void* data, DWORD size) {
  // A file that was never opened fails like a write to it would, without asking the
  // system to write to the invalid handle value.
  if (file == INVALID_HANDLE_VALUE) return FALSE;
  DWORD written = 0;
  return WriteFile(file, data, size, &written, NULL);
}

static BOOL IsArchived(const JobContext* context) {
  return (context->jobHeader.jobFlags & JOB_FLAG_ARCHIVE) != 0;
}

static BOOL WriteToDestination(JobContext* context, const void* data, DWORD size) {
  if (IsArchived(context)) return WriteToFile(context->archiveFile, data, size);
  return WriteToPrinter(context, data, size);
}

static BOOL CopyOverlayToDestination(JobContext* context) {
  if (IsArchived(context)) {
    return CopyOverlayToFile(context->archiveFile, context->overlayControl.overlayPath);
  }
  return CopyOverlayToPrinter(context->printer, context->overlayControl.overlayPath);
}

// Framed insertion at the first marker: begin command, body, end command, each only
// when the step before it succeeded. Nothing goes to an archive that was never opened.
static void InsertFramedOverlay(JobContext* context) {
  if (IsArchived(context) && context->archiveFile == INVALID_HANDLE_VALUE) return;
  if (!WriteToDestination(context, kOverlayBeginCommand, sizeof(kOverlayBeginCommand))) return;
  if (!CopyOverlayToDestination(context)) return;
  WriteToDestination(context, kOverlayEndCommand, sizeof(kOverlayEndCommand));
}

static uint32_t StateAfterRecords(const JobContext* context) {
  return context->pendingRecords != 0 ? STATE_FEATURE_RECORD : STATE_DATA;
}

static BOOL TakeJobHeader(JobContext* context, const void* data, DWORD size) {
  CopyRecord(&context->jobHeader, sizeof(context->jobHeader), data, size);
  uint32_t flags = context->jobHeader.jobFlags;
  context->pendingRecords = flags & ~JOB_FLAG_ACCOUNTING;
  if (flags == 0) {
    context->state = STATE_PASS_THROUGH;
  } else {
    context->state = StateAfterRecords(context);
  }
  return TRUE;
}

static BOOL TakeFeatureRecord(JobContext* context, const void* data, DWORD size) {
  if ((context->pendingRecords & JOB_FLAG_OVERLAY) != 0) {
    CopyRecord(&context->overlayControl, sizeof(context->overlayControl), data, size);
    context->pendingRecords &= ~JOB_FLAG_OVERLAY;
    if ((context->overlayControl.mode & OVERLAY_MODE_REGISTER) != 0) {
      context->state = STATE_OVERLAY_HEADER;
    } else {
      context->state = StateAfterRecords(context);
    }
  } else if ((context->pendingRecords & JOB_FLAG_ARCHIVE) != 0) {
    CopyRecord(&context->archiveLocation, sizeof(context->archiveLocation), data, size);
    context->pendingRecords &= ~JOB_FLAG_ARCHIVE;
    context->state = STATE_ARCHIVE_HEADER;
  }
  // Otherwise only bits above bit 2 remain: no record clears them, the block is
  // discarded and the job stays here.
  return TRUE;
}

static BOOL TakeOverlayHeader(JobContext* context, const void* data, DWORD size) {
  CopyRecord(&context->overlayHeader, sizeof(context->overlayHeader), data, size);
  context->overlayFile =
      CreateOverlayFile(context->overlayControl.overlayPath, &context->overlayHeader);
  context->state = StateAfterRecords(context);
  return TRUE;
}

static BOOL TakeArchiveHeader(JobContext* context, const void* data, DWORD size) {
  CopyRecord(&context->archiveHeader, sizeof(context->archiveHeader), data, size);
  WCHAR documentName[DOCUMENT_NAME_CHARS];
  memset(documentName, 0, sizeof(documentName));
  const WCHAR* settled = documentName;
  if (!GetJobDocumentName(context->printer, context->jobId, documentName)) {
    settled = context->archiveLocation.documentName;
  }
  context->archiveFile =
      OpenArchiveFile(context->archiveLocation.directory, context->archiveLocation.fileName,
                      settled, &context->archiveHeader);
  context->state = StateAfterRecords(context);
  return TRUE;
}

static void TakeTailRecord(JobContext* context, const void* data) {
  TailRecord tail;
  memcpy(&tail, data, sizeof(tail));
  context->pageCount = tail.tailPages;
  context->archiveHeader.headerFlags |= tail.tailFlags & TAIL_FLAG_HEADER_FLAG;
  context->archiveHeader.tailBit0 = tail.tailFlags & TAIL_FLAG_TAIL_BIT0;
}

static BOOL RouteData(JobContext* context, const void* data, DWORD size) {
  uint32_t flags = context->jobHeader.jobFlags;
  if ((flags & JOB_FLAG_ACCOUNTING) != 0 && size == sizeof(JobLogRecord) &&
      LeadingWord(data) == JOB_LOG_RECORD_MAGIC) {
    memcpy(&context->jobLog, data, sizeof(JobLogRecord));
    return TRUE;
  }
  if ((flags & JOB_FLAG_ARCHIVE) != 0 && size == sizeof(TailRecord) &&
      LeadingWord(data) == TAIL_RECORD_MAGIC) {
    TakeTailRecord(context, data);
    return TRUE;
  }
  if ((flags & JOB_FLAG_OVERLAY) == 0) return WriteToDestination(context, data, size);

  uint8_t mode = context->overlayControl.mode;
  if ((mode & OVERLAY_MODE_REGISTER) != 0) {
    // Register mode reports every block written, also when the overlay file is
    // missing or its write fails.
    WriteToFile(context->overlayFile, data, size);
    return TRUE;
  }
  if ((mode & OVERLAY_MODE_RAW) != 0) {
    if (IsOverlayMarker(data, size)) CopyOverlayToDestination(context);
  } else if (context->overlayInserted == 0 && IsOverlayMarker(data, size)) {
    context->overlayInserted = 1;
    InsertFramedOverlay(context);
  }
  return WriteToDestination(context, data, size);
}

static BOOL DispatchBlock(JobContext* context, const void* data, DWORD size);

extern "C" BOOL WINAPI DrvSplWritePrinter(HANDLE job, LPVOID data, DWORD size, LPDWORD written) {
  // The spooler is always told that the whole block was taken, whatever follows.
  if (written != NULL) *written = size;
  JobContext* context = JobFromHandle(job);
  if (context == NULL) return FALSE;
  context->writeCount++;
  if (data == NULL && size != 0) return FALSE;
  // Most blocks of most jobs take this path: it stays ahead of the dispatch, so that it
  // carries nothing of the other states' frames.
  if (context->state == STATE_PASS_THROUGH) return WriteToPrinter(context, data, size);
  return DispatchBlock(context, data, size);
}

// The states other than pass-through, kept out of line (see DrvSplWritePrinter).
// Pass-through never arrives here: DrvSplWritePrinter has taken it.
static SG_NOINLINE BOOL DispatchBlock(JobContext* context, const void* data, DWORD size) {
  switch (context->state) {
    case STATE_HEADER:
      return TakeJobHeader(context, data, size);
    case STATE_FEATURE_RECORD:
      return TakeFeatureRecord(context, data, size);
    case STATE_OVERLAY_HEADER:
      return TakeOverlayHeader(context, data, size);
    case STATE_ARCHIVE_HEADER:
      return TakeArchiveHeader(context, data, size);
    case STATE_DATA:
      return RouteData(context, data, size);
    default:  // GCOVR_EXCL_LINE
      // Only other code writing into the context can bring this about.
      return FALSE;  // GCOVR_EXCL_LINE
  }
}
