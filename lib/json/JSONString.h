// One text as a JSON string, for the writers that build a line by hand around the documents (the
// SQL trace and the rows a query hands the module, the till's --json output). Every byte sequence
// makes a string a JSON reader takes: '"' and '\' escaped, \b \f \n \r \t in their short forms,
// every other byte below 32 and DEL as \u00XX (a NUL included: it does not end the text), every
// other byte as it stands.
#pragma once

#include <string>
#include <string_view>

enum class TJSONStringBytes {
  AsTheyStand,  // bytes that are not UTF-8 pass through: what a caller compares or sends back
  ValidUTF8,    // a sequence that is not well-formed UTF-8 becomes U+FFFD (output for people)
};

// Appends text, in double quotes, to out.
void AppendJSONString(std::string& out, std::string_view text,
                      TJSONStringBytes bytes = TJSONStringBytes::AsTheyStand);
