#include "lib/common/LocalTime.h"

#include <stdexcept>

namespace {

void PutDigits(std::string& out, long value, int width) {
  char digits[24];
  int n = 0;
  unsigned long rest = value < 0 ? 0 : static_cast<unsigned long>(value);
  do {
    digits[n++] = static_cast<char>('0' + rest % 10);
    rest /= 10;
  } while (rest > 0 && n < static_cast<int>(sizeof digits));
  for (int pad = n; pad < width; ++pad) out += '0';
  while (n > 0) out += digits[--n];
}

}  // namespace

TLocalTime LocalTimeAt(std::time_t seconds, long nanoseconds) {
  std::tm local{};
  localtime_r(&seconds, &local);
  TLocalTime when;
  when.Year = local.tm_year + 1900;
  when.Month = local.tm_mon + 1;
  when.Day = local.tm_mday;
  when.Hour = local.tm_hour;
  when.Minute = local.tm_min;
  when.Second = local.tm_sec;
  when.Millisecond = static_cast<int>(nanoseconds / 1000000);
  when.UtcOffset = local.tm_gmtoff;
  return when;
}

TLocalTime LocalTimeNow() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return LocalTimeAt(now.tv_sec, now.tv_nsec);
}

std::string FormatLocalTime(std::string_view format, const TLocalTime& when) {
  std::string out;
  out.reserve(format.size() + 8);
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%') {
      out += format[i];
      continue;
    }
    const char directive = i + 1 < format.size() ? format[++i] : '\0';
    switch (directive) {
      case 'Y':
        PutDigits(out, when.Year, 4);
        break;
      case 'm':
        PutDigits(out, when.Month, 2);
        break;
      case 'd':
        PutDigits(out, when.Day, 2);
        break;
      case 'H':
        PutDigits(out, when.Hour, 2);
        break;
      case 'M':
        PutDigits(out, when.Minute, 2);
        break;
      case 'S':
        PutDigits(out, when.Second, 2);
        break;
      case 'L':
        PutDigits(out, when.Millisecond, 3);
        break;
      case '%':
        out += '%';
        break;
      default:
        throw std::invalid_argument("time format '" + std::string(format) + "': %" +
                                    (directive ? std::string(1, directive) : std::string()) +
                                    " is not a directive it knows");
    }
  }
  return out;
}

std::string LocalTimestamp(std::string_view format) {
  return FormatLocalTime(format, LocalTimeNow());
}
