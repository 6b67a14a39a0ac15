// Turning the spooler's job handle back into the job's context.
#pragma once

#include "plugin/job_context.h"

// The context behind a job handle, or NULL for a null handle or one that does not
// carry the context signature.
JobContext* JobFromHandle(HANDLE job);
