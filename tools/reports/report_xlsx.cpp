// SPDX-License-Identifier: Apache-2.0
// The XLSX forms of summary and report, written with libxlsxwriter: each section a sheet
// whose first row (frozen) names the columns and whose last row is the total; counts,
// sums and costs are numbers, every key (names, months, hex blocks) a text cell, so
// that no formula guard is needed and a spreadsheet keeps leading zeros and long digits.
#include "tools/reports/report_xlsx.h"

#include "tools/common/errors.h"
#include "tools/common/output_file.h"
#include "tools/common/text.h"
#include "tools/reports/pricing.h"
#include "tools/reports/report_others.h"

#include <xlsxwriter.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>

namespace spoolgate {
namespace {

// One sheet: the headings of its keys, its rows, the total row under them.
struct Sheet {
  std::string name;
  std::vector<std::string> keys;
  std::vector<ReportRow> rows;
  ReportRow total;
};

// A double holds every integer up to 2^53 exactly; a larger count is written as its
// digits rather than rounded.
constexpr uint64_t kExactInDouble = uint64_t(1) << 53;

// A sheet name as the format allows it: at most 31 characters, none of []:*?/\.
std::string SheetName(const std::string& wanted) {
  std::string name;
  size_t chars = 0;
  for (size_t i = 0; i < wanted.size() && chars < 31; ++i) {
    char c = wanted[i];
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++chars;
    name += std::string_view("[]:*?/\\'").find(c) == std::string_view::npos ? c : '_';
  }
  // A cut must not leave half a character behind.
  while (!name.empty() && (static_cast<unsigned char>(name.back()) & 0xC0) == 0xC0) name.pop_back();
  return name.empty() ? "sheet" : name;
}

void Check(lxw_error error, const std::string& what) {
  if (error != LXW_NO_ERROR) throw InputError("--xlsx: " + what + ": " + lxw_strerror(error));
}

// The workbook in a temporary file (the library writes only to a named file), removed
// whatever happens.
struct TempFile {
  std::string path;
  TempFile() {
    path = (std::filesystem::temp_directory_path() / "spoolgate-xlsx-XXXXXX").string();
    int fd = mkstemp(path.data());
    if (fd < 0) throw InputError("--xlsx: cannot create a temporary file in " + path);
    close(fd);
  }
  ~TempFile() { unlink(path.c_str()); }
};

class Workbook {
 public:
  Workbook(const Report& report, const std::string& file) : report_(report) {
    lxw_workbook_options options = {};
    book_ = workbook_new_opt(file.c_str(), &options);
    if (book_ == nullptr) throw InputError("--xlsx: cannot start a workbook");
    bold_ = workbook_add_format(book_);
    format_set_bold(bold_);
    count_ = workbook_add_format(book_);
    format_set_num_format(count_, "#,##0");
    boldCount_ = workbook_add_format(book_);
    format_set_num_format(boldCount_, "#,##0");
    format_set_bold(boldCount_);
    // The currency's format: as many decimals as the settings price in, the currency
    // after the amount (a quote in its name dropped, as the format quotes it).
    std::string money = "#,##0";
    if (report.settings.decimals != 0) money += "." + std::string(report.settings.decimals, '0');
    std::string currency = report.settings.currency;
    currency.erase(std::remove(currency.begin(), currency.end(), '"'), currency.end());
    if (!currency.empty()) money += " \"" + currency + "\"";
    money_ = workbook_add_format(book_);
    format_set_num_format(money_, money.c_str());
    boldMoney_ = workbook_add_format(book_);
    format_set_num_format(boldMoney_, money.c_str());
    format_set_bold(boldMoney_);
  }
  ~Workbook() {
    if (book_ != nullptr) workbook_close(book_);
  }

  void Add(Sheet s) {
    // A list cut by --top (or the page's ten users) ends with what it left out.
    AddOthersRow(report_.settings, s.total, s.keys.size(), s.rows);
    lxw_worksheet* ws = NewSheet(s.name);
    lxw_row_t row = 0;
    lxw_col_t col = 0;
    for (const std::string& k : s.keys) Text(ws, row, col++, k, bold_);
    Text(ws, row, col++, "jobs", bold_);
    for (const std::string& h : report_.sumHeadings) Text(ws, row, col++, h, bold_);
    if (report_.cost) {
      for (const std::string& h : CostHeadings(report_)) Text(ws, row, col++, h, bold_);
    }
    worksheet_freeze_panes(ws, 1, 0);
    worksheet_set_column(ws, 0, lxw_col_t(s.keys.empty() ? 0 : s.keys.size() - 1), 24, nullptr);
    worksheet_set_column(ws, lxw_col_t(s.keys.size()), lxw_col_t(col), 14, nullptr);
    for (const ReportRow& r : s.rows) Row(ws, ++row, r.keys, r, false);
    std::vector<std::string> total(s.keys.size());
    if (!total.empty()) total[0] = "total";
    Row(ws, ++row, total, s.total, true);
  }

  void Notes(const std::vector<std::string>& lines) {
    lxw_worksheet* ws = NewSheet("notes");
    Text(ws, 0, 0, "note", bold_);
    worksheet_freeze_panes(ws, 1, 0);
    worksheet_set_column(ws, 0, 0, 100, nullptr);
    lxw_row_t row = 0;
    for (const std::string& line : lines) Text(ws, ++row, 0, line, nullptr);
  }

  void Close() {
    lxw_workbook* book = book_;
    book_ = nullptr;
    Check(workbook_close(book), "the workbook cannot be written");
  }

 private:
  lxw_worksheet* NewSheet(const std::string& wanted) {
    lxw_worksheet* ws = workbook_add_worksheet(book_, SheetName(wanted).c_str());
    if (ws == nullptr) throw InputError("--xlsx: no sheet named " + SheetName(wanted));
    return ws;
  }

  void Text(lxw_worksheet* ws, lxw_row_t row, lxw_col_t col, const std::string& text, lxw_format* format) {
    if (text.empty()) {
      if (format != nullptr) Check(worksheet_write_blank(ws, row, col, format), "row " + std::to_string(row + 1));
      return;
    }
    Check(worksheet_write_string(ws, row, col, ShownText(text).c_str(), format), "row " + std::to_string(row + 1));
  }

  void Count(lxw_worksheet* ws, lxw_row_t row, lxw_col_t col, uint64_t value, bool bold) {
    if (value > kExactInDouble) {
      Text(ws, row, col, std::to_string(value), bold ? bold_ : nullptr);
      return;
    }
    Check(worksheet_write_number(ws, row, col, double(value), bold ? boldCount_ : count_),
          "row " + std::to_string(row + 1));
  }

  void Row(lxw_worksheet* ws, lxw_row_t row, const std::vector<std::string>& keys, const ReportRow& r, bool bold) {
    lxw_col_t col = 0;
    for (const std::string& k : keys) Text(ws, row, col++, k, bold ? bold_ : nullptr);
    Count(ws, row, col++, r.tally.jobs, bold);
    for (size_t i = 0; i < r.tally.sums.size(); ++i) {
      // A computed unit's sum is counted in units of 10^-places.
      unsigned places = i < report_.sums.size() ? ColumnPlaces(report_.settings, report_.sums[i]) : 0;
      if (places == 0) {
        Count(ws, row, col++, r.tally.sums[i], bold);
      } else {
        lxw_format*& format = (bold ? boldPlaces_ : places_)[places];
        if (format == nullptr) {
          format = workbook_add_format(book_);
          format_set_num_format(format, ("#,##0." + std::string(places, '0')).c_str());
          if (bold) format_set_bold(format);
        }
        Decimal(ws, row, col++, r.tally.sums[i], places, format, bold);
      }
    }
    if (!report_.cost) return;
    lxw_format* money = bold ? boldMoney_ : money_;
    unsigned places = report_.settings.decimals;
    Decimal(ws, row, col++, r.cost, places, money, bold);
    if (!report_.settings.hasVat) return;
    uint64_t gross = r.cost;
    AddCost(gross, 1, r.tax);
    Decimal(ws, row, col++, r.tax, places, money, bold);
    Decimal(ws, row, col++, gross, places, money, bold);
  }

  // An amount of units of 10^-places as a number, or as its exact text past what a
  // double holds exactly.
  void Decimal(lxw_worksheet* ws, lxw_row_t row, lxw_col_t col, uint64_t units, unsigned places, lxw_format* format,
               bool bold) {
    if (units > kExactInDouble) {
      Text(ws, row, col, MoneyText(units, places), bold ? bold_ : nullptr);
      return;
    }
    double scale = 1;
    for (unsigned i = 0; i < places; ++i) scale *= 10;
    Check(worksheet_write_number(ws, row, col, double(units) / scale, format), "row " + std::to_string(row + 1));
  }

  const Report& report_;
  lxw_workbook* book_ = nullptr;
  lxw_format *bold_ = nullptr, *count_ = nullptr, *boldCount_ = nullptr, *money_ = nullptr, *boldMoney_ = nullptr;
  std::map<unsigned, lxw_format*> places_, boldPlaces_;  // a computed unit's places: "#,##0.000"
};

ReportRow TotalOf(const Report& report, const Grouping& g) {
  std::vector<ReportRow> all = FoldRows(report, g, {}, false);
  if (!all.empty()) return all[0];
  ReportRow none;
  none.tally.sums.assign(report.sums.size(), 0);
  return none;
}

std::string NoteText(const Report& report, const Tallies& tallies, uint64_t unpriced) {
  std::string text = ReportNotes(report, tallies, unpriced);
  if (tallies.notNumbers != 0) text += std::to_string(tallies.notNumbers) + " values were not numbers and count as 0\n";
  return text;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Writes the sheets and the notes (when there are any) to path through OutputFile.
void Write(const Report& report, const std::vector<Sheet>& sheets, const std::vector<std::string>& notes,
           const std::string& path) {
  TempFile temp;
  {
    Workbook book(report, temp.path);
    for (const Sheet& s : sheets) book.Add(s);
    if (!notes.empty()) book.Notes(notes);
    book.Close();
  }
  std::ifstream in(temp.path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in.good() && !in.eof()) throw InputError("--xlsx: cannot read back " + temp.path);
  OutputFile out(path, {});
  out.Write(bytes.data(), bytes.size());
  out.Commit();
}

}  // namespace

std::string WriteSummaryXlsx(const Report& report, const Tallies& tallies, const std::string& path) {
  const Grouping& g = tallies.groupings.at(0);
  ReportRow total = TotalOf(report, g);
  bool ranked = report.rankGiven || report.top != 0;
  std::vector<Sheet> sheets;
  if (report.by.empty()) {
    for (GroupKey k : {GroupKey{GroupKey::kUser, "user"}, GroupKey{GroupKey::kPrinter, "printer"}}) {
      sheets.push_back({"by " + k.heading, {k.heading}, FoldRows(report, g, {k}, ranked), total});
    }
  } else {
    Sheet s{"", {}, FoldRows(report, g, report.by, ranked), total};
    for (const GroupKey& k : report.by) {
      s.keys.push_back(k.heading);
      s.name += (s.name.empty() ? "by " : " and ") + k.heading;
    }
    sheets.push_back(std::move(s));
  }
  std::string notes = NoteText(report, tallies, total.unpriced);
  Write(report, sheets, Lines(notes), path);
  return notes;
}

std::string WriteReportXlsx(const Report& report, const Tallies& tallies, const std::string& path) {
  const std::vector<Grouping>& groupings = tallies.groupings;
  ReportRow total = TotalOf(report, groupings.at(0));
  const GroupKey month{GroupKey::kMonth, "month"}, user{GroupKey::kUser, "user"},
      computer{GroupKey::kComputer, "computer"}, printer{GroupKey::kPrinter, "printer"};
  // The page's sections, ten users and five printers a computer unless --top says.
  std::vector<Sheet> sheets;
  sheets.push_back({"per month", {"month"}, FoldRows(report, groupings[0], {month}, false), total});
  Report ranked = report;
  ranked.top = report.top != 0 ? report.top : 10;
  sheets.push_back({"top users", {"user"}, FoldRows(ranked, groupings.at(1), {user}, true), total});
  ranked.top = report.top != 0 ? report.top : 5;
  sheets.push_back({"top printers per computer", {"computer", "printer"},
                    FoldRows(ranked, groupings.at(2), {computer, printer}, true), total});
  size_t columns = groupings.size() - (report.by.size() >= 2 ? 1 : 0);
  for (size_t i = 3; i < columns; ++i) {
    const GroupKey& k = groupings[i].leading[0];
    sheets.push_back({"per " + k.heading, {k.heading}, FoldRows(report, groupings[i], {k}, true), total});
  }
  if (columns < groupings.size()) {
    Sheet nested{"", {}, FoldRows(report, groupings.back(), report.by, report.rankGiven), total};
    for (const GroupKey& k : report.by) {
      nested.keys.push_back(k.heading);
      nested.name += (nested.name.empty() ? "per " : " and ") + k.heading;
    }
    sheets.push_back(std::move(nested));
  }
  std::string notes = NoteText(report, tallies, total.unpriced);
  Write(report, sheets, Lines(notes), path);
  return notes;
}

}  // namespace spoolgate
