// SPDX-License-Identifier: Apache-2.0
// Windows paths under the sandbox root: the root and the current directory, resolution
// of drive, UNC and relative paths as Windows does it, and UTF-16 <-> UTF-8 for host names.
#include "platform/host/file_internal.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <mutex>
#include <vector>

namespace {

// A full Windows path split into its volume and components, '.' and '..' resolved.
struct WinPath {
  bool unc = false;
  char16_t drive = u'C';
  std::u16string server, share;
  std::vector<std::u16string> comps;
};

std::mutex g_pathMutex;
std::string g_root;  // empty until the first reset: every path is unusable then
WinPath g_cwd;

// Characters Windows refuses in a file name (':' only in "X:").
bool IsInvalidNameChar(char16_t c) {
  return c < 0x20 || c == u'<' || c == u'>' || c == u':' || c == u'"' || c == u'|' ||
         c == u'?' || c == u'*';
}

// Simple upper-casing for name comparison: ASCII, Latin-1, Greek, Cyrillic and the
// full-width Latin letters, the scripts whose case folds the file names we see use.
char16_t FoldCase(char16_t c) {
  if (c >= u'a' && c <= u'z') return c - 0x20;
  if (c < 0x80) return c;
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return c - 0x20;
  if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return c - 0x20;
  if (c >= 0x430 && c <= 0x44F) return c - 0x20;
  if (c >= 0x450 && c <= 0x45F) return c - 0x50;
  if (c >= 0xFF41 && c <= 0xFF5A) return c - 0x20;
  return c;
}

bool SameNameIgnoringCase(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldCase(a[i]) != FoldCase(b[i])) return false;
  }
  return true;
}

std::u16string UpperCase(const std::u16string& text) {
  std::u16string out = text;
  for (char16_t& c : out) c = FoldCase(c);
  return out;
}

// Windows trims trailing dots and spaces from the last component of a path that does
// not end in a separator; any other component loses a single trailing dot. A component
// of three or more dots is an ordinary name.
std::u16string TrimComponent(std::u16string comp, bool last) {
  if (last) {
    while (!comp.empty() && (comp.back() == u'.' || comp.back() == u' ')) comp.pop_back();
  } else if (comp.size() >= 2 && comp.back() == u'.' && comp[comp.size() - 2] != u'.') {
    comp.pop_back();
  }
  return comp;
}

// Parses a Windows path against the current directory. Returns 0 or the error.
DWORD ParseWinPath(const std::u16string& input, const WinPath& cwd, WinPath* out,
                   bool* trailingSeparator, bool* driveRelativeCurrent) {
  *trailingSeparator = false;
  *driveRelativeCurrent = false;
  if (input.empty()) return ERROR_PATH_NOT_FOUND;
  std::u16string s = input;
  for (char16_t& c : s) {
    if (c == u'/') c = u'\\';
  }
  // The \\?\ prefix only turns parsing off on Windows; we parse such paths anyway.
  if (s.compare(0, 4, u"\\\\?\\") == 0) {
    s = s.compare(4, 4, u"UNC\\") == 0 ? u"\\\\" + s.substr(8) : s.substr(4);
  } else if (s.compare(0, 4, u"\\\\.\\") == 0) {
    return ERROR_PATH_NOT_FOUND;  // devices are not part of the sandbox
  }

  WinPath path;
  std::u16string rest;
  if (s.size() >= 2 && s[0] == u'\\' && s[1] == u'\\') {
    size_t pos = 2;
    size_t end = s.find(u'\\', pos);
    path.unc = true;
    path.server = s.substr(pos, end == std::u16string::npos ? std::u16string::npos : end - pos);
    if (end == std::u16string::npos) return ERROR_PATH_NOT_FOUND;
    pos = end + 1;
    end = s.find(u'\\', pos);
    path.share = s.substr(pos, end == std::u16string::npos ? std::u16string::npos : end - pos);
    if (path.server.empty() || path.share.empty()) return ERROR_PATH_NOT_FOUND;
    for (char16_t c : path.server + path.share) {
      if (IsInvalidNameChar(c)) return ERROR_INVALID_NAME;
    }
    if (end != std::u16string::npos) rest = s.substr(end);
  } else if (s.size() >= 2 && s[1] == u':' &&
             ((s[0] >= u'A' && s[0] <= u'Z') || (s[0] >= u'a' && s[0] <= u'z'))) {
    char16_t drive = FoldCase(s[0]);
    rest = s.substr(2);
    bool onCurrentDrive = !cwd.unc && cwd.drive == drive;
    if (!rest.empty() && rest[0] == u'\\') {
      path.drive = drive;
    } else if (onCurrentDrive) {
      // "C:name" and "C:" are relative to the current directory of drive C.
      path = cwd;
      *driveRelativeCurrent = rest.empty();
    } else {
      path.drive = drive;  // no per-drive current directory: the drive's root
    }
  } else if (s[0] == u'\\') {
    path = cwd;
    path.comps.clear();  // the root of the current directory's volume
    rest = s;
  } else {
    path = cwd;
    rest = s;
  }

  std::vector<std::u16string> parts;
  size_t pos = 0;
  while (pos <= rest.size()) {
    size_t end = rest.find(u'\\', pos);
    if (end == std::u16string::npos) end = rest.size();
    if (end > pos) parts.push_back(rest.substr(pos, end - pos));
    pos = end + 1;
  }
  *trailingSeparator = !rest.empty() && rest.back() == u'\\';
  for (size_t i = 0; i < parts.size(); ++i) {
    const std::u16string& part = parts[i];
    if (part == u".") continue;
    if (part == u"..") {
      // Never above the drive root or \\server\share.
      if (!path.comps.empty()) path.comps.pop_back();
      continue;
    }
    std::u16string comp = TrimComponent(part, i + 1 == parts.size() && !*trailingSeparator);
    if (comp.empty()) continue;
    for (char16_t c : comp) {
      if (IsInvalidNameChar(c)) return ERROR_INVALID_NAME;
    }
    path.comps.push_back(comp);
  }
  *out = path;
  return 0;
}

size_t FullLength(const WinPath& path, bool trailingSeparator) {
  size_t n = path.unc ? 2 + path.server.size() + 1 + path.share.size() : 2;
  for (const std::u16string& c : path.comps) n += 1 + c.size();
  if (path.comps.empty() || trailingSeparator) n += 1;
  return n;
}

bool Exists(const std::string& hostPath) {
  struct stat st;
  return lstat(hostPath.c_str(), &st) == 0;
}

// The name of an entry of dir that equals name ignoring case.
bool FindEntryIgnoringCase(const std::string& dir, const std::u16string& name, std::string* found) {
  DIR* d = opendir(dir.c_str());
  if (!d) return false;
  bool ok = false;
  while (struct dirent* e = readdir(d)) {
    std::string entry = e->d_name;
    if (entry == "." || entry == "..") continue;
    if (SameNameIgnoringCase(hostimpl::FromUtf8(entry), name)) {
      *found = entry;
      ok = true;
      break;
    }
  }
  closedir(d);
  return ok;
}

// The name of an entry of dir that equals name, exactly or else ignoring case.
bool FindEntry(const std::string& dir, const std::u16string& name, std::string* found) {
  std::string exact = hostimpl::ToUtf8(name);
  if (Exists(dir + "/" + exact)) {
    *found = exact;
    return true;
  }
  return FindEntryIgnoringCase(dir, name, found);
}

void MakeDirectories(const std::string& path) {
  for (size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos == path.size() || path[pos] == '/') mkdir(path.substr(0, pos).c_str(), 0777);
  }
}

void AppendUtf8(std::string* out, uint32_t cp) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace

namespace hostimpl {

// ToU16 - the text of a zero-terminated UTF-16 string; empty for null.
std::u16string ToU16(const WCHAR* text) { return text ? std::u16string(text) : std::u16string(); }

// ToUtf8 - UTF-16 to UTF-8; a lone surrogate becomes U+FFFD.
std::string ToUtf8(const std::u16string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    AppendUtf8(&out, c);
  }
  return out;
}

// FromUtf8 - UTF-8 to UTF-16; each byte of an invalid, overlong or surrogate sequence
// becomes U+FFFD.
std::u16string FromUtf8(const std::string& text) {
  std::u16string out;
  out.reserve(text.size());
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  size_t n = text.size();
  for (size_t i = 0; i < n;) {
    unsigned char b = s[i];
    uint32_t cp = 0;
    size_t len = 0;
    uint32_t min = 0;
    if (b < 0x80) {
      cp = b, len = 1;
    } else if ((b & 0xE0) == 0xC0) {
      cp = b & 0x1F, len = 2, min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
      cp = b & 0x0F, len = 3, min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
      cp = b & 0x07, len = 4, min = 0x10000;
    }
    bool ok = len != 0 && i + len <= n;
    for (size_t k = 1; ok && k < len; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) ok = false;
      cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    if (ok && (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) ok = false;
    if (!ok) {
      out.push_back(0xFFFD);
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += len;
  }
  return out;
}

// ResolvePath - see file_internal.h.
ResolvedPath ResolvePath(const std::u16string& windowsPath) {
  ResolvedPath result;
  std::string root;
  WinPath cwd;
  {
    std::lock_guard<std::mutex> lock(g_pathMutex);
    root = g_root;
    cwd = g_cwd;
  }
  if (root.empty()) {
    result.error = ERROR_PATH_NOT_FOUND;
    return result;
  }
  WinPath path;
  result.error = ParseWinPath(windowsPath, cwd, &path, &result.trailingSeparator,
                              &result.driveRelativeCurrent);
  if (result.error) return result;
  result.unc = path.unc;
  result.fullLength = FullLength(path, result.trailingSeparator);

  std::string host;
  if (path.unc) {
    result.volumeKey = "UNC\\" + ToUtf8(UpperCase(path.server)) + "\\" +
                       ToUtf8(UpperCase(path.share));
    std::string server, share;
    host = root + "/UNC";
    if (!FindEntry(host, path.server, &server)) {
      result.error = kErrorBadNetpath;
      return result;
    }
    host += "/" + server;
    if (!FindEntry(host, path.share, &share)) {
      result.error = kErrorBadNetName;
      return result;
    }
    host += "/" + share;
  } else {
    result.volumeKey = std::string(1, static_cast<char>(path.drive));
    host = root + "/" + result.volumeKey;
  }
  result.volume = host;
  result.isVolumeRoot = path.comps.empty();
  if (!path.comps.empty()) {
    // Most paths name existing directories in the letter case they were made with: then
    // one lstat finds the whole path, or its directory, instead of one per component
    // (the same names the walk below would find, since an exact name is taken first).
    std::string parent = host;
    for (size_t i = 0; i + 1 < path.comps.size(); ++i) parent += "/" + ToUtf8(path.comps[i]);
    std::string last = ToUtf8(path.comps.back());
    std::string found;
    if (Exists(parent + "/" + last)) {
      found = last;
    } else if (Exists(parent)) {
      // Another letter case of the name, or a new name, which keeps the case it was given.
      if (!FindEntryIgnoringCase(parent, path.comps.back(), &found)) found = last;
    }
    if (!found.empty()) {
      result.parent = parent;
      result.givenName = last;
      result.host = parent + "/" + found;
      return result;
    }
  }
  bool existing = Exists(host);
  for (const std::u16string& comp : path.comps) {
    result.parent = host;
    std::string name;
    if (existing && FindEntry(host, comp, &name)) {
      host += "/" + name;
    } else {
      existing = false;  // new names keep the case they were given
      host += "/" + ToUtf8(comp);
    }
    result.givenName = ToUtf8(comp);
  }
  result.host = host;
  return result;
}

// MapPath - the host path of a Windows path; empty when the path is unusable.
std::string MapPath(const std::u16string& windowsPath) {
  ResolvedPath path = ResolvePath(windowsPath);
  return path.error ? std::string() : path.host;
}

// ResetPaths - see host_internal.h. The current directory is created so that "C:" (the
// current directory of drive C) exists, as C:\Windows\System32 always does on Windows.
void ResetPaths(const std::string& root) {
  std::string r = root;
  while (r.size() > 1 && r.back() == '/') r.pop_back();
  {
    std::lock_guard<std::mutex> lock(g_pathMutex);
    g_root = r;
    g_cwd = WinPath();
    g_cwd.comps = {u"Windows", u"System32"};
  }
  if (r.empty()) return;
  MakeDirectories(r + "/C");
  MakeDirectories(MapPath(u"C:\\Windows\\System32"));
}

}  // namespace hostimpl

// HostRoot - the sandbox root of the last reset.
std::string HostRoot() {
  std::lock_guard<std::mutex> lock(g_pathMutex);
  return g_root;
}

// HostMapPath - where a Windows path lies under the root; empty when unusable.
std::string HostMapPath(const std::u16string& windowsPath) {
  return hostimpl::MapPath(windowsPath);
}

// HostSetCurrentDirectory - moves the current directory (relative paths resolve against
// the old one) and creates it in the sandbox. An unusable path changes nothing.
void HostSetCurrentDirectory(const std::u16string& windowsPath) {
  hostimpl::ResolvedPath resolved = hostimpl::ResolvePath(windowsPath);
  if (resolved.error) return;
  {
    std::lock_guard<std::mutex> lock(g_pathMutex);
    WinPath path;
    bool trailing = false, driveRelative = false;
    if (ParseWinPath(windowsPath, g_cwd, &path, &trailing, &driveRelative) != 0) return;
    g_cwd = path;
  }
  MakeDirectories(resolved.host);
}
