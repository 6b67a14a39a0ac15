// SPDX-License-Identifier: Apache-2.0
// The control records a job description can write: each record's fields by their names
// in core/records.h, with offset, size and type, and the constants a value may name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace spoolgate {

enum class FieldKind { U8, U16, U32, U32List, Utf16, Ansi, Bytes };

struct FieldLayout {
  const char* name;
  size_t offset;
  size_t size;
  FieldKind kind;
};

struct RecordLayout {
  const char* name;
  size_t size;
  std::vector<FieldLayout> fields;
  bool hasMagic;
  uint32_t magic;
};

// Every record, in the order of core/records.h.
const std::vector<RecordLayout>& Records();
// JOB_FLAG_*, OVERLAY_MODE_*, LOG_FLAG_* and the records' magic numbers by name.
const std::map<std::string, uint64_t>& Constants();

}  // namespace spoolgate
