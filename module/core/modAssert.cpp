#include "module/core/modAssert.h"

#include <string>

void AssertionFailed(const char* message, const char* unit, int line) {
  throw EAssertionFailed(std::string(message) + " (" + unit + ", line " + std::to_string(line) +
                         ")");
}
