// Whether a text holds a part anywhere: how tests look for a line in output, a log or a message.
#pragma once

#include <string_view>

inline bool Contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}
