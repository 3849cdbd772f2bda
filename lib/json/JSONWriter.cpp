// The compact writer: a value or a whole document into one growing buffer, escaping texts and
// names byte by byte.
#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstring>
#include <vector>

#include "lib/json/JSONNumbers.h"
#include "lib/json/clsJSONDocument.h"

using JSONInternal::FormatFloat;
using JSONInternal::FormatMoney;
using JSONInternal::kNumberRoom;

namespace {

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

// How many levels of nested documents ExpectedLength looks into; deeper ones count as a guess,
// since a document built through the API may be nested deeper than the call stack holds.
constexpr int kSizedDepth = 32;

// The likely length of the compact text of the members or items of a document: exact for names,
// texts without escapes and the structure, typical for numbers. Only sizes the writer's buffer.
// depth: the levels of documents around this one.
size_t ExpectedLength(const TJSONDocument& doc, int depth = 0) noexcept {
  // By kind: Empty, Null, Boolean, Integer, LargeInteger, Money, Float (Text and Document apart).
  static constexpr uint8_t kScalar[] = {4, 4, 5, 4, 8, 8, 12};
  const auto one = [depth](const TJSONValue& v) -> size_t {
    if (v.Kind() < TJSONKind::Text) return kScalar[static_cast<size_t>(v.Kind())];
    if (v.Kind() == TJSONKind::Text) return v.AsText().size() + 2;
    return depth < kSizedDepth ? ExpectedLength(*v.Document(), depth + 1) : 64;
  };
  size_t n = 2;
  if (doc.IsObject()) {
    for (const TJSONMember& m : doc.Members()) n += m.Name.size() + 4 + one(m.Value);
  } else {
    for (const TJSONValue& item : doc.Items()) n += 1 + one(item);
  }
  return n;
}

// The same for a single value.
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

// The documents the writer is inside of, innermost last, each with the index of the member or
// item to write when it is taken up again. The first levels are held in place; only deeper
// nesting allocates.
class TOpenDocuments {
 public:
  struct TOpen {
    const TJSONDocument* Doc;
    size_t Next;
  };

  bool Empty() const noexcept { return FCount == 0; }
  void Push(TOpen open) {
    if (FCount < kInPlace)
      FInPlace[FCount] = open;
    else
      FMore.push_back(open);
    ++FCount;
  }
  TOpen Pop() noexcept {
    --FCount;
    if (FCount < kInPlace) return FInPlace[FCount];
    const TOpen open = FMore.back();
    FMore.pop_back();
    return open;
  }

 private:
  static constexpr size_t kInPlace = 32;
  std::array<TOpen, kInPlace> FInPlace;  // written before read
  std::vector<TOpen> FMore;
  size_t FCount = 0;
};

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

  // A document and everything in it. Nested documents are walked with a stack of their own
  // rather than by recursion: one built through the API may be nested deeper than the call
  // stack holds. The members or items of one document are written in one loop, left for a
  // nested document and taken up again after it.
  void Document(const TJSONDocument& root) {
    if (!Open(root)) return;
    TOpenDocuments open;
    const TJSONDocument* doc = &root;
    size_t next = 0;
    for (;;) {
      const TJSONDocument* nested = nullptr;
      if (doc->IsObject()) {
        const std::vector<TJSONMember>& members = doc->Members();
        const size_t count = members.size();
        while (next < count) {
          const TJSONMember& m = members[next++];
          if (!NeedsEscape(m.Name)) {  // separator, name, colon and a number in one piece
            char* o = Room(m.Name.size() + 4 + kNumberRoom);
            if (next > 1) *o++ = ',';
            *o++ = '"';
            std::memcpy(o, m.Name.data(), m.Name.size());
            o += m.Name.size();
            *o++ = '"';
            *o++ = ':';
            if (m.Value.Kind() < TJSONKind::Text) {
              Done(Scalar(o, m.Value));
              continue;
            }
            Done(o);
          } else {
            if (next > 1) Put(',');
            Text(m.Name);
            Put(':');
          }
          if ((nested = Nested(m.Value))) break;
        }
        if (!nested) Put('}');
      } else {
        const std::vector<TJSONValue>& items = doc->Items();
        const size_t count = items.size();
        while (next < count) {
          if (next > 0) Put(',');
          if ((nested = Nested(items[next++]))) break;
        }
        if (!nested) Put(']');
      }
      if (nested) {
        if (Open(*nested)) {
          open.Push({doc, next});
          doc = nested;
          next = 0;
        }
      } else if (open.Empty()) {
        return;
      } else {
        const TOpenDocuments::TOpen outer = open.Pop();
        doc = outer.Doc;
        next = outer.Next;
      }
    }
  }

 private:
  // Writes a value that holds no document; gives the document otherwise, written by the caller.
  const TJSONDocument* Nested(const TJSONValue& v) {
    switch (v.Kind()) {
      case TJSONKind::Text:
        Text(v.AsText());
        return nullptr;
      case TJSONKind::Document:
        return v.Document();
      default:
        Done(Scalar(Room(kNumberRoom), v));
        return nullptr;
    }
  }

  // The opening of a document: true for an object or array, whose members or items follow;
  // any other is written null at once.
  bool Open(const TJSONDocument& doc) {
    if (doc.IsObject()) {
      Put('{');
      return true;
    }
    if (doc.IsArray()) {
      Put('[');
      return true;
    }
    Put("null", 4);
    return false;
  }

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

}  // namespace

void TJSONValue::WriteJSON(std::string& out) const {
  TWriter(out, ExpectedLength(*this) + 16).Value(*this);
}

void TJSONDocument::WriteJSON(std::string& out) const {
  TWriter(out, ExpectedLength(*this) + 16).Document(*this);
}
