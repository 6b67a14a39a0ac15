// SPDX-License-Identifier: Apache-2.0
// `spoolgate rud` and `spoolgate overlay`: the header of an archive (".RUD") or overlay
// file, and its print data extracted to a file.
#pragma once

#include <ostream>
#include <string>

namespace spoolgate {

enum class StoredKind { Archive, Overlay };

// Prints the header and data length. Throws InputError for a file shorter than its
// header, and, unless force, for one that is plainly something else (a capture, text).
int ShowStoredFile(StoredKind kind, const std::string& path, bool json, bool force,
                   std::ostream& out);
// Copies the print data behind the header to outPath (default: the file's name with
// ".prn" for an archive, ".body" for an overlay), streamed; the same files are refused.
int ExtractStoredFile(StoredKind kind, const std::string& path, std::string outPath, bool force,
                      std::ostream& out);

}  // namespace spoolgate
