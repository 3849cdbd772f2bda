#include "lib/common/Utf8Text.h"

namespace {

// The length of the well-formed sequence at text[at], 0 when the byte there starts none.
size_t SequenceAt(std::string_view text, size_t at) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char c = byte(at);
  if (c < 0x80) return 1;
  size_t n = 0;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) low = 0xA0;   // no overlong form
    if (c == 0xED) high = 0x9F;  // no surrogate
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) low = 0x90;   // no overlong form
    if (c == 0xF4) high = 0x8F;  // nothing past U+10FFFF
  } else {
    return 0;
  }
  if (at + n > text.size() || byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (size_t k = 2; k < n; ++k)
    if ((byte(at + k) & 0xC0) != 0x80) return 0;
  return n;
}

}  // namespace

bool IsValidUTF8(std::string_view text) {
  for (size_t at = 0; at < text.size();) {
    const size_t n = SequenceAt(text, at);
    if (n == 0) return false;
    at += n;
  }
  return true;
}

std::string ValidUTF8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    const size_t n = SequenceAt(text, at);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      ++at;
    } else {
      out.append(text.substr(at, n));
      at += n;
    }
  }
  return out;
}
