// How the sandbox reads the members of the documents it takes (requests, its book and its state):
// a member that is absent or null counts as not given, and numbers are of the parser's kinds.
#pragma once

#include <cstdint>

#include "lib/json/clsJSONDocument.h"

inline const TJSONValue* Member(const TJSONValue& object, const char* name) {
  const TJSONValue* v = object.Find(name);
  return (v && !v->IsNull() && !v->IsEmpty()) ? v : nullptr;
}

inline const TJSONValue* TextMember(const TJSONValue& object, const char* name) {
  const TJSONValue* v = Member(object, name);
  return (v && v->Kind() == TJSONKind::Text) ? v : nullptr;
}

inline bool IsInteger(const TJSONValue& v) {
  return v.Kind() == TJSONKind::Integer || v.Kind() == TJSONKind::LargeInteger;
}

inline bool IsNumber(const TJSONValue& v) {
  switch (v.Kind()) {
    case TJSONKind::Integer:
    case TJSONKind::LargeInteger:
    case TJSONKind::Money:
    case TJSONKind::Float:
      return true;
    default:
      return false;
  }
}

inline int64_t IntegerOf(const TJSONValue& v) {
  return v.Kind() == TJSONKind::Integer ? v.AsInteger() : v.AsInt64();
}
