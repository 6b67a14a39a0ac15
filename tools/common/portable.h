// SPDX-License-Identifier: Apache-2.0
// What the file-reading commands need to open files the same way on Linux and Windows:
// every path the command handles is UTF-8 text, whatever the system's own code page.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

namespace spoolgate {

// A UTF-8 path as a file system path (on Windows, UTF-16: a narrow path there would be
// read in the ANSI code page, and "Bü ro" would name another folder).
inline std::filesystem::path PathOf(const std::string& utf8) {
  return std::filesystem::u8path(utf8);
}
// A UTF-8 path of a file system path.
inline std::string Utf8Of(const std::filesystem::path& path) {
  auto text = path.u8string();
  return std::string(text.begin(), text.end());
}
// fopen(path, "rb") for a UTF-8 path.
std::FILE* OpenToRead(const std::string& utf8);
// fseek to a 64-bit offset (a long is 32 bits on Windows); false on failure.
bool SeekTo(std::FILE* file, uint64_t offset);

}  // namespace spoolgate
