// Case folding of ASCII letters only, every other byte kept as it is: names, keywords, schemes and
// header names are compared this way whatever the process locale, and the folding of a byte
// never depends on its neighbours (UTF-8 text passes through untouched).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

constexpr char LowerAscii(char c) noexcept {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
}

constexpr char UpperAscii(char c) noexcept {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - ('a' - 'A')) : c;
}

inline std::string LowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = LowerAscii(c);
  return out;
}

inline std::string UpperAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = UpperAscii(c);
  return out;
}

constexpr bool SameTextAscii(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i] != b[i] && LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  return true;
}

constexpr bool StartsWithAscii(std::string_view text, std::string_view prefix) noexcept {
  return text.size() >= prefix.size() && SameTextAscii(text.substr(0, prefix.size()), prefix);
}

// Whether what stands anywhere in text, letters in any case.
constexpr bool ContainsAscii(std::string_view text, std::string_view what) noexcept {
  if (what.size() > text.size()) return false;
  for (size_t at = 0; at + what.size() <= text.size(); ++at)
    if (SameTextAscii(text.substr(at, what.size()), what)) return true;
  return false;
}
