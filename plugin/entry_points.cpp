// SPDX-License-Identifier: Apache-2.0
// The job's lifetime: DrvSplStartDoc to DrvSplClose, the page counters, the end of the
// job (files closed, archive header completed, accounting entry) and MyDrvSplStartDoc.
#include "plugin/exports.h"
#include "plugin/job_context.h"
#include "plugin/job_handle.h"

#include "accounting/accounting.h"
#include "archive/archive.h"

#include <atomic>

// The most recently created context. Jobs start on any spooler thread and other code
// reads the pointer at any time, so it is an atomic rather than a plain global.
static std::atomic<JobContext*> lastJobContext{NULL};

static void CloseJobFile(HANDLE* file) {
  // A closed handle is marked invalid so that a second end or abort neither writes to
  // it nor closes it again.
  if (*file == INVALID_HANDLE_VALUE) return;
  CloseHandle(*file);
  *file = INVALID_HANDLE_VALUE;
}

// Closes whatever the job still has open, as an abort does: the archive keeps the header
// it was created with.
static void CloseJobFiles(JobContext* context) {
  CloseJobFile(&context->overlayFile);
  CloseJobFile(&context->archiveFile);
}

extern "C" HANDLE WINAPI DrvSplStartDoc(HANDLE printer, DWORD jobId) {
  JobContext* context = (JobContext*)GlobalAlloc(GMEM_FIXED, sizeof(JobContext));
  if (context == NULL) {
    lastJobContext.store(NULL, std::memory_order_release);
    return NULL;
  }
  // Zero-filled, so that records that never arrive (or arrive short) read as zeros:
  // a missing JobLogRecord gives an empty, terminated record to the accounting fill.
  memset(context, 0, sizeof(*context));
  context->signature = JOB_CONTEXT_SIGNATURE;
  context->printer = printer;
  context->jobId = jobId;
  context->status = JOB_STATUS_STARTED;
  context->state = STATE_HEADER;
  context->pendingRecords = 0;
  context->spareFile = INVALID_HANDLE_VALUE;
  context->overlayFile = INVALID_HANDLE_VALUE;
  context->overlayInserted = 0;
  context->archiveFile = INVALID_HANDLE_VALUE;
  context->pageCount = 0;
  // Published only once it is filled in: code on another thread that reads it through
  // MyDrvSplStartDoc never sees a half-made context.
  lastJobContext.store(context, std::memory_order_release);
  return (HANDLE)context;
}

extern "C" BOOL WINAPI DrvSplStartPage(HANDLE job) {
  JobContext* context = JobFromHandle(job);
  if (context != NULL) context->startPageCount++;
  return TRUE;
}

extern "C" BOOL WINAPI DrvSplEndPage(HANDLE job) {
  JobContext* context = JobFromHandle(job);
  if (context != NULL) {
    context->endPageCount++;
    context->pageCount++;
  }
  return TRUE;
}

extern "C" VOID WINAPI DrvSplEndDoc(HANDLE job) {
  JobContext* context = JobFromHandle(job);
  if (context == NULL) return;
  // The job's entry is handed over once, at its first end, and never for a job that was
  // aborted: the status bits say whether either has happened.
  BOOL firstEnd = (context->status & (JOB_STATUS_ENDED | JOB_STATUS_ABORTED)) == 0;
  context->status |= JOB_STATUS_ENDED;
  CloseJobFile(&context->overlayFile);
  FinishArchiveFile(&context->archiveFile, &context->archiveHeader, context->pageCount);
  if (firstEnd && (context->jobHeader.jobFlags & JOB_FLAG_ACCOUNTING) != 0) {
    if ((context->jobLog.logFlags & LOG_FLAG_EXTENDED_MASK) != 0) {
      WriteExtendedJobLog(context->printer, context->jobId, &context->jobLog);
    } else {
      WriteStandardJobLog(context->printer, context->jobId, &context->jobLog);
    }
  }
}

extern "C" VOID WINAPI DrvSplAbort(HANDLE job) {
  JobContext* context = JobFromHandle(job);
  if (context == NULL) return;
  context->status |= JOB_STATUS_ABORTED;
  CloseJobFiles(context);
}

extern "C" VOID WINAPI DrvSplClose(HANDLE job) {
  JobContext* context = JobFromHandle(job);
  if (context == NULL) return;
  // A job closed without an end or abort would otherwise keep its files open inside the
  // spooler for good, an overlay being recorded locked against every later job.
  CloseJobFiles(context);
  // Other code must not be handed a pointer to freed memory: forget the context if it
  // is still the most recent one. The spoilt signature refuses a second close only as
  // long as the memory has not been handed to another job.
  JobContext* expected = context;
  lastJobContext.compare_exchange_strong(expected, NULL, std::memory_order_acq_rel);
  context->signature = 0;
  GlobalFree(context);
}

extern "C" PVOID WINAPI MyDrvSplStartDoc(VOID) {
  return lastJobContext.load(std::memory_order_acquire);
}
