// SPDX-License-Identifier: Apache-2.0
// Builders for job-stream blocks (see records_builder.h).
// Records are assembled through the product's own structs, so layouts cannot drift.
#include "tests/support/records_builder.h"

#include <cstdio>
#include <cstring>

namespace sgtest {

Bytes Data(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes Pattern(size_t size, uint8_t seed) {
  Bytes out(size);
  uint32_t x = 0x9E3779B9u ^ seed;
  for (size_t i = 0; i < size; ++i) {
    x = x * 1664525u + 1013904223u;
    out[i] = static_cast<uint8_t>(x >> 24);
  }
  return out;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

std::string Hex(const Bytes& bytes, size_t limit) {
  std::string out;
  char buf[4];
  for (size_t i = 0; i < bytes.size() && i < limit; ++i) {
    std::snprintf(buf, sizeof buf, "%02X ", bytes[i]);
    out += buf;
  }
  if (bytes.size() > limit) out += "...";
  return out;
}

Bytes JobHeader(uint32_t jobFlags, uint8_t restFill) {
  JobHeaderRecord r;
  r.jobFlags = jobFlags;
  std::memset(r.rest, restFill, sizeof r.rest);
  return AsBytes(r);
}

Bytes OverlayControl(uint8_t mode, std::u16string_view overlayPath) {
  OverlayControlRecord r;
  std::memset(&r, 0, sizeof r);
  r.mode = mode;
  std::memset(r.unused, 0xEE, sizeof r.unused);
  SetText(r.overlayPath, overlayPath);
  return AsBytes(r);
}

Bytes OverlayHeader(uint8_t seed) { return Pattern(sizeof(OverlayHeaderRecord), seed); }

Bytes ArchiveLocation(std::u16string_view directory, std::u16string_view fileName,
                      std::u16string_view documentName) {
  ArchiveLocationRecord r;
  SetText(r.directory, directory);
  SetText(r.fileName, fileName);
  SetText(r.documentName, documentName);
  return AsBytes(r);
}

ArchiveHeaderRecord MakeArchiveHeader(uint32_t headerFlags, uint32_t tailBit0,
                                      uint32_t totalPages, uint8_t seed) {
  ArchiveHeaderRecord r;
  Bytes fill = Pattern(sizeof r, seed);
  std::memcpy(&r, fill.data(), sizeof r);
  r.headerFlags = headerFlags;
  r.tailBit0 = tailBit0;
  r.totalPages = totalPages;
  return r;
}

Bytes ArchiveHeader(uint32_t headerFlags, uint32_t tailBit0, uint32_t totalPages, uint8_t seed) {
  return AsBytes(MakeArchiveHeader(headerFlags, tailBit0, totalPages, seed));
}

Bytes Tail(uint32_t tailFlags, uint32_t tailPages) {
  TailRecord r;
  r.magic = TAIL_RECORD_MAGIC;
  r.tailFlags = tailFlags;
  r.tailPages = tailPages;
  std::memset(r.rest, 0x5A, sizeof r.rest);
  return AsBytes(r);
}

Bytes Marker() { return Bytes(std::begin(kOverlayMarker), std::end(kOverlayMarker)); }
Bytes BeginCommand() {
  return Bytes(std::begin(kOverlayBeginCommand), std::end(kOverlayBeginCommand));
}
Bytes EndCommand() { return Bytes(std::begin(kOverlayEndCommand), std::end(kOverlayEndCommand)); }

JobLogRecord NewJobLog() {
  JobLogRecord r;
  std::memset(&r, 0, sizeof r);
  r.magic = JOB_LOG_RECORD_MAGIC;
  SetText(r.leadingText, u"PrintLog");
  SetText(r.fallbackDocumentName, u"Fallback.plt");
  r.year = 2026;
  r.month = 12;
  r.day = 7;
  r.hour = 9;
  r.minute = 41;
  r.second = 5;
  r.milliseconds = 250;
  r.dayOfWeek = 1;
  return r;
}

uint32_t U32At(const Bytes& bytes, size_t offset) {
  uint32_t v = 0;
  if (offset + 4 <= bytes.size()) std::memcpy(&v, bytes.data() + offset, 4);
  return v;
}

}  // namespace sgtest
