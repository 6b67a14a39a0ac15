// SPDX-License-Identifier: Apache-2.0
// Security of the host layer: descriptors made from their string form (kept as that
// string), the owners of the sandbox's files, and the account the process runs as.
#include "platform/host/file_internal.h"

#include <sys/stat.h>

#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

namespace {

// A binary SID as Windows lays it out: revision, count, 48-bit authority, sub-authorities.
constexpr size_t kMaxSubAuthorities = 15;
constexpr size_t kMaxSidBytes = 8 + 4 * kMaxSubAuthorities;
constexpr uint32_t kDescriptorMagic = 0x44534348;  // "HCSD"
constexpr uint32_t kTokenMagic = 0x4E4B4F54;       // "TOKN"
const std::u16string kLocalSystem = u"S-1-5-18";
const std::u16string kAdministrators = u"S-1-5-32-544";

// What the layer's descriptors hold: the owner (for GetFileSecurityW) or the string
// the descriptor was made from (ConvertStringSecurityDescriptorToSecurityDescriptorW).
struct Descriptor {
  uint32_t magic;
  BYTE owner[kMaxSidBytes];
  WCHAR text[1];  // as long as the string, terminated
};

struct Token {
  hostimpl::HandleHeader header;
};

struct FileSecurity {
  std::u16string owner;
  std::optional<std::u16string> descriptor;
};

std::mutex g_mutex;
std::map<std::string, FileSecurity> g_files;  // by host path
std::u16string g_account = kLocalSystem;
// Closed tokens stay allocated, as their magic is read; the list itself is never
// destroyed, so they stay reachable until the process is gone.
std::vector<Token*>& g_freeTokens = *new std::vector<Token*>;

// Parses "S-1-<authority>-<sub>..." into a binary SID; false when it is not one.
bool ParseSid(const std::u16string& text, BYTE* sid) {
  if (text.size() < 4 || text.compare(0, 2, u"S-") != 0) return false;
  std::vector<uint64_t> numbers;
  uint64_t value = 0;
  bool digits = false;
  for (size_t i = 2; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == u'-') {
      if (!digits) return false;
      numbers.push_back(value);
      value = 0;
      digits = false;
    } else if (text[i] >= u'0' && text[i] <= u'9' && value <= 0xFFFFFFFFFFFFull) {
      value = value * 10 + (text[i] - u'0');
      digits = true;
    } else {
      return false;
    }
  }
  if (numbers.size() < 3 || numbers.size() - 2 > kMaxSubAuthorities || numbers[0] != 1) return false;
  sid[0] = 1;
  sid[1] = static_cast<BYTE>(numbers.size() - 2);
  for (int i = 0; i < 6; ++i) sid[2 + i] = static_cast<BYTE>(numbers[1] >> (8 * (5 - i)));
  for (size_t i = 2; i < numbers.size(); ++i) {
    if (numbers[i] > 0xFFFFFFFFu) return false;
    uint32_t sub = static_cast<uint32_t>(numbers[i]);
    std::memcpy(sid + 8 + 4 * (i - 2), &sub, 4);
  }
  return true;
}

size_t SidBytes(const BYTE* sid) { return 8 + 4 * static_cast<size_t>(sid[1]); }

bool IsValidSid(PSID sid) {
  const BYTE* bytes = static_cast<const BYTE*>(sid);
  return bytes != nullptr && bytes[0] == 1 && bytes[1] <= kMaxSubAuthorities;
}

bool SidEquals(PSID sid, const std::u16string& text) {
  BYTE wanted[kMaxSidBytes];
  if (!IsValidSid(sid) || !ParseSid(text, wanted)) return false;
  return std::memcmp(sid, wanted, SidBytes(wanted)) == 0;
}

// The descriptor's string form as Windows would take it: sections O:, G:, D: and S:,
// each ACE in parentheses with its six fields. Only the shape is checked.
bool LooksLikeSddl(const std::u16string& text) {
  if (text.empty()) return false;
  int semicolons = -1;  // -1: outside an ACE
  for (size_t i = 0; i < text.size(); ++i) {
    char16_t c = text[i];
    if (c == u'(') {
      if (semicolons >= 0) return false;
      semicolons = 0;
    } else if (c == u')') {
      if (semicolons != 5) return false;
      semicolons = -1;
    } else if (c == u';') {
      if (semicolons < 0) return false;
      ++semicolons;
    } else if (semicolons < 0 && c == u':') {
      if (i == 0 || std::u16string(u"OGDS").find(text[i - 1]) == std::u16string::npos) return false;
    }
  }
  return semicolons < 0 && text[1] == u':';
}

Descriptor* NewDescriptor(const std::u16string& text) {
  void* block = hostimpl::AllocLocal(sizeof(Descriptor) + text.size() * sizeof(WCHAR));
  if (block == nullptr) return nullptr;
  Descriptor* d = static_cast<Descriptor*>(block);
  d->magic = kDescriptorMagic;
  std::memset(d->owner, 0, sizeof d->owner);
  std::memcpy(d->text, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
  return d;
}

FileSecurity SecurityOf(const std::string& hostPath) {
  std::lock_guard<std::mutex> lock(g_mutex);
  auto it = g_files.find(hostPath);
  return it != g_files.end() ? it->second : FileSecurity{g_account, std::nullopt};
}

Token* AsToken(HANDLE handle) {
  if (hostimpl::HandleMagic(handle) != kTokenMagic) return nullptr;
  return static_cast<Token*>(handle);
}

}  // namespace

namespace hostimpl {

DWORD DescriptorText(const SECURITY_ATTRIBUTES* security, std::optional<std::u16string>* text) {
  text->reset();
  if (security == nullptr || security->lpSecurityDescriptor == nullptr) return 0;
  const Descriptor* d = static_cast<const Descriptor*>(security->lpSecurityDescriptor);
  if (d->magic != kDescriptorMagic) return ERROR_INVALID_SECURITY_DESCR;
  *text = std::u16string(reinterpret_cast<const char16_t*>(d->text));
  return 0;
}

void RecordNewFile(const std::string& hostPath, const std::optional<std::u16string>& descriptor) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_files[hostPath] = FileSecurity{g_account, descriptor};
}

BOOL CloseTokenHandle(HANDLE handle) {
  Token* token = AsToken(handle);
  uint32_t expected = kTokenMagic;
  if (token == nullptr || !token->header.magic.compare_exchange_strong(expected, 0)) {
    SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::lock_guard<std::mutex> lock(g_mutex);
  g_freeTokens.push_back(token);
  AddOpenHandle(-1);
  return TRUE;
}

bool IsTokenHandle(HANDLE handle) { return AsToken(handle) != nullptr; }

void ResetSecurity() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_files.clear();
  g_account = kLocalSystem;
}

}  // namespace hostimpl

// ConvertStringSecurityDescriptorToSecurityDescriptorW - a descriptor that keeps the
// string it was made from, so that the layer can tell what a directory was created
// with. Revision other than SDDL_REVISION_1 fails with ERROR_UNKNOWN_REVISION, a string
// of the wrong shape with ERROR_INVALID_PARAMETER. Free it with LocalFree.
extern "C" BOOL WINAPI ConvertStringSecurityDescriptorToSecurityDescriptorW(
    LPCWSTR text, DWORD revision, PSECURITY_DESCRIPTOR* descriptor, ULONG* size) {
  if (text == nullptr || descriptor == nullptr) {
    hostimpl::SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (revision != SDDL_REVISION_1) {
    hostimpl::SetError(ERROR_UNKNOWN_REVISION);
    return FALSE;
  }
  std::u16string sddl = hostimpl::ToU16(text);
  if (!LooksLikeSddl(sddl)) {
    hostimpl::SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  Descriptor* d = NewDescriptor(sddl);
  if (d == nullptr) return FALSE;
  *descriptor = d;
  if (size != nullptr) *size = static_cast<ULONG>(sizeof(Descriptor) + sddl.size() * sizeof(WCHAR));
  return TRUE;
}

// GetFileSecurityW - the owner of a file or directory (OWNER_SECURITY_INFORMATION only;
// anything else is ERROR_INVALID_PARAMETER), as a descriptor in the caller's buffer for
// GetSecurityDescriptorOwner. A buffer too small fails with ERROR_INSUFFICIENT_BUFFER
// and *needed the size to ask. A file the layer has no record of belongs to the
// process's account. Symbolic links are followed, as Windows opens the target.
extern "C" BOOL WINAPI GetFileSecurityW(LPCWSTR name, SECURITY_INFORMATION info,
                                        PSECURITY_DESCRIPTOR descriptor, DWORD size,
                                        LPDWORD needed) {
  if (name == nullptr || info != OWNER_SECURITY_INFORMATION || needed == nullptr) {
    hostimpl::SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  hostimpl::ResolvedPath target = hostimpl::ResolvePath(hostimpl::ToU16(name));
  struct stat st;
  DWORD error = target.error;
  if (!error && stat(target.host.c_str(), &st) != 0) {
    error = errno == ENOENT ? ERROR_FILE_NOT_FOUND : hostimpl::ErrnoToError(errno);
  }
  if (error) {
    hostimpl::SetError(error);
    return FALSE;
  }
  *needed = sizeof(Descriptor);
  if (descriptor == nullptr || size < sizeof(Descriptor)) {
    hostimpl::SetError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  Descriptor d;
  d.magic = kDescriptorMagic;
  std::memset(d.owner, 0, sizeof d.owner);
  d.text[0] = 0;
  if (!ParseSid(SecurityOf(target.host).owner, d.owner)) ParseSid(kLocalSystem, d.owner);
  std::memcpy(descriptor, &d, sizeof d);
  return TRUE;
}

// GetSecurityDescriptorOwner - the owner SID inside a descriptor of GetFileSecurityW;
// one without an owner gives NULL. Anything else is ERROR_INVALID_SECURITY_DESCR.
extern "C" BOOL WINAPI GetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR descriptor, PSID* owner,
                                                  LPBOOL defaulted) {
  Descriptor* d = static_cast<Descriptor*>(descriptor);
  if (d == nullptr || owner == nullptr || defaulted == nullptr || d->magic != kDescriptorMagic) {
    hostimpl::SetError(ERROR_INVALID_SECURITY_DESCR);
    return FALSE;
  }
  *owner = IsValidSid(d->owner) ? d->owner : nullptr;
  *defaulted = FALSE;
  return TRUE;
}

// IsWellKnownSid - LocalSystem and the built-in Administrators group; other types are
// not known to the layer and compare unequal.
extern "C" BOOL WINAPI IsWellKnownSid(PSID sid, WELL_KNOWN_SID_TYPE type) {
  if (type == WinLocalSystemSid) return SidEquals(sid, kLocalSystem);
  if (type == WinBuiltinAdministratorsSid) return SidEquals(sid, kAdministrators);
  return FALSE;
}

// EqualSid - FALSE for different SIDs and for anything that is not a SID.
extern "C" BOOL WINAPI EqualSid(PSID first, PSID second) {
  if (!IsValidSid(first) || !IsValidSid(second)) return FALSE;
  const BYTE* a = static_cast<const BYTE*>(first);
  return SidBytes(a) == SidBytes(static_cast<const BYTE*>(second)) &&
         std::memcmp(first, second, SidBytes(a)) == 0;
}

// GetCurrentProcess - the pseudo-handle -1, as on Windows; it needs no closing.
extern "C" HANDLE WINAPI GetCurrentProcess(void) { return INVALID_HANDLE_VALUE; }

// OpenProcessToken - the current process's token (only the pseudo-handle of
// GetCurrentProcess is accepted); close it with CloseHandle.
extern "C" BOOL WINAPI OpenProcessToken(HANDLE process, DWORD access, PHANDLE token) {
  (void)access;
  if (token == nullptr) {
    hostimpl::SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (process != GetCurrentProcess()) {
    hostimpl::SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  Token* t = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_freeTokens.empty()) {
      t = g_freeTokens.back();
      g_freeTokens.pop_back();
    }
  }
  if (t == nullptr) t = new Token;
  t->header.magic = kTokenMagic;
  hostimpl::AddOpenHandle(1);
  *token = t;
  return TRUE;
}

// GetTokenInformation - TokenUser only: a TOKEN_USER whose SID follows it in the buffer.
// A buffer too small fails with ERROR_INSUFFICIENT_BUFFER and *needed the size to ask.
extern "C" BOOL WINAPI GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS type,
                                           LPVOID buffer, DWORD size, LPDWORD needed) {
  if (AsToken(token) == nullptr) {
    hostimpl::SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (type != TokenUser || needed == nullptr) {
    hostimpl::SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  BYTE sid[kMaxSidBytes];
  std::u16string account;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    account = g_account;
  }
  if (!ParseSid(account, sid)) ParseSid(kLocalSystem, sid);
  DWORD required = static_cast<DWORD>(sizeof(TOKEN_USER) + SidBytes(sid));
  *needed = required;
  if (buffer == nullptr || size < required) {
    hostimpl::SetError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  BYTE* out = static_cast<BYTE*>(buffer);
  std::memcpy(out + sizeof(TOKEN_USER), sid, SidBytes(sid));
  TOKEN_USER user;
  user.User.Sid = out + sizeof(TOKEN_USER);
  user.User.Attributes = 0;
  std::memcpy(out, &user, sizeof user);
  return TRUE;
}

// HostGetFileSecurity - see host_control.h.
HostFileSecurity HostGetFileSecurity(const std::u16string& windowsPath) {
  FileSecurity s = SecurityOf(hostimpl::ResolvePath(windowsPath).host);
  return HostFileSecurity{s.owner, s.descriptor};
}

void HostSetFileOwner(const std::u16string& windowsPath, const std::u16string& sid) {
  std::string host = hostimpl::ResolvePath(windowsPath).host;
  std::lock_guard<std::mutex> lock(g_mutex);
  FileSecurity& s = g_files.emplace(host, FileSecurity{g_account, std::nullopt}).first->second;
  s.owner = sid;
}

void HostSetProcessAccount(const std::u16string& sid) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_account = sid;
}
