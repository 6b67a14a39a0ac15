// SPDX-License-Identifier: Apache-2.0
// `spoolgate check`: what is wrong with a print server's accounting, read without
// changing anything: the two DLLs, the copies of the library the plug-in could load, the
// settings as the plug-in takes them, the log directory as the library judges it (with
// the library's own code, for SYSTEM, the spooler's account), the log itself, and the
// printers set up for the plug-in. Each finding has a code that stays as its text changes.
#include "tools/common/errors.h"
#include "tools/logread/verify.h"
#include "tools/common/text.h"
#include "tools/winkit/win_kit.h"
#include "tools/winkit/win_printers.h"
#include "tools/winkit/win_system.h"

#include "accounting/log_settings.h"
#include "logger/log_directory.h"

#include <aclapi.h>
#include <windows.h>

#include <nlohmann/json.hpp>

#include <sstream>
#include <vector>

namespace spoolgate {
namespace {

const std::string kSettingsKey = "HKLM\\" + Utf8(LOG_SETTINGS_KEY);

struct Findings {
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  int faults = 0;
  void Add(const char* check, const std::string& code, bool ok, const std::string& text) {
    list.push_back({{"check", check}, {"code", code}, {"ok", ok}, {"text", text}});
    if (!ok) ++faults;
  }
};

bool FileExists(const std::wstring& path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The file version of a DLL's version resource, "0.1.0.0"; empty without one.
std::string FileVersion(const std::wstring& path) {
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  if (size == 0) return "";
  std::vector<BYTE> data(size);
  VS_FIXEDFILEINFO* info = nullptr;
  UINT length = 0;
  if (!GetFileVersionInfoW(path.c_str(), 0, size, data.data()) ||
      !VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&info), &length) ||
      info == nullptr) {
    return "";
  }
  return std::to_string(HIWORD(info->dwFileVersionMS)) + "." +
         std::to_string(LOWORD(info->dwFileVersionMS)) + "." +
         std::to_string(HIWORD(info->dwFileVersionLS)) + "." +
         std::to_string(LOWORD(info->dwFileVersionLS));
}

std::wstring SystemDirectory() {
  wchar_t buffer[MAX_PATH];
  UINT n = GetSystemDirectoryW(buffer, MAX_PATH);
  return std::wstring(buffer, n);
}

void CheckLibraries(const std::wstring& driverDir, Findings& f) {
  std::wstring plugin = driverDir + L"\\spoolgate.dll", library = driverDir + L"\\ruzoravu64.dll";
  bool havePlugin = FileExists(plugin), haveLibrary = FileExists(library);
  std::string pluginVersion = FileVersion(plugin), libraryVersion = FileVersion(library);
  if (!havePlugin || !haveLibrary) {
    f.Add("driver", "driver-missing", false,
          Utf8(driverDir) + ": " +
              (!havePlugin && !haveLibrary ? "neither spoolgate.dll nor ruzoravu64.dll"
               : !havePlugin ? "no spoolgate.dll beside ruzoravu64.dll"
                             : "no ruzoravu64.dll beside spoolgate.dll: no accounting line is written") +
              " (install the driver package)");
  } else if (pluginVersion.empty() || pluginVersion != libraryVersion) {
    f.Add("driver", "driver-versions-differ", false,
          Utf8(driverDir) + ": spoolgate.dll " + (pluginVersion.empty() ? "without a version" : pluginVersion) +
              " and ruzoravu64.dll " + (libraryVersion.empty() ? "without a version" : libraryVersion) +
              " are not of one package");
  } else {
    f.Add("driver", "driver-ok", true, Utf8(driverDir) + ": spoolgate.dll and ruzoravu64.dll " + pluginVersion);
  }
  // The plug-in loads the library from its own directory, else from System32, and from
  // nowhere else: a copy in System32 is the one that runs whenever the one beside the
  // plug-in is missing or does not load.
  std::wstring system = SystemDirectory() + L"\\ruzoravu64.dll";
  if (FileExists(system)) {
    std::string version = FileVersion(system);
    f.Add("library", "library-in-system", false,
          Utf8(system) + ": another ruzoravu64.dll (" + (version.empty() ? "no version" : version) +
              "), which the plug-in loads " +
              (haveLibrary ? "whenever the one beside it does not load" : "instead of one beside it") +
              "; remove it");
  } else {
    f.Add("library", "library-ok", true,
          "no other ruzoravu64.dll where the plug-in looks (" + Utf8(SystemDirectory()) + ")");
  }
}

std::string Quoted(const std::wstring& text) { return "\"" + Utf8(text) + "\""; }

// LogFileDirectory as the plug-in takes it; false when no directory can be judged here.
bool CheckDirectorySetting(const EffectiveSettings& s, Findings& f) {
  std::string fallback = "the plug-in uses the default " + Quoted(s.directory) + " and stores it";
  if (!s.keyFound) {
    f.Add("settings", "settings-missing", false,
          kSettingsKey + " does not exist: the first accounting job stores the defaults; set up a log "
                         "directory of your choice (run: spoolgate setup C:\\Accounting\\PrintLog)");
  } else if (!s.directorySet) {
    f.Add("settings", "directory-not-set", false, "LogFileDirectory is not set: " + fallback);
  } else if (!s.directoryRead) {
    f.Add("settings", "directory-too-long", false,
          "LogFileDirectory has " + std::to_string(s.directoryChars) + " characters, more than 129: " +
              fallback + " in its place");
  } else {
    if (s.directoryType != REG_SZ) {
      f.Add("settings", "directory-wrong-type", false,
            "LogFileDirectory is " + RegistryTypeName(s.directoryType) +
                ", not REG_SZ: it is taken as it is stored" +
                (s.directoryType == REG_EXPAND_SZ ? ", %variables% unexpanded" : ""));
    }
    if (s.storedDirectory.empty()) {
      f.Add("settings", "directory-empty", false, "LogFileDirectory is empty: no accounting line is written");
      return false;
    }
    if (!IsFullPath(s.storedDirectory)) {
      f.Add("settings", "directory-not-full-path", false,
            "LogFileDirectory " + Quoted(s.storedDirectory) +
                " is not a full path: the library writes relative to the spooler's current directory, "
                "not into the folder check would judge; set up a full path (run: " +
                SetupCommand(L"C:\\Accounting\\PrintLog", s.maxKib == 0 ? LOG_DEFAULT_MAX_SIZE : s.maxKib) + ")");
      return false;
    }
    if (!s.directoryOemExact) {
      f.Add("settings", "directory-oem-lossy", false,
            "LogFileDirectory " + Quoted(s.storedDirectory) + " holds characters the OEM code page (" +
                std::to_string(GetOEMCP()) + ") lacks: the library writes to " + Quoted(s.directory));
    }
  }
  return !s.directory.empty();
}

// MaxLogFileSize as the plug-in takes it; the limit the library will use.
DWORD CheckSizeSetting(const EffectiveSettings& s, Findings& f) {
  if (s.keyFound && !s.sizeSet) {
    f.Add("settings", "size-not-set", false, "MaxLogFileSize is not set: the plug-in uses and stores 64 (KiB)");
  } else if (s.sizeSet && (s.sizeType != REG_DWORD || !s.sizeRead)) {
    f.Add("settings", "size-wrong-type", false,
          "MaxLogFileSize is " +
              (s.sizeType != REG_DWORD ? RegistryTypeName(s.sizeType) + ", not REG_DWORD: "
                                       : std::string("a REG_DWORD longer than 4 bytes: ")) +
              (s.sizeRead ? "its bytes are read as the number " + std::to_string(s.maxKib)
                          : std::string("the plug-in replaces it with 64 (KiB)")));
  }
  // The library rotates after the registry's default for a limit of 0.
  if (s.sizeRead && s.maxKib == 0) {
    f.Add("settings", "size-zero", false,
          "MaxLogFileSize is 0: the library uses 64 (KiB) in its place (set 1 to 4294967295)");
    return LOG_DEFAULT_MAX_SIZE;
  }
  return s.maxKib;
}

// Whether accounts other than SYSTEM, the Administrators and the spooler's account may
// change the log, whoever runs check: the library gives a directory it makes
// LOG_DIRECTORY_SDDL, which lets no one else.
void CheckPermissions(const std::wstring& dir, PSID spooler, const std::string& hint, Findings& f) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  wchar_t* sddl = nullptr;
  if (GetNamedSecurityInfoW(dir.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                            nullptr, nullptr, nullptr, &sd) == ERROR_SUCCESS) {
    ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1,
                                                         DACL_SECURITY_INFORMATION, &sddl, nullptr);
    LocalFree(sd);
  }
  std::string permissions = sddl != nullptr ? Utf8(sddl) : "?";
  if (sddl != nullptr) LocalFree(sddl);
  ChangeRights rights = WhoMayChange(dir, spooler);
  if (rights.why.empty()) {
    std::string who;
    for (size_t i = 0; i < rights.accounts.size(); ++i) {
      who += (i == 0 ? "" : i + 1 == rights.accounts.size() ? " and " : ", ") + rights.accounts[i];
    }
    f.Add("permissions", "permissions-ok", true,
          Utf8(dir) + ": only " + who + " may change it (" + permissions + ")");
  } else {
    f.Add("permissions", "permissions-open", false,
          Utf8(dir) + " " + rights.why + " (" + permissions + "): the log could be edited" + hint);
  }
}

// The folders above the log directory, judged as setup judges them: one a user may
// change lets that user swap the log directory for one of theirs. True when none is.
bool CheckParents(const std::wstring& dir, PSID spooler, Findings& f) {
  std::vector<OpenParent> open = OpenParents(dir, spooler);
  for (const OpenParent& parent : open) {
    f.Add("permissions", "permissions-parent-open", false,
          Utf8(parent.folder) + " above " + Utf8(dir) + " " + parent.why +
              ": a user could put a log directory of theirs in its place, and setup refuses it (put the "
              "log directory where only the administrators can change anything above it)");
  }
  return open.empty();
}

// True when the library would write into the directory. Every hint is a command that
// setup carries out as written, given only where setup would take the directory.
bool CheckDirectory(const std::wstring& dir, PSID spooler, DWORD maxKib, Findings& f) {
  bool setupTakesIt = CheckParents(dir, spooler, f);
  std::vector<WCHAR> path(dir.begin(), dir.end());
  path.push_back(0);
  size_t where = 0;
  LogDirectoryVerdict verdict = JudgeLogDirectory(path.data(), FALSE, spooler, &where);
  std::string name = Utf8(dir);
  std::string setup = setupTakesIt ? " (run: " + SetupCommand(dir, maxKib) + ")" : "";
  std::string obstacle;
  switch (verdict) {
    case LOG_DIRECTORY_USABLE:
      f.Add("directory", "directory-ok", true, name + ": owned by " + OwnerName(dir) + "; the library writes into it");
      break;
    case LOG_DIRECTORY_MISSING:
      obstacle = PathObstacle(dir);
      if (!obstacle.empty()) {
        f.Add("directory", "directory-unreachable", false,
              name + ": " + obstacle + ": the library can neither make nor write it, and every line goes "
                                       "to the event log");
        return false;
      }
      f.Add("directory", "directory-missing", false,
            name + ": does not exist; the first accounting line makes it, unless a user makes it first" + setup);
      return false;
    case LOG_DIRECTORY_UNAVAILABLE:
      f.Add("directory", "directory-not-a-directory", false, name + ": not a directory; no line can be written there");
      return false;
    case LOG_DIRECTORY_REPARSE_POINT:
      f.Add("directory", "directory-link", false,
            Utf8(dir.substr(0, where)) +
                " is a junction or symbolic link: the library refuses the directory and every line goes "
                "to the event log");
      return false;
    case LOG_DIRECTORY_OWNER_UNKNOWN:
    case LOG_DIRECTORY_FOREIGN_OWNER:
      // Its logs are billing history: the advice hands the folder over and keeps them.
      f.Add("directory", verdict == LOG_DIRECTORY_OWNER_UNKNOWN ? "directory-owner-unknown" : "directory-foreign-owner",
            false,
            name + (verdict == LOG_DIRECTORY_OWNER_UNKNOWN
                        ? std::string(": its owner cannot be read")
                        : ": owned by " + OwnerName(dir) +
                              ", not SYSTEM, the Administrators or the spooler's account") +
                ": the library refuses it and every line goes to the event log" +
                (setupTakesIt ? "; look at what it holds, then keep its history (run: " +
                                    TakeOverAdvice(dir, maxKib) + ")"
                              : ""));
      break;
  }
  // Setup refuses a directory of another owner until it is handed over (above).
  CheckPermissions(dir, spooler, verdict == LOG_DIRECTORY_USABLE ? setup : std::string(), f);
  // The library also refuses a log, sequence or pending file that is a link.
  WIN32_FIND_DATAW item;
  HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &item);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      if ((item.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        f.Add("directory", "directory-entry-link", false,
              name + "\\" + Utf8(item.cFileName) +
                  " is a junction or symbolic link: the library writes no line of that log");
      }
    } while (FindNextFileW(find, &item));
    FindClose(find);
  }
  return true;
}

bool IsEmptyDirectory(const std::wstring& dir) {
  WIN32_FIND_DATAW item;
  HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &item);
  if (find == INVALID_HANDLE_VALUE) return false;
  bool empty = true;
  do {
    std::wstring entry = item.cFileName;
    if (entry != L"." && entry != L"..") empty = false;
  } while (empty && FindNextFileW(find, &item));
  FindClose(find);
  return empty;
}

void CheckLog(const std::wstring& dir, Findings& f) {
  // A directory setup has just made is ready: the first job starts its log.
  if (IsEmptyDirectory(dir)) {
    f.Add("log", "log-no-job-yet", true, Utf8(dir) + ": no job yet; the first accounting job starts the log");
    return;
  }
  std::ostringstream text;
  nlohmann::ordered_json report;
  try {
    VerifyLog(Utf8(dir), true, text);
    report = nlohmann::ordered_json::parse(text.str());
  } catch (const std::exception& e) {
    f.Add("log", "log-unreadable", false, std::string("log verify: ") + e.what());
    return;
  }
  for (const auto& problem : report["problems"]) {
    f.Add("log", "log-problem", false,
          problem["where"].get<std::string>() + ": " + problem["what"].get<std::string>());
  }
  if (report["problems"].empty()) {
    f.Add("log", "log-ok", true,
          "log verify: OK, " + Grouped(report["lines"].get<uint64_t>()) + " lines in " +
              Grouped(report["files"].get<uint64_t>()) + " files, none pending");
  }
}

// The printer named, or every printer whose driver or value has the plug-in.
void CheckPrinters(const std::string& named, Findings& f) {
  std::string text, code;
  if (!named.empty()) {
    bool ok = DescribePrinter(ReadPrinter(named), text, code);
    f.Add("printer", code, ok, text);
    return;
  }
  DWORD error = ERROR_SUCCESS;
  int listed = 0;
  for (const std::string& name : LocalPrinters(error)) {
    PrinterState p = ReadPrinter(name);
    if (!p.valueIsPlugin && !p.driverHasPlugin) continue;
    bool ok = DescribePrinter(p, text, code);
    f.Add("printer", code, ok, text);
    ++listed;
  }
  if (error != ERROR_SUCCESS) {
    f.Add("printer", "printers-unlisted", false, "the printers cannot be listed: " + ErrorText(error));
  } else if (listed == 0) {
    // Not a fault: the printers may be added after setup.
    f.Add("printer", "printers-none", true,
          "no printer of this server uses the plug-in yet (spoolgate setup --printer NAME sets one)");
  }
}

}  // namespace

int CheckServer(const CheckOptions& options, std::ostream& out) {
  std::wstring driverDir = options.driverDir.empty() ? DriverDirectory() : Wide(options.driverDir);
  Sid spooler = AccountSid(options.spoolerAccount);
  Findings f;
  CheckLibraries(driverDir, f);
  EffectiveSettings settings = ReadEffectiveSettings();
  bool judged = CheckDirectorySetting(settings, f);
  DWORD maxKib = CheckSizeSetting(settings, f);
  f.Add("settings", "settings-effective", true,
        "the plug-in writes to " + Quoted(settings.directory) + ", a new generation after " + Grouped(maxKib) + " KiB");
  if (judged && CheckDirectory(settings.directory, spooler.get(), maxKib, f)) CheckLog(settings.directory, f);
  CheckPrinters(options.printer, f);
  if (options.json) {
    nlohmann::ordered_json j = {{"driverDirectory", Utf8(driverDir)},
                                {"logDirectory", Utf8(settings.directory)},
                                {"maxLogFileSize", maxKib},
                                {"findings", f.list},
                                {"problemCount", f.faults},
                                {"result", f.faults == 0 ? "ok" : "failed"}};
    out << JsonDump(j) << "\n";
  } else {
    for (const auto& item : f.list) {
      out << (item["ok"].get<bool>() ? "ok     " : "WRONG  ") << item["text"].get<std::string>() << "\n";
    }
    out << (f.faults == 0 ? "OK" : std::to_string(f.faults) + (f.faults == 1 ? " problem" : " problems"))
        << "\n";
  }
  return f.faults == 0 ? kExitOk : kExitStepFailed;
}

}  // namespace spoolgate
