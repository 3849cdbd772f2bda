// The text forms of numbers: whole texts read as 64-bit integers, money or doubles, and money
// and floats written as the documents carry them; also the ISO 8601 text of a date-time.
#include "lib/json/JSONNumbers.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "lib/json/clsJSONDocument.h"
#include "lib/json/clsJSONDocumentTesting.h"

namespace JSONInternal {

// ---- Reading --------------------------------------------------------------------------------

bool ReadInt64(std::string_view s, int64_t& out) noexcept {
  size_t i = 0;
  bool negative = false;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) negative = s[i++] == '-';
  if (i == s.size()) return false;
  uint64_t acc = 0;
  const uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
  for (; i < s.size(); ++i) {
    const unsigned d = static_cast<unsigned char>(s[i]) - '0';
    if (d > 9) return false;
    if (acc > (limit - d) / 10) return false;
    acc = acc * 10 + d;
  }
  out = negative ? static_cast<int64_t>(0 - acc) : static_cast<int64_t>(acc);
  return true;
}

bool ReadMoney(std::string_view s, size_t point, int64_t& out) noexcept {
  int64_t whole = 0;
  const std::string_view head = s.substr(0, point);
  if (head.empty() || head == "-" || head == "+") {
    whole = 0;
  } else if (!ReadInt64(head, whole) || head.back() < '0') {
    return false;
  }
  const bool negative = !head.empty() && head[0] == '-';
  const std::string_view tail = s.substr(point + 1);
  int64_t frac = 0;
  for (char c : tail) {
    if (c < '0' || c > '9') return false;
    frac = frac * 10 + (c - '0');
  }
  for (size_t n = tail.size(); n < 4; ++n) frac *= 10;
  // Whole units and ten-thousandths together, on the magnitude, so that amounts up to the very
  // ends of the range (922337203685477.5807 and -922337203685477.5808) stay money.
  const uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
  const uint64_t units = negative ? 0 - static_cast<uint64_t>(whole) : static_cast<uint64_t>(whole);
  const uint64_t tenThousandths = static_cast<uint64_t>(frac);
  if (units > (limit - tenThousandths) / 10000) return false;
  const uint64_t magnitude = units * 10000 + tenThousandths;
  out = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
  return true;
}

namespace {

// For a well-formed number text that no double holds: true when it is too small for one (its
// first significant digit stands below the units), false when it is too large. Such texts are
// hundreds of powers of ten away from 1, so the position alone decides.
bool BelowOne(std::string_view s) noexcept {
  size_t i = 0;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) ++i;
  int64_t order = -1;  // power of ten of the first significant digit, once one is seen
  bool significant = false, point = false;
  for (; i < s.size(); ++i) {
    const char c = s[i];
    if (c == '.') {
      point = true;
    } else if (c < '0' || c > '9') {
      break;
    } else if (!point) {
      if (significant || c != '0') {
        significant = true;
        ++order;
      }
    } else if (!significant) {  // order: the power of this decimal
      if (c != '0')
        significant = true;
      else
        --order;
    }
  }
  int64_t exponent = 0;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) negative = s[i++] == '-';
    // Held far below overflow: beyond any text's own length the sign is all that counts.
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i)
      exponent = std::min<int64_t>(exponent * 10 + (s[i] - '0'), int64_t{1} << 40);
    if (negative) exponent = -exponent;
  }
  return order + exponent < 0;
}

}  // namespace

bool ReadDouble(std::string_view s, double& out) noexcept {
  if (s.size() > 1 && s[0] == '+' && s[1] != '-' && s[1] != '+') s.remove_prefix(1);
  if (s.empty()) return false;
  double v = 0;
  const auto r = std::from_chars(s.data(), s.data() + s.size(), v);
  if (r.ptr != s.data() + s.size()) return false;
  if (r.ec == std::errc::result_out_of_range && BelowOne(s)) {
    // Every number below the smallest double is zero, whatever its form, as any decimal reader
    // rounds it; only a number too large for a double has no value.
    v = s[0] == '-' ? -0.0 : 0.0;
  } else if (r.ec != std::errc() || !std::isfinite(v)) {
    return false;
  }
  out = v;
  return true;
}

bool RoundToInt64(double v, int64_t& out) noexcept {
  if (!std::isfinite(v)) return false;
  const double r = std::nearbyint(v);
  if (r < -9223372036854775808.0 || r >= 9223372036854775808.0) return false;
  out = static_cast<int64_t>(r);
  return true;
}

int64_t MoneyToWhole(int64_t m) noexcept {
  int64_t q = m / 10000;
  const int64_t r = m % 10000;
  if (r > 5000 || (r == 5000 && (q & 1))) ++q;
  if (r < -5000 || (r == -5000 && (q & 1))) --q;
  return q;
}

// ---- Writing --------------------------------------------------------------------------------

char* FormatMoney(char* out, TCurrency value) noexcept {
  const uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : value;
  if (value < 0) *out++ = '-';
  out = std::to_chars(out, out + 24, magnitude / 10000).ptr;
  const unsigned frac = static_cast<unsigned>(magnitude % 10000);
  if (frac == 0) return out;
  out[0] = '.';
  out[1] = static_cast<char>('0' + frac / 1000);
  out[2] = static_cast<char>('0' + frac / 100 % 10);
  out[3] = static_cast<char>('0' + frac / 10 % 10);
  out[4] = static_cast<char>('0' + frac % 10);
  char* end = out + 5;
  while (end[-1] == '0') --end;
  return end;
}

// The float rule proper: plain decimal notation with 15 decimals, then only the first 15 digits
// (the single leading 0 of a value below 1 counts), the last kept digit raised with carry when
// the first dropped one is 6 to 9, trailing zeros and a bare point removed, -0 written 0.
// For 0 < |value| < 1e15.
namespace {

char* FormatFloatByRule(char* out, double value) noexcept {
  char buf[kNumberRoom];
  char* const digits = buf + 1;  // room for a carry into a new leading digit
  const auto r =
      std::to_chars(digits, buf + sizeof buf, std::fabs(value), std::chars_format::fixed, 15);
  char* const point =
      static_cast<char*>(std::memchr(digits, '.', static_cast<size_t>(r.ptr - digits)));
  const ptrdiff_t intDigits = point - digits;  // at most 15 below 1e15
  char* first = digits;
  char* last = intDigits >= 15 ? point : point + 1 + (15 - intDigits);  // one past the kept
  const char dropped = intDigits >= 15 ? point[1] : *last;
  if (dropped >= '6') {
    char* q = last - 1;
    for (;;) {
      if (*q == '.') {
        --q;
        continue;
      }
      if (*q != '9') {
        ++*q;
        break;
      }
      *q = '0';
      if (q == digits) {
        *--first = '1';
        break;
      }
      --q;
    }
  }
  if (last > point) {
    while (last[-1] == '0') --last;
    if (last == point + 1) last = point;
  }
  const bool zero = last - first == 1 && *first == '0';
  if (value < 0 && !zero) *out++ = '-';
  const size_t n = static_cast<size_t>(last - first);
  std::memcpy(out, first, n);
  return out + n;
}

}  // namespace

char* FormatFloat(char* out, double value) noexcept {
  if (value == 0) {
    *out = '0';
    return out + 1;
  }
  if (!std::isfinite(value)) {
    std::memcpy(out, "null", 4);  // no JSON form; never produced by parsing
    return out + 4;
  }
  const double magnitude = std::fabs(value);
  if (magnitude >= 1e15) {
    // Past 15 integer digits the fixed form cannot keep the magnitude: shortest exact form.
    // Integers below the 64-bit range read as the double -2^63, whose plain text would read back
    // as the bottom 64-bit integer, another kind and value: it keeps the exponent form, and reads
    // back as a float like the integers above the range.
    if (value == -0x1p63)
      return std::to_chars(out, out + kNumberRoom, value, std::chars_format::scientific).ptr;
    return std::to_chars(out, out + kNumberRoom, value).ptr;
  }
  // Most floats in documents are short decimals: the first power of ten whose multiple of the
  // value, rounded to a whole number below 1e15, reads back as this very double (the division
  // of two exact operands is correctly rounded) gives a decimal text of at most 15 digits, and
  // for such a text the rule gives that text (see below).
  static constexpr double kPow10[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6, 1e7,
                                      1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14};
  for (int k = 0; k < 15; ++k) {
    const double scaled = magnitude * kPow10[k];
    if (scaled >= 1e15) break;
    // To the nearest whole number (below 2^52, adding 2^52 leaves no fraction bits).
    const double rounded = (scaled + 0x1p52) - 0x1p52;
    // A fitting power leaves scaled within a few units in its last place of the whole number;
    // the division below decides, this only skips it for the powers that cannot fit.
    if (std::fabs(scaled - rounded) > scaled * 1e-15 || rounded / kPow10[k] != magnitude) continue;
    const uint64_t whole = static_cast<uint64_t>(rounded);
    char digits[24];
    char* const digitsEnd = std::to_chars(digits, digits + sizeof digits, whole).ptr;
    const ptrdiff_t count = digitsEnd - digits;
    if (value < 0) *out++ = '-';
    if (count <= k) {  // below 1: "0." and the leading zeros of the decimals
      *out++ = '0';
      *out++ = '.';
      std::memset(out, '0', static_cast<size_t>(k - count));
      out += k - count;
      std::memcpy(out, digits, static_cast<size_t>(count));
      out += count;
    } else {
      std::memcpy(out, digits, static_cast<size_t>(count - k));
      out += count - k;
      if (k > 0) {
        *out++ = '.';
        std::memcpy(out, digitsEnd - k, static_cast<size_t>(k));
        out += k;
      }
    }
    if (k > 0) {
      while (out[-1] == '0') --out;
      if (out[-1] == '.') --out;
    }
    return out;
  }
  // When the shortest text that reads back as this double has at most 15 digits in plain
  // notation, the rule gives that very text: the double lies within half a unit of its last
  // place of it, so the first dropped digit is 0 or 1 above it and 8 or 9 below it.
  char* const start = out;
  const auto r = std::to_chars(out, out + kNumberRoom, value, std::chars_format::fixed);
  if (r.ec == std::errc()) {
    int digits = 0;
    for (const char* q = start; q < r.ptr; ++q) digits += (*q >= '0' && *q <= '9');
    if (digits <= 15) return r.ptr;
  }
  return FormatFloatByRule(start, value);
}

}  // namespace JSONInternal

// ---- Date-time text -------------------------------------------------------------------------

std::string DateTimeToISO8601(TDateTime value, bool extended, char separator) {
  // Through whole milliseconds first, so a time stored as 14:07:30.9999999 still reads :31.
  constexpr int64_t kMsPerDay = 86400000;
  if (!std::isfinite(value) || std::fabs(value) > 3.0e6)
    throw EJSONError("Date-time value out of range: " + std::to_string(value));
  const int64_t ms = std::llround(value * static_cast<double>(kMsPerDay));
  int64_t days = ms / kMsPerDay;
  int64_t msOfDay = ms % kMsPerDay;
  if (msOfDay < 0) {
    msOfDay += kMsPerDay;
    --days;
  }
  // Civil date from days since 1970-01-01 (proleptic Gregorian).
  const int64_t z = days - 25569 + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = yoe + era * 400 + (month <= 2);
  const int64_t secs = msOfDay / 1000;
  char buf[48];
  const int h = static_cast<int>(secs / 3600), mi = static_cast<int>(secs / 60 % 60),
            s = static_cast<int>(secs % 60);
  const int n =
      extended
          ? std::snprintf(buf, sizeof buf, "%04d-%02d-%02d%c%02d:%02d:%02d", static_cast<int>(year),
                          static_cast<int>(month), static_cast<int>(day), separator, h, mi, s)
          : std::snprintf(buf, sizeof buf, "%04d%02d%02d%c%02d%02d%02d", static_cast<int>(year),
                          static_cast<int>(month), static_cast<int>(day), separator, h, mi, s);
  return std::string(buf, static_cast<size_t>(n));
}

// ---- For tests ------------------------------------------------------------------------------

void AppendJSONMoney(std::string& out, TCurrency value) {
  char buf[JSONInternal::kNumberRoom];
  out.append(buf, JSONInternal::FormatMoney(buf, value));
}

void AppendJSONFloat(std::string& out, double value) {
  char buf[JSONInternal::kNumberRoom];
  out.append(buf, JSONInternal::FormatFloat(buf, value));
}
