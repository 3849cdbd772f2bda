// A dovra-sandbox child process for end-to-end tests, in a data folder of its own (certificate,
// voucher book state, recorded requests), stopped and removed with the object.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "ChildProcess.h"

class TSandboxProcess {
 public:
  // extra: further sandbox options (failure switches, another voucher book). The program is
  // DOVRA_SANDBOX from the environment (another build, a sanitizer one say), else the one the
  // test was built with.
  explicit TSandboxProcess(const std::vector<std::string>& extra = {})
      : FDir(std::filesystem::temp_directory_path() /
             ("dovra-sandbox-" + std::to_string(::getpid()) + "-" + std::to_string(++Made()))) {
    std::filesystem::remove_all(FDir);
    std::filesystem::create_directories(FDir);
    std::vector<std::string> args{"--port", "0", "--data", FDir.string(), "--record", RecordFile()};
    args.insert(args.end(), extra.begin(), extra.end());
    const char* program = std::getenv("DOVRA_SANDBOX");
    if (!program || !*program) program = DOVRA_SANDBOX_PROGRAM;
    std::string error, line;
    if (!FProcess.Start(program, args, {}, error)) throw std::runtime_error(error);
    if (!FProcess.ReadLine(line, 15000) || line.rfind("listening on ", 0) != 0)
      throw std::runtime_error("dovra-sandbox did not start: '" + line + "'");
    URL = line.substr(13);
  }
  ~TSandboxProcess() {
    FProcess.Stop();
    std::error_code ignored;
    std::filesystem::remove_all(FDir, ignored);
  }
  TSandboxProcess(const TSandboxProcess&) = delete;
  TSandboxProcess& operator=(const TSandboxProcess&) = delete;

  std::string URL;  // https://127.0.0.1:PORT/
  std::string CertFile() const { return (FDir / "cert.pem").string(); }
  std::string RecordFile() const { return (FDir / "record.jsonl").string(); }
  // The requests received so far, one JSON text each.
  std::vector<std::string> RecordLines() const {
    std::vector<std::string> lines;
    std::ifstream in(RecordFile(), std::ios::binary);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

 private:
  static int& Made() {
    static int made = 0;
    return made;
  }
  std::filesystem::path FDir;
  TChildProcess FProcess;
};
