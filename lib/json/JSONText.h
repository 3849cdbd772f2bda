// Inside the JSON library only: names compared the way the documents look them up (ASCII letters
// in any case, every other byte as it is).
#pragma once

#include <cstddef>
#include <string_view>

namespace JSONInternal {

inline char LowerAscii(char c) noexcept {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
}

inline bool SameTextAscii(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i] && LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

}  // namespace JSONInternal
