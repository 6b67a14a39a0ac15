// SPDX-License-Identifier: Apache-2.0
// Decoding the control records with the product's own layouts: every field is read from
// its struct member, so a change of a layout in core/records.h reaches the command too.
#include "tools/replay/record_decoder.h"

#include "tools/common/hex.h"
#include "tools/common/text.h"

#include <cstdio>
#include <cstring>

namespace spoolgate {
namespace {

using Json = nlohmann::ordered_json;

template <typename Record>
Record Load(const void* bytes) {
  Record r;
  std::memcpy(&r, bytes, sizeof r);
  return r;
}

}  // namespace

const char* RecordName(RecordKind kind) {
  switch (kind) {
    case RecordKind::JobHeader: return "JobHeaderRecord";
    case RecordKind::OverlayControl: return "OverlayControlRecord";
    case RecordKind::OverlayHeader: return "OverlayHeaderRecord";
    case RecordKind::ArchiveLocation: return "ArchiveLocationRecord";
    case RecordKind::ArchiveHeader: return "ArchiveHeaderRecord";
    case RecordKind::JobLog: return "JobLogRecord";
    case RecordKind::Tail: return "TailRecord";
  }
  return "?";
}

std::optional<RecordKind> RecordByMagic(const void* block, size_t size) {
  uint32_t magic = 0;
  if (size < sizeof magic) return std::nullopt;
  std::memcpy(&magic, block, sizeof magic);
  if (size == sizeof(JobLogRecord) && magic == JOB_LOG_RECORD_MAGIC) return RecordKind::JobLog;
  if (size == sizeof(TailRecord) && magic == TAIL_RECORD_MAGIC) return RecordKind::Tail;
  return std::nullopt;
}

Json JobFlagNames(uint32_t flags) {
  Json names = Json::array();
  if (flags & JOB_FLAG_OVERLAY) names.push_back("JOB_FLAG_OVERLAY");
  if (flags & JOB_FLAG_ARCHIVE) names.push_back("JOB_FLAG_ARCHIVE");
  if (flags & JOB_FLAG_ACCOUNTING) names.push_back("JOB_FLAG_ACCOUNTING");
  const uint32_t known = JOB_FLAG_OVERLAY | JOB_FLAG_ARCHIVE | JOB_FLAG_ACCOUNTING;
  if (flags & ~known) names.push_back("bits above 2: " + HexNumber(flags & ~known));
  return names;
}

const char* OverlayModeName(uint8_t mode) {
  if (mode & OVERLAY_MODE_REGISTER) return "register";
  if (mode & OVERLAY_MODE_RAW) return "raw insertion";
  return "framed insertion";
}

Json RecordFields(RecordKind kind, const void* record) {
  Json f = Json::object();
  switch (kind) {
    case RecordKind::JobHeader: {
      auto r = Load<JobHeaderRecord>(record);
      f["jobFlags"] = r.jobFlags;
      f["jobFlagNames"] = JobFlagNames(r.jobFlags);
      break;
    }
    case RecordKind::OverlayControl: {
      auto r = Load<OverlayControlRecord>(record);
      f["mode"] = r.mode;
      f["overlayMode"] = OverlayModeName(r.mode);
      f["overlayPath"] = FieldToUtf8(r.overlayPath, OVERLAY_PATH_CHARS);
      break;
    }
    case RecordKind::ArchiveLocation: {
      auto r = Load<ArchiveLocationRecord>(record);
      f["directory"] = FieldToUtf8(r.directory, ARCHIVE_TEXT_CHARS);
      f["fileName"] = FieldToUtf8(r.fileName, ARCHIVE_TEXT_CHARS);
      f["documentName"] = FieldToUtf8(r.documentName, ARCHIVE_TEXT_CHARS);
      break;
    }
    case RecordKind::ArchiveHeader: {
      auto r = Load<ArchiveHeaderRecord>(record);
      f["headerFlags"] = r.headerFlags;
      f["tailBit0"] = r.tailBit0;
      f["totalPages"] = r.totalPages;
      break;
    }
    case RecordKind::JobLog: {
      auto r = Load<JobLogRecord>(record);
      f["leadingText"] = FieldToUtf8(r.leadingText, sizeof r.leadingText / sizeof(WCHAR));
      f["fallbackDocumentName"] =
          FieldToUtf8(r.fallbackDocumentName, sizeof r.fallbackDocumentName / sizeof(WCHAR));
      char stamp[64];
      std::snprintf(stamp, sizeof stamp, "%04u-%02u-%02u %02u:%02u:%02u.%03u", r.year, r.month,
                    r.day, r.hour, r.minute, r.second, r.milliseconds);
      f["timeStamp"] = stamp;
      f["logFlags"] = r.logFlags;
      break;
    }
    case RecordKind::Tail: {
      auto r = Load<TailRecord>(record);
      f["tailFlags"] = r.tailFlags;
      f["tailPages"] = r.tailPages;
      break;
    }
    case RecordKind::OverlayHeader:
      break;  // the rendering side's bytes, written as they are
  }
  return f;
}

}  // namespace spoolgate
