// SPDX-License-Identifier: Apache-2.0
// One job of `spoolgate run`: the plug-in's exports driven with a capture's events, and
// the report of what the job did, built from the Win32 calls the plug-in made.
#pragma once

#include "plugin/export_table.h"
#include "tools/replay/call_text.h"
#include "tools/common/output_file.h"

#include <nlohmann/json.hpp>

#include <ostream>
#include <string>

namespace spoolgate {

struct JobSetup {
  const PluginExports* plugin = nullptr;
  HANDLE printer = nullptr;
  std::string printerName, document, user;
  DWORD jobId = 0;
  std::string root;             // the sandbox root on the host
  OutputFile* printerOut = nullptr;  // receives the bytes that reach the printer
  std::ostream* traceText = nullptr;  // the calls as text, while they happen
  bool traceJson = false;             // the calls in the report's "trace"
  HandleNames* handles = nullptr;     // names of the handles in traces, for the whole run
  bool progress = false;
};

// Runs the capture as one job; the report object that `run --json` lists under "jobs".
nlohmann::ordered_json RunJob(const std::string& capturePath, const JobSetup& setup);

}  // namespace spoolgate
