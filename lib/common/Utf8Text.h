// Text that is valid UTF-8 whatever bytes it was made from: what the till keeps in its database
// and prints, so that a service sending stray bytes cannot break a reader of either.
#pragma once

#include <string>
#include <string_view>

// text with every byte that does not belong to a well-formed UTF-8 sequence (a stray
// continuation byte, a sequence cut short, an overlong form, a surrogate, a code point past
// U+10FFFF) replaced by U+FFFD, the replacement character; valid text comes back unchanged.
std::string ValidUTF8(std::string_view text);

// True when text is valid UTF-8 as it stands.
bool IsValidUTF8(std::string_view text);
