// SPDX-License-Identifier: Apache-2.0
// Text helpers of the spoolgate command: UTF-8 and UTF-16 conversion, grouped numbers
// and the JSON text of a report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace spoolgate {

// The length of the well-formed UTF-8 character at text[at] (1 to 4), its code point in
// *cp when asked; 0 when there is none (a stray or cut byte, an overlong form, a
// surrogate, past U+10FFFF). The one reading of UTF-8 every check and walk uses.
size_t Utf8CharAt(std::string_view text, size_t at, uint32_t* cp = nullptr);
// Whether text is well-formed UTF-8 throughout.
bool IsUtf8(std::string_view text);
// Appends a code point (up to U+10FFFF) as UTF-8.
void AppendUtf8(uint32_t cp, std::string& out);

// What makes a spreadsheet run a cell as a formula when the cell starts with it: every
// CSV the command writes leads such a cell with an apostrophe.
constexpr std::string_view kFormulaLeads = "=+-@\t\r";
constexpr bool IsFormulaLead(char c) { return kFormulaLeads.find(c) != std::string_view::npos; }

std::u16string Utf8ToUtf16(const std::string& text);
std::string Utf16ToUtf8(const std::u16string& text);
// A zero-terminated UTF-16 field, read at most to its end (no terminator needed).
std::string FieldToUtf8(const char16_t* field, size_t chars);
// "1234567" -> "1,234,567"
std::string Grouped(uint64_t value);
// Bytes as UTF-8: well-formed UTF-8 stays as it is; every other byte is read as
// Latin-1 (ISO 8859-1), one character each, so a name from a legacy file system or a
// torn multi-byte character still reads and never stops a report.
std::string ValidUtf8(const std::string& bytes);
// JSON text of a report; a string or key that is not UTF-8 is first made ValidUtf8, so
// the report is always finished.
std::string JsonDump(const nlohmann::ordered_json& value, int indent = 2);
// Appends bytes as the JSON string JsonDump writes for them, without building a value.
void AppendJsonString(std::string& out, std::string_view bytes);

}  // namespace spoolgate
