// SPDX-License-Identifier: Apache-2.0
// The subcommands that read stored files (rud, overlay), shared by the Linux and the
// Windows command, and the parse that turns unusable arguments into one line and exit
// status 2.
#include "tools/cli/commands.h"

#include "tools/common/case_fold.h"
#include "tools/common/errors.h"
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
// value as a misplaced positional argument; this names either.
void CheckSubcommands(CLI::App& app, int argc, char** argv) {
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
    if (arg == "--") return;
    if (arg.size() < 2 || arg[0] != '-') continue;
    std::string name = arg[1] == '-' ? arg.substr(0, arg.find('=')) : arg.substr(0, 2);
    const CLI::Option* option = at->get_option_no_throw(name);
    if (option == nullptr) {
      throw InputError("unknown option " + name + (at == &app ? "" : " of " + at->get_name()));
    }
    // The value of an option that takes one is never an option itself: "--max-size -5"
    // is a negative size, for the option to refuse.
    bool valueAttached = arg[1] == '-' ? arg.find('=') != std::string::npos : arg.size() > 2;
    if (option->get_type_size() > 0 && !valueAttached) ++i;
  }
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

}  // namespace

void AddRud(CLI::App& app, Action& action) {
  AddStoredCommands(app, action, StoredKind::Archive, "rud", "archive (.RUD) files: info, extract");
}

void AddOverlay(CLI::App& app, Action& action) {
  AddStoredCommands(app, action, StoredKind::Overlay, "overlay", "overlay files: info, extract");
}

int ParseAndRun(CLI::App& app, int argc, char** argv, Action& action) {
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
  } catch (const std::exception& e) {  // InputError among them
    std::cout.flush();
    std::cerr << "spoolgate: " << e.what() << "\n";
    return kExitBadInput;
  }
}

}  // namespace spoolgate
