// What several programs read, fold, stamp and take apart the same way.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

#include "lib/common/AsciiCase.h"
#include "lib/common/CalendarDate.h"
#include "lib/common/FileText.h"
#include "lib/common/LocalTime.h"
#include "lib/common/OwnedFile.h"
#include "lib/common/PathParts.h"
#include "lib/common/Utf8Text.h"
#include "tests/support/TestFolder.h"

namespace {

class FileText : public TTestFolder {
 protected:
  FileText() : TTestFolder("common-file") {}
};

TEST_F(FileText, ReadsEveryByteOrSaysWhichFileAndWhy) {
  // Past one read's buffer, with NUL and non-ASCII bytes, so that nothing stops at a byte.
  std::string bytes(200000, 'x');
  bytes[1] = '\0';
  bytes[65536] = '\xff';
  Write(Path("whole.bin"), bytes);
  Write(Path("empty.txt"), "");
  const struct {
    std::string path;
    std::optional<std::string> text;  // none: the read fails with error
    std::string error;
  } cases[] = {
      {Path("whole.bin"), bytes, ""},
      {Path("empty.txt"), "", ""},
      {Path("missing.json"), std::nullopt,
       "cannot read order document " + Path("missing.json") + ": there is no such file"},
      {Path("."), std::nullopt, "cannot read order document " + Path(".") + ": Is a directory"},
  };
  for (const auto& c : cases) {
    std::string text = "left over", error;
    const bool read = ReadWholeFile(c.path, text, error, "order document");
    EXPECT_EQ(read, c.text.has_value()) << c.path;
    EXPECT_EQ(text, c.text.value_or("")) << c.path;
    EXPECT_EQ(error, c.error) << c.path;
  }
}

TEST(PathParts, FolderKeepsItsSeparatorNameIsWhatFollows) {
  const struct {
    const char* path;
    const char* folder;
    const char* name;
    const char* withoutExtension;
  } cases[] = {
      {"/opt/till/DovraVoucherPayment.smd", "/opt/till/", "DovraVoucherPayment.smd",
       "/opt/till/DovraVoucherPayment"},
      {"sarn-till", "./", "sarn-till", "sarn-till"},
      {"/sarn-till", "/", "sarn-till", "/sarn-till"},
      {"logs/", "logs/", "", "logs/"},
      {"v1.2/till", "v1.2/", "till", "v1.2/till"},
      {"a/b.tar.gz", "a/", "b.tar.gz", "a/b.tar"},
      {"", "./", "", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FolderOf(c.path), c.folder) << c.path;
    EXPECT_EQ(NameOf(c.path), c.name) << c.path;
    EXPECT_EQ(WithoutExtension(c.path), c.withoutExtension) << c.path;
  }
  EXPECT_EQ(WithSeparator("logs"), "logs/");
  EXPECT_EQ(WithSeparator("logs/"), "logs/");
  EXPECT_EQ(WithSeparator(""), "");
}

TEST(LocalTime, WritesTheFormatDigitByDigit) {
  TLocalTime when;
  when.Year = 2026, when.Month = 3, when.Day = 4;
  when.Hour = 5, when.Minute = 6, when.Second = 7, when.Millisecond = 8;
  const struct {
    const char* format;
    const char* text;
  } cases[] = {
      {"%Y/%m/%d %H:%M:%S", "2026/03/04 05:06:07"},
      {"%Y-%m-%d %H:%M:%S.%L", "2026-03-04 05:06:07.008"},
      {"%Y%m", "202603"},
      {"100%% at %H", "100% at 05"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatLocalTime(c.format, when), c.text) << c.format;
  for (const char* unknown : {"%Y-%j", "%Y%"}) {
    try {
      FormatLocalTime(unknown, when);
      ADD_FAILURE() << unknown << " was taken";
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(unknown), std::string::npos) << e.what();
    }
  }
}

TEST(LocalTime, SplitsTheMomentInTheZoneInForce) {
  const char* saved = std::getenv("TZ");
  const std::string before = saved ? saved : "";
  // Two and a half hours east of UTC, no summer time: the epoch is 02:30 on its first day.
  setenv("TZ", "XYZ-02:30", 1);
  tzset();
  const TLocalTime when = LocalTimeAt(0, 123456789);
  if (saved)
    setenv("TZ", before.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
  EXPECT_EQ(FormatLocalTime("%Y-%m-%d %H:%M:%S.%L", when), "1970-01-01 02:30:00.123");
  EXPECT_EQ(when.UtcOffset, 9000);
}

TEST(AsciiCase, FoldsAsciiLettersOnly) {
  // UTF-8 letters and bytes above 127 stay as they are, whatever the locale would do.
  EXPECT_EQ(LowerAscii("HTTPS://Ünïcode\xff"), "https://Ünïcode\xff");
  EXPECT_EQ(UpperAscii("pgpassword_ß@z"), "PGPASSWORD_ß@Z");
  const struct {
    const char* text;
    const char* other;
    bool same, startsWith, contains;
  } cases[] = {
      {"Content-Type", "content-TYPE", true, true, true},
      {"HTTPS://host", "https://", false, true, true},
      {"if object_id('t') is null", "OBJECT_ID", false, false, true},
      {"ab", "abc", false, false, false},
      {"[Ä]", "[ä]", false, false, false},
      {"x", "", false, true, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SameTextAscii(c.text, c.other), c.same) << c.text << " / " << c.other;
    EXPECT_EQ(StartsWithAscii(c.text, c.other), c.startsWith) << c.text << " / " << c.other;
    EXPECT_EQ(ContainsAscii(c.text, c.other), c.contains) << c.text << " / " << c.other;
  }
}

TEST(Utf8Text, ReplacesEveryByteOfNoWellFormedSequence) {
  const std::string r = "\xEF\xBF\xBD";
  const struct {
    std::string In;
    std::string Out;
  } cases[] = {
      {"plain", "plain"},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
      {"DVR-\xFF\xFE-1", "DVR-" + r + r + "-1"},
      {"stray \x80", "stray " + r},
      {"cut \xE2\x82", "cut " + r + r},
      {"overlong \xC0\xAF \xE0\x80\xAF", "overlong " + r + r + " " + r + r + r},
      {"surrogate \xED\xA0\x80", "surrogate " + r + r + r},
      {"past U+10FFFF \xF4\x90\x80\x80", "past U+10FFFF " + r + r + r + r},
      {std::string("nul \0 stays", 11), std::string("nul \0 stays", 11)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ValidUTF8(c.In), c.Out) << c.In;
    EXPECT_EQ(IsValidUTF8(c.In), c.In == c.Out) << c.In;
    EXPECT_TRUE(IsValidUTF8(ValidUTF8(c.In))) << c.In;
  }
}

class OwnedFile : public TTestFolder {
 protected:
  OwnedFile() : TTestFolder("common-owned") {}
};

// What stands at a name a program writes: only a regular file of its own with one name is
// taken, and narrowed to the mode asked; links are never followed on the way below a folder.
TEST_F(OwnedFile, TakesOnlyARegularFileOfItsOwnWithOneName) {
  Write(Path("target"), "x");
  std::filesystem::create_symlink(Path("target"), Path("link"));
  std::filesystem::create_hard_link(Path("target"), Path("second"));
  ASSERT_EQ(::mkfifo(Path("fifo").c_str(), 0600), 0);
  Write(Path("loose"), "");
  ::chmod(Path("loose").c_str(), 0666);
  const struct {
    const char* Name;
    int Flags;
    std::string Says;  // empty: taken
  } cases[] = {
      {"link", O_WRONLY, "is a symbolic link"},
      {"second", O_WRONLY, "has 2 names (a hard link)"},
      {"fifo", O_WRONLY, "is not a regular file"},
      {"loose", O_WRONLY, ""},
      {"new", O_WRONLY | O_CREAT, ""},
      {"missing", O_WRONLY, "no such file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    std::string error;
    const TFileHandle fd = OpenOwnFile(AT_FDCWD, Path(c.Name), c.Flags, 0640, error);
    EXPECT_EQ(static_cast<bool>(fd), c.Says.empty()) << error;
    if (!c.Says.empty()) {
      EXPECT_NE(error.find(c.Says), std::string::npos) << error;
    }
    struct stat st {};
    if (fd) {
      ASSERT_EQ(::fstat(fd.Get(), &st), 0);
      EXPECT_EQ(st.st_mode & 0777 & ~0640u, 0u) << "narrowed to at most 0640";
    }
  }
  std::filesystem::create_directories(Path("a/b"));
  Write(Path("a/b/f"), "below");
  std::filesystem::create_symlink(Path("a/b"), Path("a/linked"));
  const TFileHandle root(::open(dir_.c_str(), O_RDONLY | O_DIRECTORY));
  std::string error;
  EXPECT_TRUE(OpenBelow(root.Get(), "a/b/f", O_RDONLY, "a/b/f", error)) << error;
  EXPECT_FALSE(OpenBelow(root.Get(), "a/linked/f", O_RDONLY, "a/linked/f", error));
  EXPECT_NE(error.find("'a/linked' is a symbolic link"), std::string::npos) << error;
  EXPECT_FALSE(OpenBelow(root.Get(), "a/../a/b/f", O_RDONLY, "a/../a/b/f", error));
  EXPECT_EQ(Read(Path("target")), "x");
}

// Leap years every fourth, but not every hundredth unless every four hundredth; the days
// counted from the epoch both ways.
TEST(CalendarDate, KnowsTheDaysOfTheCalendar) {
  struct TCase {
    int64_t Year;
    int Month, Day;
    bool IsDay;
  };
  const TCase cases[] = {{2024, 2, 29, true},  {2023, 2, 29, false}, {1900, 2, 29, false},
                         {2000, 2, 29, true},  {2026, 4, 31, false}, {2026, 12, 31, true},
                         {2026, 13, 1, false}, {2026, 0, 1, false},  {2026, 1, 0, false},
                         {0, 1, 1, false},     {1, 1, 1, true}};
  for (const TCase& c : cases)
    EXPECT_EQ(IsCalendarDay(c.Year, c.Month, c.Day), c.IsDay)
        << c.Year << "-" << c.Month << "-" << c.Day;
  EXPECT_EQ(DaysFromCivil(1970, 1, 1), 0);
  EXPECT_EQ(DaysFromCivil(2000, 3, 1), 11017);
  EXPECT_EQ(DaysFromCivil(1899, 12, 30), -25569);
  EXPECT_EQ(DaysFromCivil(2024, 3, 1) - DaysFromCivil(2024, 2, 28), 2);
}

}  // namespace
