// SPDX-License-Identifier: Apache-2.0
// The per-job JobContext that DrvSplStartDoc hands the spooler as the job's handle.
// Its layout is an interface: other code in the process reads it via MyDrvSplStartDoc.
#pragma once

#include "core/records.h"

#define JOB_CONTEXT_SIGNATURE 0x44525347u  // bytes 47 53 52 44, "GSRD"

#define JOB_STATUS_STARTED 0x1u
#define JOB_STATUS_ENDED 0x2u
#define JOB_STATUS_ABORTED 0x4u

enum StreamState : uint32_t {
  STATE_HEADER = 0,
  STATE_PASS_THROUGH = 1,
  STATE_FEATURE_RECORD = 2,
  STATE_OVERLAY_HEADER = 3,
  STATE_ARCHIVE_HEADER = 4,
  STATE_DATA = 5,
};

struct JobContext {
  uint32_t signature;
  HANDLE printer;
  uint32_t jobId;
  uint32_t status;
  uint32_t writeCount;
  uint32_t startPageCount;
  uint32_t endPageCount;
  JobHeaderRecord jobHeader;
  OverlayControlRecord overlayControl;
  OverlayHeaderRecord overlayHeader;
  uint32_t state;
  uint32_t pendingRecords;
  HANDLE spareFile;  // never opened: INVALID_HANDLE_VALUE, as readers of the context expect
  HANDLE overlayFile;
  uint32_t overlayInserted;
  HANDLE archiveFile;
  ArchiveHeaderRecord archiveHeader;
  ArchiveLocationRecord archiveLocation;
  uint32_t pageCount;
  JobLogRecord jobLog;
};

static_assert(offsetof(JobContext, signature) == 0, "signature");
static_assert(offsetof(JobContext, printer) == 8, "printer");
static_assert(offsetof(JobContext, jobId) == 16, "jobId");
static_assert(offsetof(JobContext, status) == 20, "status");
static_assert(offsetof(JobContext, writeCount) == 24, "writeCount");
static_assert(offsetof(JobContext, startPageCount) == 28, "startPageCount");
static_assert(offsetof(JobContext, endPageCount) == 32, "endPageCount");
static_assert(offsetof(JobContext, jobHeader) == 36, "jobHeader");
static_assert(offsetof(JobContext, overlayControl) == 72, "overlayControl");
static_assert(offsetof(JobContext, overlayHeader) == 592, "overlayHeader");
static_assert(offsetof(JobContext, state) == 1036, "state");
static_assert(offsetof(JobContext, pendingRecords) == 1040, "pendingRecords");
static_assert(offsetof(JobContext, spareFile) == 1048, "spareFile");
static_assert(offsetof(JobContext, overlayFile) == 1056, "overlayFile");
static_assert(offsetof(JobContext, overlayInserted) == 1064, "overlayInserted");
static_assert(offsetof(JobContext, archiveFile) == 1072, "archiveFile");
static_assert(offsetof(JobContext, archiveHeader) == 1080, "archiveHeader");
static_assert(offsetof(JobContext, archiveLocation) == 1460, "archiveLocation");
static_assert(offsetof(JobContext, pageCount) == 2996, "pageCount");
static_assert(offsetof(JobContext, jobLog) == 3000, "jobLog");
static_assert(sizeof(JobContext) == 5784, "JobContext");
