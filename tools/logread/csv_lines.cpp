// SPDX-License-Identifier: Apache-2.0
// The CSV mechanics of a log file: records streamed through a buffer, split into their
// fields, and the checksum field at the end of each line.
#include "tools/logread/csv_lines.h"

#include "logger/crc32.h"
#include "logger/log_format.h"
#include "tools/common/portable.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace spoolgate {

CsvRecordReader::CsvRecordReader(const std::string& path) : buffer_(size_t(1) << 16), fill_(buffer_.size()) {
  file_ = OpenToRead(path);
}

CsvRecordReader::~CsvRecordReader() {
  if (file_ != nullptr) std::fclose(file_);
}

bool CsvRecordReader::Next(std::string& record, uint64_t& offset, bool& complete) {
  record.clear();
  offset = offset_;
  complete = false;
  for (;;) {
    if (begin_ == end_) {
      begin_ = 0;
      end_ = std::fread(buffer_.data(), 1, fill_, file_);
      fill_ = std::min(fill_ * 2, buffer_.size());
      if (end_ == 0) return !record.empty();
    }
    const char* start = buffer_.data() + begin_;
    const char* stop = buffer_.data() + end_;
    // The record ends at the first LF outside quotes, by the format's own rule.
    size_t end = LogFindRecordEnd(start, size_t(stop - start), &quoted_);
    if (start + end < stop) {
      const char* lf = start + end;
      record.append(start, lf);
      size_t taken = end + 1;
      begin_ += taken;
      offset_ += taken;
      if (!record.empty() && record.back() == '\r') record.pop_back();
      complete = true;
      return true;
    }
    record.append(start, stop);
    offset_ += uint64_t(stop - start);
    begin_ = end_;
  }
}

void CsvRecordReader::SkipTo(uint64_t offset) {
  if (file_ == nullptr || offset == offset_) return;
  // A record starts outside quotes. One within the bytes read is taken from there.
  quoted_ = 0;
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
  fill_ = 4096;
}

void SplitCsvInto(const std::string& record, std::vector<std::string>& fields) {
  size_t count = 0;
  auto next = [&]() -> std::string& {
    if (count == fields.size()) fields.emplace_back();
    std::string& f = fields[count++];
    f.clear();
    return f;
  };
  std::string* field = &next();
  bool quoted = false;
  const char* p = record.data();
  const char* end = p + record.size();
  while (p < end) {
    if (quoted) {
      const char* q = static_cast<const char*>(std::memchr(p, '"', size_t(end - p)));
      if (q == nullptr) {
        field->append(p, end);
        break;
      }
      field->append(p, q);
      if (q + 1 < end && q[1] == '"') {
        field->push_back('"');
        p = q + 2;
      } else {
        quoted = false;
        p = q + 1;
      }
      continue;
    }
    const char* q = p;
    while (q < end && *q != ',' && *q != '"') ++q;
    field->append(p, q);
    if (q == end) break;
    if (*q == ',') field = &next();
    else quoted = true;
    p = q + 1;
  }
  fields.resize(count);
}

std::vector<std::string> SplitCsv(const std::string& record) {
  std::vector<std::string> fields;
  SplitCsvInto(record, fields);
  return fields;
}

uint32_t Crc32(const std::string& bytes) { return Crc32Update(0, bytes.data(), bytes.size()); }

std::vector<std::string> HeaderColumns(const std::string& record) {
  if (LogRecogniseHeader(record.data(), record.size()) == LOG_HEADER_NONE) return {};
  size_t mark = record.compare(0, LOG_BYTE_ORDER_MARK_BYTES, LOG_BYTE_ORDER_MARK) == 0 ? LOG_BYTE_ORDER_MARK_BYTES : 0;
  return SplitCsv(record.substr(mark));
}

bool HasChecksumField(const std::string& raw) {
  uint32_t stored = 0;
  return LogReadChecksumField(raw.data(), raw.size(), &stored) != 0;
}

}  // namespace spoolgate
