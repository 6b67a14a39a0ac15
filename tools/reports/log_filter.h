// SPDX-License-Identifier: Apache-2.0
// The filter of `spoolgate log show` and `log summary`: user, printer and a time range
// given as ISO 8601 dates or date-times, and the columns to sum. A plain struct, so that
// a reader of the log (a file, a database) can apply it as it likes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace spoolgate {

struct LogFilter {
  std::string user, printer, computer;  // empty: every user, printer, computer
  bool ignoreCase = false;  // user, printer, computer (and groups) case-folded (FoldCase)
  std::string from, to;       // as given on the command line
  // Filled by PrepareLogFilter: the first instant --from names and the last instant --to
  // names, as "YYYY-MM-DDTHH:MM:SS.mmm", so that text order is time order (and SQL can
  // compare them as strings); empty for an open end.
  std::string fromTime, toTime;
  std::vector<std::string> sums;  // numeric columns to add up, in the order given
  bool includeDamaged = false;    // also lines whose checksum is wrong
  // --time utc: times are the UTC written_utc of each line, not the server's local
  // time_stamp, for the range, the day, week, month or year, and the order of show.
  bool utc = false;
};

// The column whose times a filter goes by: "time_stamp", or "written_utc" with utc.
const char* TimeColumn(const LogFilter& filter);
// A value of that column in the form of a log time (YYYY-MM-DDThh:mm:ss.sss: written_utc
// without its Z), for IsLogTime, ranges and groups; anything else as it is. A view into
// value.
std::string_view BasisTime(const LogFilter& filter, std::string_view value);

// Checks --from and --to and fills fromTime and toTime; InputError for a text that is not
// an ISO 8601 date or date-time, or names no such date or time (2026-02-31, 24:30).
void PrepareLogFilter(LogFilter& filter);

// The canonical form above for an ISO 8601 date or date-time: YYYY, YYYY-MM, YYYY-MM-DD,
// then (after 'T' or a space) HH, HH:MM, HH:MM:SS or HH:MM:SS.fraction. A shorter form
// names a whole period: its first instant, or with last its last one. Empty, with the
// reason in why, when the text is not such a time.
std::string CanonicalTime(const std::string& text, bool last, std::string* why = nullptr);

// Where a time (in the form of a log time, BasisTime) stands against the filter's range
// (PrepareLogFilter called): no range given, no time (so in no range), in it or out.
enum class RangeFit { kNoRange, kNoTime, kIn, kOut };
RangeFit FitTimeRange(const LogFilter& filter, std::string_view time);

// Whether a log line with these fields passes the filter (PrepareLogFilter called);
// timeStamp is the line's time_stamp column. untimed is set for a line that passes
// everything but a time range, having no time: such lines are counted as left out.
bool LogLineMatches(const LogFilter& filter, std::string_view user, std::string_view printer,
                    std::string_view computer, std::string_view timeStamp, bool* untimed);

// Whether a time stamp is a time as the logging library writes one,
// YYYY-MM-DDThh:mm:ss.sss with a real date and time of day. Lines whose stamp is not are
// in no time range, on the logs and in the database alike.
bool IsLogTime(std::string_view text);

}  // namespace spoolgate
