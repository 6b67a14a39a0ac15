// SPDX-License-Identifier: Apache-2.0
// The accounting database on Windows: the import and the database reports need the
// SQLite and PostgreSQL client libraries, which only the Linux build links.
#include "tools/common/errors.h"
#include "tools/database/log_db.h"

namespace spoolgate {
namespace {

[[noreturn]] void LinuxOnly() {
  throw InputError(
      "the accounting database is read and filled by the Linux build of spoolgate; on the "
      "print server use log show, log summary, log report and log verify on the log directory");
}

}  // namespace

int ImportLogs(const std::vector<std::string>&, const std::string&, bool, std::ostream&) {
  LinuxOnly();
}
void TallyDatabase(const std::string&, const Report&, Tallies&) { LinuxOnly(); }
int ShowDatabase(const std::string&, const Report&, std::ostream&) { LinuxOnly(); }

}  // namespace spoolgate
