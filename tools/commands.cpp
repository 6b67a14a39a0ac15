// The file-reading subcommands shared by the Linux and the Windows command: archive and
// overlay files, the accounting logs and database, and the common parse.
#include "tools/commands.h"

#include "tools/errors.h"
#include "tools/log_db.h"
#include "tools/log_reader.h"
#include "tools/output_file.h"
#include "tools/portable.h"
#include "tools/stored_files.h"

#include <algorithm>
#include <cctype>
#include <iostream>

namespace spoolgate {
namespace {

// Archive and overlay files carry no mark of their own; the plug-in names every archive
// "*.RUD", so a name that says the other kind is worth a warning.
void WarnAboutName(StoredKind kind, const std::string& path) {
  std::string ext = Utf8Of(PathOf(path).extension());
  std::transform(ext.begin(), ext.end(), ext.begin(), ::tolower);
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

// CLI11 reports a misspelt subcommand as a missing one; this names it.
void CheckSubcommands(CLI::App& app, int argc, char** argv) {
  CLI::App* at = &app;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto subs = at->get_subcommands([](CLI::App*) { return true; });
    if (arg.empty() || arg[0] == '-' || subs.empty()) return;
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
}

void AddStoredCommand(CLI::App& app, StoredKind kind, const char* name, const char* what,
                      std::function<int()>& action) {
  CLI::App* cmd = app.add_subcommand(name, what);
  cmd->require_subcommand(1);
  static std::string file[2], out[2];
  static bool json[2];
  int k = kind == StoredKind::Archive ? 0 : 1;
  CLI::App* info = cmd->add_subcommand("info", "show the header fields and the data length");
  info->add_option("FILE", file[k], "the file")->required();
  info->add_flag("--json", json[k], "print the same as JSON");
  info->callback([&action, kind, k] {
    action = [kind, k] {
      WarnAboutName(kind, file[k]);
      return ShowStoredFile(kind, InputPath(file[k]), json[k], std::cout);
    };
  });
  CLI::App* extract = cmd->add_subcommand("extract", "copy the print data behind the header to a file");
  extract->add_option("FILE", file[k], "the file")->required();
  extract->add_option("-o,--output", out[k],
                      "output file, - for standard output (default: FILE with .prn or .body)");
  extract->callback([&action, kind, k] {
    action = [kind, k] {
      if (file[k] == "-" && out[k].empty()) out[k] = "-";
      return ExtractStoredFile(kind, InputPath(file[k]), out[k], std::cout);
    };
  });
}

}  // namespace

void AddStoredCommands(CLI::App& app, std::function<int()>& action) {
  AddStoredCommand(app, StoredKind::Archive, "rud", "archive (.RUD) files: info, extract", action);
  AddStoredCommand(app, StoredKind::Overlay, "overlay", "overlay files: info, extract", action);
}

void AddLogCommands(CLI::App& app, const LogCommandsSetup& setup, std::function<int()>& action) {
  // The options outlive this call: the parse and the action use them later.
  static std::string logDir;
  static std::string database;
  static LogFilter filter;
  static bool logJson = false;
  logDir = setup.defaultDir;
  CLI::App* log = app.add_subcommand(
      "log", "the accounting CSV logs and the accounting database: show, summary, verify, import");
  log->require_subcommand(1);
  auto addFilters = [&](CLI::App* cmd) {
    CLI::Option* dir = cmd->add_option("DIR", logDir, "log directory (every generation in it is read)")
                           ->capture_default_str();
    cmd->add_option("--db", database,
                    "read the accounting database instead of a log directory (sqlite:PATH or "
                    "postgresql://...)" + setup.databaseNote)
        ->excludes(dir);
    cmd->add_option("--user", filter.user, "only this user's jobs");
    cmd->add_option("--printer", filter.printer, "only this printer's jobs");
    cmd->add_flag("-i,--ignore-case", filter.ignoreCase,
                  "compare --user and --printer without regard to case");
    cmd->add_option("--from", filter.from,
                    "only jobs from this time on: an ISO 8601 date or date-time, "
                    "YYYY-MM-DD[THH:MM[:SS[.fff]]] (T or a space), local time");
    cmd->add_option("--to", filter.to,
                    "only jobs up to this time, inclusive (a date includes its whole day)");
    cmd->add_option("--sum", filter.sums, "sum this numeric column (repeat for more)")
        ->allow_extra_args(false);
    cmd->add_flag("--include-damaged", filter.includeDamaged,
                  "also count lines whose checksum is wrong (torn or altered)");
    cmd->add_flag("--json", logJson, "print the result as JSON");
  };
  CLI::App* show = log->add_subcommand("show", "list the jobs of the logs, in time order");
  addFilters(show);
  show->callback([&action] {
    action = [] {
      return database.empty() ? ShowLog(logDir, filter, logJson, std::cout)
                              : ShowDatabase(database, filter, logJson, std::cout);
    };
  });
  CLI::App* summary = log->add_subcommand("summary", "count jobs and sum columns by user and printer");
  addFilters(summary);
  summary->callback([&action] {
    action = [] {
      return database.empty() ? SummarizeLog(logDir, filter, logJson, std::cout)
                              : SummarizeDatabase(database, filter, logJson, std::cout);
    };
  });
  CLI::App* verify = log->add_subcommand(
      "verify", "check every line's checksum and the sequence numbers across generations");
  verify->add_option("DIR", logDir, "log directory")->capture_default_str();
  verify->add_flag("--json", logJson, "print the result as JSON");
  verify->callback([&action] { action = [] { return VerifyLog(logDir, logJson, std::cout); }; });
  static std::vector<std::string> importDirs;
  static std::string importDb = kDefaultDatabase;
  static bool importQuiet = false;
  CLI::App* import = log->add_subcommand(
      "import", "store the checked lines of log directories in the accounting database "
                "(docs/accounting-database.md)" + setup.databaseNote);
  import->add_option("DIR", importDirs, "log directories, one per print server")->required();
  import->add_option("--db", importDb, "the database: sqlite:PATH or postgresql://...")
      ->capture_default_str();
  import->add_flag("--no-progress", importQuiet, "no progress bar on standard error");
  import->callback([&action] {
    action = [] { return ImportLogs(importDirs, importDb, !importQuiet, std::cout); };
  });
}

int ParseAndRun(CLI::App& app, int argc, char** argv, std::function<int()>& action) {
  try {
    CheckSubcommands(app, argc, argv);
    app.parse(argc, argv);
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
  } catch (const InputError& e) {
    std::cout.flush();
    std::cerr << "spoolgate: " << e.what() << "\n";
    return kExitBadInput;
  } catch (const std::exception& e) {
    std::cout.flush();
    std::cerr << "spoolgate: " << e.what() << "\n";
    return kExitBadInput;
  }
}

}  // namespace spoolgate
