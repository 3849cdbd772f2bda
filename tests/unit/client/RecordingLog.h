// In-memory stand-in for the module log, for tests that check the exact lines written.
#pragma once

#include <string>
#include <vector>

struct TLoggedLine {
  std::string Format;
  std::string Arg;
  std::string Text;  // the format with its "%" filled
};

std::vector<TLoggedLine>& LoggedLines();
