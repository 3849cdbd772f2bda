// Arbitrary bytes into the JSON parser: it must never crash or read out of bounds, and whatever
// parses must write, parse again and write again to the very same text.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "lib/json/clsJSONDocument.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const TJSONValue first = ParseJSONDocument(text);
  if (first.IsEmpty()) return 0;
  if (!first.IsDocument()) std::abort();
  const std::string once = first.ToJSON();
  const TJSONValue second = ParseJSONDocument(once);
  if (!second.IsDocument()) {
    std::fprintf(stderr, "written text does not parse: %s\n", once.c_str());
    std::abort();
  }
  const std::string twice = second.ToJSON();
  if (twice != once) {
    std::fprintf(stderr, "not stable:\n%s\n%s\n", once.c_str(), twice.c_str());
    std::abort();
  }
  // The conversions of whatever was read may raise only the documented errors.
  const TJSONDocument* doc = first.Document();
  for (int32_t i = 0; i < doc->Count() && i < 8; ++i) {
    const TJSONValue& v = doc->At(i);
    try {
      (void)v.ToText();
      (void)v.ToFloat();
      (void)v.ToInteger();
      (void)v.ToBoolean();
    } catch (const EJSONError&) {
    }
  }
  return 0;
}
