// SPDX-License-Identifier: Apache-2.0
// How spoolgate.exe talks to the Windows console: UTF-16 arguments made UTF-8, and the
// UTF-8 the command writes shown as text in cmd.exe and PowerShell.
#pragma once

#include <string>
#include <vector>

namespace spoolgate {

// The arguments of wmain as UTF-8 strings.
std::vector<std::string> Utf8Arguments(int argc, wchar_t** argv);
// Standard output and error that are a console get their text through WriteConsoleW, so
// every character shows whatever the console's code page; redirected, they carry the
// UTF-8 bytes as they are, in binary mode: the same bytes as the Linux command's.
void UseConsoleForText();

}  // namespace spoolgate
