// What the logger's own units share and nobody else uses: process facts, file tests, and the flag
// telling that the calling thread is inside an entry.
#pragma once

#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <string>
#include <system_error>

namespace SynLogInternal {

// Process facts (SynLogProcess.cpp).
std::string OwnLibraryPath();
std::string ModuleVersion();  // major.minor.release.build
std::string HostName();
std::string CurrentUserName();

inline bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

// A regular file under that very name, not a link to one.
inline bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Something stands under that name, a link too (dangling or not).
inline bool NameTaken(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// Creates folder and any missing parent; true when it is there afterwards.
inline bool MakeFolder(const std::string& folder) {
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  return std::filesystem::is_directory(folder, ec);
}

// Set while a thread writes an entry: an exception raised inside the logger must not re-enter it.
inline thread_local bool tInsideEntry = false;

class TEntryGuard {
 public:
  TEntryGuard() noexcept : FOuter(tInsideEntry) { tInsideEntry = true; }
  ~TEntryGuard() { tInsideEntry = FOuter; }
  TEntryGuard(const TEntryGuard&) = delete;
  TEntryGuard& operator=(const TEntryGuard&) = delete;

 private:
  bool FOuter;
};

}  // namespace SynLogInternal
