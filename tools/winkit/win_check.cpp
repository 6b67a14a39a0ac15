// SPDX-License-Identifier: Apache-2.0
// `spoolgate check`: what is wrong with a print server's accounting, read without
// changing anything: the two DLLs, the copies of the library the plug-in could load, the
// settings as the plug-in takes them, the log directory as the library judges it (with
// the library's own code, for SYSTEM, the spooler's account), and the log itself.
#include "tools/common/errors.h"
#include "tools/logread/verify.h"
#include "tools/common/text.h"
#include "tools/winkit/win_kit.h"
#include "tools/winkit/win_system.h"

#include "accounting/log_settings.h"
#include "logger/logger_internal.h"

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
  void Add(const char* check, bool ok, const std::string& text) {
    list.push_back({{"check", check}, {"ok", ok}, {"text", text}});
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
    f.Add("driver", false, Utf8(driverDir) + ": " +
                               (!havePlugin && !haveLibrary ? "neither spoolgate.dll nor ruzoravu64.dll"
                                : !havePlugin ? "no spoolgate.dll beside ruzoravu64.dll"
                                              : "no ruzoravu64.dll beside spoolgate.dll: no accounting line is written") +
                               " (install the driver package)");
  } else if (pluginVersion.empty() || pluginVersion != libraryVersion) {
    f.Add("driver", false, Utf8(driverDir) + ": spoolgate.dll " +
                               (pluginVersion.empty() ? "without a version" : pluginVersion) +
                               " and ruzoravu64.dll " +
                               (libraryVersion.empty() ? "without a version" : libraryVersion) +
                               " are not of one package");
  } else {
    f.Add("driver", true, Utf8(driverDir) + ": spoolgate.dll and ruzoravu64.dll " + pluginVersion);
  }
  // The plug-in loads the library from its own directory, else from System32, and from
  // nowhere else: a copy in System32 is the one that runs whenever the one beside the
  // plug-in is missing or does not load.
  std::wstring system = SystemDirectory() + L"\\ruzoravu64.dll";
  if (FileExists(system)) {
    std::string version = FileVersion(system);
    f.Add("library", false,
          Utf8(system) + ": another ruzoravu64.dll (" + (version.empty() ? "no version" : version) +
              "), which the plug-in loads " +
              (haveLibrary ? "whenever the one beside it does not load" : "instead of one beside it") +
              "; remove it");
  } else {
    f.Add("library", true, "no other ruzoravu64.dll where the plug-in looks (" + Utf8(SystemDirectory()) + ")");
  }
}

std::string Quoted(const std::wstring& text) { return "\"" + Utf8(text) + "\""; }

void CheckSettings(const EffectiveSettings& s, Findings& f) {
  if (!s.keyFound) {
    f.Add("settings", false, kSettingsKey + " does not exist: the first accounting job stores the "
                                            "defaults (run spoolgate setup)");
  }
  std::string fallback = "the plug-in uses the default " + Quoted(s.directory) + " and stores it";
  if (s.keyFound && !s.directorySet) {
    f.Add("settings", false, "LogFileDirectory is not set: " + fallback);
  } else if (s.directorySet && !s.directoryRead) {
    f.Add("settings", false, "LogFileDirectory has " + std::to_string(s.directoryChars) +
                                 " characters, more than 129: " + fallback + " in its place");
  } else if (s.directorySet) {
    if (s.directoryType != REG_SZ) {
      f.Add("settings", false,
            "LogFileDirectory is not REG_SZ (type " + std::to_string(s.directoryType) +
                "): it is taken as it is stored" +
                (s.directoryType == REG_EXPAND_SZ ? ", %variables% unexpanded" : ""));
    }
    if (s.storedDirectory.empty()) {
      f.Add("settings", false, "LogFileDirectory is empty: no accounting line is written");
    } else if (!s.directoryOemExact) {
      f.Add("settings", false, "LogFileDirectory " + Quoted(s.storedDirectory) +
                                   " holds characters the OEM code page (" +
                                   std::to_string(GetOEMCP()) + ") lacks: the library writes to " +
                                   Quoted(s.directory));
    }
  }
  if (s.keyFound && !s.sizeSet) {
    f.Add("settings", false, "MaxLogFileSize is not set: the plug-in uses and stores 64 (KiB)");
  } else if (s.sizeSet && !s.sizeRead) {
    f.Add("settings", false, "MaxLogFileSize is longer than 4 bytes: the plug-in replaces it with 64 (KiB)");
  } else if (s.sizeSet && s.sizeType != REG_DWORD) {
    f.Add("settings", false, "MaxLogFileSize is not REG_DWORD (type " + std::to_string(s.sizeType) +
                                 "): its bytes are read as the number " + std::to_string(s.maxKib));
  }
  f.Add("settings", true, "the plug-in writes to " + Quoted(s.directory) + ", a new generation after " +
                              Grouped(s.maxKib) + " KiB");
}

// Whether accounts other than SYSTEM and the Administrators may change the log: the
// library gives a directory it makes LOG_DIRECTORY_SDDL, which lets no one else.
void CheckPermissions(const std::wstring& dir, PSID spooler, Findings& f) {
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
  std::string why = UserWritable(dir, spooler);
  if (why.empty()) {
    f.Add("permissions", true, Utf8(dir) + ": only SYSTEM and the Administrators may change it (" +
                                   permissions + ")");
  } else {
    f.Add("permissions", false, Utf8(dir) + " " + why + " (" + permissions +
                                    "): the log could be edited (run spoolgate setup)");
  }
}

std::string OwnerOf(const std::wstring& dir) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (GetNamedSecurityInfoW(dir.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                            nullptr, nullptr, nullptr, &sd) != ERROR_SUCCESS) {
    return "an owner that cannot be read";
  }
  std::string name = AccountName(owner);
  LocalFree(sd);
  return name;
}

// True when the library would write into the directory.
bool CheckDirectory(const std::wstring& dir, PSID spooler, Findings& f) {
  std::vector<WCHAR> path(dir.begin(), dir.end());
  path.push_back(0);
  size_t where = 0;
  LogDirectoryVerdict verdict = JudgeLogDirectory(path.data(), FALSE, spooler, &where);
  std::string name = Utf8(dir);
  switch (verdict) {
    case LOG_DIRECTORY_USABLE:
      f.Add("directory", true, name + ": owned by " + OwnerOf(dir) + "; the library writes into it");
      break;
    case LOG_DIRECTORY_MISSING:
      f.Add("directory", false, name + ": does not exist; the first accounting line makes it "
                                       "(run spoolgate setup, so that no user can make it first)");
      return false;
    case LOG_DIRECTORY_UNAVAILABLE:
      f.Add("directory", false, name + ": not a directory; no line can be written there");
      return false;
    case LOG_DIRECTORY_REPARSE_POINT:
      f.Add("directory", false, Utf8(dir.substr(0, where)) +
                                    " is a junction or symbolic link: the library refuses the "
                                    "directory and every line goes to the event log");
      return false;
    case LOG_DIRECTORY_OWNER_UNKNOWN:
      f.Add("directory", false, name + ": its owner cannot be read: the library refuses it");
      break;
    case LOG_DIRECTORY_FOREIGN_OWNER:
      f.Add("directory", false, name + ": owned by " + OwnerOf(dir) +
                                    ", not SYSTEM, the Administrators or the spooler's account: the library refuses it "
                                    "and every line goes to the event log (run spoolgate setup)");
      break;
  }
  CheckPermissions(dir, spooler, f);
  // The library also refuses a log, sequence or pending file that is a link.
  WIN32_FIND_DATAW item;
  HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &item);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      if ((item.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        f.Add("directory", false, name + "\\" + Utf8(item.cFileName) +
                                      " is a junction or symbolic link: the library writes no "
                                      "line of that log");
      }
    } while (FindNextFileW(find, &item));
    FindClose(find);
  }
  return true;
}

void CheckLog(const std::wstring& dir, Findings& f) {
  std::ostringstream text;
  nlohmann::ordered_json report;
  try {
    VerifyLog(Utf8(dir), true, text);
    report = nlohmann::ordered_json::parse(text.str());
  } catch (const std::exception& e) {
    f.Add("log", false, std::string("log verify: ") + e.what());
    return;
  }
  for (const auto& problem : report["problems"]) {
    f.Add("log", false, problem["where"].get<std::string>() + ": " + problem["what"].get<std::string>());
  }
  if (report["problems"].empty()) {
    f.Add("log", true, "log verify: OK, " + Grouped(report["lines"].get<uint64_t>()) + " lines in " +
                           Grouped(report["files"].get<uint64_t>()) + " files, none pending");
  }
}

}  // namespace

int CheckServer(const CheckOptions& options, std::ostream& out) {
  std::wstring driverDir = options.driverDir.empty() ? DriverDirectory() : Wide(options.driverDir);
  Sid spooler = AccountSid(options.spoolerAccount);
  Findings f;
  CheckLibraries(driverDir, f);
  EffectiveSettings settings = ReadEffectiveSettings();
  CheckSettings(settings, f);
  if (!settings.directory.empty() && CheckDirectory(settings.directory, spooler.get(), f)) {
    CheckLog(settings.directory, f);
  }
  if (options.json) {
    nlohmann::ordered_json j = {{"driverDirectory", Utf8(driverDir)},
                                {"logDirectory", Utf8(settings.directory)},
                                {"maxLogFileSize", settings.maxKib},
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
