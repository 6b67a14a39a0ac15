// SPDX-License-Identifier: Apache-2.0
// libpq, loaded when a PostgreSQL database is first used: every other command starts
// without loading it and the dozen libraries it pulls in (a few ms a process).
#pragma once

#include <libpq-fe.h>

namespace spoolgate {

// The libpq functions the database code calls, under their own names.
#define SPOOLGATE_PQ_FUNCTIONS(X)                                                                          \
  X(PQclear) X(PQcmdTuples) X(PQconndefaults) X(PQconninfoFree) X(PQconninfoParse) X(PQconnectdb)          \
  X(PQerrorMessage) X(PQexec) X(PQfinish) X(PQgetResult) X(PQgetisnull) X(PQgetlength) X(PQgetvalue)       \
  X(PQnfields) X(PQputCopyData) X(PQputCopyEnd) X(PQresultErrorField) X(PQresultErrorMessage)              \
  X(PQresultStatus) X(PQsendQueryParams) X(PQsetClientEncoding) X(PQsetNoticeProcessor)                    \
  X(PQsetSingleRowMode) X(PQstatus)

struct PqLibrary {
#define SPOOLGATE_PQ_MEMBER(name) decltype(&::name) name;
  SPOOLGATE_PQ_FUNCTIONS(SPOOLGATE_PQ_MEMBER)
#undef SPOOLGATE_PQ_MEMBER
};

// The library, loaded on the first call; throws DbError when it cannot be.
const PqLibrary& Pq();

}  // namespace spoolgate
