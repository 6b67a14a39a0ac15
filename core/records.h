// SPDX-License-Identifier: Apache-2.0
// The private stream protocol between the driver's rendering side and the plug-in:
// every control record, the printer command strings, and the job flags and modes.
#pragma once

#include "platform/win32.h"

// Job flags: the first u32 of the JobHeaderRecord.
#define JOB_FLAG_OVERLAY 0x1u
#define JOB_FLAG_ARCHIVE 0x2u
#define JOB_FLAG_ACCOUNTING 0x4u

// The OverlayControlRecord's mode byte.
#define OVERLAY_MODE_REGISTER 0x1u
#define OVERLAY_MODE_RAW 0x4u

// Magic words of the two records recognised among the print data.
#define JOB_LOG_RECORD_MAGIC 0x4C6F6700u
#define TAIL_RECORD_MAGIC 0x5441494Cu

// Text fields, in UTF-16 characters (or bytes for ANSI texts), terminator included.
#define ARCHIVE_TEXT_CHARS 256
#define OVERLAY_PATH_CHARS 258

struct JobHeaderRecord {
  uint32_t jobFlags;
  uint8_t rest[32];  // the rendering side's; stored, not interpreted
};

struct TailRecord {
  uint32_t magic;
  uint32_t tailFlags;  // TAIL_FLAG_*
  uint32_t tailPages;
  uint8_t rest[64];
};

// tailFlags bits: the one the archive header's tailBit0 takes, and the one its
// headerFlags gain; the others are ignored.
#define TAIL_FLAG_TAIL_BIT0 0x1u
#define TAIL_FLAG_HEADER_FLAG 0x2u

struct OverlayControlRecord {
  uint8_t mode;
  uint8_t unused[3];
  WCHAR overlayPath[OVERLAY_PATH_CHARS];
};

struct OverlayHeaderRecord {
  uint8_t bytes[444];  // the rendering side's; written as the overlay file's header
};

struct ArchiveLocationRecord {
  WCHAR directory[ARCHIVE_TEXT_CHARS];
  WCHAR fileName[ARCHIVE_TEXT_CHARS];
  WCHAR documentName[ARCHIVE_TEXT_CHARS];
};

struct ArchiveHeaderRecord {
  uint8_t leading[292];
  uint32_t headerFlags;
  uint32_t tailBit0;
  uint8_t middle[12];
  uint32_t totalPages;
  uint8_t trailing[64];
};

// The accounting record. Field names for the values the plug-in only carries say
// where they go in the log entry ("slot" + the entry offset) or where they lie.
struct JobLogRecord {
  uint32_t magic;
  WCHAR leadingText[257];           // 4: the log's name argument
  WCHAR fallbackDocumentName[256];  // 518
  uint16_t year;                    // 1030
  uint16_t month;
  uint16_t day;
  uint16_t hour;
  uint16_t minute;
  uint16_t second;
  uint16_t milliseconds;
  uint16_t dayOfWeek;        // 1044: last here, third in a SYSTEMTIME
  WCHAR text200[257];        // 1046 -> slot 200
  WCHAR text216[257];        // 1560 -> slot 216
  char ansi240[34];          // 2074 -> slot 240
  uint32_t value248;         // 2108
  uint32_t value252;         // 2112
  uint32_t value256;         // 2116
  uint8_t block260[128];     // 2120
  uint32_t values388[6];     // 2248
  char ansi416[9];           // 2272
  char ansi424[11];          // 2281
  uint32_t value432;         // 2292
  uint32_t value436;         // 2296
  WCHAR text440[12];         // 2300, carried as UTF-16
  uint32_t value448;         // 2324
  uint32_t value452;         // 2328
  uint32_t value456;         // 2332
  char ansi464[36];          // 2336
  uint32_t value472;         // 2372
  uint8_t logFlags;          // 2376
  uint8_t unused2377[3];     // 2377
  uint32_t value488;         // 2380
  uint32_t value492;         // 2384
  WCHAR extraText[130];      // 2388, extended entry only
  uint32_t value632;         // 2648, extended entry only
  uint8_t extraBlock[128];   // 2652, extended entry only
};

// logFlags bits.
#define LOG_FLAG_EXTENDED_MASK 0x03u
#define LOG_FLAG_SANITIZE 0x04u
#define LOG_FLAG_EXTRA_TEXT 0x08u
#define LOG_FLAG_EXTRA_BLOCK 0x10u

static_assert(sizeof(JobHeaderRecord) == 36, "JobHeaderRecord");
static_assert(sizeof(TailRecord) == 76, "TailRecord");
static_assert(offsetof(TailRecord, tailFlags) == 4 && offsetof(TailRecord, tailPages) == 8,
              "TailRecord fields");
static_assert(sizeof(OverlayControlRecord) == 520, "OverlayControlRecord");
static_assert(offsetof(OverlayControlRecord, overlayPath) == 4, "overlayPath");
static_assert(sizeof(OverlayHeaderRecord) == 444, "OverlayHeaderRecord");
static_assert(sizeof(ArchiveLocationRecord) == 1536, "ArchiveLocationRecord");
static_assert(offsetof(ArchiveLocationRecord, fileName) == 512, "fileName");
static_assert(offsetof(ArchiveLocationRecord, documentName) == 1024, "documentName");
static_assert(sizeof(ArchiveHeaderRecord) == 380, "ArchiveHeaderRecord");
static_assert(offsetof(ArchiveHeaderRecord, headerFlags) == 292, "headerFlags");
static_assert(offsetof(ArchiveHeaderRecord, tailBit0) == 296, "tailBit0");
static_assert(offsetof(ArchiveHeaderRecord, totalPages) == 312, "totalPages");

static_assert(sizeof(JobLogRecord) == 2780, "JobLogRecord");
static_assert(offsetof(JobLogRecord, leadingText) == 4, "JobLogRecord 4");
static_assert(offsetof(JobLogRecord, fallbackDocumentName) == 518, "JobLogRecord 518");
static_assert(offsetof(JobLogRecord, year) == 1030, "JobLogRecord 1030");
static_assert(offsetof(JobLogRecord, month) == 1032, "JobLogRecord 1032");
static_assert(offsetof(JobLogRecord, day) == 1034, "JobLogRecord 1034");
static_assert(offsetof(JobLogRecord, hour) == 1036, "JobLogRecord 1036");
static_assert(offsetof(JobLogRecord, minute) == 1038, "JobLogRecord 1038");
static_assert(offsetof(JobLogRecord, second) == 1040, "JobLogRecord 1040");
static_assert(offsetof(JobLogRecord, milliseconds) == 1042, "JobLogRecord 1042");
static_assert(offsetof(JobLogRecord, dayOfWeek) == 1044, "JobLogRecord 1044");
static_assert(offsetof(JobLogRecord, text200) == 1046, "JobLogRecord 1046");
static_assert(offsetof(JobLogRecord, text216) == 1560, "JobLogRecord 1560");
static_assert(offsetof(JobLogRecord, ansi240) == 2074, "JobLogRecord 2074");
static_assert(offsetof(JobLogRecord, value248) == 2108, "JobLogRecord 2108");
static_assert(offsetof(JobLogRecord, value252) == 2112, "JobLogRecord 2112");
static_assert(offsetof(JobLogRecord, value256) == 2116, "JobLogRecord 2116");
static_assert(offsetof(JobLogRecord, block260) == 2120, "JobLogRecord 2120");
static_assert(offsetof(JobLogRecord, values388) == 2248, "JobLogRecord 2248");
static_assert(offsetof(JobLogRecord, ansi416) == 2272, "JobLogRecord 2272");
static_assert(offsetof(JobLogRecord, ansi424) == 2281, "JobLogRecord 2281");
static_assert(offsetof(JobLogRecord, value432) == 2292, "JobLogRecord 2292");
static_assert(offsetof(JobLogRecord, value436) == 2296, "JobLogRecord 2296");
static_assert(offsetof(JobLogRecord, text440) == 2300, "JobLogRecord 2300");
static_assert(offsetof(JobLogRecord, value448) == 2324, "JobLogRecord 2324");
static_assert(offsetof(JobLogRecord, value452) == 2328, "JobLogRecord 2328");
static_assert(offsetof(JobLogRecord, value456) == 2332, "JobLogRecord 2332");
static_assert(offsetof(JobLogRecord, ansi464) == 2336, "JobLogRecord 2336");
static_assert(offsetof(JobLogRecord, value472) == 2372, "JobLogRecord 2372");
static_assert(offsetof(JobLogRecord, logFlags) == 2376, "JobLogRecord 2376");
static_assert(offsetof(JobLogRecord, value488) == 2380, "JobLogRecord 2380");
static_assert(offsetof(JobLogRecord, value492) == 2384, "JobLogRecord 2384");
static_assert(offsetof(JobLogRecord, extraText) == 2388, "JobLogRecord 2388");
static_assert(offsetof(JobLogRecord, value632) == 2648, "JobLogRecord 2648");
static_assert(offsetof(JobLogRecord, extraBlock) == 2652, "JobLogRecord 2652");

// Printer commands the state machine recognises (the marker, only as a block by
// itself) and writes around a framed insertion.
static const uint8_t kOverlayMarker[8] = {0x1B, 0x12, 0x55, 0x39, 0x39, 0x2C, 0x31, 0x20};
static const uint8_t kOverlayBeginCommand[6] = {0x1B, 0x12, 0x4F, 0x39, 0x39, 0x20};
static const uint8_t kOverlayEndCommand[4] = {0x1B, 0x12, 0x4F, 0x20};
