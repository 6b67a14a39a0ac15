// SPDX-License-Identifier: Apache-2.0
// Allocation and filling of the two accounting entries from the job, the printer and
// the stored JobLogRecord; the extended entry's document-name cleaning.
#pragma once

#include "core/log_entry.h"
#include "core/records.h"

// AllocateStandardEntryBuffers() - Gives each of the 13 text slots a buffer of its
// size, replacing whatever the library put there. Every slot is assigned (null when
// its allocation failed) and every buffer starts as the empty text. Returns TRUE when
// all 13 were allocated.
BOOL AllocateStandardEntryBuffers(StandardLogEntry* entry);

// AllocateExtendedEntryBuffers() - The same for the 14 slots of the extended entry.
BOOL AllocateExtendedEntryBuffers(ExtendedLogEntry* entry);

// FreeStandardEntryBuffers() / FreeExtendedEntryBuffers() - Frees every non-null text
// buffer in the order of the entry's fields and clears its slot.
void FreeStandardEntryBuffers(StandardLogEntry* entry);
void FreeExtendedEntryBuffers(ExtendedLogEntry* entry);

// FillStandardLogEntry() - Fills the entry (buffers allocated) from the spooler's job
// and printer information, the computer and user names and the record. Returns 1, or
// 0 without writing the entry when the printer information cannot be had.
int FillStandardLogEntry(HANDLE printer, DWORD jobId, const JobLogRecord* record,
                         StandardLogEntry* entry);

// FillExtendedLogEntry() - Fills the extended entry: the standard slots (document name
// cleaned when the record asks), then the content flags and the further slots.
// Returns 1, or 0 as FillStandardLogEntry does.
int FillExtendedLogEntry(HANDLE printer, DWORD jobId, const JobLogRecord* record,
                         ExtendedLogEntry* entry);

// FillSharedLogSlots() - Steps common to both fills: everything of the standard entry
// but its three fixed words. With sanitizeDocumentName the OEM document name passes
// through SanitizeLogText. Returns 1, or 0 when the printer information cannot be had.
int FillSharedLogSlots(HANDLE printer, DWORD jobId, const JobLogRecord* record,
                       StandardLogEntry* entry, BOOL sanitizeDocumentName);

// SanitizeLogText() - When the record's logFlags has LOG_FLAG_SANITIZE, removes control
// bytes (all below 0x20 but TAB) and double quotes from the OEM text in place, within
// its first 255 bytes. Returns 1 when it rewrote the text; 0 when it left it alone
// (flag clear, no work area, or no terminator within the 255 bytes).
int SanitizeLogText(const JobLogRecord* record, char* text);
