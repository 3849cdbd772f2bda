// Archiving at the family's end: which files go, where they go, and that nothing is lost.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>

#include "tests/unit/log/LogTestSupport.h"

using namespace logtest;

namespace {

time_t LocalTime(int year, int month, int day) {
  struct tm tm {};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = 12;
  tm.tm_isdst = -1;
  return mktime(&tm);
}

class SynLogArchive : public ::testing::Test {
 protected:
  TempFolder folder;
  std::string Dir() const { return folder.Path(); }
  void Old(const std::string& name, const std::string& bytes, time_t when) {
    WriteFile(Dir() + name, bytes);
    SetFileTime(Dir() + name, when);
  }
};

TEST_F(SynLogArchive, OldLogFilesGoToTheYearMonthFolderOfTheFirst) {
  const time_t october = LocalTime(2026, 10, 15);
  const time_t september = LocalTime(2026, 9, 3);
  const time_t threeDaysAgo = std::time(nullptr) - 3 * 86400;
  const time_t yesterday = std::time(nullptr) - 86400;
  Old("a-host.log", "host log of october", october);
  Old("b-other.log", "september's", september);
  Old("c-recent.log", "three days", threeDaysAgo);
  Old("fresh.log", "new", yesterday);
  Old(".hidden.log", "hidden", october);
  Old("notes.txt", "not a log", october);
  std::filesystem::create_directory(Dir() + "folder.log");
  SetFileTime(Dir() + "folder.log", october);
  {
    TSynLogFamily family;
    ConfigureLikeModule(family, Dir());
    family.Add().Log(TSynLogInfo::sllInfo, "Starting DovraVoucherPayment");
  }
  const std::string dest = Dir() + "till/log/202610/";
  EXPECT_EQ(Decompress(dest + "a-host.log.synlz"), "host log of october");
  EXPECT_EQ(Decompress(dest + "b-other.log.synlz"), "september's");
  EXPECT_EQ(Decompress(dest + "c-recent.log.synlz"), "three days");
  for (const char* gone : {"a-host.log", "b-other.log", "c-recent.log"})
    EXPECT_FALSE(Exists(Dir() + gone)) << gone;
  for (const char* kept : {"fresh.log", ".hidden.log", "notes.txt", "folder.log"})
    EXPECT_TRUE(Exists(Dir() + kept)) << kept;
  EXPECT_TRUE(Exists(ModuleLogName(Dir()))) << "the live log was just written";
  EXPECT_FALSE(Exists(Dir() + "till/log/202609"));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dest),
                          std::filesystem::directory_iterator()),
            3);
}

TEST_F(SynLogArchive, AgeAndHandlerSettingsAreHonoured) {
  const time_t fiveDaysAgo = std::time(nullptr) - 5 * 86400;
  Old("five.log", "five days", fiveDaysAgo);
  std::vector<std::string> calls;
  {
    TSynLogFamily family;
    ConfigureLikeModule(family, Dir());
    family.ArchiveAfterDays = 7;
    family.OnArchive = [&calls](const std::string& file, const std::string& dest) {
      calls.push_back(file + "|" + dest);
      return true;
    };
  }
  EXPECT_TRUE(calls.empty()) << "five days is younger than seven";
  {
    TSynLogFamily family;
    ConfigureLikeModule(family, Dir());
    family.ArchiveAfterDays = 4;
    family.OnArchive = [&calls](const std::string& file, const std::string& dest) {
      calls.push_back(file + "|" + dest);
      return true;
    };
    family.Finish();
    family.Finish();
  }
  char month[8];
  struct tm tm {};
  localtime_r(&fiveDaysAgo, &tm);
  strftime(month, sizeof month, "%Y%m", &tm);
  const std::string dest = Dir() + "till/log/" + month + "/";
  ASSERT_EQ(calls.size(), 2u) << "one file, then the closing call without a file";
  EXPECT_EQ(calls[0], Dir() + "five.log|" + dest);
  EXPECT_EQ(calls[1], "|" + dest);
}

TEST_F(SynLogArchive, AnEarlierArchiveOfTheSameNameIsKept) {
  const time_t october = LocalTime(2026, 10, 15);
  std::filesystem::create_directories(Dir() + "till/log/202610");
  const std::string earlier = Dir() + "till/log/202610/same.log.synlz";
  WriteFile(earlier, "earlier archive");
  Old("same.log", "second life of same.log", october);
  EXPECT_TRUE(EventArchiveSynLZ(Dir() + "same.log", Dir() + "till/log/202610"));
  EXPECT_EQ(ReadFile(earlier), "earlier archive");
  EXPECT_EQ(Decompress(Dir() + "till/log/202610/same.log.1.synlz"), "second life of same.log");
  EXPECT_FALSE(Exists(Dir() + "same.log"));
}

TEST_F(SynLogArchive, HandlerRefusesMissingFilesAndKeepsSourcesItCannotArchive) {
  EXPECT_FALSE(EventArchiveSynLZ(Dir() + "missing.log", Dir() + "out/"));
  EXPECT_FALSE(EventArchiveSynLZ("", Dir() + "out/"));
  Old("kept.log", "must survive", LocalTime(2026, 10, 15));
  WriteFile(Dir() + "blocker", "a file where the folder should be");
  EXPECT_FALSE(EventArchiveSynLZ(Dir() + "kept.log", Dir() + "blocker/"));
  EXPECT_EQ(ReadFile(Dir() + "kept.log"), "must survive");
}

TEST_F(SynLogArchive, OnlyRegularFilesAreArchivedAndNoWiderThanTheirSource) {
  const mode_t umask = ::umask(0);
  auto mode = [](const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
  };
  const time_t october = LocalTime(2026, 10, 15);
  Old("open.log", "was readable by all", october);
  ::chmod((Dir() + "open.log").c_str(), 0644);
  Old("private.log", "the owner's only", october);
  ::chmod((Dir() + "private.log").c_str(), 0600);
  // A link named like an old log, itself as old as the file it points to.
  Old("secret", "someone's private file", october);
  ::chmod((Dir() + "secret").c_str(), 0600);
  ASSERT_EQ(::symlink((Dir() + "secret").c_str(), (Dir() + "evil.log").c_str()), 0);
  const timespec old[2] = {{october, 0}, {october, 0}};
  ::utimensat(AT_FDCWD, (Dir() + "evil.log").c_str(), old, AT_SYMLINK_NOFOLLOW);
  {
    TSynLogFamily family;
    ConfigureLikeModule(family, Dir());
  }
  const std::string dest = Dir() + "till/log/202610/";
  EXPECT_EQ(Decompress(dest + "open.log.synlz"), "was readable by all");
  EXPECT_EQ(mode(dest + "open.log.synlz"), 0640u);
  EXPECT_EQ(Decompress(dest + "private.log.synlz"), "the owner's only");
  EXPECT_EQ(mode(dest + "private.log.synlz"), 0600u);
  EXPECT_FALSE(Exists(dest + "evil.log.synlz"));
  // Handed a link directly, the handler refuses it too.
  EXPECT_FALSE(EventArchiveSynLZ(Dir() + "evil.log", dest));
  EXPECT_FALSE(Exists(dest + "evil.log.synlz"));
  EXPECT_TRUE(std::filesystem::is_symlink(Dir() + "evil.log"));
  EXPECT_EQ(ReadFile(Dir() + "secret"), "someone's private file");
  ::umask(umask);
}

TEST_F(SynLogArchive, UncreatableArchiveFolderStopsArchivingQuietly) {
  Old("old.log", "stays", LocalTime(2026, 10, 15));
  WriteFile(Dir() + "till", "a file where the archive folder should be");
  {
    TSynLogFamily family;
    ConfigureLikeModule(family, Dir());
  }
  EXPECT_EQ(ReadFile(Dir() + "old.log"), "stays");
}

// log/ and log/YYYYMM/ are the log's own folders: a link at either (to a folder another user
// reads) is not followed, and the old log stays where it is until the folder is set right.
TEST_F(SynLogArchive, NoArchiveGoesThroughALinkedFolder) {
  const time_t october = LocalTime(2026, 10, 15);
  for (const char* linked : {"log", "log/202610"}) {
    SCOPED_TRACE(linked);
    std::filesystem::remove_all(Dir() + "till");
    std::filesystem::remove_all(Dir() + "elsewhere");
    std::filesystem::create_directories(Dir() + "elsewhere/202610");
    std::filesystem::create_directories(Dir() + "till/log");
    if (std::string(linked) == "log") std::filesystem::remove(Dir() + "till/log");
    std::filesystem::create_symlink(
        Dir() + (std::string(linked) == "log" ? "elsewhere" : "elsewhere/202610"),
        Dir() + "till/" + linked);
    Old("a-host.log", "host log of october", october);
    {
      TSynLogFamily family;
      ConfigureLikeModule(family, Dir());
    }
    EXPECT_TRUE(Exists(Dir() + "a-host.log"));
    EXPECT_TRUE(std::filesystem::is_empty(Dir() + "elsewhere/202610"));
  }
  // Folders of its own, one of them left writable by others, take the archive; that one is
  // narrowed.
  std::filesystem::remove_all(Dir() + "till");
  std::filesystem::create_directories(Dir() + "till/log");
  ::chmod((Dir() + "till/log").c_str(), 0777);
  {
    TSynLogFamily family;
    ConfigureLikeModule(family, Dir());
  }
  EXPECT_EQ(Decompress(Dir() + "till/log/202610/a-host.log.synlz"), "host log of october");
  struct stat st {};
  ASSERT_EQ(::stat((Dir() + "till/log").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0022, 0u);
}

}  // namespace
