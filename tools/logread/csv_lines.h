// SPDX-License-Identifier: Apache-2.0
// The CSV records of an accounting log file: reading them one by one in place, splitting
// them into views of their fields, and the CRC-32 checksum that ends each line.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace spoolgate {

// Reads a log file record by record: a record ends at an LF outside quotes, so a text
// holding a line break stays in its record. Records are cut in place in a 256 KiB read
// buffer (larger only for a record that does not fit), so memory stays flat.
class CsvRecordReader {
 public:
  explicit CsvRecordReader(const std::string& path);
  ~CsvRecordReader();
  CsvRecordReader(const CsvRecordReader&) = delete;
  CsvRecordReader& operator=(const CsvRecordReader&) = delete;

  bool Ok() const { return file_ != nullptr; }
  // The next record without its CR LF, as a view into the reader's buffer that the next
  // call to Next or SkipTo invalidates; complete is false for a last record that has no
  // line end (torn). offset is where the record starts in the file.
  bool Next(std::string_view& record, uint64_t& offset, bool& complete);
  // The same, copied, for a caller that keeps the record.
  bool Next(std::string& record, uint64_t& offset, bool& complete);
  // Goes on reading at offset, which must be where a record starts (a line appended).
  void SkipTo(uint64_t offset);

 private:
  // Reads more behind the bytes not yet taken; false at the end of the file.
  bool Fill();

  FILE* file_ = nullptr;
  uint64_t offset_ = 0;  // in the file, of buffer_[begin_]
  std::vector<char> buffer_;
  size_t begin_ = 0, end_ = 0;  // the bytes of buffer_ not yet taken
  size_t fill_;                 // bytes the next read asks for
};

// Splits one CSV record into its fields ("" inside quotes is one quote).
std::vector<std::string> SplitCsv(const std::string& record);
// The same as views into record, or into scratch for a field whose quotes had to be
// taken out: no allocation once fields and scratch have grown. The views live as long
// as record and scratch are left alone. At most limit fields are cut.
void SplitCsvViews(std::string_view record, std::vector<std::string_view>& fields, std::string& scratch,
                   size_t limit = SIZE_MAX);
// What a look at a record's bytes tells a writer that copies its fields as they stand.
struct RecordLook {
  bool printable = false;      // printable ASCII and no quote: each field is its own text
  bool backslash = false;
  bool formulaStart = false;   // a field starts with a formula lead (IsFormulaLead)
};
// SplitCsvViews of the whole record, with that look taken in the same pass.
RecordLook SplitAndLook(std::string_view record, std::vector<std::string_view>& fields, std::string& scratch);
// The column names of a file's first record when it is a header of ours (a byte order
// mark before it is allowed); empty when it is a line.
std::vector<std::string> HeaderColumns(const std::string& record);
// The place of a column in a file's header (HeaderColumns), found by its name; none for a
// header without that column and for a file without a header line, whose fields belong
// to no column. Every reader looks columns up here, so that "none" is never a place.
std::optional<size_t> HeaderIndex(const std::vector<std::string>& header, std::string_view name);
// A column's field in a line of that file: empty when the header has no such column or
// the line ends before it.
std::string_view HeaderField(const std::vector<std::string_view>& fields, const std::vector<std::string>& header,
                             std::string_view name);
// How a table of places made from HeaderIndex keeps a column the header lacks: past the
// end of any line's fields.
constexpr size_t kNoColumn = SIZE_MAX;
// CRC-32 of the log lines (the reflected 0xEDB88320 polynomial the logging library uses).
uint32_t Crc32(std::string_view bytes);
// Whether a line (without its line end) ends in a checksum field, ",XXXXXXXX" in
// upper-case hex digits: a line with one but the wrong value was altered, a line
// without one was torn or altered.
bool HasChecksumField(std::string_view raw);

}  // namespace spoolgate
