// SPDX-License-Identifier: Apache-2.0
// Reading a folder of accounting logs: logs found by their sequence files, generations
// ordered by their first sequence number, and each line checked against its CRC-32.
#include "tools/logread/log_folder.h"

#include "logger/log_format.h"
#include "tools/common/case_fold.h"
#include "tools/common/errors.h"
#include "tools/common/portable.h"
#include "tools/logread/csv_lines.h"

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

// The folders in dir that hold a log (a <name>.seq file), for the message about a folder
// that holds none: the parent of the servers' folders, given by mistake.
std::string LogFoldersIn(const std::string& dir) {
  std::error_code ec;
  std::vector<std::string> found;
  for (const auto& sub : fs::directory_iterator(PathOf(dir), ec)) {
    if (!sub.is_directory(ec)) continue;
    for (const auto& item : fs::directory_iterator(sub.path(), ec)) {
      std::string ext = FoldCase(Utf8Of(item.path().extension()));
      if (ext != LOG_SEQUENCE_SUFFIX || !item.is_regular_file(ec)) continue;
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
  std::vector<fs::path> csv, pending;
  std::set<std::string> sequenceNames;
  for (const auto& item : fs::directory_iterator(PathOf(dir), ec)) {
    if (!item.is_regular_file(ec)) continue;
    std::string ext = FoldCase(Utf8Of(item.path().extension()));
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
    log.sequenceUnreadable = !in.is_open() || in.bad();
    log.sequenceState = LogParseSequenceFile(text, size_t(in.gcount()), &value);
    if (!log.sequenceUnreadable && log.sequenceState == LOG_SEQUENCE_FILE_SOUND) log.sequenceValue = value;
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
  if (requireLog && folder.logs.empty()) throw InputError(dir + ": no accounting log here (no <name>.seq file)" + LogFoldersIn(dir));
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
            if (std::optional<size_t> at = HeaderIndex(*header_, name)) limit_ = std::max(limit_, *at + 1);
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
