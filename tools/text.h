// Text helpers of the spoolgate command: UTF-8 and UTF-16 conversion, hex dumps,
// and Windows paths of files found under the sandbox root.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace spoolgate {

std::u16string Utf8ToUtf16(const std::string& text);
std::string Utf16ToUtf8(const std::u16string& text);
// A zero-terminated UTF-16 field, read at most to its end (no terminator needed).
std::string FieldToUtf8(const char16_t* field, size_t chars);
// Bytes as "1B 12 55 ..." (space separated), at most limit bytes then "...".
std::string HexBytes(const uint8_t* data, size_t size, size_t limit = SIZE_MAX);
// The Windows path of a file under the sandbox root: "<root>/C/a/b" -> "C:\a\b",
// "<root>/UNC/srv/share/x" -> "\\srv\share\x"; empty when it lies in neither.
std::string WindowsPathOf(const std::string& root, const std::string& hostPath);
// "1234567" -> "1,234,567"
std::string Grouped(uint64_t value);

}  // namespace spoolgate
