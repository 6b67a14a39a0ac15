// SPDX-License-Identifier: Apache-2.0
// Text of the host layer: code page conversions over iconv with Windows' buffer rules,
// wsprintfW, and MessageBoxW, which records each box for the tests and returns at once.
#include "platform/host/call_record.h"
#include "platform/host/host_internal.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace {

// --- iconv descriptors -------------------------------------------------------------

// iconv_t keeps conversion state and is not thread-safe, so each thread keeps its own
// descriptors, opened on first use and closed when the thread ends.
struct IconvCache {
  std::map<std::string, iconv_t> open;
  ~IconvCache() {
    for (auto& entry : open) iconv_close(entry.second);
  }
  iconv_t Get(const std::string& to, const std::string& from) {
    std::string key = to + "<" + from;
    auto it = open.find(key);
    if (it != open.end()) return it->second;
    iconv_t cd = iconv_open(to.c_str(), from.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) return cd;
    open.emplace(key, cd);
    return cd;
  }
};
thread_local IconvCache t_iconv;

constexpr UINT kAnsiCodePage = 1252;  // CP_ACP of the host

UINT ResolveCodePage(UINT codePage) {
  if (codePage == CP_OEMCP) return hostimpl::OemCodePage();
  if (codePage == CP_ACP) return kAnsiCodePage;
  return codePage;
}

std::string IconvName(UINT codePage) {
  if (codePage == CP_UTF8) return "UTF-8";
  return "CP" + std::to_string(codePage);
}

// Runs iconv over input until it stops; returns false only when the descriptor failed
// with something other than an unconvertible or incomplete character. *stop is errno.
bool RunIconv(iconv_t cd, const char** in, size_t* inLeft, std::string* out, int* stop) {
  *stop = 0;
  char chunk[512];
  while (*inLeft > 0) {
    char* outPtr = chunk;
    size_t outLeft = sizeof chunk;
    size_t rc = iconv(cd, const_cast<char**>(in), inLeft, &outPtr, &outLeft);
    out->append(chunk, static_cast<size_t>(outPtr - chunk));
    if (rc != static_cast<size_t>(-1)) continue;
    if (errno == E2BIG) continue;
    *stop = errno;
    return errno == EILSEQ || errno == EINVAL;
  }
  return true;
}

// UTF-16 -> code page. Characters the code page lacks, and lone surrogates, become the
// default character (one per UTF-16 unit, as Windows' tables are per unit). For UTF-8 a
// lone surrogate becomes U+FFFD, as Windows writes it. Returns false with *error set
// when the code page is unknown or, with WC_ERR_INVALID_CHARS, a surrogate is unpaired.
bool WideToMulti(UINT codePage, DWORD flags, const WCHAR* wide, size_t units,
                 const std::string& defaultChar, std::string* out, bool* usedDefault,
                 DWORD* error) {
  iconv_t cd = t_iconv.Get(IconvName(codePage), "UTF-16LE");
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    *error = ERROR_INVALID_PARAMETER;
    return false;
  }
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  const char* in = reinterpret_cast<const char*>(wide);
  size_t inLeft = units * sizeof(WCHAR);
  while (inLeft > 0) {
    int stop = 0;
    if (!RunIconv(cd, &in, &inLeft, out, &stop)) {
      *error = ERROR_INVALID_PARAMETER;
      return false;
    }
    if (inLeft == 0) break;
    // One unit could not be converted: replace it and go on behind it.
    if (codePage == CP_UTF8) {
      if (flags & WC_ERR_INVALID_CHARS) {
        *error = ERROR_NO_UNICODE_TRANSLATION;
        return false;
      }
      out->append("\xEF\xBF\xBD");
    } else {
      out->append(defaultChar);
      *usedDefault = true;
    }
    in += sizeof(WCHAR);
    inLeft -= inLeft >= sizeof(WCHAR) ? sizeof(WCHAR) : inLeft;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  return true;
}

// Code page -> UTF-16. A byte sequence the code page does not define becomes U+FFFD in
// UTF-8 and '?' elsewhere, unless MB_ERR_INVALID_CHARS asks for failure. In 1252 the five
// bytes without a character map to the C1 control of the same value, as on Windows.
bool MultiToWide(UINT codePage, DWORD flags, const char* multi, size_t bytes,
                 std::u16string* out, DWORD* error) {
  iconv_t cd = t_iconv.Get("UTF-16LE", IconvName(codePage));
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    *error = ERROR_INVALID_PARAMETER;
    return false;
  }
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  std::string raw;
  const char* in = multi;
  size_t inLeft = bytes;
  while (inLeft > 0) {
    int stop = 0;
    if (!RunIconv(cd, &in, &inLeft, &raw, &stop)) {
      *error = ERROR_INVALID_PARAMETER;
      return false;
    }
    if (inLeft == 0) break;
    if (flags & MB_ERR_INVALID_CHARS) {
      *error = ERROR_NO_UNICODE_TRANSLATION;
      return false;
    }
    unsigned char bad = static_cast<unsigned char>(*in);
    char16_t replacement = codePage == CP_UTF8 ? u'\xFFFD' : u'?';
    if (codePage == 1252) replacement = bad;
    raw.push_back(static_cast<char>(replacement & 0xFF));
    raw.push_back(static_cast<char>(replacement >> 8));
    in += 1;
    inLeft -= 1;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  out->resize(raw.size() / 2);
  for (size_t i = 0; i < out->size(); ++i) {
    (*out)[i] = static_cast<char16_t>(static_cast<unsigned char>(raw[2 * i]) |
                                      (static_cast<unsigned char>(raw[2 * i + 1]) << 8));
  }
  return true;
}

size_t WideLength(const WCHAR* text) {
  size_t n = 0;
  while (text[n]) ++n;
  return n;
}

// The longest prefix of whole characters of converted text that fits in room bytes:
// Windows fills a too-small buffer this far before it fails.
size_t FittingPrefix(UINT codePage, const WCHAR* wide, size_t units, const std::string& defaultChar,
                     size_t room) {
  size_t fitted = 0;
  for (size_t i = 0; i < units; ++i) {
    size_t take = (i + 1 < units && wide[i] >= 0xD800 && wide[i] <= 0xDBFF && wide[i + 1] >= 0xDC00 &&
                   wide[i + 1] <= 0xDFFF)
                      ? 2
                      : 1;
    std::string piece;
    bool used = false;
    DWORD error = 0;
    if (!WideToMulti(codePage, 0, wide + i, take, defaultChar, &piece, &used, &error)) break;
    if (fitted + piece.size() > room) break;
    fitted += piece.size();
    i += take - 1;
  }
  return fitted;
}

// --- message boxes -----------------------------------------------------------------

std::mutex g_boxMutex;
std::vector<HostMessageBox> g_boxes;

}  // namespace

// --- conversions -----------------------------------------------------------------------

// WideCharToMultiByte - UTF-16 to a code page (CP_OEMCP: the host's OEM code page, CP_ACP:
// 1252, CP_UTF8, or a numeric code page iconv knows). wideChars -1 converts through the
// terminator, which is then part of the output. multiBytes 0 asks for the size needed.
// A buffer too small fails with ERROR_INSUFFICIENT_BUFFER after receiving the whole
// characters that fit, never more than multiBytes bytes. Windows' best-fit mappings are
// not applied: a character the code page lacks becomes its default character.
extern "C" int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideChars,
                                          LPSTR multi, int multiBytes, LPCSTR defaultChar,
                                          LPBOOL usedDefault) {
  if (wide == nullptr || wideChars == 0 || wideChars < -1 || multiBytes < 0 ||
      (multi == nullptr && multiBytes > 0)) {
    hostimpl::SetError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  UINT cp = ResolveCodePage(codePage);
  if (cp == CP_UTF8) {
    if (defaultChar != nullptr || usedDefault != nullptr) {
      hostimpl::SetError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    if (flags & ~static_cast<DWORD>(WC_ERR_INVALID_CHARS)) {
      hostimpl::SetError(ERROR_INVALID_FLAGS);
      return 0;
    }
  } else if (flags & ~static_cast<DWORD>(WC_NO_BEST_FIT_CHARS)) {
    hostimpl::SetError(ERROR_INVALID_FLAGS);
    return 0;
  }
  size_t units = wideChars == -1 ? WideLength(wide) + 1 : static_cast<size_t>(wideChars);
  // The default character is one byte; '?' is every code page's own default here.
  std::string fallback = defaultChar ? std::string(defaultChar, 1) : std::string("?");
  std::string converted;
  bool used = false;
  DWORD error = 0;
  if (!WideToMulti(cp, flags, wide, units, fallback, &converted, &used, &error)) {
    hostimpl::SetError(error);
    return 0;
  }
  if (converted.size() > static_cast<size_t>(INT_MAX)) {
    hostimpl::SetError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (usedDefault) *usedDefault = used ? TRUE : FALSE;
  if (multiBytes == 0) return static_cast<int>(converted.size());
  if (converted.size() > static_cast<size_t>(multiBytes)) {
    size_t fits = FittingPrefix(cp, wide, units, fallback, static_cast<size_t>(multiBytes));
    std::memcpy(multi, converted.data(), fits);
    hostimpl::SetError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(multi, converted.data(), converted.size());
  return static_cast<int>(converted.size());
}

// MultiByteToWideChar - a code page to UTF-16, with the same size rules as
// WideCharToMultiByte. MB_ERR_INVALID_CHARS makes an undefined byte sequence fail with
// ERROR_NO_UNICODE_TRANSLATION.
extern "C" int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR multi, int multiBytes,
                                          LPWSTR wide, int wideChars) {
  if (multi == nullptr || multiBytes == 0 || multiBytes < -1 || wideChars < 0 ||
      (wide == nullptr && wideChars > 0)) {
    hostimpl::SetError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  UINT cp = ResolveCodePage(codePage);
  DWORD allowed = MB_ERR_INVALID_CHARS | (cp == CP_UTF8 ? 0 : MB_PRECOMPOSED);
  if (flags & ~allowed) {
    hostimpl::SetError(ERROR_INVALID_FLAGS);
    return 0;
  }
  size_t bytes = multiBytes == -1 ? std::strlen(multi) + 1 : static_cast<size_t>(multiBytes);
  std::u16string converted;
  DWORD error = 0;
  if (!MultiToWide(cp, flags, multi, bytes, &converted, &error)) {
    hostimpl::SetError(error);
    return 0;
  }
  if (converted.size() > static_cast<size_t>(INT_MAX)) {
    hostimpl::SetError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (wideChars == 0) return static_cast<int>(converted.size());
  if (converted.size() > static_cast<size_t>(wideChars)) {
    size_t fits = static_cast<size_t>(wideChars);
    // Never leave half a surrogate pair at the end of what was filled.
    if (fits > 0 && converted[fits - 1] >= 0xD800 && converted[fits - 1] <= 0xDBFF) --fits;
    std::memcpy(wide, converted.data(), fits * sizeof(WCHAR));
    hostimpl::SetError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(wide, converted.data(), converted.size() * sizeof(WCHAR));
  return static_cast<int>(converted.size());
}

// --- wsprintfW ---------------------------------------------------------------------------

// Characters wsprintfW writes at most, terminator included, as on Windows.
constexpr size_t kWsprintfLimit = 1024;

// wsprintfW - the user32 formatter, kept to what the product formats: text, "%%" and
// "%d" with an optional '0' flag and a width ("%02d"). Any other conversion is refused
// (the empty text, result 0, ERROR_INVALID_PARAMETER), so that a new format in the
// product fails its tests here instead of being printed some other way. The output is
// cut at 1023 characters plus the terminator; the result excludes the terminator.
extern "C" int WINAPIV wsprintfW(LPWSTR out, LPCWSTR format, ...) {
  if (out == nullptr || format == nullptr) {
    hostimpl::SetError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::u16string text;
  va_list args;
  va_start(args, format);
  for (const WCHAR* f = format; *f; ++f) {
    if (*f != u'%' || f[1] == u'%') {
      text.push_back(*f);
      if (*f == u'%') ++f;
      continue;
    }
    ++f;
    bool zero = *f == u'0';
    if (zero) ++f;
    size_t width = 0;
    while (*f >= u'0' && *f <= u'9') width = width * 10 + static_cast<size_t>(*f++ - u'0');
    if (*f != u'd') {
      va_end(args);
      out[0] = 0;
      hostimpl::SetError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    long long value = va_arg(args, int);
    std::u16string digits;
    for (unsigned long long m = static_cast<unsigned long long>(value < 0 ? -value : value);
         digits.empty() || m != 0; m /= 10) {
      digits.insert(digits.begin(), static_cast<char16_t>(u'0' + m % 10));
    }
    size_t length = digits.size() + (value < 0 ? 1 : 0);
    size_t fill = length < width ? width - length : 0;
    if (!zero) text.append(fill, u' ');
    if (value < 0) text.push_back(u'-');
    if (zero) text.append(fill, u'0');  // zeros go between the sign and the digits
    text += digits;
  }
  va_end(args);
  size_t used = std::min(text.size(), kWsprintfLimit - 1);
  std::memcpy(out, text.data(), used * sizeof(WCHAR));
  out[used] = 0;
  return static_cast<int>(used);
}

// --- message boxes -------------------------------------------------------------------

// MessageBoxW - records the box for HostMessageBoxes and returns IDOK at once, as a box
// closed with its OK button.
int hostimpl::plain::MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
  HostMessageBox box;
  box.owner = owner;
  box.text = text ? hostimpl::ToU16(text) : std::u16string();
  if (caption) box.caption = hostimpl::ToU16(caption);
  box.style = type;
  std::lock_guard<std::mutex> lock(g_boxMutex);
  g_boxes.push_back(std::move(box));
  return IDOK;
}

// HostMessageBoxes - the boxes shown since the last reset, in order.
std::vector<HostMessageBox> HostMessageBoxes() {
  std::lock_guard<std::mutex> lock(g_boxMutex);
  return g_boxes;
}

namespace hostimpl {

void ResetMessageBoxes() {
  std::lock_guard<std::mutex> lock(g_boxMutex);
  g_boxes.clear();
}

}  // namespace hostimpl
