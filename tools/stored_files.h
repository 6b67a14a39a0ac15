// `spoolgate rud` and `spoolgate overlay`: the header of an archive (".RUD") or overlay
// file, and its print data extracted to a file.
#pragma once

#include <ostream>
#include <string>

namespace spoolgate {

enum class StoredKind { Archive, Overlay };

// Prints the header and data length; throws InputError for a file shorter than its header.
int ShowStoredFile(StoredKind kind, const std::string& path, bool json, std::ostream& out);
// Copies the print data behind the header to outPath (default: the file's name with
// ".prn" for an archive, ".body" for an overlay), streamed.
int ExtractStoredFile(StoredKind kind, const std::string& path, std::string outPath,
                      std::ostream& out);

}  // namespace spoolgate
