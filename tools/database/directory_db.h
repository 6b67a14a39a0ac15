// SPDX-License-Identifier: Apache-2.0
// Directory snapshots in the accounting database, beside the log lines, so that every
// report from the database bills by the directory of the jobs' time.
#pragma once

#include "tools/directory/directory_snapshot.h"

#include <string>

namespace spoolgate {

// Stores a snapshot (a stored one of the same date is replaced), creating its tables in
// a database that has none. DbError for an unusable database.
void StoreDirectorySnapshot(const std::string& url, const DirectorySnapshot& snapshot);
// Every snapshot the database keeps; DbError when it keeps none (the directory of a
// report must not silently be empty).
DirectoryHistory LoadDirectorySnapshots(const std::string& url);

}  // namespace spoolgate
