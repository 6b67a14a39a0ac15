// The spoolgate command: subcommands capture, run, rud, overlay and log, parsed with
// CLI11; unusable input ends with a one-line message and exit status 2.
#include "tools/capture.h"
#include "tools/description.h"
#include "tools/errors.h"
#include "tools/log_db.h"
#include "tools/log_reader.h"
#include "tools/output_file.h"
#include "tools/run.h"
#include "tools/stored_files.h"
#include "tools/text.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <strings.h>

#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>

using namespace spoolgate;

namespace {

// Where `spoolgate run` keeps the accounting log with its default root and settings.
const char* kDefaultLogDir = "./spoolgate-root/C/Windows/temp/PrintLog";

// Archive and overlay files carry no mark of their own; the plug-in names every archive
// "*.RUD", so a name that says the other kind is worth a warning.
void WarnAboutName(StoredKind kind, const std::string& path) {
  std::string ext = std::filesystem::path(path).extension().string();
  bool rud = ext.size() == 4 && strcasecmp(ext.c_str(), ".rud") == 0;
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

// What the chosen subcommand does once the arguments are parsed.
using Action = std::function<int()>;

// Each subcommand registers itself: its options live in an object its callbacks share,
// so that nothing outlives or is shared with another subcommand.
void AddCapture(CLI::App& app, Action& action) {
  struct Args {
    std::string description, output;
    bool json = false;
  };
  auto a = std::make_shared<Args>();
  CLI::App* cmd = app.add_subcommand(
      "capture", "compose a capture file from a text job description (docs/capture-format.md)");
  cmd->add_option("DESC", a->description, "the text description, - for standard input")->required();
  cmd->add_option("-o,--output", a->output, "the capture file to write, - for standard output")
      ->required();
  cmd->add_flag("--json", a->json, "print the summary as JSON");
  cmd->callback([&action, a] {
    action = [a] {
      ComposeSummary s = ComposeCapture(a->description, a->output);
      // With the capture on standard output the summary goes to standard error.
      std::ostream& out = NamesStandardOutput(a->output) ? std::cerr : std::cout;
      if (a->json) {
        nlohmann::ordered_json j = {{"capture", a->output},
                                    {"events", s.events},
                                    {"blocks", s.blocks},
                                    {"bytes", s.blockBytes}};
        out << JsonDump(j) << "\n";
      } else {
        out << a->output << ": " << Grouped(s.events) << " events, " << Grouped(s.blocks)
            << " blocks, " << Grouped(s.blockBytes) << " bytes\n";
      }
      return int(kExitOk);
    };
  });
}

void AddRun(CLI::App& app, Action& action) {
  struct Args {
    std::vector<std::string> captures;
    RunOptions options;
    bool noProgress = false;
  };
  auto a = std::make_shared<Args>();
  RunOptions& options = a->options;
  CLI::App* run = app.add_subcommand(
      "run", "run captures through libspoolgate.so in a sandbox and report what each job did");
  run->add_option("CAPTURE", a->captures, "capture files, run as consecutive jobs")->required();
  run->add_option("--root", options.root, "sandbox root (Windows paths are mapped under it)")
      ->capture_default_str();
  run->add_option("--printer", options.printer, "printer name")->capture_default_str();
  run->add_option("--port", options.port, "the printer's port")->capture_default_str();
  run->add_option("--document", options.document,
                  "document name the spooler reports (default: the capture's file name)");
  run->add_option("--user", options.user, "the job's user")->capture_default_str();
  run->add_option("--job-id", options.jobId, "job id of the first capture; the next ones count up")
      ->capture_default_str();
  run->add_option("--printer-out", options.printerOut,
                  "keep the bytes that reached the printer in this file (- for standard output)");
  run->add_option("--plugin", options.plugin,
                  "the plug-in library (default: the one installed or built with the command)");
  run->add_flag("--json", options.json, "print the report as JSON");
  run->add_flag("--trace", options.trace,
                "also list every Win32 call the plug-in made, block by block, with its "
                "arguments and result (in --json: each job's \"trace\")");
  run->add_option("--log-dir", options.logDir,
                  "set the sandbox's accounting log directory (a Windows path) before the jobs");
  run->add_option("--log-max-size", options.logMaxKib,
                  "set the sandbox's accounting log size limit in KiB before the jobs");
  run->add_flag("--no-progress", a->noProgress, "no progress bar on standard error");
  run->callback([&action, a] {
    action = [a] {
      a->options.progress = !a->noProgress;
      for (std::string& c : a->captures) c = InputPath(c);
      // With the printer's bytes on standard output, the report goes to standard error.
      return RunCaptures(a->captures, a->options,
                         NamesStandardOutput(a->options.printerOut) ? std::cerr : std::cout);
    };
  });
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

void AddRud(CLI::App& app, Action& action) {
  AddStoredCommands(app, action, StoredKind::Archive, "rud", "archive (.RUD) files: info, extract");
}

void AddOverlay(CLI::App& app, Action& action) {
  AddStoredCommands(app, action, StoredKind::Overlay, "overlay", "overlay files: info, extract");
}

void AddLog(CLI::App& app, Action& action) {
  struct Args {
    std::string logDir = kDefaultLogDir;
    std::string database;
    LogFilter filter;
    bool json = false;
    std::vector<std::string> importDirs;
    std::string importDb = kDefaultDatabase;
    bool importQuiet = false;
  };
  auto a = std::make_shared<Args>();
  CLI::App* log = app.add_subcommand(
      "log", "the accounting CSV logs and the accounting database: show, summary, verify, import");
  log->require_subcommand(1);
  auto addFilters = [a](CLI::App* cmd) {
    LogFilter& filter = a->filter;
    CLI::Option* dir = cmd->add_option("DIR", a->logDir, "log directory (every generation in it is read)")
                           ->capture_default_str();
    cmd->add_option("--db", a->database,
                    "read the accounting database instead of a log directory (sqlite:PATH or "
                    "postgresql://...)")
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
    cmd->add_flag("--json", a->json, "print the result as JSON");
  };
  CLI::App* show = log->add_subcommand("show", "list the jobs of the logs, in time order");
  addFilters(show);
  show->callback([&action, a] {
    action = [a] {
      return a->database.empty() ? ShowLog(a->logDir, a->filter, a->json, std::cout)
                                 : ShowDatabase(a->database, a->filter, a->json, std::cout);
    };
  });
  CLI::App* summary = log->add_subcommand("summary", "count jobs and sum columns by user and printer");
  addFilters(summary);
  summary->callback([&action, a] {
    action = [a] {
      return a->database.empty() ? SummarizeLog(a->logDir, a->filter, a->json, std::cout)
                                 : SummarizeDatabase(a->database, a->filter, a->json, std::cout);
    };
  });
  CLI::App* verify = log->add_subcommand(
      "verify", "check every line's checksum and the sequence numbers across generations");
  verify->add_option("DIR", a->logDir, "log directory")->capture_default_str();
  verify->add_flag("--json", a->json, "print the result as JSON");
  verify->callback([&action, a] { action = [a] { return VerifyLog(a->logDir, a->json, std::cout); }; });
  CLI::App* import = log->add_subcommand(
      "import", "store the checked lines of log directories in the accounting database "
                "(docs/accounting-database.md)");
  import->add_option("DIR", a->importDirs, "log directories, one per print server")->required();
  import->add_option("--db", a->importDb, "the database: sqlite:PATH or postgresql://...")
      ->capture_default_str();
  import->add_flag("--no-progress", a->importQuiet, "no progress bar on standard error");
  import->callback([&action, a] {
    action = [a] { return ImportLogs(a->importDirs, a->importDb, !a->importQuiet, std::cout); };
  });
}

// The subcommands in the order the help lists them; a new one adds its registration here.
constexpr void (*kSubcommands[])(CLI::App&, Action&) = {AddCapture, AddRun, AddRud, AddOverlay,
                                                        AddLog};

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "spoolgate: replay captured print jobs through the plug-in, inspect archive and overlay\n"
      "files, read the accounting log. Exit status: 0 ok, 1 a job ran but a step failed,\n"
      "2 unusable arguments or input.",
      "spoolgate"};
  app.require_subcommand(1);
  app.set_version_flag("--version", "spoolgate " SPOOLGATE_VERSION);
  Action action;
  for (auto add : kSubcommands) add(app, action);

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
