// SPDX-License-Identifier: Apache-2.0
// spoolgate.exe writes no XLSX: the workbook library is not part of its static build, so
// --xlsx is refused by name and the CSV for the desktop's locale offered instead.
#include "tools/reports/report_xlsx.h"

#include "tools/common/errors.h"

namespace spoolgate {
namespace {

[[noreturn]] void Refuse() {
  throw InputError("--xlsx: spoolgate.exe writes no XLSX; use --csv (with --separator ';' --decimal-comma for a "
                   "German or French spreadsheet), or the Linux command for a workbook");
}

}  // namespace

std::string WriteSummaryXlsx(const Report&, const Tallies&, const std::string&) { Refuse(); }
std::string WriteReportXlsx(const Report&, const Tallies&, const std::string&) { Refuse(); }

}  // namespace spoolgate
