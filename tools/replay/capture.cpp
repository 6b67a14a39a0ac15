// SPDX-License-Identifier: Apache-2.0
// Reading and writing capture files, streamed: never more than one block in memory.
#include "tools/replay/capture.h"

#include "tools/common/errors.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

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
  // Checked before the open, which would wait for a writer on a FIFO.
  struct stat info;
  if (stat(path.c_str(), &info) != 0) throw InputError(path + ": " + std::strerror(errno));
  if (!S_ISREG(info.st_mode)) throw InputError(path + ": not a regular file");
  size_ = static_cast<uint64_t>(info.st_size);
  fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) throw InputError(path + ": " + std::strerror(errno));
  auto refuse = [&](uint64_t at, const std::string& why) {
    close(fd_);
    fd_ = -1;
    throw ByteError(path, at, why);
  };
  if (size_ < kCaptureHeaderSize) {
    refuse(size_, "not a capture: " + std::to_string(size_) +
                      " bytes, shorter than the 12-byte capture header");
  }
  uint8_t header[kCaptureHeaderSize];
  ReadExact(header, sizeof header, "capture header");
  if (std::memcmp(header, kCaptureMagic, sizeof kCaptureMagic) != 0) refuse(0, "not a capture: wrong magic");
  uint32_t version = LoadU32(header + 8);
  if (version != kCaptureVersion) {
    refuse(8, "capture version " + std::to_string(version) +
                  " is not supported (this build reads version " + std::to_string(kCaptureVersion) + ")");
  }
}

CaptureReader::~CaptureReader() {
  if (fd_ >= 0) close(fd_);
}

// Reads at offset_ without moving a file pointer. A block's bytes come straight from the
// kernel into the caller's buffer, and the same call brings the next event's kind and
// size into ahead_: one system call a block, as a copy in the block size makes.
void CaptureReader::ReadExact(void* into, uint64_t count, const char* what) {
  if (count == 0) return;  // an empty block's buffer may be null
  auto* out = static_cast<uint8_t*>(into);
  uint64_t done = 0;
  if (offset_ >= aheadAt_ && offset_ - aheadAt_ < aheadLength_) {
    size_t from = size_t(offset_ - aheadAt_);
    size_t take = size_t(std::min<uint64_t>(count, aheadLength_ - from));
    std::memcpy(out, ahead_ + from, take);
    done = take;
  }
  while (done < count) {
    uint64_t at = offset_ + done, wanted = count - done;
    ssize_t got;
    if (wanted < sizeof ahead_) {
      got = pread(fd_, ahead_, sizeof ahead_, off_t(at));
      if (got > 0) {
        aheadAt_ = at;
        aheadLength_ = size_t(got);
        size_t take = size_t(std::min<uint64_t>(wanted, uint64_t(got)));
        std::memcpy(out + done, ahead_, take);
        done += take;
        continue;
      }
    } else {
      struct iovec parts[2] = {{out + done, size_t(wanted)}, {ahead_, sizeof ahead_}};
      got = preadv(fd_, parts, 2, off_t(at));
      if (got > 0) {
        if (uint64_t(got) > wanted) {
          aheadAt_ = at + wanted;
          aheadLength_ = size_t(uint64_t(got) - wanted);
          done = count;
        } else {
          done += uint64_t(got);
        }
        continue;
      }
    }
    if (got < 0 && errno == EINTR) continue;
    std::string why = got < 0 ? std::string(": ") + std::strerror(errno) : std::string();
    throw ByteError(path_, offset_ + done, std::string("read error in ") + what + why);
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
  if (event.kind != EventKind::Block || skipData) event.bytes.clear();
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
      offset_ += size;
    } else {
      // Not cleared first: a block of the last block's size is read over it, unfilled.
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
