// SPDX-License-Identifier: Apache-2.0
// The printers of a print server as the kit sees them: whether a printer's
// SPLUserModePrinterDriver names the plug-in and its driver ships it.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace spoolgate {

// The value that makes the spooler call the plug-in, and the plug-in's file name.
extern const wchar_t kPrinterValue[];
extern const wchar_t kPluginName[];

// What the kit reads of one printer.
struct PrinterState {
  std::string name;
  DWORD openError = ERROR_SUCCESS;  // OpenPrinterW's, when the printer could not be opened
  bool valueSet = false;            // SPLUserModePrinterDriver exists
  std::string value;                // as stored (REG_SZ)
  bool valueIsPlugin = false;       // it names spoolgate.dll
  std::string driver;               // the printer's driver, empty when it cannot be read
  bool driverHasPlugin = false;     // spoolgate.dll is among the driver's files
  std::vector<std::string> driverFiles;  // the names of the driver's files, each once
};
PrinterState ReadPrinter(const std::string& name);
// Every printer of this server; error receives why they cannot be listed.
std::vector<std::string> LocalPrinters(DWORD& error);
// One line on a printer's state for check, and whether it is set up for the plug-in.
bool DescribePrinter(const PrinterState& p, std::string& text, std::string& code);

}  // namespace spoolgate
