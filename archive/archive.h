// The job archive: naming the ".RUD" file, creating it with its directories, and
// completing its header at the end of the job.
#pragma once

#include "plugin/job_context.h"

#define DOCUMENT_NAME_CHARS 256

// Fills documentName (DOCUMENT_NAME_CHARS characters, zero-filled by the caller) with the
// job's document name from the spooler; TRUE when it now holds a non-empty name.
BOOL GetJobDocumentName(HANDLE printer, DWORD jobId, WCHAR* documentName);

// Chooses the path, creates the file and writes header at its start. directory and
// fileName are ArchiveLocationRecord fields, documentName a text of at most
// DOCUMENT_NAME_CHARS characters; none needs a terminator within its field. Returns the
// file positioned behind the header, or INVALID_HANDLE_VALUE.
HANDLE OpenArchiveFile(const WCHAR* directory, const WCHAR* fileName, const WCHAR* documentName,
                       const ArchiveHeaderRecord* header);

// Rewrites the header with the final page count and closes the archive file; the
// handle is marked invalid afterwards.
void FinishArchiveFile(JobContext* context);
