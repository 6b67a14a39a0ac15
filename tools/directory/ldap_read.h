// SPDX-License-Identifier: Apache-2.0
// A directory snapshot read from an LDAP server with libldap: simple bind, paged search
// under a bound, every wait under a timeout (Linux only; spoolgate.exe has no directory
// subcommand and reads the snapshot file its settings name).
#pragma once

#include "tools/directory/directory_snapshot.h"

#include <string>
#include <vector>

namespace spoolgate {

struct LdapQuery {
  std::string url;            // ldap://host[:port] or ldaps://host[:port]
  bool startTls = false;      // StartTLS on an ldap:// connection; refused for ldaps://
  std::string bindDn;         // empty: an anonymous bind
  std::string password;       // read from a file or the environment by the caller, never shown
  std::string base, filter = "(objectClass=*)";
  DirectoryFields fields;
  unsigned timeoutSeconds = 30;  // for the connection and every answer
  size_t maxEntries = 200000;    // more is refused, not cut
  unsigned pageSize = 500;
};

// Reads the users under the base that match the filter. InputError naming the URL (never
// the password) for a refused bind, no answer within the timeout, a server that does
// not page and has more entries than it hands over, more than maxEntries entries; the
// accounts of disagreeing entries in conflicts.
DirectorySnapshot ReadLdap(const LdapQuery& query, std::vector<std::string>& conflicts);

}  // namespace spoolgate
