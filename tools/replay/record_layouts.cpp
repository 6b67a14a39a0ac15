// SPDX-License-Identifier: Apache-2.0
// The record layouts of job descriptions, taken from core/records.h by offsetof and
// sizeof, so that a description writes exactly the bytes the plug-in reads.
#include "tools/replay/record_layouts.h"

#include "core/records.h"

namespace spoolgate {

#define FIELD(R, f, k) FieldLayout{#f, offsetof(R, f), sizeof(((R*)nullptr)->f), FieldKind::k}

const std::vector<RecordLayout>& Records() {
  static const std::vector<RecordLayout> records = {
      {"JobHeaderRecord",
       sizeof(JobHeaderRecord),
       {FIELD(JobHeaderRecord, jobFlags, U32), FIELD(JobHeaderRecord, rest, Bytes)},
       false,
       0},
      {"OverlayControlRecord",
       sizeof(OverlayControlRecord),
       {FIELD(OverlayControlRecord, mode, U8), FIELD(OverlayControlRecord, unused, Bytes),
        FIELD(OverlayControlRecord, overlayPath, Utf16)},
       false,
       0},
      {"OverlayHeaderRecord",
       sizeof(OverlayHeaderRecord),
       {FIELD(OverlayHeaderRecord, bytes, Bytes)},
       false,
       0},
      {"ArchiveLocationRecord",
       sizeof(ArchiveLocationRecord),
       {FIELD(ArchiveLocationRecord, directory, Utf16),
        FIELD(ArchiveLocationRecord, fileName, Utf16),
        FIELD(ArchiveLocationRecord, documentName, Utf16)},
       false,
       0},
      {"ArchiveHeaderRecord",
       sizeof(ArchiveHeaderRecord),
       {FIELD(ArchiveHeaderRecord, leading, Bytes), FIELD(ArchiveHeaderRecord, headerFlags, U32),
        FIELD(ArchiveHeaderRecord, tailBit0, U32), FIELD(ArchiveHeaderRecord, middle, Bytes),
        FIELD(ArchiveHeaderRecord, totalPages, U32), FIELD(ArchiveHeaderRecord, trailing, Bytes)},
       false,
       0},
      {"TailRecord",
       sizeof(TailRecord),
       {FIELD(TailRecord, magic, U32), FIELD(TailRecord, tailFlags, U32),
        FIELD(TailRecord, tailPages, U32), FIELD(TailRecord, rest, Bytes)},
       true,
       TAIL_RECORD_MAGIC},
      {"JobLogRecord",
       sizeof(JobLogRecord),
       {FIELD(JobLogRecord, magic, U32),
        FIELD(JobLogRecord, leadingText, Utf16),
        FIELD(JobLogRecord, fallbackDocumentName, Utf16),
        FIELD(JobLogRecord, year, U16),
        FIELD(JobLogRecord, month, U16),
        FIELD(JobLogRecord, day, U16),
        FIELD(JobLogRecord, hour, U16),
        FIELD(JobLogRecord, minute, U16),
        FIELD(JobLogRecord, second, U16),
        FIELD(JobLogRecord, milliseconds, U16),
        FIELD(JobLogRecord, dayOfWeek, U16),
        FIELD(JobLogRecord, text200, Utf16),
        FIELD(JobLogRecord, text216, Utf16),
        FIELD(JobLogRecord, ansi240, Ansi),
        FIELD(JobLogRecord, value248, U32),
        FIELD(JobLogRecord, value252, U32),
        FIELD(JobLogRecord, value256, U32),
        FIELD(JobLogRecord, block260, Bytes),
        FIELD(JobLogRecord, values388, U32List),
        FIELD(JobLogRecord, ansi416, Ansi),
        FIELD(JobLogRecord, ansi424, Ansi),
        FIELD(JobLogRecord, value432, U32),
        FIELD(JobLogRecord, value436, U32),
        FIELD(JobLogRecord, text440, Utf16),
        FIELD(JobLogRecord, value448, U32),
        FIELD(JobLogRecord, value452, U32),
        FIELD(JobLogRecord, value456, U32),
        FIELD(JobLogRecord, ansi464, Ansi),
        FIELD(JobLogRecord, value472, U32),
        FIELD(JobLogRecord, logFlags, U8),
        FIELD(JobLogRecord, unused2377, Bytes),
        FIELD(JobLogRecord, value488, U32),
        FIELD(JobLogRecord, value492, U32),
        FIELD(JobLogRecord, extraText, Utf16),
        FIELD(JobLogRecord, value632, U32),
        FIELD(JobLogRecord, extraBlock, Bytes)},
       true,
       JOB_LOG_RECORD_MAGIC},
  };
  return records;
}

#undef FIELD

const std::map<std::string, uint64_t>& Constants() {
  static const std::map<std::string, uint64_t> constants = {
      {"JOB_FLAG_OVERLAY", JOB_FLAG_OVERLAY},
      {"JOB_FLAG_ARCHIVE", JOB_FLAG_ARCHIVE},
      {"JOB_FLAG_ACCOUNTING", JOB_FLAG_ACCOUNTING},
      {"OVERLAY_MODE_REGISTER", OVERLAY_MODE_REGISTER},
      {"OVERLAY_MODE_RAW", OVERLAY_MODE_RAW},
      {"LOG_FLAG_EXTENDED_MASK", LOG_FLAG_EXTENDED_MASK},
      {"LOG_FLAG_SANITIZE", LOG_FLAG_SANITIZE},
      {"LOG_FLAG_EXTRA_TEXT", LOG_FLAG_EXTRA_TEXT},
      {"LOG_FLAG_EXTRA_BLOCK", LOG_FLAG_EXTRA_BLOCK},
      {"JOB_LOG_RECORD_MAGIC", JOB_LOG_RECORD_MAGIC},
      {"TAIL_RECORD_MAGIC", TAIL_RECORD_MAGIC},
  };
  return constants;
}

}  // namespace spoolgate
