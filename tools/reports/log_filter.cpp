// SPDX-License-Identifier: Apache-2.0
// ISO 8601 times for the log filter, compared as times; user and printer matching.
#include "tools/reports/log_filter.h"

#include "tools/common/case_fold.h"
#include "tools/common/errors.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <tuple>

namespace spoolgate {
namespace {

bool IsLeap(unsigned year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

unsigned DaysIn(unsigned year, unsigned month) {
  static const unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeap(year) ? 29 : days[month - 1];
}

// Reads exactly n digits at text[at]; false when they are not there.
bool Digits(const std::string& text, size_t& at, size_t n, unsigned* value) {
  if (at + n > text.size()) return false;
  unsigned v = 0;
  for (size_t i = 0; i < n; ++i) {
    char c = text[at + i];
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    v = v * 10 + unsigned(c - '0');
  }
  at += n;
  *value = v;
  return true;
}

bool Take(const std::string& text, size_t& at, char c) {
  if (at < text.size() && text[at] == c) {
    ++at;
    return true;
  }
  return false;
}

bool Same(std::string_view a, std::string_view b, bool ignoreCase) {
  if (!ignoreCase) return a == b;
  // ASCII on both sides folds byte by byte; anything else by the full table (the
  // Kelvin sign folds to k, so the lengths may differ).
  auto ascii = [](std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  };
  if (!ascii(a) || !ascii(b)) return FoldCase(std::string(a)) == FoldCase(std::string(b));
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

}  // namespace

std::string CanonicalTime(const std::string& text, bool last, std::string* why) {
  std::string reason;
  auto fail = [&](const std::string& r) {
    if (why != nullptr) *why = r;
    return std::string();
  };
  const char* form = "not an ISO 8601 date or date-time (YYYY-MM-DD, YYYY-MM-DDTHH:MM[:SS[.fff]])";
  size_t at = 0;
  unsigned year = 0, month = last ? 12 : 1, day = 0, hour = last ? 23 : 0, minute = last ? 59 : 0,
           second = last ? 59 : 0, millis = last ? 999 : 0;
  if (!Digits(text, at, 4, &year)) return fail(form);
  bool hasDay = false;
  if (Take(text, at, '-')) {
    if (!Digits(text, at, 2, &month)) return fail(form);
    if (Take(text, at, '-')) {
      if (!Digits(text, at, 2, &day)) return fail(form);
      hasDay = true;
    }
  }
  if (month < 1 || month > 12) return fail("no month " + std::to_string(month));
  if (!hasDay) day = last ? DaysIn(year, month) : 1;
  if (day < 1 || day > DaysIn(year, month)) {
    char text2[96];
    std::snprintf(text2, sizeof text2, "no such date (%04u-%02u has %u days)", year, month,
                  DaysIn(year, month));
    return fail(text2);
  }
  if (at < text.size() && hasDay && (text[at] == 'T' || text[at] == ' ')) {
    ++at;
    if (!Digits(text, at, 2, &hour)) return fail(form);
    minute = last ? 59 : 0;
    if (Take(text, at, ':')) {
      if (!Digits(text, at, 2, &minute)) return fail(form);
      second = last ? 59 : 0;
      if (Take(text, at, ':')) {
        if (!Digits(text, at, 2, &second)) return fail(form);
        millis = last ? 999 : 0;
        if (Take(text, at, '.') || Take(text, at, ',')) {
          size_t start = at;
          while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) ++at;
          if (at == start) return fail(form);
          std::string fraction = text.substr(start, 3);
          while (fraction.size() < 3) fraction.push_back(last ? '9' : '0');
          millis = unsigned(std::stoul(fraction));
        }
      }
    }
    if (hour > 23 || minute > 59 || second > 59) return fail("no such time of day");
  }
  if (at != text.size()) {
    if (text[at] == 'Z' || text[at] == '+' || text[at] == '-') {
      return fail("time zones are not supported: the times are the local times of the jobs (--time utc: UTC)");
    }
    return fail(form);
  }
  char out[32];
  std::snprintf(out, sizeof out, "%04u-%02u-%02uT%02u:%02u:%02u.%03u", year, month, day, hour,
                minute, second, millis);
  return out;
}

void PrepareLogFilter(LogFilter& filter) {
  for (auto [option, given, into, last] :
       {std::tuple{"--from", &filter.from, &filter.fromTime, false},
        std::tuple{"--to", &filter.to, &filter.toTime, true}}) {
    into->clear();
    if (given->empty()) continue;
    std::string why;
    *into = CanonicalTime(*given, last, &why);
    if (into->empty()) throw InputError(std::string(option) + " " + *given + ": " + why);
  }
  if (!filter.fromTime.empty() && !filter.toTime.empty() && filter.fromTime > filter.toTime) {
    throw InputError("--from " + filter.from + " is after --to " + filter.to);
  }
}

bool LogLineMatches(const LogFilter& f, std::string_view user, std::string_view printer,
                    std::string_view computer, std::string_view timeStamp, bool* untimed) {
  *untimed = false;
  if (!f.user.empty() && !Same(user, f.user, f.ignoreCase)) return false;
  if (!f.printer.empty() && !Same(printer, f.printer, f.ignoreCase)) return false;
  if (!f.computer.empty() && !Same(computer, f.computer, f.ignoreCase)) return false;
  RangeFit fit = FitTimeRange(f, timeStamp);
  *untimed = fit == RangeFit::kNoTime;
  return fit == RangeFit::kNoRange || fit == RangeFit::kIn;
}

RangeFit FitTimeRange(const LogFilter& f, std::string_view time) {
  if (f.fromTime.empty() && f.toTime.empty()) return RangeFit::kNoRange;
  // The stamp is compared as the database compares its stored times: only a time as
  // the library writes it is in a time range, and the bounds' canonical text compares
  // as time.
  if (!IsLogTime(time)) return RangeFit::kNoTime;
  bool in = (f.fromTime.empty() || time >= f.fromTime) && (f.toTime.empty() || time <= f.toTime);
  return in ? RangeFit::kIn : RangeFit::kOut;
}

const char* TimeColumn(const LogFilter& filter) { return filter.utc ? "written_utc" : "time_stamp"; }

std::string_view BasisTime(const LogFilter& filter, std::string_view value) {
  if (filter.utc && value.size() == 24 && value[23] == 'Z') return value.substr(0, 23);
  return value;
}

bool IsLogTime(std::string_view t) {
  // YYYY-MM-DDThh:mm:ss.sss, a real date and time of day.
  if (t.size() != 23) return false;
  for (size_t i = 0; i < t.size(); ++i) {
    char want = "dddd-dd-ddTdd:dd:dd.ddd"[i];
    if (want == 'd' ? (t[i] < '0' || t[i] > '9') : t[i] != want) return false;
  }
  auto num = [&](size_t at, size_t n) {
    int value = 0;
    for (size_t i = at; i < at + n; ++i) value = value * 10 + (t[i] - '0');
    return value;
  };
  int year = num(0, 4), month = num(5, 2), day = num(8, 2);
  if (year < 1 || month < 1 || month > 12 || day < 1) return false;
  if (unsigned(day) > DaysIn(unsigned(year), unsigned(month))) return false;
  return num(11, 2) < 24 && num(14, 2) < 60 && num(17, 2) < 60;
}

}  // namespace spoolgate
