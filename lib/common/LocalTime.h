// The till's local time as the programs write it into records, names and statements: one reading
// of the clock and the zone, written digit by digit whatever the locale.
#pragma once

#include <ctime>
#include <string>
#include <string_view>

// A moment in local time, split into its calendar parts.
struct TLocalTime {
  int Year = 0, Month = 0, Day = 0;  // Month and Day from 1
  int Hour = 0, Minute = 0, Second = 0, Millisecond = 0;
  long UtcOffset = 0;  // seconds east of UTC in force at that moment
};

// Now, to the millisecond.
TLocalTime LocalTimeNow();
// The moment seconds after the epoch (and nanoseconds into that second).
TLocalTime LocalTimeAt(std::time_t seconds, long nanoseconds = 0);

// when written by format: %Y the year in four digits, %m %d %H %M %S two digits each, %L the
// milliseconds in three, %% a percent sign, everything else as it stands. A directive outside
// these throws std::invalid_argument naming it and the format.
std::string FormatLocalTime(std::string_view format, const TLocalTime& when);

// Now written by format.
std::string LocalTimestamp(std::string_view format);
