// SPDX-License-Identifier: Apache-2.0
// The extended accounting entry: its 14 text buffers, its fill (content flags, extra
// text and block), and the cleaning of the document name that it may ask for.
#include "accounting/log_fill.h"

#include "core/bounded_text.h"

// The window of the document name that the cleaning looks at, in bytes.
#define SANITIZE_WINDOW_BYTES 255

BOOL AllocateExtendedEntryBuffers(ExtendedLogEntry* entry) {
  BOOL all = AllocateStandardEntryBuffers(&entry->standard);
  entry->extraText = (char*)malloc(LOG_SHORT_TEXT_BYTES);
  if (entry->extraText == NULL) return FALSE;
  // Without logFlags bit 0x08 this buffer receives nothing: it holds the empty text.
  entry->extraText[0] = 0;
  return all;
}

void FreeExtendedEntryBuffers(ExtendedLogEntry* entry) {
  FreeStandardEntryBuffers(&entry->standard);
  if (entry->extraText != NULL) free(entry->extraText);
  entry->extraText = NULL;
}

// Bytes the cleaning removes: every control byte but TAB, and the double quote.
static BOOL IsDroppedByte(uint8_t byte) {
  return (byte >= 0x01 && byte <= 0x08) || (byte >= 0x0A && byte <= 0x1F) || byte == 0x22;
}

int SanitizeLogText(const JobLogRecord* record, char* text) {
  if (record == NULL || text == NULL) return 0;
  if ((record->logFlags & LOG_FLAG_SANITIZE) == 0) return 0;
  uint8_t* work = (uint8_t*)GlobalAlloc(GMEM_FIXED, SANITIZE_WINDOW_BYTES);
  if (work == NULL) return 0;
  memset(work, 0, SANITIZE_WINDOW_BYTES);

  size_t kept = 0;
  BOOL terminated = FALSE;
  for (size_t i = 0; i < SANITIZE_WINDOW_BYTES; ++i) {
    uint8_t byte = (uint8_t)text[i];
    if (byte == 0) {
      terminated = TRUE;
      break;
    }
    if (!IsDroppedByte(byte)) work[kept++] = byte;
  }
  // A text with no terminator in the window (255 bytes or more) is left whole: the
  // bytes beyond the window would otherwise be cut off or kept uncleaned.
  int result = 0;
  if (terminated) {
    memcpy(text, work, kept);
    memset(text + kept, 0, SANITIZE_WINDOW_BYTES - kept);
    result = 1;
  }
  GlobalFree(work);
  return result;
}

int FillExtendedLogEntry(HANDLE printer, DWORD jobId, const JobLogRecord* record,
                         ExtendedLogEntry* entry) {
  if (record == NULL || entry == NULL) return 0;
  if (!FillSharedLogSlots(printer, jobId, record, &entry->standard, TRUE)) return 0;
  StandardLogEntry* standard = &entry->standard;
  standard->marker = LOG_ENTRY_MARKER;
  standard->fieldMask = LOG_ENTRY_FIELD_MASK;
  entry->value496 = LOG_EXTENDED_VALUE_496;
  uint32_t contentFlags = LOG_CONTENT_BASE | LOG_CONTENT_EXTENDED;

  if ((record->logFlags & LOG_FLAG_EXTRA_TEXT) != 0) {
    // The extra text is expected within 129 characters; the bounds make sure of it.
    ConvertTextToOem(entry->extraText, LOG_SHORT_TEXT_BYTES, record->extraText,
                     sizeof(record->extraText) / sizeof(WCHAR));
    contentFlags |= LOG_CONTENT_EXTRA_TEXT;
  }

  contentFlags |= LOG_CONTENT_VALUE_632;
  entry->value632 = record->value632;

  if ((record->logFlags & LOG_FLAG_EXTRA_BLOCK) != 0) {
    memcpy(entry->extraBlock, record->extraBlock, sizeof(entry->extraBlock));
    entry->extraBlockMarker = LOG_EXTRA_BLOCK_MARKER;
    contentFlags |= LOG_CONTENT_EXTRA_BLOCK;
  }
  standard->contentFlags = contentFlags;
  return 1;
}
