// Turning the spooler's job handle back into the job's context.
#pragma once

#include "plugin/job_context.h"

// JobFromHandle() - The context behind a job handle, or NULL for a null handle or one that
// does not carry the context signature. Inline: it runs on every block of every job.
static inline JobContext* JobFromHandle(HANDLE job) {
  // The spooler only passes handles we returned; a null or foreign handle (or one
  // whose context was closed) is refused instead of being written through.
  JobContext* context = (JobContext*)job;
  if (context == NULL || context->signature != JOB_CONTEXT_SIGNATURE) return NULL;
  return context;
}
