// SPDX-License-Identifier: Apache-2.0
// The CSV mechanics of a log file: records cut in place in a read buffer, split into
// views of their fields, and the checksum field at the end of each line.
#include "tools/logread/csv_lines.h"

#include "logger/log_format.h"
#include "tools/common/portable.h"

#include <algorithm>
#include <cstring>

namespace spoolgate {

namespace {

constexpr size_t kReadBuffer = size_t(1) << 18;
constexpr size_t kFirstRead = 4096;

}  // namespace

// The first read asks for a few KiB, which is all a reader of a file's first lines (the
// generations' first numbers) needs; the reads double from there.
CsvRecordReader::CsvRecordReader(const std::string& path) : buffer_(kReadBuffer), fill_(kFirstRead) {
  file_ = OpenToRead(path);
}

CsvRecordReader::~CsvRecordReader() {
  if (file_ != nullptr) std::fclose(file_);
}

bool CsvRecordReader::Fill() {
  if (begin_ != 0) {
    std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  // Only a record longer than the buffer makes it grow: it has to be whole to be cut.
  if (end_ == buffer_.size()) buffer_.resize(buffer_.size() * 2);
  size_t got = std::fread(buffer_.data() + end_, 1, std::min(fill_, buffer_.size() - end_), file_);
  fill_ = std::min(fill_ * 2, kReadBuffer);
  end_ += got;
  return got != 0;
}

bool CsvRecordReader::Next(std::string_view& record, uint64_t& offset, bool& complete) {
  offset = offset_;
  complete = false;
  if (file_ == nullptr) return false;
  // The record ends at the first LF outside quotes, by the format's own rule. scanned
  // counts the bytes of the record looked at so far, which stay valid when Fill moves
  // them.
  size_t scanned = 0;
  int quoted = 0;
  for (;;) {
    const char* start = buffer_.data() + begin_;
    size_t available = end_ - begin_;
    size_t lf = scanned + LogFindRecordEnd(start + scanned, available - scanned, &quoted);
    if (lf < available) {
      size_t length = lf != 0 && start[lf - 1] == '\r' ? lf - 1 : lf;
      record = std::string_view(start, length);
      begin_ += lf + 1;
      offset_ += lf + 1;
      complete = true;
      return true;
    }
    scanned = available;
    if (!Fill()) break;
  }
  if (begin_ == end_) return false;
  record = std::string_view(buffer_.data() + begin_, end_ - begin_);
  offset_ += end_ - begin_;
  begin_ = end_;
  return true;
}

bool CsvRecordReader::Next(std::string& record, uint64_t& offset, bool& complete) {
  std::string_view view;
  if (!Next(view, offset, complete)) return false;
  record.assign(view.data(), view.size());
  return true;
}

void CsvRecordReader::SkipTo(uint64_t offset) {
  if (file_ == nullptr || offset == offset_) return;
  // A record starts outside quotes. One within the bytes read is taken from there.
  uint64_t bufferStart = offset_ - begin_;
  if (offset >= bufferStart && offset < bufferStart + end_) {
    begin_ = size_t(offset - bufferStart);
    offset_ = offset;
    return;
  }
  if (fseeko(file_, off_t(offset), SEEK_SET) != 0) return;
  offset_ = offset;
  begin_ = end_ = 0;
  // Records read out of order want a few KiB each, not a whole buffer.
  fill_ = kFirstRead;
}

bool CsvRecordReader::ReadAt(uint64_t offset, size_t length, std::string_view& bytes) {
  if (file_ == nullptr) return false;
  uint64_t bufferStart = offset_ - begin_;
  if (offset < bufferStart || offset + length > bufferStart + end_) {
    // Read from offset on; the file is not sought when it is there already.
    if (offset != bufferStart + end_ && fseeko(file_, off_t(offset), SEEK_SET) != 0) return false;
    if (buffer_.size() < length) buffer_.resize(length);
    begin_ = 0;
    end_ = std::fread(buffer_.data(), 1, length, file_);
    offset_ = bufferStart = offset;
    if (end_ < length) return false;
  }
  begin_ = size_t(offset - bufferStart);
  offset_ = offset;
  bytes = std::string_view(buffer_.data() + begin_, length);
  return true;
}

namespace {

// Appends one field that holds quotes, as far as its closing comma, to out without them;
// returns where the comma (or the end) is.
const char* UnquoteField(const char* p, const char* end, std::string& out) {
  bool quoted = false;
  while (p < end) {
    if (quoted) {
      const char* q = static_cast<const char*>(std::memchr(p, '"', size_t(end - p)));
      if (q == nullptr) {
        out.append(p, end);
        return end;
      }
      out.append(p, q);
      if (q + 1 < end && q[1] == '"') {
        out.push_back('"');
        p = q + 2;
      } else {
        quoted = false;
        p = q + 1;
      }
      continue;
    }
    const char* q = p;
    while (q < end && *q != ',' && *q != '"') ++q;
    out.append(p, q);
    if (q == end || *q == ',') return q;
    quoted = true;
    p = q + 1;
  }
  return p;
}

}  // namespace

void SplitCsvViews(std::string_view record, std::vector<std::string_view>& fields, std::string& scratch,
                   size_t limit) {
  fields.clear();
  if (limit == 0) return;
  // Unquoted fields never take more room than the record: the views into scratch stay
  // where they are.
  scratch.clear();
  scratch.reserve(record.size());
  const char* p = record.data();
  const char* end = p + record.size();
  if (std::memchr(p, '"', record.size()) == nullptr) {
    // No quotes, as in most lines: the commas alone cut the fields.
    for (;;) {
      const char* q = static_cast<const char*>(std::memchr(p, ',', size_t(end - p)));
      fields.emplace_back(p, size_t((q != nullptr ? q : end) - p));
      if (q == nullptr || fields.size() == limit) return;
      p = q + 1;
    }
  }
  for (;;) {
    const char* q = p;
    while (q < end && *q != ',' && *q != '"') ++q;
    if (q < end && *q == '"') {
      size_t at = scratch.size();
      q = UnquoteField(p, end, scratch);
      fields.emplace_back(scratch.data() + at, scratch.size() - at);
    } else {
      fields.emplace_back(p, size_t(q - p));
    }
    if (q >= end || fields.size() == limit) return;
    p = q + 1;
  }
}

std::vector<std::string> SplitCsv(const std::string& record) {
  std::vector<std::string_view> views;
  std::string scratch;
  SplitCsvViews(record, views, scratch);
  return std::vector<std::string>(views.begin(), views.end());
}

std::vector<std::string> HeaderColumns(const std::string& record) {
  if (LogRecogniseHeader(record.data(), record.size()) == LOG_HEADER_NONE) return {};
  size_t mark = record.compare(0, LOG_BYTE_ORDER_MARK_BYTES, LOG_BYTE_ORDER_MARK) == 0 ? LOG_BYTE_ORDER_MARK_BYTES : 0;
  return SplitCsv(record.substr(mark));
}

bool HasChecksumField(std::string_view raw) {
  uint32_t stored = 0;
  return LogReadChecksumField(raw.data(), raw.size(), &stored) != 0;
}

}  // namespace spoolgate
