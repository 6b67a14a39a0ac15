// SPDX-License-Identifier: Apache-2.0
// The sandbox's file system as the plug-in sees it: a drive or UNC share is a folder
// under the root.
#pragma once

#include <string>

namespace spoolgate {

// The Windows path of a file under the sandbox root: "<root>/C/a/b" -> "C:\a\b",
// "<root>/UNC/srv/share/x" -> "\\srv\share\x"; empty when it lies in neither.
std::string WindowsPathOf(const std::string& root, const std::string& hostPath);

}  // namespace spoolgate
