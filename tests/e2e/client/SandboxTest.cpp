// dovra-sandbox as support and test authors rely on it: one service per port and per data
// folder, a certificate that is good for loopback only, a record and a state that name the time
// and the redemption without the partner's credentials, and a listing of the book.
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <regex>

#include "lib/json/clsJSONDocument.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Contains.h"
#include "tests/support/SandboxProcess.h"
#include "tests/support/TestFolder.h"

namespace fs = std::filesystem;

namespace {

class SandboxTest : public TTestFolder {
 protected:
  SandboxTest() : TTestFolder("dovra-sandbox-test") {}

  // A sandbox that is expected not to start: its exit code and what it printed.
  int StartFails(const std::vector<std::string>& args, std::string& output) {
    TChildProcess child;
    child.MergeErrors = true;
    std::string error;
    if (!child.Start(DOVRA_SANDBOX_PROGRAM, args, {}, error)) {
      ADD_FAILURE() << error;
      return -1;
    }
    return child.ReadAllAndWait(output, 15000);
  }

  int Run(const std::string& program, const std::vector<std::string>& args,
          const std::vector<std::string>& env, std::string& output) {
    TChildProcess child;
    std::string error;
    if (!child.Start(program, args, env, error)) {
      ADD_FAILURE() << error;
      return -1;
    }
    return child.ReadAllAndWait(output, 30000);
  }

  // A voucher call through the till: redeem the example check, or reverse a reference.
  int Till(const TSandboxProcess& sandbox, const std::vector<std::string>& command,
           std::string& output) {
    std::vector<std::string> args{"--ca-file", sandbox.CertFile()};
    args.insert(args.end(), command.begin(), command.end());
    return Run(SARN_TILL_PROGRAM, args,
               {"DOVRA_BASE_URL=" + sandbox.URL, "QT_QPA_PLATFORM=offscreen"}, output);
  }
};

TEST_F(SandboxTest, APortOrADataFolderInUseIsRefused) {
  TSandboxProcess first;
  const std::string port = std::regex_replace(first.URL, std::regex(".*:(\\d+)/$"), "$1");
  std::string output;
  EXPECT_EQ(StartFails({"--port", port, "--data", Path("other")}, output), 1) << output;
  EXPECT_TRUE(Contains(output, "cannot listen on 127.0.0.1:" + port)) << output;

  EXPECT_EQ(StartFails({"--port", "0", "--data", first.Dir().string()}, output), 1) << output;
  EXPECT_TRUE(Contains(output, "is in use by another dovra-sandbox (process ")) << output;

  std::filesystem::create_directories(Path("shared"));
  ::chmod(Path("shared").c_str(), 0777);
  EXPECT_EQ(StartFails({"--port", "0", "--data", Path("shared")}, output), 1) << output;
  EXPECT_TRUE(Contains(output, "is writable by other users (mode 0777)")) << output;
}

TEST_F(SandboxTest, ItsCertificateIsALeafForLoopbackOnlyAndAnyOtherPairIsReplaced) {
  // What may lie in a data folder: garbage, or a CA that could vouch for any name.
  std::filesystem::create_directories(Path("garbage"));
  Write(Path("garbage/cert.pem"), "not a certificate");
  Write(Path("garbage/key.pem"), "not a key");
  std::filesystem::create_directories(Path("ca"));
  const std::string makeCA =
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30 -subj "
      "/CN=localhost -addext basicConstraints=critical,CA:TRUE -addext "
      "subjectAltName=DNS:localhost,IP:127.0.0.1 -keyout " +
      Path("ca/key.pem") + " -out " + Path("ca/cert.pem") + " 2>/dev/null";
  ASSERT_EQ(std::system(makeCA.c_str()), 0);

  for (const char* folder : {"fresh", "garbage", "ca"}) {
    SCOPED_TRACE(folder);
    const std::string dir = Path(folder);
    {
      TChildProcess sandbox;
      std::string error, line;
      ASSERT_TRUE(sandbox.Start(DOVRA_SANDBOX_PROGRAM, {"--port", "0", "--data", dir}, {}, error));
      ASSERT_TRUE(sandbox.ReadLine(line, 15000));
    }
    std::unique_ptr<FILE, int (*)(FILE*)> in(std::fopen((dir + "/cert.pem").c_str(), "rb"),
                                             &std::fclose);
    ASSERT_TRUE(in);
    std::unique_ptr<X509, void (*)(X509*)> cert(PEM_read_X509(in.get(), nullptr, nullptr, nullptr),
                                                &X509_free);
    ASSERT_TRUE(cert);
    EXPECT_EQ(X509_check_ca(cert.get()), 0);
    EXPECT_EQ(X509_check_host(cert.get(), "localhost", 0, 0, nullptr), 1);
    EXPECT_EQ(X509_check_ip_asc(cert.get(), "127.0.0.1", 0), 1);
    EXPECT_NE(X509_check_host(cert.get(), "vouchers.example.net", 0, 0, nullptr), 1);
  }
}

TEST_F(SandboxTest, RecordStateAndBookNameTimeAndReferenceButNoCredentials) {
  TSandboxProcess sandbox;
  std::string output;
  Write(Path("redeem.json"), Read(DOVRA_SOURCE_DIR "/examples/check.json"));
  ASSERT_EQ(Till(sandbox, {"voucher", "redeem", "--request", Path("redeem.json")}, output), 0)
      << output;
  // A give-back is recorded in the till's database, so the till needs one of its own.
  const std::string db = Path("till.db");
  ASSERT_EQ(Till(sandbox, {"--db", db, "upgrade"}, output), 0) << output;
  ASSERT_EQ(
      Till(sandbox, {"--db", db, "voucher", "reverse", "--reference", "DVR-00000001"}, output), 0)
      << output;

  struct stat info {};
  ASSERT_EQ(::stat(sandbox.RecordFile().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  const std::regex utc("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z");
  const std::vector<std::string> lines = sandbox.RecordLines();
  ASSERT_EQ(lines.size(), 2u);
  for (const std::string& line : lines) {
    const TJSONValue record = ParseJSONDocument(line);
    EXPECT_EQ(record.Get("Authorization").ToText(), "Basic ***");
    EXPECT_TRUE(std::regex_match(record.Get("Time").ToText(), utc)) << line;
    EXPECT_EQ(record.Get("Reference").ToText(), "DVR-00000001") << line;
  }

  const TJSONValue state = ParseJSONDocument(Read((sandbox.Dir() / "state.json").string()));
  EXPECT_TRUE(std::regex_match(state.Get("Redemptions")._(0).Get("Time").ToText(), utc));

  ASSERT_EQ(Run(DOVRA_SANDBOX_PROGRAM, {"book", "--data", sandbox.Dir().string()}, {}, output), 0);
  EXPECT_TRUE(std::regex_search(
      output, std::regex("\\n  DVR-00000001 +WELCOME10 +10  \\d{4}-[^ ]+Z +reversed\\n")))
      << output;
  EXPECT_TRUE(std::regex_search(output, std::regex("\\n  WELCOME10 +available +0 redemption")))
      << output;
  EXPECT_TRUE(Contains(
      output,
      "book: " +
          (fs::path(DOVRA_SANDBOX_PROGRAM).parent_path() / "vouchers.example.json").string() +
          "\n"))
      << output;

  ASSERT_EQ(
      Run(DOVRA_SANDBOX_PROGRAM, {"book", "--data", sandbox.Dir().string(), "--json"}, {}, output),
      0);
  const TJSONValue book = ParseJSONDocument(output);
  EXPECT_EQ(book.Get("Redemptions")._(0).Get("Reference").ToText(), "DVR-00000001");
  EXPECT_TRUE(book.Get("Redemptions")._(0).Get("Reversed").ToBoolean());
  EXPECT_EQ(Run(DOVRA_SANDBOX_PROGRAM, {"book", "--data", Path("nowhere")}, {}, output), 1);
}

// The example book travels with the program, wherever it is put: beside it, or under the prefix
// it is installed in; the program never looks into the source tree it was built from.
TEST_F(SandboxTest, BookFindsTheExampleBookBesideTheProgramOrUnderItsPrefix) {
  std::string output;
  ASSERT_EQ(Run(DOVRA_SANDBOX_PROGRAM, {"book", "--help"}, {}, output), 0);
  EXPECT_TRUE(Contains(output, "Lists what a sandbox holds")) << output;
  fs::create_directories(Path("prefix/bin"));
  fs::create_directories(Path("prefix/share/dovra-sandbox"));
  fs::create_directories(Path("data"));
  const std::string program = Path("prefix/bin/dovra-sandbox");
  fs::copy_file(DOVRA_SANDBOX_PROGRAM, program);
  const std::string beside = Path("prefix/bin/vouchers.example.json"),
                    installed = Path("prefix/share/dovra-sandbox/vouchers.example.json");
  const fs::path example = fs::path(DOVRA_SANDBOX_PROGRAM).parent_path() / "vouchers.example.json";
  const struct {
    bool Beside, Installed;
    int Exit;
    std::string Says;
  } cases[] = {
      {false, true, 0, "book: " + installed + "\n"},
      {true, true, 0, "book: " + beside + "\n"},
      {false, false, 1, beside},  // none: the place beside the program is named
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Says);
    std::error_code ec;
    fs::remove(beside, ec);
    fs::remove(installed, ec);
    if (c.Beside) fs::copy_file(example, beside);
    if (c.Installed) fs::copy_file(example, installed);
    TChildProcess child;
    child.MergeErrors = true;
    std::string error;
    ASSERT_TRUE(child.Start(program, {"book", "--data", Path("data")}, {}, error)) << error;
    EXPECT_EQ(child.ReadAllAndWait(output, 30000), c.Exit) << output;
    EXPECT_TRUE(Contains(output, c.Says)) << output;
  }
}

}  // namespace
