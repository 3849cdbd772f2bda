// What the logger's own units share and nobody else uses: process facts, file tests, and the flag
// telling that the calling thread is inside an entry.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

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

// MakeFolder for a folder the log keeps archives in: true only when folder is a folder itself
// (not a link to one elsewhere) and of this user's own, so that an archive never lands where
// another user chose; one others may write (made under a loose umask) is narrowed.
inline bool MakeOwnFolder(std::string folder) {
  if (!MakeFolder(folder)) return false;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  struct stat st {};
  if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid())
    return false;
  const mode_t loose = st.st_mode & (S_IWGRP | S_IWOTH);
  return loose == 0 || ::chmod(folder.c_str(), (st.st_mode & 07777) & ~loose) == 0;
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
