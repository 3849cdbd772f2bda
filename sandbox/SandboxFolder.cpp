#include "sandbox/SandboxFolder.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

bool MakeDataFolder(const std::string& dir, std::string& error) {
  std::error_code ec;
  const std::filesystem::path data(dir);
  if (data.has_parent_path()) std::filesystem::create_directories(data.parent_path(), ec);
  if (!ec && ::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
    ec.assign(errno, std::generic_category());
  if (ec) {
    error = "cannot create the data folder " + dir + ": " + ec.message();
    return false;
  }
  return true;
}

TFileHandle TakeDataFolder(const std::string& dir, std::string& error) {
  const TFileHandle folder(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder) {
    error = "the data folder " + dir + " is not a folder (" + std::strerror(errno) + ")";
    return {};
  }
  // Its key and its book are this service's secrets and its money: nobody else may swap them,
  // nor read them. A folder of ours that others may read is narrowed to the owner's.
  struct stat info {};
  if (::fstat(folder.Get(), &info) == 0 && info.st_uid == ::geteuid() &&
      (info.st_mode & (S_IWGRP | S_IWOTH)) == 0 && (info.st_mode & 077) != 0)
    ::fchmod(folder.Get(), info.st_mode & 0700);
  std::string why;
  if (!CheckOwnFolder(folder.Get(), dir, why)) {
    error = why;
    return {};
  }
  const std::string lockFile = (std::filesystem::path(dir) / "sandbox.lock").string();
  TFileHandle lock = OpenOwnFile(AT_FDCWD, lockFile, O_RDWR | O_CREAT, 0600, why);
  if (!lock) {
    error = "cannot use the lock file " + lockFile + ": " + why;
    return {};
  }
  // Two services on one book would each hand out the same single-use voucher.
  if (::flock(lock.Get(), LOCK_EX | LOCK_NB) != 0) {
    char pid[32] = {};
    const ssize_t n = ::pread(lock.Get(), pid, sizeof pid - 1, 0);
    error = "the data folder " + dir + " is in use by another dovra-sandbox" +
            (n > 0 ? " (process " + std::string(pid, static_cast<size_t>(n)) + ")" : std::string());
    return {};
  }
  const std::string self = std::to_string(::getpid());
  if (::ftruncate(lock.Get(), 0) != 0 ||
      ::pwrite(lock.Get(), self.data(), self.size(), 0) != static_cast<ssize_t>(self.size())) {
    error = "cannot write the lock file " + lockFile + ": " + std::strerror(errno);
    return {};
  }
  return lock;
}
