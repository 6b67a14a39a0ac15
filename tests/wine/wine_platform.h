// SPDX-License-Identifier: Apache-2.0
// Helpers of the Windows platform adapter that the Windows-only scenarios use too.
#pragma once

#include "tests/conformance/conformance.h"

namespace sgconf {

// C:\spoolgate-bin: the program, the spooler double, the example .reg files; below it
// driver\ (the plug-in and the logging library) and recorder\ (the recording stand-in).
std::u16string ProgramDirectory();
// The eight exports of a loaded copy of the plug-in; stops the program when one is missing.
PluginExports FindExports(HMODULE module);
// Removes a directory with everything in it.
void DeleteTree(const std::u16string& path);
// Runs a command line and waits for it; its exit code, with what it wrote to standard
// output (and, when errors is not null, to standard error) in output. -1 when it could
// not be started.
int RunProgram(const std::u16string& commandLine, std::string* output = nullptr,
               std::string* errors = nullptr);

}  // namespace sgconf
