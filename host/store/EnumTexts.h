// An enumeration whose values a table holds as words: one list of the words, in the values'
// order, read both ways, so that the words written and the words compared never differ.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

template <typename TEnum, size_t N>
constexpr const char* EnumText(const std::array<std::string_view, N>& texts, TEnum value) {
  return texts[static_cast<size_t>(value)].data();
}

// The value the words name; none for words that are none (a row another program wrote).
template <typename TEnum, size_t N>
constexpr std::optional<TEnum> ReadEnumText(const std::array<std::string_view, N>& texts,
                                            std::string_view text) {
  for (size_t i = 0; i < N; ++i)
    if (texts[i] == text) return static_cast<TEnum>(i);
  return std::nullopt;
}
