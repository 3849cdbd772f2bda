// The module's assertion failure: an error that names what failed, the unit and the line, in the
// host's usual form "message (unit, line N)". It passes out of the module operation to the host.
#pragma once

#include <stdexcept>

class EAssertionFailed : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Raises EAssertionFailed with the text "message (unit, line line)".
[[noreturn]] void AssertionFailed(const char* message, const char* unit, int line);
