// SPDX-License-Identifier: Apache-2.0
// A directory snapshot from a CSV export of the directory (Get-ADUser ... | Export-Csv),
// for a site whose reporting machine cannot reach its LDAP server.
#pragma once

#include "tools/directory/directory_snapshot.h"

#include <string>
#include <vector>

namespace spoolgate {

// Reads the users of an export: its "#TYPE ..." first line skipped, the quoted header
// matched case-insensitively, UTF-8 (with or without a byte order mark) or UTF-16 with
// one. InputError naming the file and line for a missing column, a broken quote, a file
// larger than kSnapshotFileLimit; accounts of two disagreeing entries in conflicts.
// Fills users and attributes; the caller dates the snapshot.
DirectorySnapshot ReadDirectoryCsv(const std::string& path, const DirectoryFields& fields,
                                   std::vector<std::string>& conflicts);

}  // namespace spoolgate
