// SPDX-License-Identifier: Apache-2.0
// Reading a folder of accounting logs: logs found by their sequence files, generations
// ordered by their first sequence number, and each line checked against its CRC-32.
#include "tools/logread/log_folder.h"

#include "logger/crc32.h"
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
    // The record ends at the first LF with an even number of quotes before it in the
    // record; an LF inside quotes belongs to a text.
    for (const char* p = start; p < stop;) {
      const char* lf = static_cast<const char*>(std::memchr(p, '\n', size_t(stop - p)));
      const char* to = lf != nullptr ? lf : stop;
      for (const char* q = p; (q = static_cast<const char*>(std::memchr(q, '"', size_t(to - q)))) != nullptr; ++q) {
        quoted_ = !quoted_;
      }
      if (lf == nullptr) break;
      p = lf + 1;
      if (!quoted_) {
        record.append(start, lf);
        size_t taken = size_t(p - start);
        begin_ += taken;
        offset_ += taken;
        if (!record.empty() && record.back() == '\r') record.pop_back();
        complete = true;
        return true;
      }
    }
    record.append(start, stop);
    offset_ += uint64_t(stop - start);
    begin_ = end_;
  }
}

void CsvRecordReader::SkipTo(uint64_t offset) {
  if (file_ == nullptr || offset == offset_) return;
  // A record starts outside quotes. One within the bytes read is taken from there.
  quoted_ = false;
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

bool HasChecksumField(const std::string& raw) {
  size_t n = raw.size();
  return n >= 10 && raw[n - 9] == ',' &&
         std::all_of(raw.end() - 8, raw.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
}

namespace {

constexpr char kBom[] = "\xEF\xBB\xBF";

// The line's leading number, 0 when it has none (or one past the limit the writer and
// the importer keep to).
uint64_t LeadingNumber(const std::string& raw) {
  size_t digits = 0;
  uint64_t value = ParseSequenceNumber(raw.data(), raw.size(), &digits);
  if (digits == 0 || value > LOG_SEQUENCE_MAX || (digits < raw.size() && raw[digits] != ',')) return 0;
  return value;
}

bool ChecksumOk(const std::string& raw) {
  size_t n = raw.size();
  if (n < 10 || raw[n - 9] != ',') return false;
  for (size_t i = n - 8; i < n; ++i) {
    char c = raw[i];
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return uint32_t(std::strtoul(raw.c_str() + n - 8, nullptr, 16)) == Crc32Update(0, raw.data(), n - 9);
}

// Calls visit for every data line of one file; stop by returning false.
void ForEachFileEntry(const std::string& file, bool pending,
                      const std::function<bool(const LogEntry&)>& visit) {
  CsvRecordReader reader(file);
  if (!reader.Ok()) throw InputError(file + ": cannot be read");
  LogEntry e;
  e.file = file;
  e.pending = pending;
  e.header = std::make_shared<const std::vector<std::string>>();
  while (reader.Next(e.raw, e.offset, e.complete)) {
    ++e.recordNo;
    e.headerMissing = false;
    if (e.recordNo == 1) {
      if (e.raw.compare(0, 3, kBom) == 0) e.raw.erase(0, 3);
      if (e.raw.compare(0, 9, "sequence,") == 0) {
        e.header = std::make_shared<const std::vector<std::string>>(SplitCsv(e.raw));
        continue;
      }
      e.headerMissing = true;
    }
    e.checksumOk = e.complete && ChecksumOk(e.raw);
    e.sequence = LeadingNumber(e.raw);
    SplitCsvInto(e.raw, e.fields);
    if (!visit(e)) return;
  }
}

// The first number of a good line in the file, UINT64_MAX when it has none.
uint64_t FirstSequence(const std::string& file) {
  uint64_t first = UINT64_MAX;
  ForEachFileEntry(file, false, [&](const LogEntry& e) {
    if (!e.checksumOk || e.sequence == 0) return true;
    first = e.sequence;
    return false;
  });
  return first;
}

// The folders in dir that hold a log (a <name>.seq file), for the message about a folder
// that holds none: the parent of the servers' folders, given by mistake.
std::string LogFoldersIn(const std::string& dir) {
  std::error_code ec;
  std::vector<std::string> found;
  for (const auto& sub : fs::directory_iterator(PathOf(dir), ec)) {
    if (!sub.is_directory(ec)) continue;
    for (const auto& item : fs::directory_iterator(sub.path(), ec)) {
      std::string ext = Utf8Of(item.path().extension());
      std::transform(ext.begin(), ext.end(), ext.begin(), ::tolower);
      if (ext != ".seq" || !item.is_regular_file(ec)) continue;
      found.push_back(Utf8Of(sub.path()));
      break;
    }
  }
  if (found.empty()) return "";
  std::sort(found.begin(), found.end());
  std::string names;
  for (const std::string& f : found) names += " " + f;
  return "; it holds the log folders" + names + ", to be given one by one";
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
  if (requireLog && folder.logs.empty()) throw InputError(dir + ": no accounting log here (no <name>.seq file)" + LogFoldersIn(dir));
  return folder;
}

void ForEachLogEntry(const LogSet& log, const std::function<void(const LogEntry&)>& visit) {
  auto all = [&](const LogEntry& e) {
    visit(e);
    return true;
  };
  for (const std::string& file : log.files) ForEachFileEntry(file, false, all);
  if (!log.pendingFile.empty()) ForEachFileEntry(log.pendingFile, true, all);
}

}  // namespace spoolgate
