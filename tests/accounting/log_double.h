// SPDX-License-Identifier: Apache-2.0
// What the test double of the logging library saw: every call with its arguments, the
// entry and the texts of its slots at the first format call. Shared by the doubles
// (which fill it) and the accounting tests (which read and configure it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace logdouble {

enum class CallKind { Load, Initialize, Format, Write, Unload };

struct Call {
  explicit Call(CallKind k) : kind(k) {}
  CallKind kind;
  int format = 0;                       // Initialize, Format
  int level = 0;                        // Format, Write
  int constant = 0;                     // Initialize
  const void* entry = nullptr;          // Initialize, Format
  const void* buffer = nullptr;         // Format
  uint32_t bufferSize = 0;              // Format
  const void* requiredSize = nullptr;   // Format
  std::string directory;                // Write
  std::string name;                     // Write
  uint32_t maxSize = 0;                 // Write
  const void* data = nullptr;           // Write
  const void* zero = nullptr;           // Write
};

struct Config {
  // The initialise call fills the whole entry with this byte, so that an entry byte
  // the plug-in does not write shows it.
  uint8_t sentinel = 0xA5;
  // What the first format call stores in *requiredSize; with storeRequiredSize false
  // it stores nothing.
  bool storeRequiredSize = true;
  uint32_t requiredSize = 40;
};

struct State {
  Config config;
  std::vector<Call> calls;
  std::vector<uint8_t> entry;                       // at the first format call
  std::map<size_t, std::vector<uint8_t>> slots;     // slot offset -> its buffer's bytes
  std::vector<uint8_t> written;                     // the record the write call got
};

// Text buffers of the entries: slot offset and buffer size in bytes.
struct Slot {
  size_t offset;
  size_t bytes;
};
extern const Slot kStandardSlots[13];
extern const Slot kExtendedExtraSlot;

State& GetState();
// Clears calls and snapshots and restores the default configuration.
void Reset();

}  // namespace logdouble
