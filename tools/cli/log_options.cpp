// SPDX-License-Identifier: Apache-2.0
// The options the log reports share, their checks, and the output file they write
// through: a report goes whole or not at all into the file it names.
#include "tools/cli/log_options.h"

#include "logger/log_format.h"
#include "tools/common/errors.h"
#include "tools/common/output_file.h"
#include "tools/common/portable.h"
#include "tools/database/log_db.h"
#include "tools/logread/log_folder.h"
#include "tools/reports/log_reader.h"

#include <iostream>

namespace spoolgate {
namespace {

// A repeatable option that takes one value each time it is given, so that the words
// after it are never taken as more values (`--sum a b` is refused, not two sums).
void OneValueEach(CLI::Option* option) {
  option->type_size(1)
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
      ->allow_extra_args(false);
}

// The files a report reads: the files of its logs (generations, pending and sequence
// files), an SQLite database, the settings. An output that is one of them is refused.
std::vector<std::string> ReportInputs(const LogReportArgs& a) {
  std::vector<std::string> inputs;
  if (a.database.empty()) {
    for (const std::string& dir : LogDirs(a)) {
      for (const LogSet& log : FindLogFolder(dir, true).logs) {
        inputs.insert(inputs.end(), log.files.begin(), log.files.end());
        if (!log.pendingFile.empty()) inputs.push_back(log.pendingFile);
        inputs.push_back(Utf8Of(PathOf(dir) / PathOf(log.name + LOG_SEQUENCE_SUFFIX)));
      }
    }
  } else if (a.database.compare(0, 7, "sqlite:") == 0) {
    inputs.push_back(a.database.substr(7));
  }
  if (!a.report.settingsFile.empty()) inputs.push_back(a.report.settingsFile);
  return inputs;
}

// Hands what an ostream writes to an output file.
class OutputFileBuffer : public std::streambuf {
 public:
  explicit OutputFileBuffer(OutputFile& file) : file_(file) {}

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    char byte = traits_type::to_char_type(c);
    file_.Write(&byte, 1);
    return c;
  }
  std::streamsize xsputn(const char* data, std::streamsize size) override {
    file_.Write(data, size_t(size));
    return size;
  }

 private:
  OutputFile& file_;
};

}  // namespace

void AddLogSource(CLI::App* cmd, LogReportArgs& a, const LogCommandsSetup& setup) {
  LogFilter& filter = a.filter;
  a.defaultDir = setup.defaultDir;
  CLI::Option* dir = cmd->add_option("DIR", a.dirs,
                                     "log directories, one per print server (every generation in each is "
                                     "read; default " + setup.defaultDir + ")");
  cmd->add_option("--db", a.database,
                  "read the accounting database instead of log directories (sqlite:PATH or "
                  "postgresql://...)" + setup.databaseNote)
      ->excludes(dir);
  cmd->add_option("--user", filter.user, "only this user's jobs");
  cmd->add_option("--printer", filter.printer, "only this printer's jobs");
  cmd->add_option("--computer", filter.computer, "only the jobs of this computer (print server)");
  cmd->add_flag("-i,--ignore-case", filter.ignoreCase,
                "compare --user, --printer and --computer, and group, without regard to case");
  cmd->add_option("--from", filter.from,
                  "only jobs from this time on: an ISO 8601 date or date-time, "
                  "YYYY-MM-DD[THH:MM[:SS[.fff]]] (T or a space), local time");
  cmd->add_option("--to", filter.to,
                  "only jobs up to this time, inclusive (a date includes its whole day)");
  cmd->add_option_function<std::string>(
         "--time", [&filter](const std::string& basis) { filter.utc = basis == "utc"; },
         "the times that --from, --to, day, week, month, year and the order go by: local (each "
         "server's time_stamp, the default) or utc (written_utc, also for jobs without a time_stamp)")
      ->check(CLI::IsMember({"local", "utc"}))
      ->type_name("local|utc");
  CLI::Option* sum = cmd->add_option(
      "--sum", filter.sums,
      "sum this numeric column, or a name the settings give one (repeat for more)")
      ->type_name("COLUMN");
  OneValueEach(sum);
  cmd->add_option("--settings", a.report.settingsFile,
                  "the site's column names and prices (" + setup.databaseDoc + ")");
  cmd->add_flag("--cost", a.report.cost, "add a cost column, from the prices of --settings");
  cmd->add_flag("--include-damaged", filter.includeDamaged,
                "also count lines whose checksum is wrong (torn or altered; not with --db, "
                "which stores only checked lines)");
}

void AddLogForms(CLI::App* cmd, LogReportArgs& a) {
  CLI::Option* json = cmd->add_flag("--json", a.json, "print the result as JSON");
  CLI::Option* csv =
      cmd->add_flag("--csv", a.csv, "print the result as CSV (RFC 4180), for a spreadsheet; notes go to "
                                    "standard error")->excludes(json);
  cmd->add_flag("--bom", a.report.bom, "lead the CSV with a byte order mark, for spreadsheets that need one")
      ->needs(csv);
}

void AddLogGrouping(CLI::App* cmd, LogReportArgs& a) {
  CLI::Option* by = cmd->add_option(
      "--by", a.report.by,
      "group by " + GroupingNames() + " or a column (a name of --settings, text_200); repeat to "
      "nest, in the order given")
      ->type_name("KEY");
  OneValueEach(by);
  cmd->add_option("--top", a.report.top,
                  "only the N first rows of the rank (--rank), in each group of the keys before the last");
  cmd->add_option("--rank", a.report.rank,
                  "order the grouped lists, --top and the charts by jobs, cost or a numeric column, the "
                  "largest first (default: the cost with --cost, else the first --sum, else jobs)")
      ->type_name("jobs|cost|COLUMN");
}

void AddLogOutputFile(CLI::App* cmd, LogReportArgs& a) {
  cmd->add_option("-o,--output", a.output,
                  "write the result to this file instead of standard output (replaced only once "
                  "complete; never one of the files read)")
      ->type_name("FILE");
}

std::vector<std::string> LogDirs(const LogReportArgs& a) {
  return a.dirs.empty() ? std::vector<std::string>{a.defaultDir} : a.dirs;
}

Report PrepareLogReport(const LogReportArgs& a) {
  if (!a.database.empty() && a.filter.includeDamaged) {
    throw InputError("--include-damaged: the database stores only lines whose checksum is right");
  }
  ReportOptions options = a.report;
  options.format = a.json ? ReportFormat::kJson : a.csv ? ReportFormat::kCsv : ReportFormat::kText;
  return PrepareReport(a.filter, options);
}

Tallies TallyLogs(const LogReportArgs& a, const Report& report, std::vector<Grouping> groupings) {
  Tallies tallies;
  tallies.groupings = std::move(groupings);
  if (a.database.empty()) TallyLog(LogDirs(a), report, tallies);
  else TallyDatabase(a.database, report, tallies);
  return tallies;
}

int WriteLogReport(const LogReportArgs& a, const std::string& output, const std::function<int(std::ostream&)>& write) {
  if (output.empty()) return write(std::cout);
  OutputFile file(output, ReportInputs(a));
  OutputFileBuffer buffer(file);
  std::ostream out(&buffer);
  // A write that fails throws from the file, through the stream, with the file's name.
  out.exceptions(std::ios::badbit);
  int status = write(out);
  out.flush();
  file.Commit();
  return status;
}

}  // namespace spoolgate
