// SPDX-License-Identifier: Apache-2.0
// What spoolgate.exe's Windows subcommands share: UTF-8 and UTF-16 text, Win32 error
// texts, account names, and the accounting settings as the plug-in will take them.
#pragma once

#include "tools/common/win_text.h"

#include <windows.h>

#include <string>
#include <vector>

namespace spoolgate {

// "BUILTIN\Administrators (S-1-5-32-544)", or the SID alone when it names no account.
std::string AccountName(PSID sid);

// A SID held by value.
struct Sid {
  std::vector<BYTE> bytes;
  PSID get() { return bytes.empty() ? nullptr : bytes.data(); }
};
// The SID of an account name ("SYSTEM", "BUILTIN\Administrators") or of a SID string
// ("S-1-5-18"); throws InputError for neither.
Sid AccountSid(const std::string& account);
// Who may add, remove or rename entries of a directory, or give themselves that right:
// its owner and every account its access list lets. why names the first of them that is
// not SYSTEM, the Administrators, a service or spooler; empty when there is none. Whoever
// runs the command counts like any other account, so that setup and check judge a
// folder alike whoever runs them.
struct ChangeRights {
  std::string why;
  std::vector<std::string> accounts;  // every one that may, by AccountName
};
ChangeRights WhoMayChange(const std::wstring& dir, PSID spooler);

// The folders of a full path from the first below the root ("C:\" or "\\server\share\")
// down to the path itself, with either separator and without a trailing one.
std::vector<std::wstring> PathParts(std::wstring path);
// A folder above a log directory that others than SYSTEM, the Administrators, a service
// or the spooler's account may change, and how ("lets Everyone (S-1-1-0) create or
// remove entries"). Such an account could swap the log directory for one of its own
// between the library's judgement and its write.
struct OpenParent {
  std::wstring folder;
  std::string why;
};
// Every existing folder above dir (a full path) that is open so; setup refuses the first,
// check names each. A volume's or share's root is not looked at: it lets users make
// folders of their own, but not rename or remove one the Administrators made there.
std::vector<OpenParent> OpenParents(const std::wstring& dir, PSID spooler);
// Why no folder can be made or found at dir (a full path), naming the part at fault: a
// drive this computer does not have, a share that cannot be reached, a part that is a
// file; empty when every part is a folder or missing (and can then be made).
std::string PathObstacle(const std::wstring& dir);
// The commands that give a log directory someone else made to the Administrators,
// keeping what it holds, and set it up again: "icacls \"DIR\" /setowner ... ; then
// spoolgate setup \"DIR\" --max-size N".
std::string TakeOverAdvice(const std::wstring& dir, unsigned long long maxKib);
// "spoolgate setup \"DIR\" --max-size N": the setup of dir that keeps its size limit.
std::string SetupCommand(const std::wstring& dir, unsigned long long maxKib);
// The owner of a file or directory by AccountName, or why it cannot be read.
std::string OwnerName(const std::wstring& path);
// A path from a drive's root ("D:\...") or a share ("\\server\share\..."), with either
// separator: one that does not depend on the current directory of whoever opens it.
bool IsFullPath(const std::wstring& path);
// "REG_SZ", "REG_DWORD", ...; "type N" for a type without a name.
std::string RegistryTypeName(DWORD type);

// HKLM\SOFTWARE\TALVOK\PrintLog as the plug-in reads it at the end of a job, read
// without writing anything back.
struct EffectiveSettings {
  bool keyFound = false;
  bool directorySet = false;     // LogFileDirectory exists
  DWORD directoryType = 0;
  size_t directoryChars = 0;     // its length as stored, in characters
  std::wstring storedDirectory;  // as stored, when it could be read at all
  bool directoryRead = false;    // the plug-in takes it (else the default replaces it)
  std::wstring directory;        // what the library receives, after the OEM conversion
  bool directoryOemExact = true; // the OEM code page held every character
  bool sizeSet = false;
  DWORD sizeType = 0;
  bool sizeRead = false;         // the plug-in takes it (else 64 replaces it)
  DWORD maxKib = 0;              // what the library receives (0: it uses 64)
};
EffectiveSettings ReadEffectiveSettings();

// The driver directory of 64-bit version-3 drivers on this computer.
std::wstring DriverDirectory();

}  // namespace spoolgate
