// Reading and writing capture files, streamed: never more than one block in memory.
#include "tools/capture.h"

#include "tools/errors.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace spoolgate {

const char* EventName(EventKind kind) {
  switch (kind) {
    case EventKind::Block: return "DrvSplWritePrinter";
    case EventKind::StartPage: return "DrvSplStartPage";
    case EventKind::EndPage: return "DrvSplEndPage";
    case EventKind::EndDoc: return "DrvSplEndDoc";
    case EventKind::Abort: return "DrvSplAbort";
  }
  return "?";
}

static uint32_t LoadU32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

CaptureReader::CaptureReader(const std::string& path) : path_(path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) throw InputError(path + ": " + std::strerror(errno));
  if (!S_ISREG(info.st_mode)) throw InputError(path + ": not a regular file");
  size_ = static_cast<uint64_t>(info.st_size);
  file_ = std::fopen(path.c_str(), "rb");
  if (file_ == nullptr) throw InputError(path + ": " + std::strerror(errno));
  uint8_t header[kCaptureHeaderSize];
  if (size_ < kCaptureHeaderSize) {
    std::fclose(file_);
    file_ = nullptr;
    throw ByteError(path, size_, "not a capture: " + std::to_string(size_) +
                                     " bytes, shorter than the 12-byte capture header");
  }
  ReadExact(header, sizeof header, "capture header");
  if (std::memcmp(header, kCaptureMagic, sizeof kCaptureMagic) != 0) {
    std::fclose(file_);
    file_ = nullptr;
    throw ByteError(path, 0, "not a capture: wrong magic");
  }
  uint32_t version = LoadU32(header + 8);
  if (version != kCaptureVersion) {
    std::fclose(file_);
    file_ = nullptr;
    throw ByteError(path, 8, "capture version " + std::to_string(version) +
                                 " is not supported (this build reads version " +
                                 std::to_string(kCaptureVersion) + ")");
  }
}

CaptureReader::~CaptureReader() {
  if (file_ != nullptr) std::fclose(file_);
}

void CaptureReader::ReadExact(void* into, uint64_t count, const char* what) {
  if (count == 0) return;
  size_t got = std::fread(into, 1, count, file_);
  if (got != count) {
    throw ByteError(path_, offset_ + got, std::string("read error in ") + what);
  }
  offset_ += count;
}

bool CaptureReader::Next(CaptureEvent& event, bool skipData) {
  if (ended_) return false;
  event.offset = offset_;
  if (offset_ == size_) {
    throw ByteError(path_, offset_, "capture ends without DrvSplEndDoc or DrvSplAbort (truncated)");
  }
  uint8_t kind = 0;
  ReadExact(&kind, 1, "event kind");
  if (kind < uint8_t(EventKind::Block) || kind > uint8_t(EventKind::Abort)) {
    throw ByteError(path_, event.offset, "unknown event kind " + std::to_string(kind));
  }
  event.kind = static_cast<EventKind>(kind);
  event.bytes.clear();
  if (event.kind == EventKind::Block) {
    if (size_ - offset_ < 4) {
      throw ByteError(path_, offset_, "block size cut off (truncated)");
    }
    uint8_t sizeBytes[4];
    ReadExact(sizeBytes, 4, "block size");
    uint32_t size = LoadU32(sizeBytes);
    if (size > kMaxCaptureBlock) {
      throw ByteError(path_, event.offset + 1,
                      "block of " + std::to_string(size) + " bytes is larger than the limit of " +
                          std::to_string(kMaxCaptureBlock));
    }
    if (size > size_ - offset_) {
      throw ByteError(path_, offset_, "block of " + std::to_string(size) + " bytes but only " +
                                          std::to_string(size_ - offset_) +
                                          " bytes left (truncated)");
    }
    if (skipData) {
      // The size was checked against the file's length; only the structure is read.
      if (std::fseek(file_, long(size), SEEK_CUR) != 0) {
        throw ByteError(path_, offset_, std::string("read error in block: ") + std::strerror(errno));
      }
      offset_ += size;
    } else {
      event.bytes.resize(size);
      ReadExact(event.bytes.data(), size, "block");
    }
  } else if (event.kind == EventKind::EndDoc || event.kind == EventKind::Abort) {
    ended_ = true;
    if (offset_ != size_) {
      throw ByteError(path_, offset_, std::to_string(size_ - offset_) +
                                          " bytes after the end of the job");
    }
  }
  return true;
}

uint64_t ValidateCapture(const std::string& path) {
  CaptureReader reader(path);
  CaptureEvent event;
  uint64_t count = 0;
  while (reader.Next(event, true)) ++count;
  return count;
}

CaptureWriter::CaptureWriter(const std::string& path, const std::vector<std::string>& inputs)
    : file_(path, inputs) {
  uint8_t header[kCaptureHeaderSize];
  std::memcpy(header, kCaptureMagic, sizeof kCaptureMagic);
  for (int i = 0; i < 4; ++i) header[8 + i] = uint8_t(kCaptureVersion >> (8 * i));
  file_.Write(header, sizeof header);
}

void CaptureWriter::Block(const uint8_t* data, uint32_t size) {
  uint8_t head[5] = {uint8_t(EventKind::Block), uint8_t(size), uint8_t(size >> 8),
                     uint8_t(size >> 16), uint8_t(size >> 24)};
  file_.Write(head, sizeof head);
  file_.Write(data, size);
}

void CaptureWriter::Event(EventKind kind) {
  uint8_t k = uint8_t(kind);
  file_.Write(&k, 1);
  if (kind == EventKind::EndDoc || kind == EventKind::Abort) ended_ = true;
}

void CaptureWriter::Finish() { file_.Commit(); }

}  // namespace spoolgate
