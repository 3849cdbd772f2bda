// Scratch folders for tests: TScratchFolder, a fresh folder of a unique name removed with the
// object; TTestFolder, a fixture giving each test case one, with whole-file read and write.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "lib/common/FileText.h"

// A file's bytes; empty when it cannot be read (a test then fails on what it expected there).
inline std::string FileBytes(const std::string& path) {
  std::string text, error;
  ReadWholeFile(path, text, error);
  return text;
}

class TScratchFolder {
 public:
  explicit TScratchFolder(const std::string& prefix = "dovra-test") {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed for " + pattern);
    FDir = pattern;
  }
  ~TScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(FDir, ignored);
  }
  TScratchFolder(const TScratchFolder&) = delete;
  TScratchFolder& operator=(const TScratchFolder&) = delete;

  const std::filesystem::path& Dir() const { return FDir; }
  // name inside the folder; Path() is the folder itself with a trailing separator.
  std::string Path(const std::string& name = "") const { return (FDir / name).string(); }

 private:
  std::filesystem::path FDir;
};

class TTestFolder : public ::testing::Test {
 protected:
  explicit TTestFolder(std::string prefix) : FPrefix(std::move(prefix)) {}

  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           (FPrefix + "-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  static void Write(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary) << data;
  }
  static std::string Read(const std::string& path) { return FileBytes(path); }

  std::filesystem::path dir_;

 private:
  std::string FPrefix;
};
