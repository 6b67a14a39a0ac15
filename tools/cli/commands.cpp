// SPDX-License-Identifier: Apache-2.0
// The subcommands that only read files (rud, overlay, log), shared by the Linux and the
// Windows command, and the parse that turns unusable arguments into one line and exit
// status 2.
#include "tools/cli/commands.h"

#include "tools/common/case_fold.h"
#include "tools/common/errors.h"
#include "tools/database/log_db.h"
#include "tools/reports/log_html.h"
#include "tools/reports/report_xlsx.h"
#include "tools/logread/verify.h"
#include "tools/reports/log_reader.h"
#include "tools/common/output_file.h"
#include "tools/common/portable.h"
#include "tools/stored/stored_files.h"

#include <algorithm>
#include <cctype>
#include <iostream>
#include <memory>

namespace spoolgate {
namespace {

// Archive and overlay files carry no mark of their own; the plug-in names every archive
// "*.RUD", so a name that says the other kind is worth a warning.
void WarnAboutName(StoredKind kind, const std::string& path) {
  std::string ext = FoldCase(Utf8Of(PathOf(path).extension()));
  bool rud = ext == ".rud";
  if (path == "-") return;
  if (kind == StoredKind::Archive && !rud) {
    std::cerr << "spoolgate: warning: " << path
              << " is not named .RUD, as every archive file is; for an overlay file use "
                 "`spoolgate overlay`\n";
  } else if (kind == StoredKind::Overlay && rud) {
    std::cerr << "spoolgate: warning: " << path
              << " is named .RUD, as archive files are, not an overlay file; for an archive "
                 "use `spoolgate rud`\n";
  }
}

// CLI11 reports a misspelt subcommand as a missing one and an unknown option before a
// value as a misplaced positional argument; this names either. Returns the arguments
// with a value that starts with '-' (`--user -svc-plot`) joined to its option
// (`--user=-svc-plot`), which CLI11 would otherwise take for an option of its own.
std::vector<std::string> CheckSubcommands(CLI::App& app, int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  std::vector<bool> joined(args.size(), false);  // a value now joined to its option
  CLI::App* at = &app;
  int i = 1;
  for (; i < argc; ++i) {
    std::string arg = argv[i];
    auto subs = at->get_subcommands([](CLI::App*) { return true; });
    if (arg.empty() || arg[0] == '-' || subs.empty()) break;
    CLI::App* next = nullptr;
    std::string names;
    for (CLI::App* sub : subs) {
      if (sub->get_name() == arg) next = sub;
      names += (names.empty() ? "" : ", ") + sub->get_name();
    }
    if (next == nullptr) {
      throw InputError("unknown subcommand '" + arg + "'" +
                       (at == &app ? "" : " of " + at->get_name()) + " (one of: " + names + ")");
    }
    at = next;
  }
  // An option the subcommand does not have is named as unknown, before CLI11 takes the
  // value after it for a positional argument and complains about that instead.
  for (; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--") break;
    if (arg.size() < 2 || arg[0] != '-') continue;
    std::string name = arg[1] == '-' ? arg.substr(0, arg.find('=')) : arg.substr(0, 2);
    const CLI::Option* option = at->get_option_no_throw(name);
    if (option == nullptr) {
      throw InputError("unknown option " + name + (at == &app ? "" : " of " + at->get_name()));
    }
    // The value of an option that takes one is never an option itself: "--max-size -5"
    // is a negative size, for the option to refuse. A flag takes none (CLI11 gives flags
    // a type size of 1 too: what counts is the values it expects).
    bool valueAttached = arg[1] == '-' ? arg.find('=') != std::string::npos : arg.size() > 2;
    if (option->get_items_expected_min() <= 0 || valueAttached || i + 1 >= argc) continue;
    std::string value = argv[++i];
    // "--" and "-" stand for themselves; "--x" is more likely a forgotten value.
    if (value.size() < 2 || value[0] != '-' || value[1] == '-') continue;
    args[size_t(i - 1)] = arg + (arg[1] == '-' ? "=" : "") + value;
    joined[size_t(i)] = true;
  }
  std::vector<std::string> out;
  for (size_t k = 0; k < args.size(); ++k) {
    if (!joined[k]) out.push_back(std::move(args[k]));
  }
  return out;
}

// `rud` and `overlay`: the same two subcommands for either kind of stored file.
void AddStoredCommands(CLI::App& app, Action& action, StoredKind kind, const char* name,
                       const char* what) {
  struct Args {
    std::string file, out;
    bool json = false, force = false;
  };
  auto a = std::make_shared<Args>();
  CLI::App* cmd = app.add_subcommand(name, what);
  cmd->require_subcommand(1);
  const char* forceHelp = "read the file as this kind even when it is plainly another";
  CLI::App* info = cmd->add_subcommand("info", "show the header fields and the data length");
  info->add_option("FILE", a->file, "the file")->required();
  info->add_flag("--json", a->json, "print the same as JSON");
  info->add_flag("--force", a->force, forceHelp);
  info->callback([&action, kind, a] {
    action = [kind, a] {
      WarnAboutName(kind, a->file);
      return ShowStoredFile(kind, InputPath(a->file), a->json, a->force, std::cout);
    };
  });
  CLI::App* extract = cmd->add_subcommand("extract", "copy the print data behind the header to a file");
  extract->add_option("FILE", a->file, "the file")->required();
  extract->add_option("-o,--output", a->out,
                      "output file, - for standard output (default: FILE with .prn or .body)");
  extract->add_flag("--force", a->force, forceHelp);
  extract->callback([&action, kind, a] {
    action = [kind, a] {
      if (a->file == "-" && a->out.empty()) a->out = "-";
      return ExtractStoredFile(kind, InputPath(a->file), a->out, a->force, std::cout);
    };
  });
}

// A repeatable option that takes one value each time it is given, so that the words
// after it are never taken as more values (`--sum a b` is refused, not two sums).
void OneValueEach(CLI::Option* option) {
  option->type_size(1)
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
      ->allow_extra_args(false);
}

}  // namespace

void AddRud(CLI::App& app, Action& action) {
  AddStoredCommands(app, action, StoredKind::Archive, "rud", "archive (.RUD) files: info, extract");
}

void AddOverlay(CLI::App& app, Action& action) {
  AddStoredCommands(app, action, StoredKind::Overlay, "overlay", "overlay files: info, extract");
}

namespace {

// The options of the log subcommands, shared by their callbacks.
struct LogArgs {
  std::string logDir;                   // of verify
  std::vector<std::string> logDirs;     // of the reports
  std::string database, htmlOut, xlsxOut;
  LogFilter filter;
  ReportOptions report;
  bool json = false, csv = false;
  std::vector<std::string> importDirs;
  std::string importDb = kDefaultDatabase;
  bool importQuiet = false;
};
using LogArgsPtr = std::shared_ptr<LogArgs>;

void AddFilters(CLI::App* cmd, const LogArgsPtr& a, const LogCommandsSetup& setup) {
  LogFilter& filter = a->filter;
  CLI::Option* dir = cmd->add_option("DIR", a->logDirs,
                                     "log directories, one per print server (every generation in each is "
                                     "read; default " + setup.defaultDir + ")");
  cmd->add_option("--db", a->database,
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
  cmd->add_option("--settings", a->report.settingsFile,
                  "the site's column names and prices (" + setup.databaseDoc + ")");
  cmd->add_flag("--cost", a->report.cost, "add a cost column, from the prices of --settings");
  cmd->add_flag("--include-damaged", filter.includeDamaged,
                "also count lines whose checksum is wrong (torn or altered; not with --db, "
                "which stores only checked lines)");
}

void AddOutputs(CLI::App* cmd, const LogArgsPtr& a) {
  CLI::Option* json = cmd->add_flag("--json", a->json, "print the result as JSON");
  CLI::Option* csv =
      cmd->add_flag("--csv", a->csv, "print the result as CSV (RFC 4180), for a spreadsheet; notes go to "
                                     "standard error")->excludes(json);
  cmd->add_flag("--bom", a->report.bom, "lead the CSV with a byte order mark, for spreadsheets that need one")
      ->needs(csv);
  cmd->add_option_function<std::string>(
         "--separator", [a](const std::string& name) { a->report.csv.separator = ParseCsvSeparator(name); },
         "the CSV's field separator: , (the default), ; (for a spreadsheet whose decimal mark is a comma) or tab")
      ->type_name(",|;|tab")
      ->needs(csv);
  cmd->add_flag("--decimal-comma", a->report.csv.decimalComma,
                "write the CSV's amounts with a decimal comma (12,50), as German or French spreadsheets read them")
      ->needs(csv);
}

void AddGrouping(CLI::App* cmd, const LogArgsPtr& a) {
  CLI::Option* by = cmd->add_option(
      "--by", a->report.by,
      "group by user, printer, computer, day, week, month, year or a column (a name "
      "of --settings, text_200); repeat to nest, in the order given")
      ->type_name("KEY");
  OneValueEach(by);
  cmd->add_option("--top", a->report.top,
                  "only the N first rows of the rank (--rank), in each group of the keys before the last");
  cmd->add_option("--rank", a->report.rank,
                  "order the grouped lists, --top and the charts by jobs, cost or a numeric column, the "
                  "largest first (default: the cost with --cost, else the first --sum, else jobs)")
      ->type_name("jobs|cost|COLUMN");
}

// --xlsx FILE, beside and instead of the other forms (spoolgate.exe refuses it when run).
void AddXlsx(CLI::App* cmd, const LogArgsPtr& a, const std::string& help) {
  CLI::Option* xlsx = cmd->add_option("--xlsx", a->xlsxOut, help + " (- for standard output)")->type_name("FILE");
  for (const char* other : {"--json", "--csv"}) {
    if (CLI::Option* o = cmd->get_option_no_throw(other)) xlsx->excludes(o);
  }
}

// The report as the options ask for it, or InputError.
Report PrepareFromOptions(LogArgs& a) {
  if (!a.database.empty() && a.filter.includeDamaged) {
    throw InputError("--include-damaged: the database stores only lines whose checksum is right");
  }
  if (a.logDirs.empty()) a.logDirs.push_back(a.logDir);
  a.report.format = a.json ? ReportFormat::kJson : a.csv ? ReportFormat::kCsv : ReportFormat::kText;
  return PrepareReport(a.filter, a.report);
}

// Counts the report's groupings, from the folders or the database.
Tallies Tally(const LogArgs& a, const Report& report, std::vector<Grouping> groupings) {
  Tallies tallies;
  tallies.groupings = std::move(groupings);
  if (a.database.empty()) TallyLog(a.logDirs, report, tallies);
  else TallyDatabase(a.database, report, tallies);
  return tallies;
}

// show, summary and report: the jobs, their counts and sums, the page with charts.
void AddReports(CLI::App* log, Action& action, const LogArgsPtr& a, const LogCommandsSetup& setup) {
  CLI::App* show = log->add_subcommand("show", "list the jobs of the logs, in time order");
  AddFilters(show, a, setup);
  AddOutputs(show, a);
  show->callback([&action, a] {
    action = [a] {
      Report report = PrepareFromOptions(*a);
      return a->database.empty() ? ShowLog(a->logDirs, report, std::cout)
                                 : ShowDatabase(a->database, report, std::cout);
    };
  });
  CLI::App* summary = log->add_subcommand(
      "summary", "count jobs and sum columns by user and printer, or by the keys of --by");
  AddFilters(summary, a, setup);
  AddOutputs(summary, a);
  AddGrouping(summary, a);
  summary->add_flag("--total", a->report.total, "add a total row to the CSV of --by");
  AddXlsx(summary, a, "write the summary as an XLSX workbook instead, a sheet per list and one of the notes");
  summary->callback([&action, a] {
    action = [a] {
      Report report = PrepareFromOptions(*a);
      if (!a->xlsxOut.empty()) {
        std::cerr << WriteSummaryXlsx(report, Tally(*a, report, SummaryGroupings(report)), a->xlsxOut);
        return int(kExitOk);
      }
      PrintSummary(report, Tally(*a, report, SummaryGroupings(report)), std::cout);
      return int(kExitOk);
    };
  });
  CLI::App* page = log->add_subcommand(
      "report", "write a page with charts: jobs per month, top users, top printers per computer, "
                "and per --by column");
  AddFilters(page, a, setup);
  AddGrouping(page, a);
  page->add_option("--html", a->htmlOut, "the HTML file to write (- for standard output)");
  AddXlsx(page, a, "write the page's tables as an XLSX workbook, a sheet per section and one of the notes");
  page->callback([&action, a] {
    action = [a] {
      if (a->htmlOut.empty() && a->xlsxOut.empty()) throw InputError("log report: --html FILE or --xlsx FILE is required");
      Report report = PrepareFromOptions(*a);
      if (!a->xlsxOut.empty()) {
        Tallies tallies = Tally(*a, report, PageGroupings(report));
        std::cerr << WriteReportXlsx(report, tallies, a->xlsxOut);
        if (a->htmlOut.empty()) return int(kExitOk);
        std::string html = ReportPage(report, tallies);
        OutputFile file(a->htmlOut, {});
        file.Write(html.data(), html.size());
        file.Commit();
        return int(kExitOk);
      }
      std::string html = ReportPage(report, Tally(*a, report, PageGroupings(report)));
      OutputFile file(a->htmlOut, {});
      file.Write(html.data(), html.size());
      file.Commit();
      return int(kExitOk);
    };
  });
}

}  // namespace

void AddLog(CLI::App& app, Action& action, const LogCommandsSetup& setup) {
  auto a = std::make_shared<LogArgs>();
  a->logDir = setup.defaultDir;
  CLI::App* log = app.add_subcommand(
      "log", "the accounting CSV logs and the accounting database: show, summary, report, verify, import");
  log->require_subcommand(1);
  AddReports(log, action, a, setup);
  CLI::App* verify = log->add_subcommand(
      "verify", "check every line's checksum and the sequence numbers across generations");
  verify->add_option("DIR", a->logDir, "log directory")->capture_default_str();
  verify->add_flag("--json", a->json, "print the result as JSON");
  verify->callback([&action, a] { action = [a] { return VerifyLog(a->logDir, a->json, std::cout); }; });
  CLI::App* import = log->add_subcommand(
      "import", "store the checked lines of log directories in the accounting database "
                "(" + setup.databaseDoc + ")" + setup.databaseNote);
  import->add_option("DIR", a->importDirs, "log directories, one per print server")->required();
  import->add_option("--db", a->importDb, "the database: sqlite:PATH or postgresql://...")
      ->capture_default_str();
  import->add_flag("--no-progress", a->importQuiet, "no progress bar on standard error");
  import->callback([&action, a] {
    action = [a] { return ImportLogs(a->importDirs, a->importDb, !a->importQuiet, std::cout); };
  });
}

int ParseAndRun(CLI::App& app, int argc, char** argv, Action& action) {
  try {
    std::vector<std::string> args = CheckSubcommands(app, argc, argv);
    std::vector<const char*> joined;
    for (const std::string& a : args) joined.push_back(a.c_str());
    app.parse(int(joined.size()), joined.data());
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const InputError& e) {
    std::cerr << "spoolgate: " << e.what() << " (--help for usage)\n";
    return kExitBadInput;
  } catch (const CLI::ParseError& e) {
    std::cerr << "spoolgate: " << e.what() << " (--help for usage)\n";
    return kExitBadInput;
  }
  try {
    return action ? action() : int(kExitBadInput);
  } catch (const std::exception& e) {  // InputError among them
    std::cout.flush();
    std::cerr << "spoolgate: " << e.what() << "\n";
    return kExitBadInput;
  }
}

}  // namespace spoolgate
