// What the logger's own units share and nobody else uses: process facts, path and time texts,
// and the flag telling that the calling thread is inside an entry.
#pragma once

#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <string>
#include <system_error>

namespace SynLogInternal {

// Process facts (SynLogProcess.cpp).
std::string ExecutablePath();
std::string OwnLibraryPath();
std::string ModuleVersion();  // major.minor.release.build
std::string HostName();
std::string CurrentUserName();

// A local date-time in strftime form.
std::string LocalDateTime(time_t t, const char* fmt);

// Paths: folders keep a trailing separator.
inline std::string WithSeparator(std::string folder) {
  if (!folder.empty() && folder.back() != '/') folder += '/';
  return folder;
}

inline std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

inline std::string NameOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Everything before the last "." of the name part (the whole path when there is none).
inline std::string WithoutExtension(const std::string& path) {
  const size_t slash = path.rfind('/');
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return path;
  return path.substr(0, dot);
}

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
