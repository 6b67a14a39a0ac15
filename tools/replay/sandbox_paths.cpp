// SPDX-License-Identifier: Apache-2.0
// Windows paths of the files a job made under the sandbox root, for the report.
#include "tools/replay/sandbox_paths.h"

#include <cctype>
#include <filesystem>

namespace spoolgate {

std::string WindowsPathOf(const std::string& root, const std::string& hostPath) {
  std::filesystem::path rel = std::filesystem::path(hostPath).lexically_relative(root);
  auto it = rel.begin();
  if (it == rel.end()) return {};
  std::string first = it->string();
  std::string out;
  if (first.size() == 1 && std::isalpha(static_cast<unsigned char>(first[0]))) {
    out = first + ":";
  } else if (first == "UNC") {
    out = "\\";
  } else {
    return {};
  }
  for (++it; it != rel.end(); ++it) out += "\\" + it->string();
  if (out.size() == 2) out += "\\";
  return out;
}

}  // namespace spoolgate
