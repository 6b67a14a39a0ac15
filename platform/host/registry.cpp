// SPDX-License-Identifier: Apache-2.0
// The in-memory registry of the host layer: keys under HKEY_LOCAL_MACHINE, their typed
// values, the Reg* calls with Windows' size rules, and the control functions over it.
#include "platform/host/call_record.h"
#include "platform/host/host_internal.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_set>
#include <vector>

namespace {

// Windows compares key and value names without regard to case; this folds the
// alphabets a registry path plausibly holds (Latin, Greek, Cyrillic).
char16_t FoldChar(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 32);
  if (c < 0x80) return c;
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 32);
  if (c == 0xFF) return 0x178;
  if (c >= 0x100 && c <= 0x17E && c != 0x130 && c != 0x131 && c != 0x138 && c != 0x149 &&
      c != 0x178) {
    // Latin Extended-A pairs: the upper case is the even code in 0x100..0x137 and
    // 0x14A..0x177, the odd code in 0x139..0x148 and 0x179..0x17E.
    bool evenUpper = c < 0x138 || (c >= 0x14A && c < 0x178);
    bool isLower = evenUpper ? (c & 1) != 0 : (c & 1) == 0;
    return isLower ? static_cast<char16_t>(c - 1) : c;
  }
  if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return static_cast<char16_t>(c - 32);
  if (c >= 0x430 && c <= 0x44F) return static_cast<char16_t>(c - 32);
  if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 80);
  return c;
}

std::u16string Fold(const std::u16string& s) {
  std::u16string out(s);
  for (char16_t& c : out) c = FoldChar(c);
  return out;
}

struct Value {
  std::u16string name;  // as first stored
  DWORD type = REG_NONE;
  std::vector<uint8_t> data;
};

struct Key {
  std::u16string name;  // as first created
  bool deleted = false;
  std::map<std::u16string, std::shared_ptr<Key>> children;  // by folded name
  std::map<std::u16string, Value> values;                    // by folded name
};

constexpr uint64_t kKeyMagic = 0x59454B54534F48ULL;  // "HOSTKEY"

// What an HKEY points at. Handles are validated by membership in g_handles, so a stale
// or made-up HKEY is never dereferenced; the magic catches use of a freed object in a
// debugger.
struct KeyHandle {
  uint64_t magic = kKeyMagic;
  std::shared_ptr<Key> key;
  REGSAM access = 0;
};

std::mutex g_mutex;
std::shared_ptr<Key> g_root = std::make_shared<Key>();
std::unordered_set<KeyHandle*> g_handles;

// Splits a key path at backslashes. Empty components (a leading, trailing or doubled
// backslash) are skipped.
std::vector<std::u16string> SplitPath(const std::u16string& path) {
  std::vector<std::u16string> parts;
  std::u16string part;
  for (char16_t c : path) {
    if (c == u'\\') {
      if (!part.empty()) parts.push_back(part);
      part.clear();
    } else {
      part.push_back(c);
    }
  }
  if (!part.empty()) parts.push_back(part);
  return parts;
}

std::u16string TextOrEmpty(LPCWSTR text) { return text ? hostimpl::ToU16(text) : std::u16string(); }

// Resolves an HKEY to its key. Caller holds g_mutex.
LSTATUS ResolveHandle(HKEY handle, std::shared_ptr<Key>* key, REGSAM* access) {
  if (handle == HKEY_LOCAL_MACHINE) {
    *key = g_root;
    *access = KEY_ALL_ACCESS;
    return ERROR_SUCCESS;
  }
  if (handle == HKEY_CLASSES_ROOT || handle == HKEY_CURRENT_USER || handle == HKEY_USERS) {
#ifndef NDEBUG
    std::fprintf(stderr, "host registry: only HKEY_LOCAL_MACHINE is kept\n");
#endif
    return ERROR_INVALID_PARAMETER;
  }
  auto* h = reinterpret_cast<KeyHandle*>(handle);
  if (handle == nullptr || g_handles.count(h) == 0 || h->magic != kKeyMagic) {
    return ERROR_INVALID_HANDLE;
  }
  if (h->key->deleted) return ERROR_KEY_DELETED;
  *key = h->key;
  *access = h->access;
  return ERROR_SUCCESS;
}

// The rights a handle gets: generic rights as the registry maps them.
REGSAM EffectiveAccess(REGSAM access) {
  REGSAM rights = access & 0xFFFF;
  if (access & (GENERIC_ALL | MAXIMUM_ALLOWED)) rights |= KEY_ALL_ACCESS & 0xFFFF;
  if (access & GENERIC_READ) rights |= KEY_READ & 0xFFFF;
  if (access & GENERIC_WRITE) rights |= KEY_WRITE & 0xFFFF;
  return rights;
}

HKEY NewHandle(const std::shared_ptr<Key>& key, REGSAM access) {
  auto* h = new KeyHandle;
  h->key = key;
  h->access = EffectiveAccess(access);
  g_handles.insert(h);
  hostimpl::AddOpenHandle(1);
  return reinterpret_cast<HKEY>(h);
}

// Walks parts from start; creates missing keys when create is set. Caller holds g_mutex.
std::shared_ptr<Key> Walk(std::shared_ptr<Key> key, const std::vector<std::u16string>& parts,
                          bool create, bool* created) {
  if (created) *created = false;
  for (const std::u16string& part : parts) {
    std::u16string folded = Fold(part);
    auto it = key->children.find(folded);
    if (it == key->children.end()) {
      if (!create) return nullptr;
      auto child = std::make_shared<Key>();
      child->name = part;
      it = key->children.emplace(folded, child).first;
      if (created) *created = true;
    }
    key = it->second;
  }
  return key;
}

void MarkDeleted(Key& key) {
  key.deleted = true;
  for (auto& child : key.children) MarkDeleted(*child.second);
}

void DeleteAllHandles() {
  for (KeyHandle* h : g_handles) {
    h->magic = 0;
    delete h;
  }
  g_handles.clear();
}

// Export escapes the characters that separate fields and lines.
std::string Escape(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c == '%' || c == '\t' || c == '\n' || c == '\r') {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool Unescape(const std::string& text, std::string* out) {
  out->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out->push_back(text[i]);
      continue;
    }
    if (i + 2 >= text.size()) return false;
    int hi = HexDigit(text[i + 1]), lo = HexDigit(text[i + 2]);
    if (hi < 0 || lo < 0) return false;
    out->push_back(static_cast<char>(hi * 16 + lo));
    i += 2;
  }
  return true;
}

void ExportKey(const Key& key, const std::string& path, std::string* out) {
  if (!path.empty() && key.values.empty() && key.children.empty()) {
    *out += Escape(path) + "\n";  // a key without values is kept by a line of its own
  }
  for (const auto& entry : key.values) {
    const Value& v = entry.second;
    *out += Escape(path) + "\t" + Escape(hostimpl::ToUtf8(v.name)) + "\t" +
            std::to_string(v.type) + "\t";
    static const char kHex[] = "0123456789abcdef";
    for (uint8_t b : v.data) {
      out->push_back(kHex[b >> 4]);
      out->push_back(kHex[b & 15]);
    }
    out->push_back('\n');
  }
  for (const auto& child : key.children) {
    std::string childPath = path.empty() ? hostimpl::ToUtf8(child.second->name)
                                         : path + "\\" + hostimpl::ToUtf8(child.second->name);
    ExportKey(*child.second, childPath, out);
  }
}

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    size_t tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos) break;
    start = tab + 1;
  }
  return fields;
}

}  // namespace

// RegCreateKeyExW - opens subKey under key, creating it and any missing intermediate keys.
// A null or empty subKey opens key itself. Only REG_OPTION_NON_VOLATILE is supported.
LSTATUS hostimpl::plain::RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved,
                                         LPWSTR keyClass, DWORD options, REGSAM access,
                                         LPSECURITY_ATTRIBUTES security, PHKEY result,
                                         LPDWORD disposition) {
  (void)keyClass;
  (void)security;
  if (DWORD error = hostimpl::CountCall(HostOp::Registry)) return static_cast<LSTATUS>(error);
  if (result == nullptr || reserved != 0) return ERROR_INVALID_PARAMETER;
  if (options != REG_OPTION_NON_VOLATILE) {
#ifndef NDEBUG
    std::fprintf(stderr, "host registry: RegCreateKeyExW options 0x%x not supported\n", options);
#endif
    return ERROR_INVALID_PARAMETER;
  }
  std::lock_guard<std::mutex> lock(g_mutex);
  std::shared_ptr<Key> parent;
  REGSAM parentAccess = 0;
  if (LSTATUS status = ResolveHandle(key, &parent, &parentAccess)) return status;
  bool created = false;
  std::shared_ptr<Key> target = Walk(parent, SplitPath(TextOrEmpty(subKey)), true, &created);
  *result = NewHandle(target, access);
  if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return ERROR_SUCCESS;
}

// RegOpenKeyExW - opens an existing key; ERROR_FILE_NOT_FOUND when it is absent.
LSTATUS hostimpl::plain::RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access,
                                       PHKEY result) {
  if (DWORD error = hostimpl::CountCall(HostOp::Registry)) return static_cast<LSTATUS>(error);
  if (result == nullptr || options != 0) return ERROR_INVALID_PARAMETER;
  std::lock_guard<std::mutex> lock(g_mutex);
  std::shared_ptr<Key> parent;
  REGSAM parentAccess = 0;
  if (LSTATUS status = ResolveHandle(key, &parent, &parentAccess)) return status;
  std::shared_ptr<Key> target = Walk(parent, SplitPath(TextOrEmpty(subKey)), false, nullptr);
  if (!target) return ERROR_FILE_NOT_FOUND;
  *result = NewHandle(target, access);
  return ERROR_SUCCESS;
}

// RegQueryValueExW - Windows' rules: with no data buffer the call reports the size needed
// and succeeds; a buffer smaller than the value gives ERROR_MORE_DATA with the size needed
// and the buffer left untouched; the type is reported in both cases. String data comes
// back exactly as stored: no terminator is added to a value stored without one.
LSTATUS hostimpl::plain::RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved,
                                          LPDWORD type, LPBYTE data, LPDWORD dataSize) {
  if (DWORD error = hostimpl::CountCall(HostOp::Registry)) return static_cast<LSTATUS>(error);
  if (reserved != nullptr || (data != nullptr && dataSize == nullptr)) {
    return ERROR_INVALID_PARAMETER;
  }
  std::lock_guard<std::mutex> lock(g_mutex);
  std::shared_ptr<Key> target;
  REGSAM access = 0;
  if (LSTATUS status = ResolveHandle(key, &target, &access)) return status;
  if (!(access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  auto it = target->values.find(Fold(TextOrEmpty(valueName)));
  if (it == target->values.end()) return ERROR_FILE_NOT_FOUND;
  const Value& v = it->second;
  DWORD needed = static_cast<DWORD>(v.data.size());
  if (type) *type = v.type;
  if (data == nullptr) {
    if (dataSize) *dataSize = needed;
    return ERROR_SUCCESS;
  }
  if (*dataSize < needed) {
    *dataSize = needed;
    return ERROR_MORE_DATA;
  }
  if (needed) std::memcpy(data, v.data.data(), needed);
  *dataSize = needed;
  return ERROR_SUCCESS;
}

// RegSetValueExW - stores exactly the bytes given, with the type given; string values are
// not terminated for the caller. A null data pointer with a non-zero size is
// ERROR_NOACCESS, as Windows reports the bad pointer.
LSTATUS hostimpl::plain::RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved,
                                        DWORD type, const BYTE* data, DWORD dataSize) {
  (void)reserved;
  if (DWORD error = hostimpl::CountCall(HostOp::Registry)) return static_cast<LSTATUS>(error);
  if (data == nullptr && dataSize != 0) return ERROR_NOACCESS;
  std::lock_guard<std::mutex> lock(g_mutex);
  std::shared_ptr<Key> target;
  REGSAM access = 0;
  if (LSTATUS status = ResolveHandle(key, &target, &access)) return status;
  if (!(access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  std::u16string name = TextOrEmpty(valueName);
  Value& v = target->values[Fold(name)];
  if (v.name.empty()) v.name = name;
  v.type = type;
  v.data.assign(data, data + dataSize);
  return ERROR_SUCCESS;
}

// RegCloseKey - closing a predefined key succeeds and does nothing, as on Windows.
// An injected failure is reported, but a valid key is released all the same: a caller
// can do nothing else with a key it is done with, so a fault sweep must not see the
// failed close as a key the product left open.
LSTATUS hostimpl::plain::RegCloseKey(HKEY key) {
  DWORD injected = hostimpl::CountCall(HostOp::Registry);
  if (key == HKEY_LOCAL_MACHINE || key == HKEY_CLASSES_ROOT || key == HKEY_CURRENT_USER ||
      key == HKEY_USERS) {
    return injected ? static_cast<LSTATUS>(injected) : ERROR_SUCCESS;
  }
  std::lock_guard<std::mutex> lock(g_mutex);
  auto* h = reinterpret_cast<KeyHandle*>(key);
  if (key == nullptr || g_handles.erase(h) == 0) {
    return injected ? static_cast<LSTATUS>(injected) : ERROR_INVALID_HANDLE;
  }
  h->magic = 0;
  delete h;
  hostimpl::AddOpenHandle(-1);
  return injected ? static_cast<LSTATUS>(injected) : ERROR_SUCCESS;
}

namespace hostimpl {

// ResetRegistry - an empty registry. Handles still open from before are invalidated.
void ResetRegistry() {
  std::lock_guard<std::mutex> lock(g_mutex);
  MarkDeleted(*g_root);
  DeleteAllHandles();
  g_root = std::make_shared<Key>();
}

}  // namespace hostimpl

// HostRegistrySetValue - stores a value, creating the key path as needed.
void HostRegistrySetValue(const std::u16string& keyPath, const std::u16string& valueName,
                          DWORD type, const std::vector<uint8_t>& data) {
  std::lock_guard<std::mutex> lock(g_mutex);
  std::shared_ptr<Key> key = Walk(g_root, SplitPath(keyPath), true, nullptr);
  Value& v = key->values[Fold(valueName)];
  if (v.name.empty()) v.name = valueName;
  v.type = type;
  v.data = data;
}

// HostRegistryGetValue - the value's type and bytes; nothing when key or value is absent.
std::optional<HostRegistryValue> HostRegistryGetValue(const std::u16string& keyPath,
                                                      const std::u16string& valueName) {
  std::lock_guard<std::mutex> lock(g_mutex);
  std::shared_ptr<Key> key = Walk(g_root, SplitPath(keyPath), false, nullptr);
  if (!key) return std::nullopt;
  auto it = key->values.find(Fold(valueName));
  if (it == key->values.end()) return std::nullopt;
  return HostRegistryValue{it->second.type, it->second.data};
}

// HostRegistryKeyExists - whether the key exists; the empty path is the hive itself.
bool HostRegistryKeyExists(const std::u16string& keyPath) {
  std::lock_guard<std::mutex> lock(g_mutex);
  return Walk(g_root, SplitPath(keyPath), false, nullptr) != nullptr;
}

// HostRegistryDeleteKey - removes a key with its subkeys; handles open on them then fail
// with ERROR_KEY_DELETED, as on Windows.
void HostRegistryDeleteKey(const std::u16string& keyPath) {
  std::lock_guard<std::mutex> lock(g_mutex);
  std::vector<std::u16string> parts = SplitPath(keyPath);
  if (parts.empty()) return;  // the hive itself is never deleted
  std::u16string last = parts.back();
  parts.pop_back();
  std::shared_ptr<Key> parent = Walk(g_root, parts, false, nullptr);
  if (!parent) return;
  auto it = parent->children.find(Fold(last));
  if (it == parent->children.end()) return;
  MarkDeleted(*it->second);
  parent->children.erase(it);
}

// HostRegistryExport - "key\tvalue\ttype\thexdata" a value (UTF-8, '%', tab and line
// breaks escaped as %XX); a key with neither values nor subkeys is a line of its own.
std::string HostRegistryExport() {
  std::lock_guard<std::mutex> lock(g_mutex);
  std::string out;
  ExportKey(*g_root, std::string(), &out);
  return out;
}

// HostRegistryImport - adds what HostRegistryExport wrote to the registry. Returns false
// and changes nothing when a line is malformed.
bool HostRegistryImport(const std::string& text) {
  struct Entry {
    std::u16string key, name;
    bool hasValue;
    DWORD type;
    std::vector<uint8_t> data;
  };
  std::vector<Entry> entries;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    start = end == std::string::npos ? text.size() : end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    std::vector<std::string> fields = SplitTabs(line);
    Entry e{};
    std::string keyText, nameText;
    if (!Unescape(fields[0], &keyText)) return false;
    e.key = hostimpl::FromUtf8(keyText);
    if (fields.size() == 1) {
      e.hasValue = false;
      entries.push_back(e);
      continue;
    }
    if (fields.size() != 4 || !Unescape(fields[1], &nameText)) return false;
    e.name = hostimpl::FromUtf8(nameText);
    e.hasValue = true;
    const std::string& typeText = fields[2];
    if (typeText.empty() || typeText.size() > 10 ||
        typeText.find_first_not_of("0123456789") != std::string::npos) {
      return false;
    }
    unsigned long long type = std::stoull(typeText);
    if (type > 0xFFFFFFFFULL) return false;
    e.type = static_cast<DWORD>(type);
    const std::string& hex = fields[3];
    if (hex.size() % 2) return false;
    for (size_t i = 0; i < hex.size(); i += 2) {
      int hi = HexDigit(hex[i]), lo = HexDigit(hex[i + 1]);
      if (hi < 0 || lo < 0) return false;
      e.data.push_back(static_cast<uint8_t>(hi * 16 + lo));
    }
    entries.push_back(std::move(e));
  }
  std::lock_guard<std::mutex> lock(g_mutex);
  for (const Entry& e : entries) {
    std::shared_ptr<Key> key = Walk(g_root, SplitPath(e.key), true, nullptr);
    if (!e.hasValue) continue;
    Value& v = key->values[Fold(e.name)];
    if (v.name.empty()) v.name = e.name;
    v.type = e.type;
    v.data = e.data;
  }
  return true;
}
