#include "lib/json/JSONString.h"

#include "lib/common/Utf8Text.h"

namespace {

void AppendEscaped(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (const char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          out += "\\u00";
          out += kHex[c >> 4];
          out += kHex[c & 15];
        } else {
          out += ch;
        }
    }
  }
  out += '"';
}

}  // namespace

void AppendJSONString(std::string& out, std::string_view text, TJSONStringBytes bytes) {
  if (bytes == TJSONStringBytes::ValidUTF8 && !IsValidUTF8(text))
    AppendEscaped(out, ValidUTF8(text));
  else
    AppendEscaped(out, text);
}
