// The module's dynamic JSON value and its documents (objects and arrays): parsing of untrusted
// text, building, case-insensitive member access and compact serialisation. The one header of the
// JSON library for its users: the JSON*.h headers beside it are the library's own, and
// clsJSONDocumentTesting.h is for tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "intf/clsInterfacedObject.h"
#include "intf/intfBase.h"
#include "intf/intfPtr.h"

// ---- Errors (they may cross into the host, so all are std::runtime_error) ------------------

// Base of every error raised by the JSON values.
class EJSONError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A value could not be converted: "Could not convert variant of type (Null) into type (Double)".
class EVariantTypeCastError : public EJSONError {
 public:
  EVariantTypeCastError(std::string_view fromType, std::string_view toType);
};

// A document operation (member read/write, _Count, _, Add) on a value that is no document:
// "Invalid variant operation: ...", naming the operation and the value's kind.
class EVariantInvalidOpError : public EJSONError {
 public:
  using EJSONError::EJSONError;
};

// A document-level fault: "Out of range [5] (count=2)", "Unexpected object size", ...
class EJSONDocumentError : public EJSONError {
 public:
  using EJSONError::EJSONError;
};

// ---- Values ---------------------------------------------------------------------------------

enum class TJSONKind : uint8_t {
  Empty,         // no value at all: a fresh value or a failed parse (not the same as null)
  Null,          // JSON null
  Boolean,       //
  Integer,       // signed 32-bit
  LargeInteger,  // signed 64-bit, for integers that do not fit 32 bits
  Money,         // TCurrency: signed ten-thousandths
  Float,         // double
  Text,          // bytes, kept byte for byte
  Document       // a shared TJSONDocument (object or array)
};

enum class TJSONDocumentKind : uint8_t { Undefined, Object, Array };

// Tag that makes a TJSONValue of kind Money from a count of ten-thousandths.
struct TJSONMoney {
  TCurrency Value = 0;
};

class TJSONDocument;
using TJSONDocumentPtr = TIntfPtr<TJSONDocument>;

// One JSON value. Copying a value that holds a document shares the document (copy-by-reference);
// every other kind is copied.
class TJSONValue {
 public:
  TJSONValue() noexcept {}  // empty
  TJSONValue(std::nullptr_t) noexcept : FKind(TJSONKind::Null) {}
  TJSONValue(bool v) noexcept : FKind(TJSONKind::Boolean) { FBool = v; }
  TJSONValue(int32_t v) noexcept : FKind(TJSONKind::Integer) { FInt = v; }
  TJSONValue(int64_t v) noexcept : FKind(TJSONKind::LargeInteger) { FInt64 = v; }
  TJSONValue(double v) noexcept : FKind(TJSONKind::Float) { FDouble = v; }
  TJSONValue(TJSONMoney v) noexcept : FKind(TJSONKind::Money) { FInt64 = v.Value; }
  TJSONValue(std::string v) : FKind(TJSONKind::Text) { new (&FText) std::string(std::move(v)); }
  TJSONValue(std::string_view v) : TJSONValue(std::string(v)) {}
  TJSONValue(const char* v) : TJSONValue(std::string(v ? v : "")) {}
  TJSONValue(char* v) : TJSONValue(static_cast<const char*>(v)) {}
  // Any other pointer would silently become a boolean.
  template <class T>
  TJSONValue(T*) = delete;
  TJSONValue(TJSONDocumentPtr doc);  // empty pointer gives null
  ~TJSONValue() { Reset(); }

  TJSONValue(const TJSONValue& other);
  TJSONValue(TJSONValue&& other) noexcept : FKind(other.FKind) { TakePayload(other); }
  TJSONValue& operator=(const TJSONValue& other);
  TJSONValue& operator=(TJSONValue&& other) noexcept;

  static TJSONValue Null() noexcept { return TJSONValue(nullptr); }

  TJSONKind Kind() const noexcept { return FKind; }
  bool IsEmpty() const noexcept { return FKind == TJSONKind::Empty; }
  bool IsNull() const noexcept { return FKind == TJSONKind::Null; }
  // The document test: true only for an object or array document.
  bool IsDocument() const noexcept;
  // The document held, or nullptr for every other kind.
  TJSONDocument* Document() const noexcept {
    return FKind == TJSONKind::Document ? FDoc.Get() : nullptr;
  }
  // Name of the kind as conversion errors spell it (Empty, Null, Boolean, Integer, Int64,
  // Currency, Double, String, Document).
  std::string_view KindName() const noexcept;

  // Late-bound member read: "_Count" (underscore + COUNT in any letter case) gives the count as
  // an integer; any other name gives the member (null when absent). Raises
  // EVariantInvalidOpError on a value that is no document.
  TJSONValue Get(std::string_view name) const;
  // Member read without the pseudo-member: the member or nullptr when absent. Raises
  // EVariantInvalidOpError on a value that is no object document.
  const TJSONValue* Find(std::string_view name) const;
  // Member write: replaces in place when the name exists (any letter case), else appends.
  void Set(std::string_view name, TJSONValue value) const;
  // `_Count`: members of an object, items of an array.
  int32_t Count() const;
  // `_`: the item (array) or member value (object) at a zero-based index; EJSONDocumentError
  // "Out of range [i] (count=n)" outside 0..count-1.
  const TJSONValue& _(int32_t index) const;
  // `Add`: appends to an array document.
  void Add(TJSONValue value) const;

  // Conversions; EVariantTypeCastError for null and for what cannot be read.
  std::string ToText() const;  // document -> its compact serialisation, empty -> ""
  bool ToBoolean() const;      // numbers: not zero; text: true/false (any case) or a number
  double ToFloat() const;      // empty -> 0; text: a number in C notation
  int32_t ToInteger() const;   // floats and money round half to even; must fit 32 bits
  TCurrency ToMoney() const;   // money as is; other numbers x10000 rounded half to even

  // Compact serialisation (empty and null give "null").
  std::string ToJSON() const;
  // Appends the compact serialisation to out (one growing buffer for a whole document).
  void WriteJSON(std::string& out) const;

  // Scalar payloads, valid only for the matching kind.
  bool AsBoolean() const noexcept { return FBool; }
  int32_t AsInteger() const noexcept { return FInt; }
  int64_t AsInt64() const noexcept { return FInt64; }  // LargeInteger and Money
  double AsFloat() const noexcept { return FDouble; }
  const std::string& AsText() const noexcept { return FText; }

 private:
  friend class TJSONValueBuilder;  // the parser fills values in place

  // Releases the payload; inline for the scalar kinds, which dominate parsed documents.
  void Reset() noexcept {
    if (FKind >= TJSONKind::Text) ReleasePayload();
    FKind = TJSONKind::Empty;
  }
  void ReleasePayload() noexcept;
  // Moves other's payload (of kind FKind, already set) into this; other becomes empty.
  void TakePayload(TJSONValue& other) noexcept {
    if (FKind < TJSONKind::Text) {
      FInt64 = other.FInt64;
    } else {
      MovePayload(other);
    }
    other.FKind = TJSONKind::Empty;
  }
  void MovePayload(TJSONValue& other) noexcept {
    if (FKind == TJSONKind::Text) {
      new (&FText) std::string(std::move(other.FText));
      other.FText.~basic_string();
    } else {
      new (&FDoc) TJSONDocumentPtr(std::move(other.FDoc));
      other.FDoc.~TJSONDocumentPtr();
    }
  }
  // The document held; EVariantInvalidOpError naming the operation (and member) otherwise.
  TJSONDocument& RequireDocument(std::string_view operation, std::string_view name = {}) const;

  TJSONKind FKind = TJSONKind::Empty;
  union {
    bool FBool;
    int32_t FInt;
    int64_t FInt64 = 0;
    double FDouble;
    std::string FText;
    TJSONDocumentPtr FDoc;
  };
};

// Numeric comparison (used to test that a count is above 0); EVariantTypeCastError when either
// side is not convertible to a number.
bool operator>(const TJSONValue& a, const TJSONValue& b);

// One member of an object document.
struct TJSONMember {
  std::string Name;
  TJSONValue Value;
};

// An object (ordered members, names looked up without regard to ASCII letter case) or an array.
// Both options of the module's documents hold for every document: a missing member reads as
// null, and a document is shared when assigned. Made with MakeObject, held in TJSONDocumentPtr.
class TJSONDocument : public TInterfacedObject {
 public:
  explicit TJSONDocument(TJSONDocumentKind kind = TJSONDocumentKind::Undefined) : FKind(kind) {}
  ~TJSONDocument() override;

  // Documents come and go by the hundred with every parsed text: the blocks of freed ones are
  // kept per thread (a bounded number) for the next ones.
  static void* operator new(std::size_t size);
  static void operator delete(void* block, std::size_t size) noexcept;

  TJSONDocumentKind Kind() const noexcept { return FKind; }
  bool IsObject() const noexcept { return FKind == TJSONDocumentKind::Object; }
  bool IsArray() const noexcept { return FKind == TJSONDocumentKind::Array; }
  int32_t Count() const noexcept;

  // Objects: the first member of that name (any ASCII letter case), or nullptr.
  const TJSONValue* Find(std::string_view name) const noexcept;
  TJSONValue* Find(std::string_view name) noexcept;
  // Objects: replaces in place when the name exists, else appends.
  void Set(std::string_view name, TJSONValue value);
  // Objects: appends without looking for the name (building from pairs tests no duplicates).
  void Append(std::string name, TJSONValue value);
  // Arrays: appends an item.
  void Add(TJSONValue value);
  // Item (array) or member value (object) at index; EJSONDocumentError outside 0..count-1.
  const TJSONValue& At(int32_t index) const;

  const std::vector<TJSONMember>& Members() const noexcept { return FMembers; }
  const std::vector<TJSONValue>& Items() const noexcept { return FItems; }
  std::vector<TJSONMember>& Members() noexcept { return FMembers; }
  std::vector<TJSONValue>& Items() noexcept { return FItems; }

  // Appends the compact serialisation ({} / [] when empty; an undefined document gives null).
  // Documents nested to any depth are written (and dropped) without deep recursion.
  void WriteJSON(std::string& out) const;

 private:
  TJSONDocumentKind FKind;
  std::vector<TJSONMember> FMembers;
  std::vector<TJSONValue> FItems;
};

// ---- Creation helpers -----------------------------------------------------------------------

// Parses untrusted text. Gives a document value for an object or array, an object with no
// members for the word null (any letter case), and empty for anything else or for malformed
// input anywhere inside (never raises, never reads past the text).
TJSONValue ParseJSONDocument(std::string_view text);

// Whether text is exactly one JSON text by RFC 8259 and nothing more: double-quoted names, no
// duplicate member names (compared after escapes), lower-case true/false/null, numbers without
// NaN, Infinity or leading zeros, well-formed UTF-8, only white space around the value. Empty
// when it is; otherwise a short reason naming the 0-based byte offset where the text goes wrong
// ("duplicate member \"Success\" at byte 16", "text after the document at byte 16": the offset
// where the document ended). ParseJSONDocument stays lenient; this is for answers whose word
// must be unambiguous.
std::string StrictJSONProblem(std::string_view text);

// An object document from alternating names and values, in list order; with an odd count the
// last name is ignored. Names must be texts (EVariantTypeCastError otherwise).
TJSONValue NewObjectDocument(std::initializer_list<TJSONValue> pairs = {});
// An array document holding the values in order.
TJSONValue NewArrayDocument(std::initializer_list<TJSONValue> items = {});

// A date-time as ISO 8601 text: extended "2024-03-05T14:07:31" (19 characters) or basic
// "20240305T140731" (15 characters); fractions of a second are dropped, no zone is added.
std::string DateTimeToISO8601(TDateTime value, bool extended = true, char separator = 'T');
