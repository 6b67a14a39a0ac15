// SPDX-License-Identifier: Apache-2.0
// The two accounting entries handed to the logging library, and its three entry points.
// The layouts belong to the library: every offset is fixed, so every one is pinned here.
#pragma once

#include "platform/win32.h"

// The library's file name and the entry points' names, looked up in this order.
#define LOG_LIBRARY_NAME WTEXT("ruzoravu64.dll")
#define LOG_PROC_INITIALIZE "QenDrvLogInitializeInfo"
#define LOG_PROC_WRITE "QenDrvLogWriteRecord"
#define LOG_PROC_FORMAT "QenDrvLogFormatRecord"

// The entry's format number, passed to the initialise and format calls.
#define LOG_FORMAT_STANDARD 2
#define LOG_FORMAT_EXTENDED 3
// The constant third argument of the initialise call.
#define LOG_INITIALIZE_CONSTANT 4

// Levels of the format and write calls.
#define LOG_LEVEL_STANDARD 2
#define LOG_LEVEL_EXTENDED 3
#define LOG_LEVEL_EXTENDED_TEXT 6
#define LOG_LEVEL_EXTENDED_BLOCK 10

// Fixed words of both entries.
#define LOG_ENTRY_MARKER 0xFFFFFFFFu      // offset 0
#define LOG_ENTRY_FIELD_MASK 0x03FFFFFFu  // offset 8
#define LOG_EXTENDED_VALUE_496 4u         // offset 496 of the extended entry
#define LOG_EXTRA_BLOCK_MARKER 0x7FFFFFFFu  // offset 500 when the extra block is carried

// contentFlags (offset 4). The standard entry always has exactly LOG_CONTENT_BASE.
#define LOG_CONTENT_BASE 0x01u
#define LOG_CONTENT_EXTENDED 0x02u
#define LOG_CONTENT_EXTRA_BLOCK 0x04u  // offsets 500 and 504
#define LOG_CONTENT_VALUE_632 0x08u    // offset 632
#define LOG_CONTENT_EXTRA_TEXT 0x20u   // the text at slot 640

// Sizes of the entry's text buffers, in bytes.
#define LOG_COMPUTER_NAME_BYTES 32
#define LOG_LONG_TEXT_BYTES 512
#define LOG_SHORT_TEXT_BYTES 256

// The entry of format 2 (496 bytes). Text slots point at buffers the plug-in owns;
// the field names of carried values say the entry offset they sit at.
struct StandardLogEntry {
  uint32_t marker;            // 0: LOG_ENTRY_MARKER
  uint32_t contentFlags;      // 4
  uint32_t fieldMask;         // 8: LOG_ENTRY_FIELD_MASK
  SYSTEMTIME timeStamp;       // 12: the rendering side's time, not the clock's
  uint32_t unused28;          // 28
  char* computerName;         // 32: 32 bytes, OEM
  uint8_t unused40[152];      // 40
  char* userName;             // 192: 512 bytes, OEM
  char* text200;              // 200: 512 bytes, OEM (record 1046)
  char* printerName;          // 208: 512 bytes, OEM
  char* text216;              // 216: 512 bytes, OEM (record 1560)
  char* portName;             // 224: 512 bytes, OEM
  char* documentName;         // 232: 512 bytes, OEM
  char* ansi240;              // 240: 256 bytes, record bytes (record 2074)
  uint32_t value248;          // 248
  uint32_t value252;          // 252
  uint32_t value256;          // 256
  uint8_t block260[128];      // 260
  uint32_t values388[6];      // 388
  uint32_t unused412;         // 412
  char* ansi416;              // 416: 256 bytes, record bytes (record 2272)
  char* ansi424;              // 424: 256 bytes, record bytes (record 2281)
  uint32_t value432;          // 432
  uint32_t value436;          // 436
  WCHAR* text440;             // 440: 256 bytes, UTF-16 as in the record (record 2300)
  uint32_t value448;          // 448
  uint32_t value452;          // 452
  uint32_t value456;          // 456
  uint32_t unused460;         // 460
  char* ansi464;              // 464: 256 bytes, record bytes (record 2336)
  uint32_t value472;          // 472
  uint32_t unused476;         // 476
  char* emptyText;            // 480: 256 bytes, always the empty text
  uint32_t value488;          // 488
  uint32_t value492;          // 492
};

// The entry of format 3 (752 bytes): the standard entry lengthened.
struct ExtendedLogEntry {
  StandardLogEntry standard;  // 0..495; contentFlags differs, see LOG_CONTENT_*
  uint32_t value496;          // 496: LOG_EXTENDED_VALUE_496
  uint32_t extraBlockMarker;  // 500: LOG_EXTRA_BLOCK_MARKER with the extra block
  uint8_t extraBlock[128];    // 504
  uint32_t value632;          // 632
  uint32_t unused636;         // 636
  char* extraText;            // 640: 256 bytes, OEM
  uint8_t unused648[104];     // 648
};

static_assert(sizeof(StandardLogEntry) == 496, "StandardLogEntry");
static_assert(offsetof(StandardLogEntry, marker) == 0, "entry 0");
static_assert(offsetof(StandardLogEntry, contentFlags) == 4, "entry 4");
static_assert(offsetof(StandardLogEntry, fieldMask) == 8, "entry 8");
static_assert(offsetof(StandardLogEntry, timeStamp) == 12, "entry 12");
static_assert(offsetof(StandardLogEntry, unused28) == 28, "entry 28");
static_assert(offsetof(StandardLogEntry, computerName) == 32, "entry 32");
static_assert(offsetof(StandardLogEntry, unused40) == 40, "entry 40");
static_assert(offsetof(StandardLogEntry, userName) == 192, "entry 192");
static_assert(offsetof(StandardLogEntry, text200) == 200, "entry 200");
static_assert(offsetof(StandardLogEntry, printerName) == 208, "entry 208");
static_assert(offsetof(StandardLogEntry, text216) == 216, "entry 216");
static_assert(offsetof(StandardLogEntry, portName) == 224, "entry 224");
static_assert(offsetof(StandardLogEntry, documentName) == 232, "entry 232");
static_assert(offsetof(StandardLogEntry, ansi240) == 240, "entry 240");
static_assert(offsetof(StandardLogEntry, value248) == 248, "entry 248");
static_assert(offsetof(StandardLogEntry, value252) == 252, "entry 252");
static_assert(offsetof(StandardLogEntry, value256) == 256, "entry 256");
static_assert(offsetof(StandardLogEntry, block260) == 260, "entry 260");
static_assert(offsetof(StandardLogEntry, values388) == 388, "entry 388");
static_assert(offsetof(StandardLogEntry, unused412) == 412, "entry 412");
static_assert(offsetof(StandardLogEntry, ansi416) == 416, "entry 416");
static_assert(offsetof(StandardLogEntry, ansi424) == 424, "entry 424");
static_assert(offsetof(StandardLogEntry, value432) == 432, "entry 432");
static_assert(offsetof(StandardLogEntry, value436) == 436, "entry 436");
static_assert(offsetof(StandardLogEntry, text440) == 440, "entry 440");
static_assert(offsetof(StandardLogEntry, value448) == 448, "entry 448");
static_assert(offsetof(StandardLogEntry, value452) == 452, "entry 452");
static_assert(offsetof(StandardLogEntry, value456) == 456, "entry 456");
static_assert(offsetof(StandardLogEntry, unused460) == 460, "entry 460");
static_assert(offsetof(StandardLogEntry, ansi464) == 464, "entry 464");
static_assert(offsetof(StandardLogEntry, value472) == 472, "entry 472");
static_assert(offsetof(StandardLogEntry, unused476) == 476, "entry 476");
static_assert(offsetof(StandardLogEntry, emptyText) == 480, "entry 480");
static_assert(offsetof(StandardLogEntry, value488) == 488, "entry 488");
static_assert(offsetof(StandardLogEntry, value492) == 492, "entry 492");

static_assert(sizeof(ExtendedLogEntry) == 752, "ExtendedLogEntry");
static_assert(offsetof(ExtendedLogEntry, standard) == 0, "extended 0");
static_assert(offsetof(ExtendedLogEntry, value496) == 496, "extended 496");
static_assert(offsetof(ExtendedLogEntry, extraBlockMarker) == 500, "extended 500");
static_assert(offsetof(ExtendedLogEntry, extraBlock) == 504, "extended 504");
static_assert(offsetof(ExtendedLogEntry, value632) == 632, "extended 632");
static_assert(offsetof(ExtendedLogEntry, unused636) == 636, "extended 636");
static_assert(offsetof(ExtendedLogEntry, extraText) == 640, "extended 640");
static_assert(offsetof(ExtendedLogEntry, unused648) == 648, "extended 648");

// The logging library's entry points. Their results are never used.
// Initialise: the all-zero entry with its format number and the constant 4.
typedef int(WINAPI* QenDrvLogInitializeInfoFn)(int format, void* entry, int constant4);
// Format: with a null buffer and size 0 stores the bytes the formatted record needs in
// *requiredSize; with a buffer writes at most bufferSize bytes of the record into it.
typedef int(WINAPI* QenDrvLogFormatRecordFn)(int level, int format, void* entry, void* buffer,
                                             DWORD bufferSize, DWORD* requiredSize);
// Write: appends the formatted (self-delimiting) record to the log in directory under
// name; keeps none of the pointers. The last argument is always null.
typedef int(WINAPI* QenDrvLogWriteRecordFn)(const char* directory, const char* name,
                                            DWORD maxSize, int level, const void* data,
                                            void* zero);
