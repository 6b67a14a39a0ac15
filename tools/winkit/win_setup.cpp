// SPDX-License-Identifier: Apache-2.0
// `spoolgate setup`: installs the accounting of a print server as an administrator: the
// log directory with the library's descriptor and the Administrators as its owner, the
// two settings, the event source with the library as its message file, and a printer's
// SPLUserModePrinterDriver. Every step says what it did; the first that fails stops the
// rest and says what stays done.
#include "tools/common/errors.h"
#include "tools/winkit/win_kit.h"
#include "tools/winkit/win_printers.h"
#include "tools/winkit/win_system.h"

#include "accounting/log_settings.h"
#include "logger/event_source.h"
#include "logger/log_directory.h"

#include <aclapi.h>
#include <windows.h>
#include <winspool.h>

#include <functional>
#include <list>
#include <vector>

namespace spoolgate {
namespace {

// One thing setup changes: what it is, and how it is done (a Win32 error code, or 0).
struct Step {
  std::string what;
  std::function<DWORD()> run;
};

// The log directory as it goes into the registry, or an error (exit status 2).
std::wstring ValidDirectory(const std::string& given) {
  // cmd.exe and PowerShell pass "C:\Logs\" on as C:\Logs" and the rest of the line.
  if (given.find('"') != std::string::npos) {
    throw InputError(given + ": a \\ just before a closing quote keeps the quote in the directory "
                             "and the rest of the line with it: leave out the last \\ (\"C:\\Logs\")");
  }
  std::wstring dir = Wide(given);
  for (wchar_t& c : dir) {
    if (c == L'/') c = L'\\';
  }
  while (dir.size() > 3 && dir.back() == L'\\') dir.pop_back();
  bool drive = dir.size() > 3 && iswalpha(dir[0]) && dir[1] == L':' && dir[2] == L'\\';
  bool unc = dir.rfind(L"\\\\", 0) == 0 && dir.find(L'\\', 2) != std::wstring::npos &&
             dir.find(L'\\', dir.find(L'\\', 2) + 1) != std::wstring::npos;
  if (!drive && !unc) {
    throw InputError(given + ": the log directory must be a full path below a drive's root "
                             "(D:\\Accounting\\PrintLog) or a share (\\\\server\\share\\PrintLog)");
  }
  for (const std::wstring& part : PathParts(dir)) {
    std::wstring last = part.substr(part.rfind(L'\\') + 1);
    if (last.empty() || last == L"." || last == L"..") {
      throw InputError(given + ": empty, . or .. parts are not taken");
    }
  }
  if (dir.find_first_of(L"%*?\"<>|") != std::wstring::npos || dir.find(L':', 2) != std::wstring::npos) {
    throw InputError(given + ": not a directory name (the plug-in takes the value as it is, "
                             "%variables% unexpanded)");
  }
  if (dir.size() > 129) {
    throw InputError(given + ": " + std::to_string(dir.size()) +
                     " characters; the plug-in reads at most 129 and uses its default for a "
                     "longer value");
  }
  // The plug-in hands the directory to the library in the OEM code page.
  WCHAR work[DIRECTORY_WORK_CHARS] = {};
  dir.copy(work, dir.size());
  char oem[LOG_DIRECTORY_BYTES] = {};
  ConvertDirectoryToOem(oem, work);
  WCHAR back[MAX_PATH + 1] = {};
  OemTextToWide(oem, MAX_PATH, back, MAX_PATH + 1);
  if (dir != back) {
    throw InputError(given + ": holds characters the OEM code page (" + std::to_string(GetOEMCP()) +
                     ") lacks; the library would write to " + Utf8(back));
  }
  return dir;
}

DWORD SetString(HKEY key, const wchar_t* name, DWORD type, const std::wstring& value) {
  return DWORD(RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(value.c_str()),
                              DWORD((value.size() + 1) * sizeof(wchar_t))));
}

DWORD SetNumber(HKEY key, const wchar_t* name, DWORD value) {
  return DWORD(RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value));
}

DWORD WithKey(const wchar_t* path, const std::function<DWORD(HKEY)>& use) {
  HKEY key = nullptr;
  DWORD error = DWORD(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                      KEY_SET_VALUE, nullptr, &key, nullptr));
  if (error != ERROR_SUCCESS) return error;
  error = use(key);
  RegCloseKey(key);
  return error;
}

DWORD DeleteKey(const wchar_t* path) {
  DWORD error = DWORD(RegDeleteKeyW(HKEY_LOCAL_MACHINE, path));
  return error == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : error;
}

// The directory and its missing parents, made with the library's descriptor, then the
// log directory given the Administrators as owner and that descriptor again (for one
// that was there already), and judged as the library will judge it in the spooler.
DWORD MakeLogDirectory(const std::wstring& dir, PSID spooler, std::string& why) {
  std::vector<WCHAR> path(dir.begin(), dir.end());
  path.push_back(0);
  std::vector<std::wstring> made;
  for (const std::wstring& part : PathParts(dir)) {
    if (GetFileAttributesW(part.c_str()) == INVALID_FILE_ATTRIBUTES) made.push_back(part);
  }
  // What a failure leaves behind is named with it.
  auto failed = [&](DWORD error, const std::string& reason) {
    why = reason;
    std::string left;
    for (const std::wstring& part : made) {
      if (GetFileAttributesW(part.c_str()) != INVALID_FILE_ATTRIBUTES) {
        left += (left.empty() ? "" : ", ") + Utf8(part);
      }
    }
    if (!left.empty()) why += (why.empty() ? "" : "; ") + ("made " + left + ", left in place");
    return error != ERROR_SUCCESS ? error : DWORD(ERROR_PATH_NOT_FOUND);
  };
  if (JudgeLogDirectory(path.data(), TRUE, nullptr, nullptr) == LOG_DIRECTORY_UNAVAILABLE) {
    // A drive or share gone since setup looked, or a part made a file meanwhile: named.
    DWORD error = GetLastError();
    return failed(error, PathObstacle(dir));
  }
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(LOG_DIRECTORY_SDDL, SDDL_REVISION_1,
                                                            &descriptor, nullptr)) {
    return failed(GetLastError(), "");
  }
  PACL dacl = nullptr;
  BOOL present = FALSE, defaulted = FALSE;
  GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
  BYTE administrators[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof administrators;
  CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size);
  DWORD error = SetNamedSecurityInfoW(
      path.data(), SE_FILE_OBJECT,
      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
      administrators, nullptr, dacl, nullptr);
  LocalFree(descriptor);
  if (error != ERROR_SUCCESS) return failed(error, "setting its owner and permissions");
  // The folders made above it go to the Administrators too: a local policy may make the
  // administrator's own account their owner, which check (and setup, run again) would
  // rightly name as an account that may change them.
  for (const std::wstring& part : made) {
    if (part == dir) continue;
    std::vector<WCHAR> madePath(part.begin(), part.end());
    madePath.push_back(0);
    error = SetNamedSecurityInfoW(madePath.data(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, administrators,
                                  nullptr, nullptr, nullptr);
    if (error != ERROR_SUCCESS) return failed(error, "setting the owner of " + Utf8(part));
  }
  if (JudgeLogDirectory(path.data(), FALSE, spooler, nullptr) != LOG_DIRECTORY_USABLE) {
    return failed(ERROR_ACCESS_DENIED, "the library would still refuse it: its owner is " + OwnerName(dir) +
                                           ", not SYSTEM, the Administrators or the spooler's account");
  }
  // A file system that keeps no owners of its own (Wine keeps the Unix owner) may leave
  // another owner in place, one the library accepts.
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (GetNamedSecurityInfoW(path.data(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                            nullptr, nullptr, nullptr, &sd) == ERROR_SUCCESS) {
    if (!EqualSid(owner, administrators)) why = "the file system kept the owner " + AccountName(owner);
    LocalFree(sd);
  }
  return DWORD(ERROR_SUCCESS);
}

bool IsAdministrator() {
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof sid;
  BOOL member = FALSE;
  return CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &size) &&
         CheckTokenMembership(nullptr, sid, &member) && member;
}

// Refuses a log directory the library could not keep to itself or could not reach: one
// through a junction, one another account made, one below a folder that users may
// change (judged as check judges it), one on a drive or share that is not there or below
// a file.
void CheckPlace(const std::wstring& dir, PSID spooler, int64_t maxKib) {
  std::vector<WCHAR> path(dir.begin(), dir.end());
  path.push_back(0);
  size_t where = 0;
  std::string name = Utf8(dir);
  std::string obstacle = PathObstacle(dir);
  if (!obstacle.empty()) throw InputError(name + ": " + obstacle + "; nothing was changed");
  switch (JudgeLogDirectory(path.data(), FALSE, spooler, &where)) {
    case LOG_DIRECTORY_REPARSE_POINT:
      throw InputError(name + ": " + Utf8(dir.substr(0, where)) +
                       " is a junction or symbolic link; the library refuses a log directory "
                       "reached through one");
    case LOG_DIRECTORY_UNAVAILABLE:
      throw InputError(name + ": is a file, not a directory");
    case LOG_DIRECTORY_FOREIGN_OWNER:
    case LOG_DIRECTORY_OWNER_UNKNOWN:
      // Its files may be billing history: it is handed over, never removed. Not by setup
      // itself, though: whoever made it may have put files there, which an administrator
      // should look at before the Administrators own them.
      throw InputError(name + ": exists and belongs to " + OwnerName(dir) +
                       ", not the Administrators or SYSTEM, so the library refuses it; a user may have "
                       "made it. Look at what it holds, then keep its history (run: " +
                       TakeOverAdvice(dir, uint64_t(maxKib)) + ")");
    case LOG_DIRECTORY_USABLE:
    case LOG_DIRECTORY_MISSING:
      break;
  }
  std::vector<OpenParent> open = OpenParents(dir, spooler);
  if (!open.empty()) {
    throw InputError(name + ": " + Utf8(open.front().folder) + " above it " + open.front().why +
                     "; put the log directory where only the administrators can change anything "
                     "above it");
  }
}

// A printer opened before any step, closed when setup ends.
struct OpenedPrinter {
  std::string name;
  HANDLE handle = nullptr;
  OpenedPrinter() = default;
  OpenedPrinter(const OpenedPrinter&) = delete;
  OpenedPrinter& operator=(const OpenedPrinter&) = delete;
  ~OpenedPrinter() {
    if (handle != nullptr) ClosePrinter(handle);
  }
};
// Stays where it is while the steps hold it.
using OpenedPrinters = std::list<OpenedPrinter>;

std::wstring DefaultDirectory() {
  WCHAR work[DIRECTORY_WORK_CHARS] = {};
  return ComposeDefaultDirectory(work) ? std::wstring(work) : std::wstring(L"%WINDIR%\\temp\\PrintLog");
}

std::vector<Step> RemoveSteps(OpenedPrinters& printers) {
  std::vector<Step> steps;
  steps.push_back({"remove the settings HKLM\\" + Utf8(LOG_SETTINGS_KEY), [] { return DeleteKey(LOG_SETTINGS_KEY); }});
  steps.push_back({"remove the event source HKLM\\" + Utf8(LOG_EVENT_SOURCE_KEY),
                   [] { return DeleteKey(LOG_EVENT_SOURCE_KEY); }});
  for (OpenedPrinter& printer : printers) {
    steps.push_back({"remove SPLUserModePrinterDriver of the printer '" + printer.name + "'", [&printer] {
                       DWORD error = DeletePrinterDataW(printer.handle, const_cast<wchar_t*>(kPrinterValue));
                       return error == ERROR_FILE_NOT_FOUND ? DWORD(ERROR_SUCCESS) : error;
                     }});
  }
  return steps;
}

// The steps that make the spooler call the plug-in for each printer.
void AddPrinterSteps(OpenedPrinters& printers, std::vector<Step>& steps) {
  for (OpenedPrinter& printer : printers) {
    steps.push_back({"set SPLUserModePrinterDriver = spoolgate.dll for the printer '" + printer.name + "'",
                     [&printer] {
                       return SetPrinterDataW(printer.handle, const_cast<wchar_t*>(kPrinterValue), REG_SZ,
                                              reinterpret_cast<BYTE*>(const_cast<wchar_t*>(kPluginName)),
                                              DWORD(sizeof(wchar_t) * (wcslen(kPluginName) + 1)));
                     }});
  }
}

// The steps of an installation into dir (checked), with what a step says besides done
// or failed in why and what a failed step left written in partial.
std::vector<Step> InstallSteps(const std::wstring& dir, DWORD maxKib, const std::wstring& library,
                               Sid& spooler, std::string& why, std::string& partial) {
  std::vector<Step> steps;
  steps.push_back({"make the log directory " + Utf8(dir) +
                       ", owned by the Administrators, written by SYSTEM and the Administrators only",
                   [dir, &spooler, &why] { return MakeLogDirectory(dir, spooler.get(), why); }});
  steps.push_back({"set LogFileDirectory = " + Utf8(dir) + " and MaxLogFileSize = " + std::to_string(maxKib) +
                       " (KiB) under HKLM\\" + Utf8(LOG_SETTINGS_KEY),
                   [dir, maxKib, &partial] {
                     return WithKey(LOG_SETTINGS_KEY, [&](HKEY key) {
                       DWORD error = SetString(key, LOG_DIRECTORY_VALUE, REG_SZ, dir);
                       if (error != ERROR_SUCCESS) return error;
                       partial = "LogFileDirectory was written";
                       return SetNumber(key, LOG_MAX_SIZE_VALUE, maxKib);
                     });
                   }});
  steps.push_back({"register the event source " + Utf8(LOG_EVENT_SOURCE) + " with " + Utf8(library) +
                       " as its message file",
                   [library, &partial] {
                     return WithKey(LOG_EVENT_SOURCE_KEY, [&](HKEY key) {
                       DWORD error = SetString(key, L"EventMessageFile", REG_EXPAND_SZ, library);
                       if (error != ERROR_SUCCESS) return error;
                       partial = "EventMessageFile was written";
                       return SetNumber(key, L"TypesSupported",
                                        EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE);
                     });
                   }});
  return steps;
}

// Opens each printer as its step will use it (a dry run only to see that it is there);
// an unknown name, or one whose driver does not ship the plug-in (which the spooler
// would then look for in vain), is an unusable option. False, said on out, for any
// other failure. Nothing is changed before every printer has been opened.
bool OpenPrintersFirst(const std::vector<std::string>& names, bool dryRun, bool remove,
                       OpenedPrinters& printers, std::ostream& out) {
  for (const std::string& name : names) {
    bool seen = false;
    for (const OpenedPrinter& p : printers) seen = seen || p.name == name;
    if (seen) continue;
    OpenedPrinter& printer = printers.emplace_back();
    printer.name = name;
    std::wstring wide = Wide(name);
    PRINTER_DEFAULTSW defaults = {nullptr, nullptr, dryRun ? DWORD(PRINTER_ACCESS_USE) : DWORD(PRINTER_ALL_ACCESS)};
    if (!OpenPrinterW(const_cast<wchar_t*>(wide.c_str()), &printer.handle, &defaults)) {
      DWORD error = GetLastError();
      printer.handle = nullptr;
      if (error == ERROR_INVALID_PRINTER_NAME) {
        throw InputError("--printer '" + name + "': " + ErrorText(error) +
                         ": no printer of that name on this server; nothing was changed");
      }
      out << "FAILED open the printer '" << name << "': " << ErrorText(error) << "\n"
          << "setup stopped; nothing was changed\n";
      return false;
    }
    if (remove) continue;
    // Removing the value needs no plug-in; setting it does.
    PrinterState state = ReadPrinter(name);
    if (state.driverHasPlugin) continue;
    std::string found;
    for (const std::string& file : state.driverFiles) found += (found.empty() ? "" : ", ") + file;
    throw InputError("--printer '" + name + "': " +
                     (state.driver.empty()
                          ? std::string("its driver cannot be read, so setup cannot tell that it ships spoolgate.dll")
                          : "its driver '" + state.driver + "' does not list spoolgate.dll among its files (" +
                                (found.empty() ? std::string("it lists none") : "it lists " + found) + ")") +
                     ": the spooler would find no plug-in; install the driver package that ships it, then "
                     "run setup again; nothing was changed");
  }
  return true;
}

// Runs the steps in order; the first that fails stops the rest and says what stays done.
bool RunSteps(const std::vector<Step>& steps, std::string& why, std::string& partial, std::ostream& out) {
  for (size_t i = 0; i < steps.size(); ++i) {
    DWORD error = steps[i].run();
    if (error != ERROR_SUCCESS) {
      if (!partial.empty()) why += (why.empty() ? "" : "; ") + partial;
      out << "FAILED " << steps[i].what << ": " << ErrorText(error) << (why.empty() ? "" : "; " + why) << "\n";
      out << "setup stopped; " << (i == 0 ? "no step was done" : "the steps marked done stay done") << "; not done:";
      for (size_t j = i + 1; j < steps.size(); ++j) out << (j == i + 1 ? " " : "; ") << steps[j].what;
      out << (i + 1 == steps.size() ? " nothing else" : "") << "\n";
      return false;
    }
    out << "done   " << steps[i].what << "\n";
    if (!why.empty()) out << "note   " << why << "\n";
    why.clear();
    partial.clear();
  }
  return true;
}

// Where the plug-in writes once the settings are gone, and why that is no place for a log.
void SayWhereRemovalLeavesTheLog(const std::wstring& logDir, DWORD maxKib, bool dryRun, std::ostream& out) {
  std::string logs = logDir.empty() ? "" : "the logs in " + Utf8(logDir) + " stay; ";
  out << (dryRun ? "note   then " : "removed; ") << logs << "from the next accounting job on "
      << "the plug-in writes to its default " << Utf8(DefaultDirectory())
      << ", which deployment.md advises against: every user may change the folder above it, and "
         "setup refuses it as a log directory; to keep accounting, set it up again (run: "
      << (logDir.empty() ? std::string("spoolgate setup C:\\Accounting\\PrintLog") : SetupCommand(logDir, maxKib))
      << ")\n";
}

}  // namespace

int RunSetup(const SetupOptions& options, std::ostream& out) {
  std::wstring driverDir = options.driverDir.empty() ? DriverDirectory() : Wide(options.driverDir);
  std::wstring library = driverDir + L"\\ruzoravu64.dll";
  // What a step says besides done or failed, and what a failed step left written.
  std::string why, partial;
  Sid spooler = AccountSid(options.spoolerAccount);
  OpenedPrinters printers;
  std::vector<Step> steps;
  std::wstring logDir;
  DWORD logMaxKib = 0;
  if (options.remove) {
    if (!options.directory.empty()) throw InputError("setup --remove takes no directory; the logs stay");
    EffectiveSettings settings = ReadEffectiveSettings();
    if (settings.directorySet) logDir = settings.storedDirectory;
    logMaxKib = settings.maxKib == 0 ? LOG_DEFAULT_MAX_SIZE : settings.maxKib;
  } else if (options.directory.empty()) {
    if (options.printers.empty()) {
      throw InputError("setup: name the log directory (DIR), or the printers to set up (--printer NAME)");
    }
  } else {
    if (options.maxKib < 0) {
      throw InputError("--max-size " + std::to_string(options.maxKib) + ": negative; from 1 to 4294967295 (KiB)");
    }
    if (options.maxKib < 1 || options.maxKib > 0xFFFFFFFFll) {
      throw InputError("--max-size " + std::to_string(options.maxKib) + ": from 1 to 4294967295 (KiB)");
    }
    std::wstring dir = ValidDirectory(options.directory);
    CheckPlace(dir, spooler.get(), options.maxKib);
    steps = InstallSteps(dir, DWORD(options.maxKib), library, spooler, why, partial);
  }
  bool admin = IsAdministrator();
  if (!options.dryRun && !admin) {
    out << "FAILED setup must run as an administrator (an elevated prompt); nothing was changed\n";
    return kExitStepFailed;
  }
  if (!OpenPrintersFirst(options.printers, options.dryRun, options.remove, printers, out)) return kExitStepFailed;
  if (options.remove) {
    steps = RemoveSteps(printers);
  } else {
    AddPrinterSteps(printers, steps);
  }
  if (options.dryRun) {
    for (const Step& step : steps) out << "would  " << step.what << "\n";
    if (options.remove) SayWhereRemovalLeavesTheLog(logDir, logMaxKib, true, out);
    if (!admin) out << "note   setup itself must run as an administrator (an elevated prompt)\n";
    return kExitOk;
  }
  if (!RunSteps(steps, why, partial, out)) return kExitStepFailed;
  if (options.remove) {
    SayWhereRemovalLeavesTheLog(logDir, logMaxKib, false, out);
    return kExitOk;
  }
  if (!options.directory.empty() && GetFileAttributesW(library.c_str()) == INVALID_FILE_ATTRIBUTES) {
    out << "note   " << Utf8(library)
        << " is not there yet: the event viewer shows the events' text once the driver package is installed\n";
  }
  out << "installed; run spoolgate check\n";
  return kExitOk;
}

}  // namespace spoolgate
