// SPDX-License-Identifier: Apache-2.0
// Reads a printer's SPLUserModePrinterDriver and its driver's files through the print
// spooler's API, opened for use only, so that check needs no administrator.
#include "tools/winkit/win_printers.h"

#include "tools/winkit/win_system.h"

#include <winspool.h>

#include <algorithm>
#include <string>
#include <vector>
#include <cwctype>

namespace spoolgate {

const wchar_t kPrinterValue[] = L"SPLUserModePrinterDriver";
const wchar_t kPluginName[] = L"spoolgate.dll";

namespace {

bool SameFileName(std::wstring path, const std::wstring& name) {
  size_t slash = path.find_last_of(L"\\/");
  if (slash != std::wstring::npos) path.erase(0, slash + 1);
  auto lower = [](std::wstring s) {
    std::transform(s.begin(), s.end(), s.begin(), [](wchar_t c) { return wchar_t(towlower(c)); });
    return s;
  };
  return lower(path) == lower(name);
}

// The driver's name and whether the plug-in is one of its files (the driver, its data
// and configuration files, and its dependent files).
void ReadDriver(HANDLE printer, PrinterState& p) {
  DWORD needed = 0;
  GetPrinterDriverW(printer, nullptr, 3, nullptr, 0, &needed);
  if (needed == 0) return;
  std::vector<BYTE> buffer(needed);
  if (!GetPrinterDriverW(printer, nullptr, 3, buffer.data(), needed, &needed)) return;
  auto* info = reinterpret_cast<DRIVER_INFO_3W*>(buffer.data());
  if (info->pName != nullptr) p.driver = Utf8(info->pName);
  auto look = [&p](const wchar_t* file) {
    if (SameFileName(file, kPluginName)) p.driverHasPlugin = true;
    std::wstring path = file;
    std::string name = Utf8(path.substr(path.find_last_of(L"\\/") == std::wstring::npos
                                            ? 0
                                            : path.find_last_of(L"\\/") + 1));
    if (std::find(p.driverFiles.begin(), p.driverFiles.end(), name) == p.driverFiles.end()) {
      p.driverFiles.push_back(name);
    }
  };
  for (const wchar_t* file : {info->pDriverPath, info->pDataFile, info->pConfigFile}) {
    if (file != nullptr && *file != 0) look(file);
  }
  for (const wchar_t* file = info->pDependentFiles; file != nullptr && *file != 0;
       file += wcslen(file) + 1) {
    look(file);
  }
}

}  // namespace

PrinterState ReadPrinter(const std::string& name) {
  PrinterState p;
  p.name = name;
  std::wstring wide = Wide(name);
  PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ACCESS_USE};
  HANDLE printer = nullptr;
  if (!OpenPrinterW(const_cast<wchar_t*>(wide.c_str()), &printer, &defaults)) {
    p.openError = GetLastError();
    return p;
  }
  DWORD type = 0, needed = 0;
  wchar_t value[MAX_PATH + 1] = {};
  DWORD error = GetPrinterDataW(printer, const_cast<wchar_t*>(kPrinterValue), &type,
                                reinterpret_cast<BYTE*>(value), sizeof value - sizeof(wchar_t), &needed);
  p.valueSet = error == ERROR_SUCCESS || error == ERROR_MORE_DATA;
  if (error == ERROR_SUCCESS && (type == REG_SZ || type == REG_EXPAND_SZ)) {
    p.value = Utf8(value);
    p.valueIsPlugin = SameFileName(value, kPluginName);
  }
  ReadDriver(printer, p);
  ClosePrinter(printer);
  return p;
}

std::vector<std::string> LocalPrinters(DWORD& error) {
  std::vector<std::string> names;
  DWORD needed = 0, count = 0;
  error = ERROR_SUCCESS;
  DWORD flags = PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS;
  if (!EnumPrintersW(flags, nullptr, 4, nullptr, 0, &needed, &count) && needed == 0) {
    error = GetLastError();
    return names;
  }
  std::vector<BYTE> buffer(needed);
  if (needed > 0 && !EnumPrintersW(flags, nullptr, 4, buffer.data(), needed, &needed, &count)) {
    error = GetLastError();
    return names;
  }
  auto* info = reinterpret_cast<PRINTER_INFO_4W*>(buffer.data());
  for (DWORD i = 0; i < count; ++i) {
    if (info[i].pPrinterName != nullptr) names.push_back(Utf8(info[i].pPrinterName));
  }
  return names;
}

bool DescribePrinter(const PrinterState& p, std::string& text, std::string& code) {
  text = "printer '" + p.name + "'";
  if (p.openError != ERROR_SUCCESS) {
    code = "printer-unknown";
    text += ": cannot be opened: " + ErrorText(p.openError);
    return false;
  }
  std::string driver = p.driver.empty() ? "a driver that cannot be read" : "the driver '" + p.driver + "'";
  if (!p.valueSet) {
    code = "printer-value-missing";
    text += ": no SPLUserModePrinterDriver, the spooler does not call the plug-in (run: spoolgate setup "
            "--printer \"" + p.name + "\")";
  } else if (!p.valueIsPlugin) {
    code = "printer-value-other";
    text += ": SPLUserModePrinterDriver is \"" + p.value + "\", not spoolgate.dll";
  } else if (!p.driverHasPlugin) {
    code = "printer-driver-lacks-plugin";
    text += ": " + driver + " does not list spoolgate.dll among its files (install the driver package)";
  } else {
    code = "printer-ok";
    text += ": SPLUserModePrinterDriver = spoolgate.dll, one of the files of " + driver;
    return true;
  }
  return false;
}

}  // namespace spoolgate
