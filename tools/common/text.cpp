// SPDX-License-Identifier: Apache-2.0
// UTF-8/UTF-16 conversion and grouped numbers for the command's reports.
#include "tools/common/text.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace spoolgate {

std::u16string Utf8ToUtf16(const std::string& text) {
  std::u16string out;
  size_t i = 0;
  while (i < text.size()) {
    uint8_t c = uint8_t(text[i]);
    uint32_t cp = 0xFFFD;
    size_t len = 1;
    if (c < 0x80) {
      cp = c;
    } else if ((c & 0xE0) == 0xC0 && i + 1 < text.size()) {
      cp = (c & 0x1Fu) << 6 | (uint8_t(text[i + 1]) & 0x3Fu);
      len = 2;
    } else if ((c & 0xF0) == 0xE0 && i + 2 < text.size()) {
      cp = (c & 0x0Fu) << 12 | (uint8_t(text[i + 1]) & 0x3Fu) << 6 | (uint8_t(text[i + 2]) & 0x3Fu);
      len = 3;
    } else if ((c & 0xF8) == 0xF0 && i + 3 < text.size()) {
      cp = (c & 0x07u) << 18 | (uint8_t(text[i + 1]) & 0x3Fu) << 12 |
           (uint8_t(text[i + 2]) & 0x3Fu) << 6 | (uint8_t(text[i + 3]) & 0x3Fu);
      len = 4;
    }
    i += len;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(char16_t(0xD800 + (cp >> 10)));
      out.push_back(char16_t(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(char16_t(cp));
    }
  }
  return out;
}

std::string Utf16ToUtf8(const std::u16string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t cp = text[i];
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] < 0xE000) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00u);
      ++i;
    } else if (cp >= 0xD800 && cp < 0xE000) {
      cp = 0xFFFD;
    }
    AppendUtf8(cp, out);
  }
  return out;
}

std::string FieldToUtf8(const char16_t* field, size_t chars) {
  size_t n = 0;
  while (n < chars && field[n] != 0) ++n;
  return Utf16ToUtf8(std::u16string(field, n));
}

std::string Grouped(uint64_t value) {
  std::string digits = std::to_string(value);
  std::string out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i != 0 && (digits.size() - i) % 3 == 0) out.push_back(',');
    out.push_back(digits[i]);
  }
  return out;
}

size_t Utf8CharAt(std::string_view text, size_t at, uint32_t* cp) {
  auto byte = [&](size_t k) { return at + k < text.size() ? uint8_t(text[at + k]) : 0; };
  auto cont = [&](size_t k) { return (byte(k) & 0xC0) == 0x80; };
  uint8_t c = byte(0);
  size_t length = 0;
  if (at >= text.size()) {
    length = 0;
  } else if (c < 0x80) {
    length = 1;
  } else if (c >= 0xC2 && c <= 0xDF) {
    length = cont(1) ? 2 : 0;
  } else if (c >= 0xE0 && c <= 0xEF) {
    // Neither overlong (E0 80..9F) nor a surrogate (ED A0..BF).
    uint8_t lo = c == 0xE0 ? 0xA0 : 0x80, hi = c == 0xED ? 0x9F : 0xBF;
    length = byte(1) >= lo && byte(1) <= hi && cont(2) ? 3 : 0;
  } else if (c >= 0xF0 && c <= 0xF4) {
    // Neither overlong (F0 80..8F) nor past U+10FFFF (F4 90..).
    uint8_t lo = c == 0xF0 ? 0x90 : 0x80, hi = c == 0xF4 ? 0x8F : 0xBF;
    length = byte(1) >= lo && byte(1) <= hi && cont(2) && cont(3) ? 4 : 0;
  }
  if (cp != nullptr && length != 0) {
    uint32_t v = length == 1 ? c : c & (0x7Fu >> length);
    for (size_t k = 1; k < length; ++k) v = (v << 6) | (byte(k) & 0x3Fu);
    *cp = v;
  }
  return length;
}

bool IsUtf8(std::string_view text) {
  for (size_t at = 0; at < text.size();) {
    size_t length = Utf8CharAt(text, at);
    if (length == 0) return false;
    at += length;
  }
  return true;
}

void AppendUtf8(uint32_t cp, std::string& out) {
  if (cp < 0x80) {
    out += char(cp);
  } else if (cp < 0x800) {
    out += char(0xC0 | (cp >> 6));
    out += char(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += char(0xE0 | (cp >> 12));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  } else {
    out += char(0xF0 | (cp >> 18));
    out += char(0x80 | ((cp >> 12) & 0x3F));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  }
}

std::string ValidUtf8(const std::string& bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size();) {
    size_t len = Utf8CharAt(bytes, i);
    if (len != 0) {
      out.append(bytes, i, len);
      i += len;
      continue;
    }
    uint8_t c = uint8_t(bytes[i++]);
    out.push_back(char(0xC0 | c >> 6));
    out.push_back(char(0x80 | (c & 0x3F)));
  }
  return out;
}

static nlohmann::ordered_json WithValidUtf8(const nlohmann::ordered_json& value) {
  if (value.is_string()) return ValidUtf8(value.get_ref<const std::string&>());
  if (value.is_array()) {
    nlohmann::ordered_json out = nlohmann::ordered_json::array();
    for (const auto& item : value) out.push_back(WithValidUtf8(item));
    return out;
  }
  if (value.is_object()) {
    nlohmann::ordered_json out = nlohmann::ordered_json::object();
    for (const auto& item : value.items()) out[ValidUtf8(item.key())] = WithValidUtf8(item.value());
    return out;
  }
  return value;
}

std::string JsonDump(const nlohmann::ordered_json& value, int indent) {
  try {
    return value.dump(indent);
  } catch (const nlohmann::json::type_error&) {
    // Only a string that is not UTF-8 makes dump() throw; the copy is made only then.
    return WithValidUtf8(value).dump(indent);
  }
}

void AppendJsonString(std::string& out, std::string_view bytes) {
  // Printable ASCII is written as it is; anything else is looked at byte by byte.
  auto plain = [](char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return u >= 0x20 && u < 0x80 && c != '"' && c != '\\';
  };
  if (std::all_of(bytes.begin(), bytes.end(), plain)) {
    out += '"';
    out.append(bytes.data(), bytes.size());
    out += '"';
    return;
  }
  std::string valid;
  for (size_t i = 0; i < bytes.size();) {
    size_t len = Utf8CharAt(bytes, i);
    if (len == 0) {
      valid = ValidUtf8(std::string(bytes));
      bytes = valid;
      break;
    }
    i += len;
  }
  out += '"';
  for (char c : bytes) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char code[8];
          std::snprintf(code, sizeof code, "\\u%04x", unsigned(static_cast<unsigned char>(c)));
          out += code;
        } else {
          out += c;
        }
    }
  }
  out += '"';
}

}  // namespace spoolgate
