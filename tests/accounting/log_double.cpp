// SPDX-License-Identifier: Apache-2.0
// A double of the logging library: the three entry points with the call contract the
// plug-in relies on, recording everything into the shared State. Built twice, once
// without QenDrvLogFormatRecord.
#include "platform/win32.h"
#include "tests/accounting/log_double.h"

#include <cstring>

using logdouble::Call;
using logdouble::CallKind;
using logdouble::GetState;

namespace {

size_t EntryBytes(int format) { return format == 3 ? 752 : 496; }

[[maybe_unused]] void Snapshot(int format, const void* entry) {
  logdouble::State& state = GetState();
  const uint8_t* bytes = static_cast<const uint8_t*>(entry);
  state.entry.assign(bytes, bytes + EntryBytes(format));
  auto copySlot = [&](const logdouble::Slot& slot) {
    const uint8_t* buffer = nullptr;
    std::memcpy(&buffer, bytes + slot.offset, sizeof(buffer));
    if (buffer != nullptr) state.slots[slot.offset].assign(buffer, buffer + slot.bytes);
  };
  for (const logdouble::Slot& slot : logdouble::kStandardSlots) copySlot(slot);
  if (format == 3) copySlot(logdouble::kExtendedExtraSlot);
}

uint32_t lastBufferSize = 0;

__attribute__((constructor)) void OnLoad() { GetState().calls.push_back(Call(CallKind::Load)); }
__attribute__((destructor)) void OnUnload() {
  GetState().calls.push_back(Call(CallKind::Unload));
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int WINAPI
QenDrvLogInitializeInfo(int format, void* entry, int constant4) {
  Call call(CallKind::Initialize);
  call.format = format;
  call.entry = entry;
  call.constant = constant4;
  GetState().calls.push_back(call);
  std::memset(entry, GetState().config.sentinel, EntryBytes(format));
  return 1;
}

#ifndef LOG_DOUBLE_WITHOUT_FORMAT
extern "C" __attribute__((visibility("default"))) int WINAPI
QenDrvLogFormatRecord(int level, int format, void* entry, void* buffer, DWORD bufferSize,
                      DWORD* requiredSize) {
  logdouble::State& state = GetState();
  bool first = true;
  for (const Call& c : state.calls) first = first && c.kind != CallKind::Format;
  Call call(CallKind::Format);
  call.level = level;
  call.format = format;
  call.entry = entry;
  call.buffer = buffer;
  call.bufferSize = bufferSize;
  call.requiredSize = requiredSize;
  state.calls.push_back(call);
  if (first) Snapshot(format, entry);
  if (buffer == nullptr) {
    if (state.config.storeRequiredSize) *requiredSize = state.config.requiredSize;
  } else {
    // A self-delimiting record: as many 'R' bytes as fit, the last one a zero.
    std::memset(buffer, 'R', bufferSize);
    if (bufferSize > 0) static_cast<char*>(buffer)[bufferSize - 1] = 0;
    lastBufferSize = bufferSize;
  }
  return 1;
}
#endif

extern "C" __attribute__((visibility("default"))) int WINAPI
QenDrvLogWriteRecord(const char* directory, const char* name, DWORD maxSize, int level,
                     const void* data, void* zero) {
  logdouble::State& state = GetState();
  Call call(CallKind::Write);
  call.directory = directory != nullptr ? directory : "(null)";
  call.name = name != nullptr ? name : "(null)";
  call.maxSize = maxSize;
  call.level = level;
  call.data = data;
  call.zero = zero;
  state.calls.push_back(call);
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  if (bytes != nullptr) state.written.assign(bytes, bytes + lastBufferSize);
  return 1;
}
