// SPDX-License-Identifier: Apache-2.0
// Reading a folder of accounting logs: logs found by their sequence files, generations
// ordered by their first sequence number, and each line checked against its CRC-32.
#include "tools/logread/log_folder.h"

#include "logger/log_format.h"
#include "tools/common/errors.h"
#include "tools/common/portable.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

namespace fs = std::filesystem;

namespace spoolgate {

namespace {

constexpr size_t kReadBuffer = size_t(1) << 18;

}  // namespace

CsvRecordReader::CsvRecordReader(const std::string& path) : buffer_(kReadBuffer), fill_(kReadBuffer) {
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
  fill_ = 4096;
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

namespace {

// The format's checksum rule, with the tools' own CRC-32.
bool ChecksumOk(std::string_view raw) {
  uint32_t stored = 0;
  return LogReadChecksumField(raw.data(), raw.size(), &stored) &&
         Crc32(raw.substr(0, raw.size() - LOG_CHECKSUM_FIELD_BYTES)) == stored;
}

// The first number of a good line in the file, UINT64_MAX when it has none.
uint64_t FirstSequence(const std::string& file) {
  LogLineReader reader(file, false);
  LogEntry e;
  while (reader.Next(e)) {
    if (e.checksumOk && e.sequence != 0) return e.sequence;
  }
  return UINT64_MAX;
}

}  // namespace

LogFolder FindLogFolder(const std::string& dir, bool requireLog) {
  std::error_code ec;
  if (!fs::is_directory(PathOf(dir), ec)) throw InputError(dir + ": no such directory");
  std::vector<fs::path> csv, pending;
  std::set<std::string> sequenceNames;
  for (const auto& item : fs::directory_iterator(PathOf(dir), ec)) {
    if (!item.is_regular_file(ec)) continue;
    std::string ext = Utf8Of(item.path().extension());
    std::transform(ext.begin(), ext.end(), ext.begin(), ::tolower);
    if (ext == LOG_SEQUENCE_SUFFIX) sequenceNames.insert(Utf8Of(item.path().stem()));
    if (ext == LOG_CURRENT_SUFFIX) csv.push_back(item.path());
    if (ext == LOG_PENDING_SUFFIX) pending.push_back(item.path());
  }
  std::map<std::string, LogSet> logs;
  for (const std::string& name : sequenceNames) {
    LogSet& log = logs[name];
    log.name = name;
    std::ifstream in(PathOf(dir) / PathOf(name + LOG_SEQUENCE_SUFFIX), std::ios::binary);
    char text[LOG_SEQUENCE_FILE_BYTES];
    in.read(text, sizeof text);
    uint64_t value = 0;
    if (LogParseSequenceFile(text, size_t(in.gcount()), &value) == LOG_SEQUENCE_FILE_SOUND)
      log.sequenceValue = value;
  }
  LogFolder folder;
  struct Ordered {
    uint64_t first;
    bool current;
    std::string path;
  };
  std::map<std::string, std::vector<Ordered>> files;
  for (const fs::path& item : csv) {
    std::string stem = Utf8Of(item.stem()), path = Utf8Of(item);
    size_t base = 0;
    if (sequenceNames.count(stem)) {
      logs[stem].hasCurrent = true;
      files[stem].push_back({FirstSequence(path), true, path});
    } else if (LogIsGenerationStem(stem.data(), stem.size(), &base) && sequenceNames.count(stem.substr(0, base))) {
      files[stem.substr(0, base)].push_back({FirstSequence(path), false, path});
    } else {
      folder.strayFiles.push_back(path);
    }
  }
  for (const fs::path& item : pending) {
    std::string stem = Utf8Of(item.stem());
    if (sequenceNames.count(stem)) logs[stem].pendingFile = Utf8Of(item);
    else folder.strayFiles.push_back(Utf8Of(item));
  }
  for (auto& [name, log] : logs) {
    auto& list = files[name];
    // A file without a good line (a current file holding only its header) goes last.
    std::sort(list.begin(), list.end(), [](const Ordered& a, const Ordered& b) {
      if (a.first != b.first) return a.first < b.first;
      if (a.current != b.current) return b.current;
      return a.path < b.path;
    });
    for (const Ordered& f : list) log.files.push_back(f.path);
    folder.logs.push_back(std::move(log));
  }
  std::sort(folder.strayFiles.begin(), folder.strayFiles.end());
  if (requireLog && folder.logs.empty()) throw InputError(dir + ": no accounting log here (no <name>.seq file)");
  return folder;
}

LogLineReader::LogLineReader(const std::string& file, bool pending, const std::vector<std::string>* wanted)
    : reader_(file),
      file_(file),
      pending_(pending),
      header_(std::make_shared<const std::vector<std::string>>()),
      wanted_(wanted) {
  if (!reader_.Ok()) throw InputError(file + ": cannot be read");
}

bool LogLineReader::Next(LogEntry& e) {
  for (;;) {
    if (!reader_.Next(e.raw, e.offset, e.complete)) return false;
    e.headerMissing = false;
    if (++recordNo_ == 1) {
      std::vector<std::string> columns = HeaderColumns(std::string(e.raw));
      if (!columns.empty()) {
        header_ = std::make_shared<const std::vector<std::string>>(std::move(columns));
        if (wanted_ != nullptr) {
          limit_ = 0;
          for (const std::string& name : *wanted_) {
            auto at = std::find(header_->begin(), header_->end(), name);
            if (at != header_->end()) limit_ = std::max(limit_, size_t(at - header_->begin()) + 1);
          }
        }
        continue;
      }
      e.headerMissing = true;
    }
    if (e.file != file_) e.file = file_;
    if (e.header != header_) e.header = header_;
    e.recordNo = recordNo_;
    e.pending = pending_;
    e.checksumOk = e.complete && ChecksumOk(e.raw);
    e.sequence = LogRecordNumber(e.raw.data(), e.raw.size());
    SplitCsvViews(e.raw, e.fields, scratch_, limit_);
    return true;
  }
}

}  // namespace spoolgate
