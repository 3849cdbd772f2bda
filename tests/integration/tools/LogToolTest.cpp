// dovra-logtool driven as a process: cat of a rotated log folder, verify, compress and
// decompress, exit codes.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "ChildProcess.h"
#include "SynLZFile.h"
#include "TestFolder.h"

namespace fs = std::filesystem;

namespace {

struct ToolRun {
  int code = -1;
  std::string out;
  std::string err;
};

class LogToolTest : public TTestFolder {
 protected:
  LogToolTest() : TTestFolder("logtool") {}
  void SetUp() override {
    TTestFolder::SetUp();
    fs::create_directories(dir_ / "logs");
  }
  // Runs the tool with args (each single-quoted), capturing stdout and stderr apart.
  ToolRun Tool(const std::vector<std::string>& args) {
    std::string cmd = "'" DOVRA_LOGTOOL_PATH "'";
    for (const std::string& a : args) cmd += " '" + a + "'";
    cmd += " >'" + Path("stdout") + "' 2>'" + Path("stderr") + "'";
    TChildProcess shell;
    std::string error, printed;
    ToolRun r;
    if (!shell.Start("/bin/sh", {"-c", cmd}, {}, error)) {
      r.err = error;
      return r;
    }
    r.code = shell.ReadAllAndWait(printed, kChildWaitMs);
    r.out = Read(Path("stdout"));
    r.err = Read(Path("stderr")) + printed;
    return r;
  }
  // An archive made from entries as the logger would have rotated it.
  void Archive(const std::string& name, const std::string& text) {
    Write(Path("src.tmp"), text);
    ASSERT_TRUE(SynLZCompressFile(Path("src.tmp"), Path("logs/" + name)));
    fs::remove(Path("src.tmp"));
  }

  static std::string Entry(const std::string& text) {
    return "20261209 10300000 info  " + text + "\r\n";
  }
};

TEST_F(LogToolTest, CatOfAFolderPrintsEveryEntryOldestFirst) {
  const std::string header = "/opt/sarn/till 1.0.0.1 (2026-12-01 10:00:00)\rHost=till1\r\r";
  Archive("DovraVoucherPayment.3.synlz", header + Entry("first") + Entry("second"));
  Archive("DovraVoucherPayment.2.synlz", Entry("third"));
  // Several chunks in one archive read as one.
  Write(Path("src.tmp"), Entry("fourth") + Entry("fifth"));
  ASSERT_TRUE(SynLZCompressFile(Path("src.tmp"), Path("logs/DovraVoucherPayment.1.synlz"),
                                kSynLZMagic, 20));
  Write(Path("logs/DovraVoucherPayment.log"), Entry("sixth") + Entry("seventh"));
  Archive("Older.log.synlz", Entry("eighth"));
  Write(Path("logs/notes.txt"), "not a log");
  fs::create_directories(dir_ / "logs" / "log");

  const ToolRun r = Tool({"cat", Path("logs")});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const std::string expected =
      "/opt/sarn/till 1.0.0.1 (2026-12-01 10:00:00)\nHost=till1\n\n" +
      std::string("20261209 10300000 info  first\n20261209 10300000 info  second\n") +
      "20261209 10300000 info  third\n20261209 10300000 info  fourth\n" +
      "20261209 10300000 info  fifth\n20261209 10300000 info  sixth\n" +
      "20261209 10300000 info  seventh\n20261209 10300000 info  eighth\n";
  EXPECT_EQ(r.out, expected);

  // Files named one by one are printed in the order given.
  const ToolRun single =
      Tool({"cat", Path("logs/DovraVoucherPayment.log"), Path("logs/DovraVoucherPayment.2.synlz")});
  EXPECT_EQ(single.code, 0);
  EXPECT_EQ(single.out,
            "20261209 10300000 info  sixth\n20261209 10300000 info  seventh\n"
            "20261209 10300000 info  third\n");
}

TEST_F(LogToolTest, CatReportsACorruptArchiveAndStillPrintsTheRest) {
  Archive("A.1.synlz", Entry("archived"));
  Write(Path("logs/A.log"), Entry("live"));
  std::string bytes = Read(Path("logs/A.1.synlz"));
  bytes[bytes.size() - 2] ^= 0x20;
  Write(Path("logs/A.1.synlz"), bytes);
  const ToolRun r = Tool({"cat", Path("logs")});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.out, "20261209 10300000 info  live\n");
  EXPECT_NE(r.err.find("A.1.synlz"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("chunk 1"), std::string::npos) << r.err;
}

TEST_F(LogToolTest, VerifyStopsAtTheFirstCorruptFile) {
  Archive("good.synlz", Entry("a") + Entry("b"));
  Archive("bad.synlz", Entry("c") + Entry("d") + Entry("e"));
  Archive("later.synlz", Entry("f"));
  const ToolRun ok = Tool({"verify", Path("logs/good.synlz"), Path("logs/bad.synlz")});
  EXPECT_EQ(ok.code, 0) << ok.err;

  std::string bytes = Read(Path("logs/bad.synlz"));
  bytes[25] ^= 0x01;  // inside chunk 1's compressed data
  Write(Path("logs/bad.synlz"), bytes);
  const ToolRun r =
      Tool({"verify", Path("logs/good.synlz"), Path("logs/bad.synlz"), Path("logs/later.synlz")});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("bad.synlz"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("chunk 1 at offset 0"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("compressed hash"), std::string::npos) << r.err;
  EXPECT_EQ(r.out.find("later.synlz"), std::string::npos) << "went on after the corrupt file";
}

TEST_F(LogToolTest, CompressAndDecompressRoundTrip) {
  std::string text;
  for (int i = 0; i < 2000; ++i)
    text += Entry("[TDovraVoucherAPI.Evaluate] Request : " + std::to_string(i * 7919));
  Write(Path("in.log"), text);
  ToolRun r = Tool({"compress", Path("in.log"), Path("in.synlz")});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_LT(fs::file_size(Path("in.synlz")), text.size() / 2);
  r = Tool({"decompress", Path("in.synlz"), Path("back.log")});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(Read(Path("back.log")), text);

  r = Tool({"compress", Path("missing.log"), Path("x.synlz")});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("missing.log"), std::string::npos) << r.err;
  r = Tool({"decompress", Path("in.log"), Path("y.log")});  // not an archive
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("magic"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(Path("y.log")));
}

TEST_F(LogToolTest, HelpAndUsageErrors) {
  ToolRun r = Tool({"--help"});
  EXPECT_EQ(r.code, 0);
  for (const char* sub : {"cat", "compress", "decompress", "verify"}) {
    EXPECT_NE(r.out.find(sub), std::string::npos) << sub;
    const ToolRun h = Tool({sub, "--help"});
    EXPECT_EQ(h.code, 0) << sub;
    EXPECT_NE(h.out.find("Usage"), std::string::npos) << sub;
  }
  EXPECT_EQ(Tool({}).code, 2);
  EXPECT_EQ(Tool({"unpack"}).code, 2);
  EXPECT_EQ(Tool({"compress", "only-one"}).code, 2);
  EXPECT_EQ(Tool({"verify"}).code, 2);
  EXPECT_EQ(Tool({"cat", Path("nowhere.log")}).code, 1);
}

}  // namespace
