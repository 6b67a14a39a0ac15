// SPDX-License-Identifier: Apache-2.0
// spoolgate.exe has no accounting database (win_log_db.cpp): nor the directory in it.
#include "tools/database/directory_db.h"

#include "tools/common/errors.h"

namespace spoolgate {

void StoreDirectorySnapshot(const std::string&, const DirectorySnapshot&) {
  throw InputError("the accounting database is read on Linux with the spoolgate command");
}

DirectoryHistory LoadDirectorySnapshots(const std::string&) {
  throw InputError("the accounting database is read on Linux with the spoolgate command");
}

}  // namespace spoolgate
