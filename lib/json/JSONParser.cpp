// The parser: untrusted text read in a single pass into values and documents, with the lenient
// forms the voucher service's answers may take (bare and single-quoted names, numbers kept as
// integers, money or floats by their form).
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <iterator>
#include <limits>
#include <vector>

#include "lib/common/AsciiCase.h"
#include "lib/json/JSONNumbers.h"
#include "lib/json/JSONSpares.h"
#include "lib/json/clsJSONDocument.h"

using JSONInternal::ReadDouble;
using JSONInternal::ReadInt64;
using JSONInternal::ReadMoney;
using JSONInternal::TSpares;

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

// Nesting beyond this fails the parse instead of exhausting the stack on hostile input.
constexpr int kMaxDepth = 512;
// A NUL byte in a text, raw or as the escape \u0000, reads as this: no text taken from a document
// may end early in a C interface (a database, a log line) and show less than it holds.
constexpr char kNulStandIn = '?';

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
  // that receives it from the raw bytes between the quotes. Most texts and names hold neither an
  // escape nor a NUL byte: one scan finds their closing quote and they are constructed from their
  // bytes at once. Any other text is measured first (its raw length bounds the decoded one) and
  // decoded over its raw copy.
  template <class TMake>
  bool ParseString(char quote, TMake make) {
    const char* const start = ++FPos;
    const char* p = FindStringStop(start, quote);
    if (p == FEnd) return false;
    if (*p == quote) {
      make(std::string_view(start, static_cast<size_t>(p - start)));
      FPos = p + 1;
      return true;
    }
    const char* close = p;
    while (*close != quote) {
      if (*close == '\\') {  // the byte after a backslash never closes the text
        if (FEnd - close < 2) return false;
        ++close;
      }
      close = FindStringStop(close + 1, quote);
      if (close == FEnd) return false;
    }
    std::string& out = make(std::string_view(start, static_cast<size_t>(close - start)));
    char* const first = out.data();
    char* o = first + (p - start);
    FPos = p;
    while (FPos < close) {
      if (*FPos != '\\') {
        if (*FPos == '\0') {
          *o++ = kNulStandIn;
          ++FPos;
          continue;
        }
        const char* next = FindStringStop(FPos, quote);
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
        case '\0':
          *o++ = kNulStandIn;
          break;
        default:
          *o++ = c;
      }
    }
    out.resize(static_cast<size_t>(o - first));
    FPos = close + 1;
    return true;
  }

  // The first quote, backslash or NUL byte from p on, or FEnd; eight bytes at a time. A NUL
  // stops the scan so that the plain texts, nearly all, need no pass of their own for it.
  const char* FindStringStop(const char* p, char quote) const noexcept {
    if constexpr (std::endian::native == std::endian::little) {
      constexpr uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;
      const uint64_t quotes = kOnes * static_cast<unsigned char>(quote);
      const uint64_t slashes = kOnes * '\\';
      while (FEnd - p >= 8) {
        uint64_t x;
        std::memcpy(&x, p, 8);
        const uint64_t q = x ^ quotes, s = x ^ slashes;
        // The lowest flagged byte is exact; the borrow can only flag bytes above a true match.
        const uint64_t hit = ((q - kOnes) & ~q) | ((s - kOnes) & ~s) | ((x - kOnes) & ~x);
        if (hit & kHighs) return p + (std::countr_zero(hit & kHighs) >> 3);
        p += 8;
      }
    }
    while (p < FEnd && *p != quote && *p != '\\' && *p != '\0') ++p;
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
      *o++ = kNulStandIn;
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

TJSONValue ParseJSONDocument(std::string_view text) { return TParser(text).Run(); }
