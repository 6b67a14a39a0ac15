// SPDX-License-Identifier: Apache-2.0
// The capture file: one job's stream as the spooler delivers it (blocks with their exact
// sizes, page calls, the end), read and written one event at a time. See docs/capture-format.md.
#pragma once

#include "tools/common/file_magic.h"
#include "tools/common/output_file.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace spoolgate {

inline constexpr uint32_t kCaptureVersion = 1;
inline constexpr uint64_t kCaptureHeaderSize = 12;
// A block is handed to the plug-in in one call, so it has to be held whole; the bound
// keeps replaying any capture within a few MiB of memory.
inline constexpr uint32_t kMaxCaptureBlock = 4u << 20;

enum class EventKind : uint8_t {
  Block = 1,      // DrvSplWritePrinter: u32 size, then the bytes
  StartPage = 2,  // DrvSplStartPage
  EndPage = 3,    // DrvSplEndPage
  EndDoc = 4,     // DrvSplEndDoc, the last event
  Abort = 5,      // DrvSplAbort, the last event
};

const char* EventName(EventKind kind);

struct CaptureEvent {
  EventKind kind = EventKind::Block;
  uint64_t offset = 0;         // where the event starts in the file
  std::vector<uint8_t> bytes;  // the block's bytes (Block only); capacity is reused
};

// Reads a capture event by event; every length is checked against the bytes left in the
// file, and every fault throws InputError naming the file and the byte offset.
class CaptureReader {
 public:
  explicit CaptureReader(const std::string& path);
  ~CaptureReader();
  CaptureReader(const CaptureReader&) = delete;
  CaptureReader& operator=(const CaptureReader&) = delete;

  // The next event; false once the event that ends the job has been returned. With
  // skipData the block's bytes are passed over unread (event.bytes stays empty).
  bool Next(CaptureEvent& event, bool skipData = false);
  uint64_t Offset() const { return offset_; }
  uint64_t Size() const { return size_; }
  const std::string& Path() const { return path_; }

 private:
  void ReadExact(void* into, uint64_t count, const char* what);

  std::string path_;
  int fd_ = -1;
  uint64_t size_ = 0;
  uint64_t offset_ = 0;
  bool ended_ = false;
  // The bytes read ahead of the last read: the next event's kind and block size.
  uint8_t ahead_[64];
  uint64_t aheadAt_ = 0;
  size_t aheadLength_ = 0;
};

// Reads a whole capture without running it; throws InputError on the first fault.
// Returns the number of events.
uint64_t ValidateCapture(const std::string& path);

// Writes a capture; the file appears under its name only when Finish() succeeds (see
// OutputFile: an input is never the output).
class CaptureWriter {
 public:
  CaptureWriter(const std::string& path, const std::vector<std::string>& inputs = {});
  CaptureWriter(const CaptureWriter&) = delete;
  CaptureWriter& operator=(const CaptureWriter&) = delete;

  void Block(const uint8_t* data, uint32_t size);
  void Block(const std::vector<uint8_t>& data) {
    Block(data.data(), static_cast<uint32_t>(data.size()));
  }
  void Event(EventKind kind);  // any kind but Block
  void Finish();
  bool Ended() const { return ended_; }
  const OutputFile& Output() const { return file_; }

 private:
  OutputFile file_;
  bool ended_ = false;
};

}  // namespace spoolgate
