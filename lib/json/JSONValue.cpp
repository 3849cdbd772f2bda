// The values: their payloads, the late-bound document operations (member read and write,
// _Count, _, Add), the conversions with their error messages, and the errors themselves.
#include "lib/json/clsJSONDocument.h"

#include <limits>

#include "lib/common/AsciiCase.h"
#include "lib/json/JSONNumbers.h"

using JSONInternal::MoneyToWhole;
using JSONInternal::ReadDouble;
using JSONInternal::ReadInt64;
using JSONInternal::RoundToInt64;

namespace {

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

std::string_view TrimSpaces(std::string_view s) noexcept {
  while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ') s.remove_prefix(1);
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') s.remove_suffix(1);
  return s;
}

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
