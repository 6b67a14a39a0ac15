// SPDX-License-Identifier: Apache-2.0
// Text at the Win32 boundary of spoolgate.exe: UTF-8 names as UTF-16 and back, and the
// system's own text for an error code.
#pragma once

#include <windows.h>

#include <string>

namespace spoolgate {

std::wstring Wide(const std::string& utf8);
std::string Utf8(const std::wstring& wide);
// The system's text for a Win32 error code, with the code: "Access is denied. (5)".
std::string ErrorText(DWORD error);

}  // namespace spoolgate
