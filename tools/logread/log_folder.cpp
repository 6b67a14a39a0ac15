// SPDX-License-Identifier: Apache-2.0
// Reading a folder of accounting logs: logs found by their sequence files, generations
// ordered by their first sequence number, and each line checked against its CRC-32.
#include "tools/logread/log_folder.h"

#include "logger/sequence_number.h"
#include "tools/common/errors.h"
#include "tools/common/portable.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
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
  // The record ends at the first LF with an even number of quotes before it in the
  // record; an LF inside quotes belongs to a text. scanned counts the bytes of the
  // record looked at so far, which stay valid when Fill moves them.
  size_t scanned = 0;
  bool quoted = false;
  for (;;) {
    const char* start = buffer_.data() + begin_;
    const char* stop = buffer_.data() + end_;
    for (const char* p = start + scanned; p < stop;) {
      const char* lf = static_cast<const char*>(std::memchr(p, '\n', size_t(stop - p)));
      const char* to = lf != nullptr ? lf : stop;
      for (const char* q = p; (q = static_cast<const char*>(std::memchr(q, '"', size_t(to - q)))) != nullptr; ++q) {
        quoted = !quoted;
      }
      if (lf == nullptr) break;
      p = lf + 1;
      if (!quoted) {
        size_t length = size_t(lf - start);
        if (length != 0 && lf[-1] == '\r') --length;
        record = std::string_view(start, length);
        size_t taken = size_t(p - start);
        begin_ += taken;
        offset_ += taken;
        complete = true;
        return true;
      }
    }
    scanned = end_ - begin_;
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

void SplitCsvViews(std::string_view record, std::vector<std::string_view>& fields, std::string& scratch) {
  fields.clear();
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
      if (q == nullptr) return;
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
    if (q >= end) return;
    p = q + 1;
  }
}

std::vector<std::string> SplitCsv(const std::string& record) {
  std::vector<std::string_view> views;
  std::string scratch;
  SplitCsvViews(record, views, scratch);
  return std::vector<std::string>(views.begin(), views.end());
}

bool HasChecksumField(std::string_view raw) {
  size_t n = raw.size();
  return n >= 10 && raw[n - 9] == ',' &&
         std::all_of(raw.end() - 8, raw.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
}

namespace {

constexpr char kBom[] = "\xEF\xBB\xBF";

// The line's leading number, 0 when it has none (or one past the limit the writer and
// the importer keep to).
uint64_t LeadingNumber(std::string_view raw) {
  size_t digits = 0;
  uint64_t value = ParseSequenceNumber(raw.data(), raw.size(), &digits);
  if (digits == 0 || value > LOG_SEQUENCE_MAX || (digits < raw.size() && raw[digits] != ',')) return 0;
  return value;
}

// A line is good when it ends in ",XXXXXXXX", the CRC-32 of the bytes before the comma
// in upper-case hex.
bool ChecksumOk(std::string_view raw) {
  size_t n = raw.size();
  if (n < 10 || raw[n - 9] != ',') return false;
  uint32_t stored = 0;
  for (size_t i = n - 8; i < n; ++i) {
    char c = raw[i];
    uint32_t digit = c >= '0' && c <= '9' ? uint32_t(c - '0') : c >= 'A' && c <= 'F' ? uint32_t(c - 'A' + 10) : 16;
    if (digit == 16) return false;
    stored = stored << 4 | digit;
  }
  return stored == Crc32(raw.substr(0, n - 9));
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
  // Generation names: "-YYYYMMDD-HHMMSS" in local time from earlier versions, with "Z"
  // in UTC now; "-2", "-3" ... when a name was taken.
  static const std::regex generation(R"((.*)-\d{8}-\d{6}Z?(?:-\d+)?)");
  std::vector<fs::path> csv, pending;
  std::set<std::string> sequenceNames;
  for (const auto& item : fs::directory_iterator(PathOf(dir), ec)) {
    if (!item.is_regular_file(ec)) continue;
    std::string ext = Utf8Of(item.path().extension());
    std::transform(ext.begin(), ext.end(), ext.begin(), ::tolower);
    if (ext == ".seq") sequenceNames.insert(Utf8Of(item.path().stem()));
    if (ext == ".csv") csv.push_back(item.path());
    if (ext == ".pending") pending.push_back(item.path());
  }
  std::map<std::string, LogSet> logs;
  for (const std::string& name : sequenceNames) {
    LogSet& log = logs[name];
    log.name = name;
    std::ifstream in(PathOf(dir) / PathOf(name + ".seq"), std::ios::binary);
    std::string text;
    std::getline(in, text);
    size_t digits = 0;
    uint64_t value = ParseSequenceNumber(text.data(), text.size(), &digits);
    if (digits > 0 && value <= LOG_SEQUENCE_MAX) log.sequenceValue = value;
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
    std::smatch m;
    if (sequenceNames.count(stem)) {
      logs[stem].hasCurrent = true;
      files[stem].push_back({FirstSequence(path), true, path});
    } else if (std::regex_match(stem, m, generation) && sequenceNames.count(m[1])) {
      files[m[1]].push_back({FirstSequence(path), false, path});
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

LogLineReader::LogLineReader(const std::string& file, bool pending)
    : reader_(file), file_(file), pending_(pending), header_(std::make_shared<const std::vector<std::string>>()) {
  if (!reader_.Ok()) throw InputError(file + ": cannot be read");
}

bool LogLineReader::Next(LogEntry& e) {
  for (;;) {
    if (!reader_.Next(e.raw, e.offset, e.complete)) return false;
    e.headerMissing = false;
    if (++recordNo_ == 1) {
      if (e.raw.compare(0, 3, kBom) == 0) e.raw.remove_prefix(3);
      if (e.raw.compare(0, 9, "sequence,") == 0) {
        header_ = std::make_shared<const std::vector<std::string>>(SplitCsv(std::string(e.raw)));
        continue;
      }
      e.headerMissing = true;
    }
    if (e.file != file_) e.file = file_;
    if (e.header != header_) e.header = header_;
    e.recordNo = recordNo_;
    e.pending = pending_;
    e.checksumOk = e.complete && ChecksumOk(e.raw);
    e.sequence = LeadingNumber(e.raw);
    SplitCsvViews(e.raw, e.fields, scratch_);
    return true;
  }
}

}  // namespace spoolgate
