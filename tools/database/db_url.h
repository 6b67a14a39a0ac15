// SPDX-License-Identifier: Apache-2.0
// Databases as the command may name them: the --db URL never appears in an error, a
// report, a progress line or a trace, nor does a password in any form libpq takes one.
#pragma once

#include <string>

namespace spoolgate {

// The database as messages and reports name it, never by its URL: an SQLite file by
// sqlite:PATH (a path holds no secret), a PostgreSQL database by its host and name only,
// postgresql://HOST/NAME (pieces of a password libpq took for the host hidden), and a URL
// libpq cannot read as "the --db URL".
std::string DatabaseName(const std::string& url);
// A message of libpq about a connection: WithoutPasswords, and every value it quotes
// (a host, a port, a parameter, any of which may be a piece of a mistyped password)
// shown as "...".
std::string ConnectionMessage(const std::string& message, const std::string& url);
// A message about the database (libpq's own, which may quote the host part of a URI
// whose password held an unencoded '@') with every piece of a password of url, as
// written or percent-decoded, replaced by "***".
std::string WithoutPasswords(const std::string& message, const std::string& url);

}  // namespace spoolgate
