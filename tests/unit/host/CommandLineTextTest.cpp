// What sarn-till makes of what a person types and of what its REST client says: durations with
// their units, and a failure's reason brought onto one line of the screen.
#include <gtest/gtest.h>

#include <string>

#include "host/cli/cliCommon.h"

namespace {

TEST(CommandLineText, ReadsDurationsWithTheirUnits) {
  const struct {
    const char* Text;
    long long PlainUnitMs;
    TDurationReading Reading;
    long long Ms;
  } cases[] = {
      {"300", 1000, TDurationReading::Read, 300000},
      {"90s", 1000, TDurationReading::Read, 90000},
      {"5m", 1000, TDurationReading::Read, 300000},
      {"5min", 1000, TDurationReading::Read, 300000},
      {"2h", 1000, TDurationReading::Read, 7200000},
      {"1d", 1000, TDurationReading::Read, 86400000},
      {"2000ms", 1000, TDurationReading::Read, 2000},
      {"1500ms", 1000, TDurationReading::NotWhole, 0},
      {"20000", 1, TDurationReading::Read, 20000},
      {"20s", 1, TDurationReading::Read, 20000},
      {"-5", 1, TDurationReading::Read, -5},
      {"5x", 1000, TDurationReading::NotADuration, 0},
      {"5 m", 1000, TDurationReading::NotADuration, 0},
      {"m", 1000, TDurationReading::NotADuration, 0},
      {"", 1000, TDurationReading::NotADuration, 0},
      {"1e3", 1, TDurationReading::NotADuration, 0},
      {"99999999999999999999", 1, TDurationReading::TooLarge, 0},
      {"9223372036854775807d", 1000, TDurationReading::TooLarge, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Text);
    long long ms = 0;
    EXPECT_EQ(ReadDuration(c.Text, c.PlainUnitMs, ms), c.Reading);
    if (c.Reading == TDurationReading::Read) {
      EXPECT_EQ(ms, c.Ms);
    }
  }
}

TEST(CommandLineText, BringsAFailureOntoOneLine) {
  const std::string page(400, 'x');
  const std::string accents = std::string(299, 'a') + "\xC3\xA9\xC3\xA9";  // é é after 299 bytes
  const struct {
    std::string Reason, Line;
  } cases[] = {
      {"Couldn't connect to server (POST https://127.0.0.1:1/API/RedeemVoucher)",
       "Couldn't connect to server (POST https://127.0.0.1:1/API/RedeemVoucher)"},
      {"HTTP 502: <html>\r\n<body>\n\t<h1>Bad Gateway</h1>\n</body>\r\n</html>\r\n",
       "HTTP 502: <html> <body> <h1>Bad Gateway</h1> </body> </html>"},
      {"HTTP 500: " + page, "HTTP 500: " + page.substr(0, 290) + "..."},
      // Cut between characters: the first é stays whole, the second goes.
      {accents, std::string(299, 'a') + "\xC3\xA9..."},
      {"  \n", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Reason.substr(0, 40));
    EXPECT_EQ(ServiceFailureLine(c.Reason), c.Line);
  }
}

}  // namespace
