// SPDX-License-Identifier: Apache-2.0
// The Linux command's own subcommands: capture and run, and the log subcommands reading
// the log `run` keeps in its default sandbox.
#include "tools/cli/subcommands.h"

#include "tools/common/errors.h"
#include "tools/common/output_file.h"
#include "tools/common/text.h"
#include "tools/replay/capture.h"
#include "tools/replay/description.h"
#include "tools/replay/run.h"

#include <nlohmann/json.hpp>

#include <iostream>
#include <memory>

namespace spoolgate {
namespace {

// Where `spoolgate run` keeps the accounting log with its default root and settings.
const char* kDefaultLogDir = "./spoolgate-root/C/Windows/temp/PrintLog";

}  // namespace

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

// The log subcommands read the log `run` keeps with its default root.
void AddLogOfTheSandbox(CLI::App& app, Action& action) {
  AddLog(app, action, {kDefaultLogDir, ""});
}

}  // namespace spoolgate
