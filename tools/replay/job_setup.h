// SPDX-License-Identifier: Apache-2.0
// What one job of `spoolgate run` is given: the plug-in, the printer and job, the sandbox
// root, and where its printed bytes and trace go.
#pragma once

#include "plugin/export_table.h"
#include "tools/common/output_file.h"
#include "tools/replay/call_text.h"

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

}  // namespace spoolgate
