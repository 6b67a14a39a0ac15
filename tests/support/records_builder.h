// SPDX-License-Identifier: Apache-2.0
// Builders for the blocks of a job stream: control records field by field, print
// data, the overlay marker, and byte helpers for comparing what came out.
#pragma once

#include "core/records.h"

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace sgtest {

using Bytes = std::vector<uint8_t>;

Bytes Data(std::string_view text);
Bytes Pattern(size_t size, uint8_t seed);  // deterministic, non-repeating-looking bytes
Bytes Concat(std::initializer_list<Bytes> parts);
std::string Hex(const Bytes& bytes, size_t limit = 64);

template <typename Record>
Bytes AsBytes(const Record& record) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(&record);
  return Bytes(p, p + sizeof(Record));
}

// Writes text into a fixed UTF-16 field; terminated when it is shorter than the field,
// filling the field without terminator when it has exactly the field's length.
template <size_t N>
void SetText(WCHAR (&field)[N], std::u16string_view text) {
  for (size_t i = 0; i < N; ++i) field[i] = i < text.size() ? static_cast<WCHAR>(text[i]) : 0;
}
template <size_t N>
void SetAnsi(char (&field)[N], std::string_view text) {
  for (size_t i = 0; i < N; ++i) field[i] = i < text.size() ? text[i] : 0;
}

Bytes JobHeader(uint32_t jobFlags, uint8_t restFill = 0xA5);
Bytes OverlayControl(uint8_t mode, std::u16string_view overlayPath);
Bytes OverlayHeader(uint8_t seed = 0x11);
Bytes ArchiveLocation(std::u16string_view directory, std::u16string_view fileName,
                      std::u16string_view documentName);
ArchiveHeaderRecord MakeArchiveHeader(uint32_t headerFlags, uint32_t tailBit0,
                                      uint32_t totalPages, uint8_t seed = 0x33);
Bytes ArchiveHeader(uint32_t headerFlags = 0, uint32_t tailBit0 = 0, uint32_t totalPages = 0,
                    uint8_t seed = 0x33);
Bytes Tail(uint32_t tailFlags, uint32_t tailPages);
Bytes Marker();
Bytes BeginCommand();
Bytes EndCommand();
// A JobLogRecord with its magic, a leading text, a fallback document name and a time
// stamp of 2026-12-07 (a Monday) 09:41:05.250; all other fields zero.
JobLogRecord NewJobLog();

uint32_t U32At(const Bytes& bytes, size_t offset);

}  // namespace sgtest
