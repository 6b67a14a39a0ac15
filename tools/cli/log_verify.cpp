// SPDX-License-Identifier: Apache-2.0
// `log verify`: every line's checksum and the sequence numbers of a log folder.
#include "tools/cli/subcommands.h"
#include "tools/logread/verify.h"

#include <iostream>
#include <memory>

namespace spoolgate {

void AddLogVerify(CLI::App& log, Action& action, const LogCommandsSetup& setup) {
  struct Args {
    std::string dir;
    bool json = false;
  };
  auto a = std::make_shared<Args>();
  a->dir = setup.defaultDir;
  CLI::App* cmd = log.add_subcommand(
      "verify", "check every line's checksum and the sequence numbers across generations");
  cmd->add_option("DIR", a->dir, "log directory")->capture_default_str();
  cmd->add_flag("--json", a->json, "print the result as JSON");
  cmd->callback([&action, a] { action = [a] { return VerifyLog(a->dir, a->json, std::cout); }; });
}

}  // namespace spoolgate
