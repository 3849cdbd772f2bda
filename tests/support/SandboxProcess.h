// A dovra-sandbox child process for end-to-end tests, in a data folder of its own (certificate,
// voucher book state, recorded requests), stopped and removed with the object.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tests/support/TestFolder.h"

class TSandboxProcess {
 public:
  // extra: further sandbox options (failure switches, another voucher book). The program is
  // DOVRA_SANDBOX from the environment (another build, a sanitizer one say), else the one the
  // test was built with.
  explicit TSandboxProcess(const std::vector<std::string>& extra = {}) : FFolder("dovra-sandbox") {
    std::vector<std::string> args{"--port",       "0",        "--data",
                                  Dir().string(), "--record", RecordFile()};
    args.insert(args.end(), extra.begin(), extra.end());
    const char* program = std::getenv("DOVRA_SANDBOX");
    if (!program || !*program) program = DOVRA_SANDBOX_PROGRAM;
    std::string error, line;
    if (!FProcess.Start(program, args, {}, error)) throw std::runtime_error(error);
    if (!FProcess.ReadLine(line, 15000) || line.rfind("listening on ", 0) != 0)
      throw std::runtime_error(
          std::string("dovra-sandbox did not start within 15 s; it printed '") +
          FProcess.Printed() + "'");
    URL = line.substr(13);
  }
  ~TSandboxProcess() { FProcess.Stop(); }
  TSandboxProcess(const TSandboxProcess&) = delete;
  TSandboxProcess& operator=(const TSandboxProcess&) = delete;

  std::string URL;  // https://127.0.0.1:PORT/
  const std::filesystem::path& Dir() const { return FFolder.Dir(); }
  std::string CertFile() const { return FFolder.Path("cert.pem"); }
  std::string RecordFile() const { return FFolder.Path("record.jsonl"); }
  // The requests received so far, one JSON text each.
  std::vector<std::string> RecordLines() const {
    std::vector<std::string> lines;
    std::ifstream in(RecordFile(), std::ios::binary);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

 private:
  TScratchFolder FFolder;  // outlives the process: declared first
  TChildProcess FProcess;
};
