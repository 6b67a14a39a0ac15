// SPDX-License-Identifier: Apache-2.0
// The names and fields of the driver's control records, read through the layouts of
// core/records.h: the one place where the command knows what a record holds.
#pragma once

#include "core/records.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <optional>

namespace spoolgate {

enum class RecordKind {
  JobHeader,
  OverlayControl,
  OverlayHeader,
  ArchiveLocation,
  ArchiveHeader,
  JobLog,
  Tail,
};

const char* RecordName(RecordKind kind);
// The record a block holds by the magic its layout starts with (the two records that
// arrive among print data carry one); nothing for any other block.
std::optional<RecordKind> RecordByMagic(const void* block, size_t size);
// The fields of a record, numbers as numbers and texts as UTF-8; record points at a
// whole record of its kind (the plug-in's copy, or a block of the record's size).
nlohmann::ordered_json RecordFields(RecordKind kind, const void* record);

// "JOB_FLAG_OVERLAY", ... for the job flags set, and the bits above them in hex.
nlohmann::ordered_json JobFlagNames(uint32_t flags);
// "register", "raw insertion" or "framed insertion".
const char* OverlayModeName(uint8_t mode);

}  // namespace spoolgate
