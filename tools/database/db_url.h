// SPDX-License-Identifier: Apache-2.0
// Database URLs as the command may show them: a password never appears in an error, a
// report, a progress line or a trace, in any of the forms libpq takes one.
#pragma once

#include <string>

namespace spoolgate {

// The URL with every password libpq would take from it replaced by "***": the user-info
// part of a postgresql:// URI (up to its last '@', so that an '@' left unencoded in the
// password hides all of it), a password= query parameter, and the password keyword of a
// keyword/value connection string. Anything else is returned as it is.
std::string RedactedDatabaseUrl(const std::string& url);
// A message about the database (libpq's own, which may quote the host part of a URI
// whose password held an unencoded '@') with every piece of a password of url, as
// written or percent-decoded, replaced by "***".
std::string WithoutPasswords(const std::string& message, const std::string& url);

}  // namespace spoolgate
