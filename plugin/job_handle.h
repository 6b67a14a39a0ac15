// SPDX-License-Identifier: Apache-2.0
// Turning the spooler's job handle back into the job's context.
#pragma once

#include "plugin/job_context.h"

// JobFromHandle() - The context behind a job handle, or NULL for a null handle or one that
// does not carry the context signature. Inline: it runs on every block of every job.
static inline JobContext* JobFromHandle(HANDLE job) {
  // The spooler only passes handles we returned; a null handle, or one whose memory
  // does not carry the signature, is refused instead of being written through. A handle
  // used after its DrvSplClose cannot be told apart: its memory is freed, and may
  // already hold a newer job's context.
  JobContext* context = (JobContext*)job;
  if (context == NULL || context->signature != JOB_CONTEXT_SIGNATURE) return NULL;
  return context;
}
