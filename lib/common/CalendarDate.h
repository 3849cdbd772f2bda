// Dates of the proleptic Gregorian calendar, as the module reads them from texts and the till
// checks the days typed on its command line: one rule for leap years and the length of a month.
#pragma once

#include <cstdint>

constexpr bool IsLeapYear(int64_t year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

// The days in the month (1 to 12) of the year; 0 for a month that is none.
constexpr int DaysInMonth(int64_t year, int month) {
  constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return month == 2 && IsLeapYear(year) ? 29 : days[month - 1];
}

// Whether year-month-day names a day of the calendar (from year 1 on).
constexpr bool IsCalendarDay(int64_t year, int month, int day) {
  return year >= 1 && day >= 1 && day <= DaysInMonth(year, month);
}

// Days from 1970-01-01 to the date (negative before it).
constexpr int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(year - era * 400);
  const unsigned doy = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}
