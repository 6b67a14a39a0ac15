// SPDX-License-Identifier: Apache-2.0
// Windows helpers of spoolgate.exe: accounts, and the settings read with the plug-in's
// own registry code.
#include "tools/winkit/win_system.h"

#include "accounting/log_settings.h"
#include "logger/log_directory.h"
#include "tools/common/errors.h"

#include <aclapi.h>
#include <sddl.h>
#include <winspool.h>

#include <algorithm>
#include <vector>

namespace spoolgate {

std::string AccountName(PSID sid) {
  std::string text;
  wchar_t* sidText = nullptr;
  if (ConvertSidToStringSidW(sid, &sidText)) {
    text = Utf8(sidText);
    LocalFree(sidText);
  }
  wchar_t name[256], domain[256];
  DWORD nameChars = 256, domainChars = 256;
  SID_NAME_USE use;
  if (!LookupAccountSidW(nullptr, sid, name, &nameChars, domain, &domainChars, &use)) return text;
  std::wstring account = domainChars > 0 ? std::wstring(domain) + L"\\" + name : std::wstring(name);
  return Utf8(account) + " (" + text + ")";
}

namespace {

// Access that lets an account add, remove or rename entries of a directory, or give
// itself that right.
constexpr DWORD kChangingAccess = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD |
                                  DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

// SYSTEM, the Administrators, a service (TrustedInstaller owns the system's folders) and
// the account the spooler runs as. The administrator's own account is not among them: a
// program that account runs unelevated could change the folder too.
bool IsTrusted(PSID sid, PSID spooler) {
  SID_IDENTIFIER_AUTHORITY* authority = GetSidIdentifierAuthority(sid);
  static const BYTE nt[6] = {0, 0, 0, 0, 0, 5};
  bool service = memcmp(authority->Value, nt, 6) == 0 && *GetSidSubAuthorityCount(sid) >= 1 &&
                 *GetSidSubAuthority(sid, 0) == SECURITY_SERVICE_ID_BASE_RID;
  return IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
         IsWellKnownSid(sid, WinCreatorOwnerSid) || service ||
         (spooler != nullptr && EqualSid(sid, spooler));
}

void AddOnce(std::vector<std::string>& list, const std::string& item) {
  if (std::find(list.begin(), list.end(), item) == list.end()) list.push_back(item);
}

}  // namespace

ChangeRights WhoMayChange(const std::wstring& dir, PSID spooler) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  ChangeRights rights;
  DWORD error = GetNamedSecurityInfoW(dir.c_str(), SE_FILE_OBJECT,
                                      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                      &owner, nullptr, &dacl, nullptr, &sd);
  if (error != ERROR_SUCCESS) {
    rights.why = "has permissions that cannot be read: " + ErrorText(error);
    return rights;
  }
  // The owner may always give itself any right.
  if (owner != nullptr) {
    AddOnce(rights.accounts, AccountName(owner));
    if (!IsTrusted(owner, spooler)) rights.why = "belongs to " + AccountName(owner);
  }
  if (dacl == nullptr) {
    rights.accounts.push_back("everyone");
    if (rights.why.empty()) rights.why = "has no access list: everyone may change it";
  }
  // Every account the access list lets in is named, not only the first: the owner alone
  // would hide a grant to Everyone that outlives a change of owner.
  std::vector<std::string> granted;
  for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
    ACE_HEADER* ace = nullptr;
    if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace)) || ace->AceType != ACCESS_ALLOWED_ACE_TYPE ||
        (ace->AceFlags & INHERIT_ONLY_ACE) != 0) {
      continue;
    }
    auto* allowed = reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace);
    PSID sid = &allowed->SidStart;
    if ((allowed->Mask & kChangingAccess) == 0) continue;
    AddOnce(rights.accounts, AccountName(sid));
    // An owner named already is not named twice.
    if (!IsTrusted(sid, spooler) && !(owner != nullptr && EqualSid(sid, owner))) AddOnce(granted, AccountName(sid));
  }
  if (!granted.empty()) {
    std::string who;
    for (size_t i = 0; i < granted.size(); ++i) who += (i == 0 ? "" : " and ") + granted[i];
    rights.why += (rights.why.empty() ? "lets " : " and lets ") + who + " create or remove entries";
  }
  LocalFree(sd);
  return rights;
}

std::vector<std::wstring> PathParts(std::wstring path) {
  std::replace(path.begin(), path.end(), L'/', L'\\');
  while (path.size() > 3 && path.back() == L'\\') path.pop_back();
  std::vector<std::wstring> parts;
  // The separator after the root: the one after "C:", or the one after the share's name.
  size_t start = path.rfind(L"\\\\", 0) == 0 ? path.find(L'\\', path.find(L'\\', 2) + 1) : 2;
  if (start == std::wstring::npos) return parts;
  for (size_t at = path.find(L'\\', start + 1); at != std::wstring::npos; at = path.find(L'\\', at + 1)) {
    parts.push_back(path.substr(0, at));
  }
  parts.push_back(path);
  return parts;
}

std::vector<OpenParent> OpenParents(const std::wstring& dir, PSID spooler) {
  std::vector<OpenParent> open;
  std::vector<std::wstring> parts = PathParts(dir);
  if (!parts.empty()) parts.pop_back();
  for (const std::wstring& part : parts) {
    // Setup makes the missing ones itself, with the library's descriptor.
    if (GetFileAttributesW(part.c_str()) == INVALID_FILE_ATTRIBUTES) break;
    std::string why = WhoMayChange(part, spooler).why;
    if (!why.empty()) open.push_back({part, why});
  }
  return open;
}

std::string PathObstacle(const std::wstring& dir) {
  std::vector<std::wstring> parts = PathParts(dir);
  if (parts.empty()) return "";
  std::wstring first = parts.front();
  if (first.rfind(L"\\\\", 0) == 0) {
    std::wstring share = first.substr(0, first.rfind(L'\\'));
    if (GetFileAttributesW((share + L"\\").c_str()) == INVALID_FILE_ATTRIBUTES) {
      return "the share " + Utf8(share) + " cannot be reached: " + ErrorText(GetLastError());
    }
  } else {
    std::wstring root = first.substr(0, 3);
    if (GetDriveTypeW(root.c_str()) == DRIVE_NO_ROOT_DIR) {
      return "this computer has no drive " + Utf8(root.substr(0, 2));
    }
    if (GetFileAttributesW(root.c_str()) == INVALID_FILE_ATTRIBUTES) {
      return "the drive " + Utf8(root.substr(0, 2)) + " cannot be read: " + ErrorText(GetLastError());
    }
  }
  for (const std::wstring& part : parts) {
    DWORD attributes = GetFileAttributesW(part.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      DWORD error = GetLastError();
      if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return "";
      return Utf8(part) + " cannot be looked at: " + ErrorText(error);
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return Utf8(part) + " is a file, not a folder";
  }
  return "";
}

std::string SetupCommand(const std::wstring& dir, unsigned long long maxKib) {
  return "spoolgate setup \"" + Utf8(dir) + "\" --max-size " + std::to_string(maxKib);
}

std::string TakeOverAdvice(const std::wstring& dir, unsigned long long maxKib) {
  // /T gives the files in it the same owner: whoever made the folder could otherwise
  // still change the logs they own; setup then gives the folder and every file that
  // inherits from it the library's permissions.
  return "icacls \"" + Utf8(dir) + "\" /setowner *S-1-5-32-544 /T /C; then " + SetupCommand(dir, maxKib);
}

std::string OwnerName(const std::wstring& path) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  DWORD error = GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION,
                                      &owner, nullptr, nullptr, nullptr, &sd);
  if (error != ERROR_SUCCESS) return "an owner that cannot be read (" + ErrorText(error) + ")";
  std::string name = AccountName(owner);
  LocalFree(sd);
  return name;
}

bool IsFullPath(const std::wstring& path) {
  std::wstring p = path;
  std::replace(p.begin(), p.end(), L'/', L'\\');
  bool drive = p.size() >= 3 && iswalpha(p[0]) && p[1] == L':' && p[2] == L'\\';
  size_t server = p.rfind(L"\\\\", 0) == 0 ? p.find(L'\\', 2) : std::wstring::npos;
  bool unc = server != std::wstring::npos && server > 2 && server + 1 < p.size() &&
             p[server + 1] != L'\\';
  return drive || unc;
}

std::string RegistryTypeName(DWORD type) {
  static const char* const names[] = {"REG_NONE", "REG_SZ", "REG_EXPAND_SZ", "REG_BINARY",
                                      "REG_DWORD", "REG_DWORD_BIG_ENDIAN", "REG_LINK",
                                      "REG_MULTI_SZ", "REG_RESOURCE_LIST",
                                      "REG_FULL_RESOURCE_DESCRIPTOR",
                                      "REG_RESOURCE_REQUIREMENTS_LIST", "REG_QWORD"};
  return type < sizeof names / sizeof names[0] ? names[type] : "type " + std::to_string(type);
}

Sid AccountSid(const std::string& account) {
  Sid sid;
  sid.bytes.resize(SECURITY_MAX_SID_SIZE);
  PSID parsed = nullptr;
  if (ConvertStringSidToSidW(Wide(account).c_str(), &parsed)) {
    CopySid(DWORD(sid.bytes.size()), sid.bytes.data(), parsed);
    LocalFree(parsed);
    return sid;
  }
  DWORD size = DWORD(sid.bytes.size());
  wchar_t domain[256];
  DWORD domainChars = 256;
  SID_NAME_USE use;
  if (!LookupAccountNameW(nullptr, Wide(account).c_str(), sid.bytes.data(), &size, domain,
                          &domainChars, &use)) {
    throw InputError("account " + account + ": " + ErrorText(GetLastError()));
  }
  return sid;
}

EffectiveSettings ReadEffectiveSettings() {
  EffectiveSettings s;
  HKEY key = nullptr;
  WCHAR work[DIRECTORY_WORK_CHARS];
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, LOG_SETTINGS_KEY, 0, KEY_READ, &key) == ERROR_SUCCESS) {
    s.keyFound = true;
    DWORD bytes = 0;
    if (RegQueryValueExW(key, LOG_DIRECTORY_VALUE, nullptr, &s.directoryType, nullptr, &bytes) ==
        ERROR_SUCCESS) {
      s.directorySet = true;
      std::vector<wchar_t> text(bytes / sizeof(wchar_t) + 1, L'\0');
      DWORD size = bytes;
      if (RegQueryValueExW(key, LOG_DIRECTORY_VALUE, nullptr, nullptr,
                           reinterpret_cast<BYTE*>(text.data()), &size) == ERROR_SUCCESS) {
        s.storedDirectory = text.data();
        s.directoryChars = s.storedDirectory.size();
      }
    }
    s.directoryRead = QueryDirectorySetting(key, work) != FALSE;
    DWORD sizeBytes = 0;
    s.sizeSet = RegQueryValueExW(key, LOG_MAX_SIZE_VALUE, nullptr, &s.sizeType, nullptr,
                                 &sizeBytes) == ERROR_SUCCESS;
    s.sizeRead = QueryMaxSizeSetting(key, &s.maxKib) != FALSE;
    RegCloseKey(key);
  }
  if (!s.directoryRead) {
    memset(work, 0, sizeof work);
    if (!ComposeDefaultDirectory(work)) work[0] = 0;
  }
  // The plug-in hands the directory over in the OEM code page; the library converts it
  // back. A character the code page lacks comes back as another one.
  char oem[LOG_DIRECTORY_BYTES] = {};
  ConvertDirectoryToOem(oem, work);
  WCHAR back[MAX_PATH + 1] = {};
  OemTextToWide(oem, MAX_PATH, back, MAX_PATH + 1);
  s.directory = back;
  s.directoryOemExact = s.directory == std::wstring(work);
  if (!s.sizeRead) s.maxKib = LOG_DEFAULT_MAX_SIZE;
  return s;
}

std::wstring DriverDirectory() {
  wchar_t buffer[MAX_PATH];
  DWORD needed = 0;
  if (!GetPrinterDriverDirectoryW(nullptr, const_cast<wchar_t*>(L"Windows x64"), 1,
                                  reinterpret_cast<BYTE*>(buffer), sizeof buffer, &needed)) {
    UINT n = GetSystemDirectoryW(buffer, MAX_PATH);
    return std::wstring(buffer, n) + L"\\spool\\drivers\\x64\\3";
  }
  return std::wstring(buffer) + L"\\3";
}

}  // namespace spoolgate
