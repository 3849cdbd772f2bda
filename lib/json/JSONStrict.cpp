// The strict reading of a JSON text: the grammar of RFC 8259 and nothing more, for answers whose
// word must count only when it is unambiguous. The lenient parser beside it stays as it is: the
// service's everyday answers may take its forms, a confirmation may not.
#include <set>
#include <string>
#include <string_view>

#include "lib/json/clsJSONDocument.h"

namespace {

constexpr int kMaxStrictDepth = 512;

class TStrictChecker {
 public:
  explicit TStrictChecker(std::string_view text) : FText(text) {}

  std::string Problem() {
    SkipSpace();
    if (FPos == FText.size()) return "no JSON value" + At(FPos);
    if (!Value(0)) return FProblem;
    const size_t end = FPos;
    SkipSpace();
    if (FPos != FText.size()) return "text after the document" + At(end);
    return {};
  }

 private:
  static std::string At(size_t pos) { return " at byte " + std::to_string(pos); }

  bool Fail(const std::string& what, size_t pos) {
    FProblem = what + At(pos);
    return false;
  }

  bool AtEnd() const { return FPos >= FText.size(); }
  char Peek() const { return FText[FPos]; }

  void SkipSpace() {
    while (!AtEnd() && (Peek() == ' ' || Peek() == '\t' || Peek() == '\n' || Peek() == '\r'))
      ++FPos;
  }

  bool Value(int depth) {
    if (AtEnd()) return Fail("the text ends where a value belongs", FPos);
    switch (Peek()) {
      case '{':
        return Object(depth + 1);
      case '[':
        return Array(depth + 1);
      case '"': {
        std::string ignored;
        return String(ignored);
      }
      case 't':
        return Word("true");
      case 'f':
        return Word("false");
      case 'n':
        return Word("null");
      default:
        if (Peek() == '-' || (Peek() >= '0' && Peek() <= '9')) return Number();
        return Fail(std::string("unexpected ") + Shown(Peek()), FPos);
    }
  }

  static std::string Shown(char c) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u < 0x7f) return std::string("'") + c + "'";
    static const char* const kHex = "0123456789abcdef";
    return std::string("byte 0x") + kHex[u >> 4] + kHex[u & 15];
  }

  bool Word(std::string_view word) {
    if (FText.substr(FPos, word.size()) != word)
      return Fail("not a JSON value (true, false and null are lower case)", FPos);
    FPos += word.size();
    return true;
  }

  bool Digits() {
    const size_t start = FPos;
    while (!AtEnd() && Peek() >= '0' && Peek() <= '9') ++FPos;
    return FPos > start;
  }

  bool Number() {
    const size_t start = FPos;
    if (Peek() == '-') ++FPos;
    if (AtEnd() || !(Peek() >= '0' && Peek() <= '9')) return Fail("a number without digits", start);
    if (Peek() == '0') {
      ++FPos;
      if (!AtEnd() && Peek() >= '0' && Peek() <= '9')
        return Fail("a number with a leading zero", start);
    } else {
      Digits();
    }
    if (!AtEnd() && Peek() == '.') {
      ++FPos;
      if (!Digits()) return Fail("a number without digits after its point", start);
    }
    if (!AtEnd() && (Peek() == 'e' || Peek() == 'E')) {
      ++FPos;
      if (!AtEnd() && (Peek() == '+' || Peek() == '-')) ++FPos;
      if (!Digits()) return Fail("a number without digits in its exponent", start);
    }
    return true;
  }

  static void AppendUTF8(std::string& out, uint32_t c) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xc0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3f));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xe0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
      out += static_cast<char>(0x80 | (c & 0x3f));
    } else {
      out += static_cast<char>(0xf0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3f));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
      out += static_cast<char>(0x80 | (c & 0x3f));
    }
  }

  bool Hex4(uint32_t& value) {
    value = 0;
    for (int i = 0; i < 4; ++i, ++FPos) {
      if (AtEnd()) return false;
      const char c = Peek();
      const int d = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
      if (d < 0) return false;
      value = value * 16 + static_cast<uint32_t>(d);
    }
    return true;
  }

  // One UTF-8 sequence at FPos, appended to out; false when it is not well formed (overlong,
  // a surrogate, beyond U+10FFFF or cut short).
  bool UTF8Sequence(std::string& out) {
    const auto lead = static_cast<unsigned char>(Peek());
    const size_t length = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : 2;
    if (lead < 0xc2 || lead > 0xf4 || FPos + length > FText.size()) return false;
    uint32_t c = lead & (0x7f >> length);
    for (size_t i = 1; i < length; ++i) {
      const auto next = static_cast<unsigned char>(FText[FPos + i]);
      if ((next & 0xc0) != 0x80) return false;
      c = (c << 6) | (next & 0x3f);
    }
    if ((length == 3 && (c < 0x800 || (c >= 0xd800 && c <= 0xdfff))) ||
        (length == 4 && (c < 0x10000 || c > 0x10ffff)))
      return false;
    out.append(FText.substr(FPos, length));
    FPos += length;
    return true;
  }

  // A string at FPos; its decoded bytes (escapes resolved) in out, so that two spellings of one
  // name are seen as the same name.
  bool String(std::string& out) {
    const size_t start = FPos++;
    for (;;) {
      if (AtEnd()) return Fail("a text without its closing quote", start);
      const auto c = static_cast<unsigned char>(Peek());
      if (c == '"') {
        ++FPos;
        return true;
      }
      if (c < 0x20) return Fail("a control character inside a text", FPos);
      if (c >= 0x80) {
        const size_t at = FPos;
        if (!UTF8Sequence(out)) return Fail("bytes that are not UTF-8 inside a text", at);
        continue;
      }
      if (c != '\\') {
        out += static_cast<char>(c);
        ++FPos;
        continue;
      }
      const size_t escape = FPos++;
      if (AtEnd()) return Fail("a text without its closing quote", start);
      const char e = Peek();
      ++FPos;
      switch (e) {
        case '"':
        case '\\':
        case '/':
          out += e;
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          uint32_t unit = 0;
          if (!Hex4(unit)) return Fail("a \\u escape without four hex digits", escape);
          // A pair of escaped surrogates is one character; a lone one is kept as its unit.
          if (unit >= 0xd800 && unit <= 0xdbff && FText.substr(FPos, 2) == "\\u") {
            const size_t back = FPos;
            FPos += 2;
            uint32_t low = 0;
            if (Hex4(low) && low >= 0xdc00 && low <= 0xdfff)
              unit = 0x10000 + ((unit - 0xd800) << 10) + (low - 0xdc00);
            else
              FPos = back;
          }
          AppendUTF8(out, unit);
          break;
        }
        default:
          return Fail("an escape JSON does not have", escape);
      }
    }
  }

  bool Object(int depth) {
    if (depth > kMaxStrictDepth) return Fail("nesting deeper than 512", FPos);
    ++FPos;
    SkipSpace();
    if (!AtEnd() && Peek() == '}') {
      ++FPos;
      return true;
    }
    std::set<std::string> names;
    for (;;) {
      SkipSpace();
      if (AtEnd()) return Fail("the text ends inside an object", FPos);
      if (Peek() != '"') return Fail("a member name that is not a double-quoted text", FPos);
      const size_t at = FPos;
      std::string name;
      if (!String(name)) return false;
      if (!names.insert(name).second) return Fail("duplicate member \"" + name + "\"", at);
      SkipSpace();
      if (AtEnd() || Peek() != ':') return Fail("a member without ':'", FPos);
      ++FPos;
      SkipSpace();
      if (!Value(depth)) return false;
      SkipSpace();
      if (AtEnd()) return Fail("the text ends inside an object", FPos);
      if (Peek() == '}') {
        ++FPos;
        return true;
      }
      if (Peek() != ',') return Fail("neither ',' nor '}' after a member", FPos);
      ++FPos;
    }
  }

  bool Array(int depth) {
    if (depth > kMaxStrictDepth) return Fail("nesting deeper than 512", FPos);
    ++FPos;
    SkipSpace();
    if (!AtEnd() && Peek() == ']') {
      ++FPos;
      return true;
    }
    for (;;) {
      SkipSpace();
      if (!Value(depth)) return false;
      SkipSpace();
      if (AtEnd()) return Fail("the text ends inside an array", FPos);
      if (Peek() == ']') {
        ++FPos;
        return true;
      }
      if (Peek() != ',') return Fail("neither ',' nor ']' after an item", FPos);
      ++FPos;
    }
  }

  std::string_view FText;
  size_t FPos = 0;
  std::string FProblem;
};

}  // namespace

std::string StrictJSONProblem(std::string_view text) { return TStrictChecker(text).Problem(); }
