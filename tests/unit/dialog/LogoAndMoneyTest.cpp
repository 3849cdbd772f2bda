// The logo built into the module decodes as the picture the dialog lays out for, and money text
// follows the user's locale without touching the process's own.
#include <gtest/gtest.h>
#include <locale.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "module/dialog/DovraLogo.h"
#include "module/dialog/MoneyText.h"
#include "tests/support/DialogTestSupport.h"
#include "tests/support/TestFolder.h"

namespace {

TEST(DovraLogo, DecodesAsBaselineRgb170x72) {
  const std::span<const uint8_t> jpeg = DovraLogoJpeg();
  const TDecodedJpeg logo = DecodeJpeg(jpeg);
  EXPECT_EQ(logo.Width, 170);
  EXPECT_EQ(logo.Height, 72);
  EXPECT_EQ(logo.Components, 3);
  EXPECT_FALSE(logo.Progressive);
  ASSERT_EQ(logo.Pixels.size(), 170u * 72u * 3u);
  // Baseline means a SOF0 frame header (FF C0).
  const uint8_t sof0[] = {0xFF, 0xC0};
  EXPECT_NE(std::search(jpeg.begin(), jpeg.end(), std::begin(sof0), std::end(sof0)), jpeg.end());
  // A picture, not a blank: white corner, dark ink somewhere.
  EXPECT_GT(logo.Pixels[0], 240);
  EXPECT_LT(*std::min_element(logo.Pixels.begin(), logo.Pixels.end()), 60);
}

TEST(DovraLogo, BadDataIsAnErrorNamingTheSize) {
  const uint8_t garbage[] = {'n', 'o', 't', ' ', 'a', ' ', 'j', 'p', 'e', 'g'};
  try {
    DecodeJpeg(garbage);
    FAIL() << "garbage must not decode";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("(10 bytes)"), std::string::npos) << e.what();
  }
  EXPECT_THROW(DecodeJpeg({}), std::runtime_error);
  // A header cut short fails cleanly too.
  const std::span<const uint8_t> jpeg = DovraLogoJpeg();
  EXPECT_THROW(DecodeJpeg(jpeg.first(100)), std::runtime_error);
}

// Builds a locale from the system's locale sources into a private folder; empty when this
// machine cannot (then the test is skipped, not passed).
std::string CompileLocale(const std::string& folder, const std::string& name,
                          const std::string& source) {
  const std::string command =
      "localedef -i " + source + " -f UTF-8 " + folder + "/" + name + " >/dev/null 2>&1";
  return std::system(command.c_str()) == 0 ? name : std::string();
}

class MoneyText : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Scratch = std::make_unique<TScratchFolder>("dovra-money");
    Folder = Scratch->Dir().string();
    German = CompileLocale(Folder, "de_DE.UTF-8", "de_DE");
    American = CompileLocale(Folder, "en_US.UTF-8", "en_US");
  }
  static void TearDownTestSuite() { Scratch.reset(); }

  static inline std::unique_ptr<TScratchFolder> Scratch;
  static inline std::string Folder, German, American;
  TScopedEnv FPath{"LOCPATH", Folder.c_str()};
  TScopedEnv FMonetary{"LC_MONETARY", nullptr};
  TScopedEnv FLang{"LANG", nullptr};
};

TEST_F(MoneyText, FollowsTheUsersLocaleConventions) {
  if (German.empty() || American.empty()) GTEST_SKIP() << "localedef cannot build locales here";
  const std::string processLocale = setlocale(LC_ALL, nullptr);
  {
    TScopedEnv all("LC_ALL", German.c_str());
    EXPECT_EQ(FormatMoney(12.5), "12,50 \u20AC");
    EXPECT_EQ(FormatMoney(-1234567.5), "-1.234.567,50 \u20AC");
    EXPECT_EQ(FormatMoney(0), "0,00 \u20AC");
  }
  {
    TScopedEnv all("LC_ALL", American.c_str());
    EXPECT_EQ(FormatMoney(12.345), "$12.35");
    EXPECT_EQ(FormatMoney(-1234567.5), "-$1,234,567.50");
  }
  // The process's own locale is left alone.
  EXPECT_EQ(setlocale(LC_ALL, nullptr), processLocale);
}

TEST_F(MoneyText, UnknownOrNeutralLocaleFallsBackToPlainDecimals) {
  TScopedEnv all("LC_ALL", "xx_NOWHERE.UTF-8");
  EXPECT_EQ(FormatMoney(12.5), "12.50");
  TScopedEnv c("LC_ALL", "C");
  EXPECT_EQ(FormatMoney(-3), "-3.00");
}

}  // namespace

// glibc's newlocale keeps the split LOCPATH list it builds for every call that has LOCPATH set;
// only these tests set it, so the leak checker is told to look past that one allocation site.
extern "C" const char* __lsan_default_suppressions() { return "leak:argz_add_sep\n"; }
