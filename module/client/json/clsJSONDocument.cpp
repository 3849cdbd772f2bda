// The module's JSON values: a single-pass parser for untrusted text, the documents and the
// compact writer that fills one growing buffer.
#include "clsJSONDocument.h"

#include <pthread.h>

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <limits>
#include <memory>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define DOVRA_JSON_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define DOVRA_JSON_ASAN 1
#endif
#ifdef DOVRA_JSON_ASAN
#include <sanitizer/asan_interface.h>
#else
#define ASAN_POISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#endif

namespace {

// ---- Small text helpers ---------------------------------------------------------------------

inline char LowerAscii(char c) noexcept {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
}

bool SameTextAscii(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i] && LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

// "_Count" in any letter case after the underscore.
bool IsCountName(std::string_view name) noexcept {
  return name.size() == 6 && name[0] == '_' && SameTextAscii(name.substr(1), "count");
}

std::string Quoted(std::string_view s) {
  std::string r;
  r.reserve(s.size() + 2);
  r += '"';
  r.append(s);
  r += '"';
  return r;
}

// Reads a whole text as a 64-bit integer: optional sign, digits, nothing else.
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

// Reads a whole text as money: optional sign, digits, a point and one to four decimals.
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
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max() / 10000 - 1;
  if (whole > kMax || whole < -kMax) return false;
  out = negative ? whole * 10000 - frac : whole * 10000 + frac;
  return true;
}

// Reads a whole text as a finite double in C notation.
bool ReadDouble(std::string_view s, double& out) noexcept {
  if (s.size() > 1 && s[0] == '+' && s[1] != '-' && s[1] != '+') s.remove_prefix(1);
  if (s.empty()) return false;
  double v = 0;
  const auto r = std::from_chars(s.data(), s.data() + s.size(), v);
  if (r.ec != std::errc() || r.ptr != s.data() + s.size() || !std::isfinite(v)) return false;
  out = v;
  return true;
}

std::string_view TrimSpaces(std::string_view s) noexcept {
  while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ') s.remove_prefix(1);
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') s.remove_suffix(1);
  return s;
}

// Round half to even of a finite double into int64; false when it does not fit.
bool RoundToInt64(double v, int64_t& out) noexcept {
  if (!std::isfinite(v)) return false;
  const double r = std::nearbyint(v);
  if (r < -9223372036854775808.0 || r >= 9223372036854775808.0) return false;
  out = static_cast<int64_t>(r);
  return true;
}

// Money divided by 10000, a half to the even neighbour.
int64_t MoneyToWhole(int64_t m) noexcept {
  int64_t q = m / 10000;
  const int64_t r = m % 10000;
  if (r > 5000 || (r == 5000 && (q & 1))) ++q;
  if (r < -5000 || (r == -5000 && (q & 1))) --q;
  return q;
}

// ---- Number forms ---------------------------------------------------------------------------

// Enough for every text FormatMoney and FormatFloat write.
constexpr size_t kNumberRoom = 64;

// Money: four decimals, then trailing zeros and a bare point removed.
char* FormatMoney(char* out, TCurrency value) {
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
char* FormatFloatByRule(char* out, double value) {
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

char* FormatFloat(char* out, double value) {
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

// ---- Writer ---------------------------------------------------------------------------------

// 0: copied as is; 1: escaped; 2: ends the text.
constexpr std::array<uint8_t, 256> MakeEscapeTable() {
  std::array<uint8_t, 256> t{};
  for (int c = 1; c < 32; ++c) t[c] = 1;
  t[0] = 2;
  t['"'] = 1;
  t['\\'] = 1;
  return t;
}
constexpr std::array<uint8_t, 256> kEscape = MakeEscapeTable();

// The high bit of each of the eight bytes that is below 32, a double quote or a backslash. The
// lowest marked byte is exact; a borrow may mark bytes above a true match too.
constexpr uint64_t EscapeHits8(uint64_t x) noexcept {
  constexpr uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;
  const auto hasZero = [](uint64_t v) { return (v - kOnes) & ~v & kHighs; };
  const uint64_t below32 = (x - kOnes * 0x20) & ~x & kHighs;
  return below32 | hasZero(x ^ (kOnes * '"')) | hasZero(x ^ (kOnes * '\\'));
}
constexpr bool NeedsEscape8(uint64_t x) noexcept { return EscapeHits8(x) != 0; }
static_assert(!NeedsEscape8(0x6867666564636261ull) && NeedsEscape8(0x68676665641f6261ull) &&
              NeedsEscape8(0x6867666564226261ull) && NeedsEscape8(0x68676665645c6261ull) &&
              NeedsEscape8(0x6867666564006261ull) && !NeedsEscape8(0xfffefd7f80212020ull));

// True when a byte of s is below 32, a double quote or a backslash: eight bytes at a time, the
// last eight overlapping those already seen, and byte by byte only for texts below eight bytes.
bool NeedsEscape(const std::string& s) noexcept {
  const char* p = s.data();
  const size_t n = s.size();
  if (n < 8) {
    if (std::endian::native == std::endian::little && s.capacity() >= 8) {
      // The string's own buffer holds eight bytes; those past its end are masked off (a
      // borrow in the test only marks bytes above a true match, so none from past the end
      // reaches into the text).
      uint64_t x;
      std::memcpy(&x, p, 8);
      constexpr uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;
      const auto zeroBytes = [](uint64_t v) { return (v - kOnes) & ~v & kHighs; };
      const uint64_t hits = ((x - kOnes * 0x20) & ~x & kHighs) | zeroBytes(x ^ (kOnes * '"')) |
                            zeroBytes(x ^ (kOnes * '\\'));
      return (hits & ((uint64_t{1} << (8 * n)) - 1)) != 0;
    }
    uint8_t any = 0;
    for (size_t i = 0; i < n; ++i) any |= kEscape[static_cast<unsigned char>(p[i])];
    return any != 0;
  }
  uint64_t x;
  for (size_t i = 0; i + 8 <= n; i += 8) {
    std::memcpy(&x, p + i, 8);
    if (NeedsEscape8(x)) return true;
  }
  std::memcpy(&x, p + n - 8, 8);
  return NeedsEscape8(x);
}

// The likely length of the compact text of a value: exact for names, texts without escapes
// and the structure, typical for numbers. Only sizes the writer's buffer.
size_t ExpectedLength(const TJSONValue& v) noexcept;

// The same for the members or items of a document; scalars without a call each.
size_t ExpectedLength(const TJSONDocument& doc) noexcept {
  // By kind: Empty, Null, Boolean, Integer, LargeInteger, Money, Float (Text and Document apart).
  static constexpr uint8_t kScalar[] = {4, 4, 5, 4, 8, 8, 12};
  const auto one = [](const TJSONValue& v) {
    return v.Kind() < TJSONKind::Text ? kScalar[static_cast<size_t>(v.Kind())] : ExpectedLength(v);
  };
  size_t n = 2;
  if (doc.IsObject()) {
    for (const TJSONMember& m : doc.Members()) n += m.Name.size() + 4 + one(m.Value);
  } else {
    for (const TJSONValue& item : doc.Items()) n += 1 + one(item);
  }
  return n;
}

size_t ExpectedLength(const TJSONValue& v) noexcept {
  switch (v.Kind()) {
    case TJSONKind::Integer:
      return 4;
    case TJSONKind::LargeInteger:
    case TJSONKind::Money:
      return 8;
    case TJSONKind::Float:
      return 12;
    case TJSONKind::Text:
      return v.AsText().size() + 2;
    case TJSONKind::Document:
      return ExpectedLength(*v.Document());
    default:
      return 5;
  }
}

// Writes into the tail of one growing string through a raw cursor: the text is sized up front
// for each piece, so no byte is appended through the string's own checks.
class TWriter {
 public:
  // expected: the likely length of what is written, so that a whole document mostly fits the
  // first size and is neither copied nor cleared again as it grows.
  explicit TWriter(std::string& out, size_t expected = 256) : FOut(out) {
    const size_t base = FOut.size();
    FOut.resize(base + expected);  // within the capacity the caller may already hold
    FCur = FOut.data() + base;
    FLimit = FOut.data() + FOut.size();
  }
  ~TWriter() { FOut.resize(static_cast<size_t>(FCur - FOut.data())); }
  TWriter(const TWriter&) = delete;
  TWriter& operator=(const TWriter&) = delete;

  // At least n writable bytes at the cursor; the cursor moves on with Done.
  char* Room(size_t n) {
    if (static_cast<size_t>(FLimit - FCur) < n) Grow(n);
    return FCur;
  }
  void Done(char* end) { FCur = end; }
  void Put(char c) {
    *Room(1) = c;
    ++FCur;
  }
  void Put(const char* s, size_t n) {
    std::memcpy(Room(n), s, n);
    FCur += n;
  }

  void Text(const std::string& s) {
    if (!NeedsEscape(s)) {  // nearly every name and text: copied whole
      char* o = Room(s.size() + 2);
      *o++ = '"';
      std::memcpy(o, s.data(), s.size());
      o += s.size();
      *o++ = '"';
      Done(o);
      return;
    }
    static constexpr char kHex[] = "0123456789abcdef";
    char* o = Room(s.size() * 6 + 2);  // every byte escaped at worst
    *o++ = '"';
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s.data());
    const unsigned char* const end = p + s.size();
    while (p < end) {
      // Eight bytes at a time while none of them is below 32, a quote or a backslash; then the
      // bytes before the first that is, at once.
      while (end - p >= 8) {
        uint64_t x;
        std::memcpy(&x, p, 8);
        const uint64_t hits = EscapeHits8(x);
        if (hits) {
          if constexpr (std::endian::native == std::endian::little) {
            const int plain = std::countr_zero(hits) >> 3;
            std::memcpy(o, p, 8);  // room for every byte escaped is there
            o += plain;
            p += plain;
          }
          break;
        }
        std::memcpy(o, p, 8);
        o += 8;
        p += 8;
      }
      if (p == end) break;
      const unsigned char c = *p++;
      switch (kEscape[c]) {
        case 0:
          *o++ = static_cast<char>(c);
          continue;
        case 2:
          p = end;
          continue;
        default:
          break;
      }
      o[0] = '\\';
      switch (c) {
        case '"':
        case '\\':
          o[1] = static_cast<char>(c);
          o += 2;
          break;
        case 8:
          o[1] = 'b';
          o += 2;
          break;
        case 9:
          o[1] = 't';
          o += 2;
          break;
        case 10:
          o[1] = 'n';
          o += 2;
          break;
        case 12:
          o[1] = 'f';
          o += 2;
          break;
        case 13:
          o[1] = 'r';
          o += 2;
          break;
        default:
          o[1] = 'u';
          o[2] = '0';
          o[3] = '0';
          o[4] = kHex[c >> 4];
          o[5] = kHex[c & 15];
          o += 6;
      }
    }
    *o++ = '"';
    Done(o);
  }

  void Value(const TJSONValue& v) {
    switch (v.Kind()) {
      case TJSONKind::Text:
        Text(v.AsText());
        break;
      case TJSONKind::Document:
        Document(*v.Document());
        break;
      default:
        Done(Scalar(Room(kNumberRoom), v));
        break;
    }
  }

  // A value of any kind but text and document, at o with kNumberRoom bytes free.
  static char* Scalar(char* o, const TJSONValue& v) noexcept {
    switch (v.Kind()) {
      case TJSONKind::Boolean:
        if (v.AsBoolean()) {
          std::memcpy(o, "true", 4);
          return o + 4;
        }
        std::memcpy(o, "false", 5);
        return o + 5;
      case TJSONKind::Integer:
        return std::to_chars(o, o + kNumberRoom, v.AsInteger()).ptr;
      case TJSONKind::LargeInteger:
        return std::to_chars(o, o + kNumberRoom, v.AsInt64()).ptr;
      case TJSONKind::Money:
        return FormatMoney(o, v.AsInt64());
      case TJSONKind::Float:
        return FormatFloat(o, v.AsFloat());
      default:
        std::memcpy(o, "null", 4);
        return o + 4;
    }
  }

  void Document(const TJSONDocument& doc) {
    if (doc.IsObject()) {
      Put('{');
      bool first = true;
      for (const TJSONMember& m : doc.Members()) {
        if (!NeedsEscape(m.Name)) {  // separator, name, colon and a number in one piece
          char* o = Room(m.Name.size() + 4 + kNumberRoom);
          if (!first) *o++ = ',';
          *o++ = '"';
          std::memcpy(o, m.Name.data(), m.Name.size());
          o += m.Name.size();
          *o++ = '"';
          *o++ = ':';
          first = false;
          if (m.Value.Kind() < TJSONKind::Text) {
            Done(Scalar(o, m.Value));
            continue;
          }
          Done(o);
        } else {
          if (!first) Put(',');
          Text(m.Name);
          Put(':');
        }
        first = false;
        Value(m.Value);
      }
      Put('}');
    } else if (doc.IsArray()) {
      Put('[');
      bool first = true;
      for (const TJSONValue& item : doc.Items()) {
        if (!first) Put(',');
        first = false;
        Value(item);
      }
      Put(']');
    } else {
      Put("null", 4);
    }
  }

 private:
  [[gnu::noinline]] void Grow(size_t n) {
    const size_t used = static_cast<size_t>(FCur - FOut.data());
    FOut.resize(std::max(FOut.size() * 2, used + n));
    FCur = FOut.data() + used;
    FLimit = FOut.data() + FOut.size();
  }

  std::string& FOut;
  char* FCur;
  char* FLimit;
};

// ---- Parser -------------------------------------------------------------------------------

}  // namespace

// The parser's way to fill an empty value in place, without the moves of an assignment.
class TJSONValueBuilder {
 public:
  static void Emplace(TJSONValue& empty, TJSONValue&& from) noexcept {
    empty.FKind = from.FKind;
    empty.TakePayload(from);
  }
  static std::string& MakeText(TJSONValue& empty, std::string_view text) {
    std::string& made = *new (&empty.FText) std::string(text);
    empty.FKind = TJSONKind::Text;
    return made;
  }
};

namespace {

// ---- Spare storage ----------------------------------------------------------------------------

// Emptied member or item lists kept for reuse, filed by capacity (a power of two from 1 to 128
// elements), with a bound on the elements kept in each bucket, so that lists of one shape kept
// from earlier texts never leave no room for the lists of another.
template <class T>
class TSpareLists {
 public:
  // An empty list with room for at least n elements. New lists get a power of two, so that
  // lists of one shape, given back, are found again by the same need.
  std::vector<T> Take(size_t n) {
    n = std::max<size_t>(n, 1);
    const size_t below = static_cast<size_t>(std::bit_width(n) - 1);  // may hold enough
    const size_t above = static_cast<size_t>(std::bit_width(n - 1));  // holds enough
    // Not beyond the next bucket: a much larger list is not spent on a small need.
    for (size_t b = below; b <= above + 1 && b < kBuckets; ++b) {
      if (!FLists[b].empty() && FLists[b].back().capacity() >= n) {
        std::vector<T> v = std::move(FLists[b].back());
        FLists[b].pop_back();
        FKept[b] -= v.capacity();
        return v;
      }
    }
    std::vector<T> v;
    v.reserve(std::bit_ceil(n));
    return v;
  }

  // Keeps the storage of v (emptied first) when there is room; otherwise v keeps it to free.
  void Give(std::vector<T>& v) {
    v.clear();
    const size_t capacity = v.capacity();
    if (capacity == 0) return;
    const size_t bucket = static_cast<size_t>(std::bit_width(capacity) - 1);
    if (bucket >= kBuckets || FKept[bucket] + capacity > kMaxKeptPerBucket) return;
    FLists[bucket].push_back(std::move(v));
    FKept[bucket] += capacity;
  }

 private:
  static constexpr size_t kBuckets = 8;
  static constexpr size_t kMaxKeptPerBucket = 4096;
  std::array<std::vector<std::vector<T>>, kBuckets> FLists;
  std::array<size_t, kBuckets> FKept{};
};

// What one thread keeps between documents: freed document blocks, emptied member and item lists,
// and the parser's stack of pending array items.
class TSpares {
 public:
  TSpares() { tlsCurrent = this; }
  ~TSpares() {
    tlsCurrent = nullptr;
    tlsGone = true;  // documents freed later on this thread (at exit) free their storage
    for (void* block : FBlocks) {
      ASAN_UNPOISON_MEMORY_REGION(block, sizeof(TJSONDocument));
      ::operator delete(block);
    }
  }
  TSpares(const TSpares&) = delete;
  TSpares& operator=(const TSpares&) = delete;

  // This thread's spares, or nullptr once they are gone at the thread's end.
  static TSpares* Get() {
    if (tlsCurrent) return tlsCurrent;
    if (tlsGone) return nullptr;
    return Create();
  }

  void* TakeBlock() {
    if (FBlocks.empty()) return nullptr;
    void* block = FBlocks.back();
    FBlocks.pop_back();
    ASAN_UNPOISON_MEMORY_REGION(block, sizeof(TJSONDocument));
    return block;
  }
  bool GiveBlock(void* block) {
    if (FBlocks.size() >= kMaxBlocks) return false;
    FBlocks.push_back(block);
    // A kept block is still a freed document to the address checker.
    ASAN_POISON_MEMORY_REGION(block, sizeof(TJSONDocument));
    return true;
  }

  TSpareLists<TJSONMember> Members;
  TSpareLists<TJSONValue> Items;
  std::vector<TJSONValue> PendingItems;
  static constexpr size_t kMaxPendingItems = 16384;

 private:
  static constexpr size_t kMaxBlocks = 4096;
  static TSpares* Create();
  static thread_local TSpares* tlsCurrent;
  static thread_local bool tlsGone;
  std::vector<void*> FBlocks;
};

thread_local TSpares* TSpares::tlsCurrent = nullptr;
thread_local bool TSpares::tlsGone = false;

// A thread's spares are owned through a thread-specific key, not a thread_local object: a
// thread_local with a destructor keeps the library that holds it loaded until the thread ends, and
// a module the host unloads must really go. Deleting the key when the library's statics end means
// no later thread end calls into unloaded code; the unloading thread's own spares are freed then.
class TSparesKey {
 public:
  TSparesKey() { FValid = pthread_key_create(&FKey, &ThreadEnd) == 0; }
  ~TSparesKey() {
    if (!FValid) return;
    if (void* mine = pthread_getspecific(FKey)) {
      pthread_setspecific(FKey, nullptr);
      ThreadEnd(mine);
    }
    pthread_key_delete(FKey);
    FValid = false;
  }
  TSparesKey(const TSparesKey&) = delete;
  TSparesKey& operator=(const TSparesKey&) = delete;

  // Hands a thread's spares to the key; false (and nothing kept) when there is no key.
  bool Keep(std::unique_ptr<TSpares>& spares) {
    if (!FValid || pthread_setspecific(FKey, spares.get()) != 0) return false;
    [[maybe_unused]] TSpares* owned = spares.release();
    return true;
  }

 private:
  static void ThreadEnd(void* spares) {
    std::unique_ptr<TSpares> owned(static_cast<TSpares*>(spares));
  }
  pthread_key_t FKey{};
  bool FValid = false;
};

TSparesKey gSparesKey;

TSpares* TSpares::Create() {
  auto spares = std::make_unique<TSpares>();
  TSpares* const current = spares.get();
  if (!gSparesKey.Keep(spares)) return nullptr;  // spares destroyed; tlsGone now set
  return current;
}

// Nesting beyond this fails the parse instead of exhausting the stack on hostile input.
constexpr int kMaxDepth = 512;

inline bool IsDigit(char c) noexcept { return c >= '0' && c <= '9'; }
inline bool IsLetter(char c) noexcept { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; }
inline bool IsBareStart(char c) noexcept {
  return IsLetter(c) || IsDigit(c) || c == '_' || c == '$';
}
inline bool IsBareRest(char c) noexcept {
  return IsLetter(c) || IsDigit(c) || c == '_' || c == '.';
}
// Byte classes of a scalar token: digits and signs, the decimal point, anything else, and the
// bytes that end a token (white space, byte 0 and the structural bytes).
constexpr uint8_t kDigitOrSign = 1, kPoint = 2, kOther = 4, kEndsToken = 8;
constexpr std::array<uint8_t, 256> MakeScalarClass() {
  std::array<uint8_t, 256> t{};
  for (int c = 0; c < 256; ++c) t[c] = kOther;
  for (int c = 0; c <= ' '; ++c) t[c] = kEndsToken;
  for (char c : {',', '}', ']', ':'}) t[static_cast<unsigned char>(c)] = kEndsToken;
  for (int c = '0'; c <= '9'; ++c) t[c] = kDigitOrSign;
  t['-'] = t['+'] = kDigitOrSign;
  t['.'] = kPoint;
  return t;
}
constexpr std::array<uint8_t, 256> kScalarClass = MakeScalarClass();

inline int HexValue(char c) noexcept {
  if (IsDigit(c)) return c - '0';
  const char l = static_cast<char>(c | 0x20);
  if (l >= 'a' && l <= 'f') return l - 'a' + 10;
  return -1;
}

class TParser {
 public:
  TParser(std::string_view text)
      : FPos(text.data()), FEnd(text.data() + text.size()), FSpares(TSpares::Get()) {
    if (FSpares) FItems.swap(FSpares->PendingItems);  // grown by earlier texts already
  }
  ~TParser() {
    if (FSpares && FItems.capacity() <= TSpares::kMaxPendingItems) {
      FItems.clear();
      FItems.swap(FSpares->PendingItems);
    }
  }
  TParser(const TParser&) = delete;
  TParser& operator=(const TParser&) = delete;

  TJSONValue Run() {
    SkipSpace();
    if (FPos == FEnd) return {};
    TJSONValue result;
    const char c = *FPos;
    if (c == '{' || c == '[') {
      if (!ParseValue([&result]() -> TJSONValue& { return result; })) return {};
      return result;
    }
    if ((c == 'n' || c == 'N') && FEnd - FPos >= 4 && SameTextAscii({FPos + 1, 3}, "ull"))
      return TJSONValue(MakeObject<TJSONDocument>(TJSONDocumentKind::Object));
    return {};
  }

 private:
  void SkipSpace() noexcept {
    while (FPos < FEnd && static_cast<unsigned char>(*FPos) - 1u < 32u) ++FPos;
  }

  // Fills the empty value that slot() gives. Scalars and texts are built in that slot directly;
  // a nested document is read into a local value first, since reading it may grow the member
  // and item stacks, and slot() is asked again afterwards.
  template <class TSlot>
  bool ParseValue(TSlot slot) {
    if (FPos == FEnd) return false;
    switch (*FPos) {
      case '{':
      case '[': {
        TJSONValue doc;
        if (!(*FPos == '{' ? ParseObject(doc) : ParseArray(doc))) return false;
        TJSONValueBuilder::Emplace(slot(), std::move(doc));
        return true;
      }
      case '"':
        return ParseString('"', [&slot](std::string_view raw) -> std::string& {
          return TJSONValueBuilder::MakeText(slot(), raw);
        });
      default:
        return ParseScalar(slot());
    }
  }

  bool ParseObject(TJSONValue& out) {
    if (++FDepth > kMaxDepth) return false;
    ++FPos;
    // Members go straight into the document, sized like the last object read at this depth:
    // the objects of one array mostly share their shape.
    auto doc = MakeObject<TJSONDocument>(TJSONDocumentKind::Object);
    std::vector<TJSONMember>& members = doc->Members();
    uint32_t& shape = FObjectShape[static_cast<size_t>(FDepth) % FObjectShape.size()];
    SkipSpace();
    if (FPos < FEnd && *FPos == '}') {
      ++FPos;
    } else {
      // Capped, so a hostile text with one huge object cannot make every later one huge too.
      const size_t expected = shape == 0 ? 4 : std::min<uint32_t>(shape, 64);
      if (FSpares)
        members = FSpares->Members.Take(expected);
      else
        members.reserve(expected);
      for (;;) {
        if (FPos == FEnd) return false;
        bool bare = false;
        if (*FPos == '"' || *FPos == '\'') {
          if (!ParseString(*FPos, [&members](std::string_view raw) -> std::string& {
                return members.emplace_back(TJSONMember{std::string(raw), {}}).Name;
              }))
            return false;
        } else if (IsBareStart(*FPos)) {
          const char* start = FPos++;
          while (FPos < FEnd && IsBareRest(*FPos)) ++FPos;
          members.emplace_back(
              TJSONMember{std::string(start, static_cast<size_t>(FPos - start)), {}});
          bare = true;
        } else {
          return false;
        }
        SkipSpace();
        if (FPos == FEnd || !(*FPos == ':' || (bare && *FPos == '='))) return false;
        ++FPos;
        SkipSpace();
        if (!ParseValue([&members]() -> TJSONValue& { return members.back().Value; })) return false;
        SkipSpace();
        if (FPos == FEnd) return false;
        if (*FPos == ',') {
          ++FPos;
          SkipSpace();
          continue;
        }
        if (*FPos != '}') return false;
        ++FPos;
        break;
      }
    }
    shape = static_cast<uint32_t>(members.size());
    TJSONValueBuilder::Emplace(out, TJSONValue(std::move(doc)));
    --FDepth;
    return true;
  }

  bool ParseArray(TJSONValue& out) {
    if (++FDepth > kMaxDepth) return false;
    ++FPos;
    const size_t base = FItems.size();
    SkipSpace();
    if (FPos < FEnd && *FPos == ']') {
      ++FPos;
    } else {
      for (;;) {
        FItems.emplace_back();
        if (!ParseValue([this]() -> TJSONValue& { return FItems.back(); })) return false;
        SkipSpace();
        if (FPos == FEnd) return false;
        if (*FPos == ',') {
          ++FPos;
          SkipSpace();
          continue;
        }
        if (*FPos != ']') return false;
        ++FPos;
        break;
      }
    }
    auto doc = MakeObject<TJSONDocument>(TJSONDocumentKind::Array);
    auto first = FItems.begin() + static_cast<std::ptrdiff_t>(base);
    const size_t count = FItems.size() - base;
    if (count > 0) {
      std::vector<TJSONValue>& items = doc->Items();
      if (FSpares) items = FSpares->Items.Take(count);
      items.reserve(count);
      items.insert(items.end(), std::make_move_iterator(first),
                   std::make_move_iterator(FItems.end()));
      FItems.erase(first, FItems.end());
    }
    TJSONValueBuilder::Emplace(out, TJSONValue(std::move(doc)));
    --FDepth;
    return true;
  }

  // A string in the given quotes, FPos at the opening quote; make(raw) constructs the string
  // that receives it from the raw bytes between the quotes. Most texts and names hold no escape:
  // they are found by one scan and constructed from their bytes at once. A text with escapes is
  // measured first (its raw length bounds the decoded one) and decoded over its raw copy.
  template <class TMake>
  bool ParseString(char quote, TMake make) {
    const char* const start = ++FPos;
    const char* p = FindQuoteOrSlash(start, quote);
    if (p == FEnd) return false;
    if (*p == quote) {
      make(std::string_view(start, static_cast<size_t>(p - start)));
      FPos = p + 1;
      return true;
    }
    const char* close = p;
    while (*close != quote) {  // at a backslash: the byte after it never closes the text
      if (FEnd - close < 2) return false;
      close = FindQuoteOrSlash(close + 2, quote);
      if (close == FEnd) return false;
    }
    std::string& out = make(std::string_view(start, static_cast<size_t>(close - start)));
    char* const first = out.data();
    char* o = first + (p - start);
    FPos = p;
    while (FPos < close) {
      if (*FPos != '\\') {
        const char* next = FindQuoteOrSlash(FPos, quote);
        std::memcpy(o, FPos, static_cast<size_t>(next - FPos));
        o += next - FPos;
        FPos = next;
        continue;
      }
      ++FPos;
      const char c = *FPos++;
      switch (c) {
        case 'b':
          *o++ = '\b';
          break;
        case 'f':
          *o++ = '\f';
          break;
        case 'n':
          *o++ = '\n';
          break;
        case 'r':
          *o++ = '\r';
          break;
        case 't':
          *o++ = '\t';
          break;
        case 'u':
          o = PutUnicodeEscape(o);
          break;
        default:
          *o++ = c;
      }
    }
    out.resize(static_cast<size_t>(o - first));
    FPos = close + 1;
    return true;
  }

  // The first quote or backslash from p on, or FEnd; eight bytes at a time.
  const char* FindQuoteOrSlash(const char* p, char quote) const noexcept {
    if constexpr (std::endian::native == std::endian::little) {
      constexpr uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;
      const uint64_t quotes = kOnes * static_cast<unsigned char>(quote);
      const uint64_t slashes = kOnes * '\\';
      while (FEnd - p >= 8) {
        uint64_t x;
        std::memcpy(&x, p, 8);
        const uint64_t q = x ^ quotes, s = x ^ slashes;
        // The lowest flagged byte is exact; the borrow can only flag bytes above a true match.
        const uint64_t hit = ((q - kOnes) & ~q & kHighs) | ((s - kOnes) & ~s & kHighs);
        if (hit) return p + (std::countr_zero(hit) >> 3);
        p += 8;
      }
    }
    while (p < FEnd && *p != quote && *p != '\\') ++p;
    return p;
  }

  // After "\u" (FPos past it): four hexadecimal digits become UTF-8 at o; \u0000 and malformed
  // escapes give "?" (a malformed escape consumes only the "\u"). Never writes more bytes than
  // it consumes with the "\u", so the raw length of a text bounds its decoded length.
  char* PutUnicodeEscape(char* o) {
    const int cp = ReadHex4(FPos);
    if (cp < 0) {
      *o++ = '?';
      return o;
    }
    FPos += 4;
    // A surrogate pair written as two escapes is one code point beyond the 16-bit range: kept
    // as its four UTF-8 bytes rather than as two three-byte halves no reader accepts.
    if (cp >= 0xD800 && cp <= 0xDBFF && FEnd - FPos >= 6 && FPos[0] == '\\' && FPos[1] == 'u') {
      const int low = ReadHex4(FPos + 2);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        FPos += 6;
        const unsigned full = 0x10000u + ((static_cast<unsigned>(cp) - 0xD800u) << 10) +
                              (static_cast<unsigned>(low) - 0xDC00u);
        *o++ = static_cast<char>(0xF0 | (full >> 18));
        *o++ = static_cast<char>(0x80 | ((full >> 12) & 0x3F));
        *o++ = static_cast<char>(0x80 | ((full >> 6) & 0x3F));
        *o++ = static_cast<char>(0x80 | (full & 0x3F));
        return o;
      }
    }
    const unsigned u = static_cast<unsigned>(cp);
    if (u == 0) {
      *o++ = '?';
    } else if (u < 0x80) {
      *o++ = static_cast<char>(u);
    } else if (u < 0x800) {
      *o++ = static_cast<char>(0xC0 | (u >> 6));
      *o++ = static_cast<char>(0x80 | (u & 0x3F));
    } else {
      *o++ = static_cast<char>(0xE0 | (u >> 12));
      *o++ = static_cast<char>(0x80 | ((u >> 6) & 0x3F));
      *o++ = static_cast<char>(0x80 | (u & 0x3F));
    }
    return o;
  }

  // Four hexadecimal digits at p (within the text), or -1.
  int ReadHex4(const char* p) const noexcept {
    if (FEnd - p < 4) return -1;
    int v = 0;
    for (int i = 0; i < 4; ++i) {
      const int h = HexValue(p[i]);
      if (h < 0) return -1;
      v = v * 16 + h;
    }
    return v;
  }

  bool ParseScalar(TJSONValue& out) {
    if (ParsePlainNumber(out) || ParseWord(out)) return true;
    // Token end and number classification in one pass over the bytes.
    const char* start = FPos;
    unsigned seen = 0;
    const char* point = nullptr;
    for (; FPos < FEnd; ++FPos) {
      const uint8_t c = kScalarClass[static_cast<unsigned char>(*FPos)];
      if (c == kEndsToken) break;
      if (c == kPoint && !point) point = FPos;
      seen |= c;
    }
    const std::string_view token(start, static_cast<size_t>(FPos - start));
    if (token.empty()) return false;
    if (seen & kOther) {
      if (token == "null") {
        TJSONValueBuilder::Emplace(out, TJSONValue(nullptr));
        return true;
      }
      if (token == "true" || token == "false") {
        TJSONValueBuilder::Emplace(out, TJSONValue(token[0] == 't'));
        return true;
      }
    } else if (!(seen & kPoint)) {  // digits and signs only
      int64_t v = 0;
      if (ReadInt64(token, v)) {
        if (v >= std::numeric_limits<int32_t>::min() && v <= std::numeric_limits<int32_t>::max())
          TJSONValueBuilder::Emplace(out, TJSONValue(static_cast<int32_t>(v)));
        else
          TJSONValueBuilder::Emplace(out, TJSONValue(v));
        return true;
      }
    }
    if (point) {
      const size_t decimals = static_cast<size_t>(FPos - point - 1);
      int64_t m = 0;
      if (decimals >= 1 && decimals <= 4 &&
          ReadMoney(token, static_cast<size_t>(point - start), m)) {
        TJSONValueBuilder::Emplace(out, TJSONValue(TJSONMoney{m}));
        return true;
      }
    }
    double d = 0;
    if (ReadDouble(token, d))
      TJSONValueBuilder::Emplace(out, TJSONValue(d));
    else
      TJSONValueBuilder::Emplace(out, TJSONValue(token));
    return true;
  }

  // true, false and null as whole tokens.
  bool ParseWord(TJSONValue& out) noexcept {
    const auto is = [this](std::string_view word) {
      return static_cast<size_t>(FEnd - FPos) >= word.size() &&
             std::memcmp(FPos, word.data(), word.size()) == 0 && EndsToken(FPos + word.size());
    };
    switch (*FPos) {
      case 't':
        if (!is("true")) return false;
        TJSONValueBuilder::Emplace(out, TJSONValue(true));
        FPos += 4;
        return true;
      case 'f':
        if (!is("false")) return false;
        TJSONValueBuilder::Emplace(out, TJSONValue(false));
        FPos += 5;
        return true;
      case 'n':
        if (!is("null")) return false;
        TJSONValueBuilder::Emplace(out, TJSONValue(nullptr));
        FPos += 4;
        return true;
      default:
        return false;
    }
  }

  bool EndsToken(const char* p) const noexcept {
    return p == FEnd || kScalarClass[static_cast<unsigned char>(*p)] == kEndsToken;
  }

  // The numbers of nearly every document in one pass and without a second reading: an optional
  // minus, digits, and optionally a point with digits. Gives the very values the general
  // classification in ParseScalar gives; false (FPos unchanged) for every other token.
  bool ParsePlainNumber(TJSONValue& out) noexcept {
    const char* p = FPos;
    const bool negative = p < FEnd && *p == '-';
    p += negative;
    const char* const digits = p;
    uint64_t m = 0;
    // At most 18 digits, so the value fits 64 bits without a test per digit.
    while (p < FEnd && IsDigit(*p) && p - digits < 18)
      m = m * 10 + static_cast<unsigned>(*p++ - '0');
    const ptrdiff_t wholeDigits = p - digits;
    if (wholeDigits == 0) return false;
    if (EndsToken(p)) {
      const int64_t v = negative ? -static_cast<int64_t>(m) : static_cast<int64_t>(m);
      if (v >= std::numeric_limits<int32_t>::min() && v <= std::numeric_limits<int32_t>::max())
        TJSONValueBuilder::Emplace(out, TJSONValue(static_cast<int32_t>(v)));
      else
        TJSONValueBuilder::Emplace(out, TJSONValue(v));
      FPos = p;
      return true;
    }
    if (*p != '.' || wholeDigits > 14) return false;
    const char* const decimals = ++p;
    while (p < FEnd && IsDigit(*p) && p - digits < 19)
      m = m * 10 + static_cast<unsigned>(*p++ - '0');
    const ptrdiff_t decimalCount = p - decimals;
    if (decimalCount == 0 || !EndsToken(p)) return false;
    if (decimalCount <= 4) {
      static constexpr int64_t kScale[] = {10000, 1000, 100, 10, 1};
      const int64_t money = static_cast<int64_t>(m) * kScale[decimalCount];
      TJSONValueBuilder::Emplace(out, TJSONValue(TJSONMoney{negative ? -money : money}));
    } else {
      // Both operands exact (below 2^53 and a power of ten up to 1e22), so the one division is
      // correctly rounded: the same double a full decimal reader gives.
      static constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                          1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                          1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
      if (m > (uint64_t{1} << 53)) return false;
      const double v = static_cast<double>(m) / kPow10[decimalCount];
      TJSONValueBuilder::Emplace(out, TJSONValue(negative ? -v : v));
    }
    FPos = p;
    return true;
  }

  const char* FPos;
  const char* const FEnd;
  TSpares* const FSpares;
  int FDepth = 0;
  // Items of the arrays being read; each array takes its own range at its end, so it is
  // allocated once at its exact size.
  std::array<uint32_t, 16> FObjectShape{};
  std::vector<TJSONValue> FItems;
};

}  // namespace

// ---- Errors -------------------------------------------------------------------------------

EVariantTypeCastError::EVariantTypeCastError(std::string_view fromType, std::string_view toType)
    : EJSONError("Could not convert variant of type (" + std::string(fromType) + ") into type (" +
                 std::string(toType) + ")") {}

// ---- TJSONValue ---------------------------------------------------------------------------

TJSONValue::TJSONValue(TJSONDocumentPtr doc) {
  if (doc) {
    FKind = TJSONKind::Document;
    new (&FDoc) TJSONDocumentPtr(std::move(doc));
  } else {
    FKind = TJSONKind::Null;
  }
}

TJSONValue::TJSONValue(const TJSONValue& other) : FKind(other.FKind) {
  switch (FKind) {
    case TJSONKind::Text:
      new (&FText) std::string(other.FText);
      break;
    case TJSONKind::Document:
      new (&FDoc) TJSONDocumentPtr(other.FDoc);
      break;
    default:
      FInt64 = other.FInt64;
      break;
  }
}

TJSONValue& TJSONValue::operator=(const TJSONValue& other) {
  // Through a copy: other may live inside a document that only this value keeps alive.
  if (this != &other) *this = TJSONValue(other);
  return *this;
}

TJSONValue& TJSONValue::operator=(TJSONValue&& other) noexcept {
  if (this != &other) {
    // Taken out first: other may live inside a document that only this value keeps alive.
    TJSONValue taken(static_cast<TJSONValue&&>(other));
    Reset();
    FKind = taken.FKind;
    TakePayload(taken);
  }
  return *this;
}

void TJSONValue::ReleasePayload() noexcept {
  if (FKind == TJSONKind::Text) {
    FText.~basic_string();
  } else {
    FDoc.~TJSONDocumentPtr();
  }
}

bool TJSONValue::IsDocument() const noexcept {
  return FKind == TJSONKind::Document && FDoc->Kind() != TJSONDocumentKind::Undefined;
}

std::string_view TJSONValue::KindName() const noexcept {
  switch (FKind) {
    case TJSONKind::Empty:
      return "Empty";
    case TJSONKind::Null:
      return "Null";
    case TJSONKind::Boolean:
      return "Boolean";
    case TJSONKind::Integer:
      return "Integer";
    case TJSONKind::LargeInteger:
      return "Int64";
    case TJSONKind::Money:
      return "Currency";
    case TJSONKind::Float:
      return "Double";
    case TJSONKind::Text:
      return "String";
    case TJSONKind::Document:
      return "Document";
  }
  return "Unknown";
}

TJSONDocument& TJSONValue::RequireDocument(std::string_view operation,
                                           std::string_view name) const {
  if (FKind != TJSONKind::Document) {
    std::string what = "Invalid variant operation: " + std::string(operation);
    if (!name.empty() || operation.substr(0, 6) == "member") what += " " + Quoted(name);
    throw EVariantInvalidOpError(what + " on a value of type (" + std::string(KindName()) + ")");
  }
  return *FDoc;
}

TJSONValue TJSONValue::Get(std::string_view name) const {
  TJSONDocument& doc = RequireDocument("member", name);
  if (IsCountName(name)) return TJSONValue(doc.Count());
  if (const TJSONValue* v = doc.Find(name)) return *v;
  return TJSONValue(nullptr);
}

const TJSONValue* TJSONValue::Find(std::string_view name) const {
  return RequireDocument("member", name).Find(name);
}

void TJSONValue::Set(std::string_view name, TJSONValue value) const {
  TJSONDocument& doc = RequireDocument("member write", name);
  if (!doc.IsObject())
    throw EVariantInvalidOpError("Invalid variant operation: member write " + Quoted(name) +
                                 " on an array");
  doc.Set(name, std::move(value));
}

int32_t TJSONValue::Count() const { return RequireDocument("_Count").Count(); }

const TJSONValue& TJSONValue::_(int32_t index) const { return RequireDocument("_").At(index); }

void TJSONValue::Add(TJSONValue value) const {
  TJSONDocument& doc = RequireDocument("Add");
  if (!doc.IsArray()) throw EVariantInvalidOpError("Invalid variant operation: Add on an object");
  doc.Add(std::move(value));
}

std::string TJSONValue::ToText() const {
  switch (FKind) {
    case TJSONKind::Empty:
      return {};
    case TJSONKind::Null:
      throw EVariantTypeCastError(KindName(), "String");
    case TJSONKind::Text:
      return FText;
    case TJSONKind::Boolean:
      return FBool ? "True" : "False";
    default: {
      std::string out;
      WriteJSON(out);
      return out;
    }
  }
}

bool TJSONValue::ToBoolean() const {
  switch (FKind) {
    case TJSONKind::Empty:
      return false;
    case TJSONKind::Boolean:
      return FBool;
    case TJSONKind::Integer:
      return FInt != 0;
    case TJSONKind::LargeInteger:
    case TJSONKind::Money:
      return FInt64 != 0;
    case TJSONKind::Float:
      return FDouble != 0;
    case TJSONKind::Text: {
      const std::string_view t = TrimSpaces(FText);
      if (SameTextAscii(t, "true")) return true;
      if (SameTextAscii(t, "false")) return false;
      double d = 0;
      if (ReadDouble(t, d)) return d != 0;
      break;
    }
    default:
      break;
  }
  throw EVariantTypeCastError(KindName(), "Boolean");
}

double TJSONValue::ToFloat() const {
  switch (FKind) {
    case TJSONKind::Empty:
      return 0;
    case TJSONKind::Boolean:
      return FBool ? 1 : 0;
    case TJSONKind::Integer:
      return FInt;
    case TJSONKind::LargeInteger:
      return static_cast<double>(FInt64);
    case TJSONKind::Money:
      return static_cast<double>(FInt64) / 10000.0;
    case TJSONKind::Float:
      return FDouble;
    case TJSONKind::Text: {
      double d = 0;
      if (ReadDouble(TrimSpaces(FText), d)) return d;
      break;
    }
    default:
      break;
  }
  throw EVariantTypeCastError(KindName(), "Double");
}

int32_t TJSONValue::ToInteger() const {
  int64_t v = 0;
  bool ok = true;
  switch (FKind) {
    case TJSONKind::Empty:
      return 0;
    case TJSONKind::Boolean:
      return FBool ? 1 : 0;
    case TJSONKind::Integer:
      return FInt;
    case TJSONKind::LargeInteger:
      v = FInt64;
      break;
    case TJSONKind::Money:
      v = MoneyToWhole(FInt64);
      break;
    case TJSONKind::Float:
      ok = RoundToInt64(FDouble, v);
      break;
    case TJSONKind::Text: {
      const std::string_view t = TrimSpaces(FText);
      double d = 0;
      ok = ReadInt64(t, v) || (ReadDouble(t, d) && RoundToInt64(d, v));
      break;
    }
    default:
      ok = false;
      break;
  }
  if (!ok || v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max())
    throw EVariantTypeCastError(KindName(), "Integer");
  return static_cast<int32_t>(v);
}

TCurrency TJSONValue::ToMoney() const {
  constexpr int64_t kMaxWhole = std::numeric_limits<int64_t>::max() / 10000;
  int64_t v = 0;
  switch (FKind) {
    case TJSONKind::Empty:
      return 0;
    case TJSONKind::Boolean:
      return FBool ? 10000 : 0;
    case TJSONKind::Money:
      return FInt64;
    case TJSONKind::Integer:
      return int64_t{FInt} * 10000;
    case TJSONKind::LargeInteger:
      if (FInt64 <= kMaxWhole && FInt64 >= -kMaxWhole) return FInt64 * 10000;
      break;
    case TJSONKind::Float:
      if (RoundToInt64(FDouble * 10000.0, v)) return v;
      break;
    case TJSONKind::Text: {
      double d = 0;
      if (ReadDouble(TrimSpaces(FText), d) && RoundToInt64(d * 10000.0, v)) return v;
      break;
    }
    default:
      break;
  }
  throw EVariantTypeCastError(KindName(), "Currency");
}

std::string TJSONValue::ToJSON() const {
  std::string out;
  WriteJSON(out);
  return out;
}

void TJSONValue::WriteJSON(std::string& out) const {
  TWriter(out, ExpectedLength(*this) + 16).Value(*this);
}

bool operator>(const TJSONValue& a, const TJSONValue& b) {
  const auto isWhole = [](const TJSONValue& v) {
    return v.Kind() == TJSONKind::Integer || v.Kind() == TJSONKind::LargeInteger;
  };
  if (isWhole(a) && isWhole(b)) {
    const int64_t x = a.Kind() == TJSONKind::Integer ? a.AsInteger() : a.AsInt64();
    const int64_t y = b.Kind() == TJSONKind::Integer ? b.AsInteger() : b.AsInt64();
    return x > y;
  }
  return a.ToFloat() > b.ToFloat();
}

// ---- TJSONDocument ------------------------------------------------------------------------

TJSONDocument::~TJSONDocument() {
  // The members and items go first (freeing nested documents), then the emptied lists are kept.
  FMembers.clear();
  FItems.clear();
  if (TSpares* spares = TSpares::Get()) {
    spares->Members.Give(FMembers);
    spares->Items.Give(FItems);
  }
}

void* TJSONDocument::operator new(std::size_t size) {
  if (size == sizeof(TJSONDocument)) {
    if (TSpares* spares = TSpares::Get()) {
      if (void* block = spares->TakeBlock()) return block;
    }
  }
  return ::operator new(size);
}

void TJSONDocument::operator delete(void* block, std::size_t size) noexcept {
  if (size == sizeof(TJSONDocument)) {
    TSpares* spares = TSpares::Get();
    if (spares && spares->GiveBlock(block)) return;
  }
  ::operator delete(block);
}

int32_t TJSONDocument::Count() const noexcept {
  switch (FKind) {
    case TJSONDocumentKind::Object:
      return static_cast<int32_t>(FMembers.size());
    case TJSONDocumentKind::Array:
      return static_cast<int32_t>(FItems.size());
    default:
      return 0;
  }
}

const TJSONValue* TJSONDocument::Find(std::string_view name) const noexcept {
  for (const TJSONMember& m : FMembers) {
    if (SameTextAscii(m.Name, name)) return &m.Value;
  }
  return nullptr;
}

TJSONValue* TJSONDocument::Find(std::string_view name) noexcept {
  for (TJSONMember& m : FMembers) {
    if (SameTextAscii(m.Name, name)) return &m.Value;
  }
  return nullptr;
}

void TJSONDocument::Set(std::string_view name, TJSONValue value) {
  if (TJSONValue* existing = Find(name)) {
    *existing = std::move(value);
  } else {
    FMembers.push_back({std::string(name), std::move(value)});
  }
}

void TJSONDocument::Append(std::string name, TJSONValue value) {
  FMembers.push_back({std::move(name), std::move(value)});
}

void TJSONDocument::Add(TJSONValue value) { FItems.push_back(std::move(value)); }

const TJSONValue& TJSONDocument::At(int32_t index) const {
  const int32_t count = Count();
  if (index < 0 || index >= count)
    throw EJSONDocumentError("Out of range [" + std::to_string(index) +
                             "] (count=" + std::to_string(count) + ")");
  return FKind == TJSONDocumentKind::Array ? FItems[static_cast<size_t>(index)]
                                           : FMembers[static_cast<size_t>(index)].Value;
}

void TJSONDocument::WriteJSON(std::string& out) const {
  TWriter(out, ExpectedLength(*this) + 16).Document(*this);
}

// ---- Creation helpers ---------------------------------------------------------------------

TJSONValue ParseJSONDocument(std::string_view text) { return TParser(text).Run(); }

TJSONValue NewObjectDocument(std::initializer_list<TJSONValue> pairs) {
  auto doc = MakeObject<TJSONDocument>(TJSONDocumentKind::Object);
  if (TSpares* spares = TSpares::Get(); spares && pairs.size() >= 2)
    doc->Members() = spares->Members.Take(pairs.size() / 2);
  else
    doc->Members().reserve(pairs.size() / 2);
  const TJSONValue* const list = pairs.begin();
  for (size_t i = 0; i + 1 < pairs.size(); i += 2) doc->Append(list[i].ToText(), list[i + 1]);
  return TJSONValue(std::move(doc));
}

TJSONValue NewArrayDocument(std::initializer_list<TJSONValue> items) {
  auto doc = MakeObject<TJSONDocument>(TJSONDocumentKind::Array);
  doc->Items().assign(items.begin(), items.end());
  return TJSONValue(std::move(doc));
}

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

void AppendJSONMoney(std::string& out, TCurrency value) {
  char buf[kNumberRoom];
  out.append(buf, FormatMoney(buf, value));
}

void AppendJSONFloat(std::string& out, double value) {
  char buf[kNumberRoom];
  out.append(buf, FormatFloat(buf, value));
}
