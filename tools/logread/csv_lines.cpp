// SPDX-License-Identifier: Apache-2.0
// The CSV mechanics of a log file: records cut in place in a read buffer, split into
// views of their fields, and the checksum field at the end of each line.
#include "tools/logread/csv_lines.h"

#include "logger/log_format.h"
#include "tools/common/portable.h"
#include "tools/common/text.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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
  if (!SeekTo(file_, offset)) return;
  offset_ = offset;
  begin_ = end_ = 0;
  // A record read at an offset wants a few KiB, not a whole buffer.
  fill_ = kFirstRead;
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

#if defined(__SSE2__)
// The bytes of a block that are formula leads, one comparison a lead unrolled (a loop
// over them would broadcast each lead anew every block).
template <size_t... I>
inline __m128i FormulaLeadBytes(__m128i bytes, std::index_sequence<I...>) {
  return (_mm_cmpeq_epi8(bytes, _mm_set1_epi8(kFormulaLeads[I])) | ...);
}
#endif

// Cuts a record at its commas, 16 bytes a step where the processor compares them at
// once: the fields are short, a call of memchr for each costs more. The views are
// gathered on the stack and handed over in blocks. False when the record holds a quote
// (before the limit), which this cutting does not know. With look, the same look at the
// bytes fills it.
bool SplitAtCommas(const char* p, const char* end, std::vector<std::string_view>& fields, size_t limit,
                   RecordLook* look) {
  constexpr size_t kBlock = 64;
  // Left uninitialised: a view's constructor would clear the whole block every call.
  alignas(std::string_view) unsigned char room[kBlock * sizeof(std::string_view)];
  auto* cut = reinterpret_cast<std::string_view*>(room);
  size_t n = 0;
  const char* start = p;
  auto hand = [&] {
    fields.insert(fields.end(), cut, cut + n);
    n = 0;
  };
  // Takes the field ending at comma; true when the limit is reached.
  auto field = [&](const char* comma) {
    new (&cut[n++]) std::string_view(start, size_t(comma - start));
    start = comma + 1;
    if (n == kBlock) hand();
    return fields.size() + n >= limit;
  };
  // Of the look: bytes that are not printable ASCII, backslashes, formula characters at
  // the start of a field (a field starts behind a comma: carry is the last byte's).
  unsigned odd = 0, backslash = 0, formula = 0, carry = 1;
#if defined(__SSE2__)
  auto is = [](__m128i bytes, char c) { return _mm_cmpeq_epi8(bytes, _mm_set1_epi8(c)); };
  for (; end - p >= 16; p += 16) {
    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    if (_mm_movemask_epi8(is(b, '"')) != 0) return false;
    auto commas = unsigned(_mm_movemask_epi8(is(b, ',')));
    if (look != nullptr) {
      // Signed bytes: below 0x20 or from 0x80 on are less than 0x20.
      odd |= unsigned(_mm_movemask_epi8(_mm_or_si128(_mm_cmplt_epi8(b, _mm_set1_epi8(0x20)), is(b, 0x7F))));
      backslash |= unsigned(_mm_movemask_epi8(is(b, '\\')));
      auto guard = unsigned(_mm_movemask_epi8(FormulaLeadBytes(b, std::make_index_sequence<kFormulaLeads.size()>())));
      formula |= guard & ((commas << 1) | carry);
      carry = commas >> 15;
    }
    for (; commas != 0; commas &= commas - 1) {
      if (field(p + __builtin_ctz(commas))) {
        hand();
        return true;
      }
    }
  }
#endif
  for (; p < end; ++p) {
    auto c = static_cast<unsigned char>(*p);
    if (c == '"') return false;
    odd |= unsigned(c < 0x20 || c >= 0x7F);
    backslash |= unsigned(c == '\\');
    formula |= unsigned(carry != 0 && IsFormulaLead(char(c)));
    carry = unsigned(c == ',');
    if (carry != 0 && field(p)) {
      hand();
      return true;
    }
  }
  new (&cut[n++]) std::string_view(start, size_t(end - start));
  hand();
  if (look != nullptr) *look = {odd == 0, backslash != 0, formula != 0};
  return true;
}

// Cuts fields as SplitCsvViews does; look, when given, is filled for a record that is
// cut whole.
void Split(std::string_view record, std::vector<std::string_view>& fields, std::string& scratch, size_t limit,
           RecordLook* look) {
  fields.clear();
  if (limit == 0) return;
  // Unquoted fields never take more room than the record: the views into scratch stay
  // where they are.
  scratch.clear();
  scratch.reserve(record.size());
  const char* p = record.data();
  const char* end = p + record.size();
  // No quotes, as in most lines: the commas alone cut the fields.
  if (SplitAtCommas(p, end, fields, limit, look)) return;
  fields.clear();
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
    if (q >= end || fields.size() == limit) break;
    p = q + 1;
  }
  if (look != nullptr) *look = {};
}

}  // namespace

void SplitCsvViews(std::string_view record, std::vector<std::string_view>& fields, std::string& scratch,
                   size_t limit) {
  Split(record, fields, scratch, limit, nullptr);
}

RecordLook SplitAndLook(std::string_view record, std::vector<std::string_view>& fields, std::string& scratch) {
  RecordLook look;
  Split(record, fields, scratch, SIZE_MAX, &look);
  return look;
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

std::optional<size_t> HeaderIndex(const std::vector<std::string>& header, std::string_view name) {
  auto at = std::find(header.begin(), header.end(), name);
  if (at == header.end()) return std::nullopt;
  return size_t(at - header.begin());
}

std::string_view HeaderField(const std::vector<std::string_view>& fields, const std::vector<std::string>& header,
                             std::string_view name) {
  std::optional<size_t> at = HeaderIndex(header, name);
  return at && *at < fields.size() ? fields[*at] : std::string_view();
}

bool HasChecksumField(std::string_view raw) {
  uint32_t stored = 0;
  return LogReadChecksumField(raw.data(), raw.size(), &stored) != 0;
}

}  // namespace spoolgate
