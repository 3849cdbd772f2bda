// dovra-logtool's folder ordering and line conversion.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "LogFolder.h"
#include "TestFolder.h"

namespace fs = std::filesystem;

namespace {

TEST(LogFolder, OrdersRotationGroupsThenTheRest) {
  const TScratchFolder scratch("logfolder");
  const fs::path& dir = scratch.Dir();
  fs::create_directories(dir / "sub.log");
  for (const char* name :
       {"B.log", "B.1.synlz", "A.10.synlz", "B.9.synlz", "A.log", "B.2.synlz", "z.log.synlz",
        "c.log.synlz", ".hidden.log", "readme.txt", "A.1.SYNLZ"}) {
    std::ofstream(dir / name) << "x";
  }
  std::vector<std::string> names;
  for (const fs::path& p : LogTool::OrderLogFolder(dir)) names.push_back(p.filename().string());
  EXPECT_EQ(names,
            (std::vector<std::string>{"A.1.SYNLZ", "A.log", "B.9.synlz", "B.2.synlz", "B.1.synlz",
                                      "B.log", "A.10.synlz", "c.log.synlz", "z.log.synlz"}));
}

TEST(LogFolder, HeaderSeparatorsAndEntryEndsBecomeLines) {
  EXPECT_EQ(LogTool::ToLines("h1\rh2\r\re1\r\ne2\r\n"), "h1\nh2\n\ne1\ne2\n");
  EXPECT_EQ(LogTool::ToLines("cut entry"), "cut entry\n");
  EXPECT_EQ(LogTool::ToLines("a\r\n\r\nb\r"), "a\n\nb\n");
  EXPECT_EQ(LogTool::ToLines(""), "");
}

}  // namespace
