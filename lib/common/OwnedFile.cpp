#include "lib/common/OwnedFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

TFileHandle& TFileHandle::operator=(TFileHandle&& other) noexcept {
  if (this != &other) Reset(other.Release());
  return *this;
}

int TFileHandle::Release() noexcept {
  const int fd = FFd;
  FFd = -1;
  return fd;
}

void TFileHandle::Reset(int fd) noexcept {
  if (FFd >= 0) {
    const int saved = errno;
    ::close(FFd);
    errno = saved;
  }
  FFd = fd;
}

std::string ModeText(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

namespace {

std::string Quoted(const std::string& path) { return "'" + path + "'"; }

std::string OpenFailure(int err, const std::string& path) {
  if (err == ELOOP) return Quoted(path) + " is a symbolic link; links are not followed";
  if (err == ENOENT) return Quoted(path) + ": no such file or folder";
  return "cannot open " + Quoted(path) + ": " + std::strerror(err);
}

std::string OwnerText(uid_t owner) {
  return "user " + std::to_string(owner) + ", not this program's user " +
         std::to_string(::geteuid());
}

}  // namespace

bool HoldOwnFile(int fd, const std::string& path, mode_t most, std::string& error) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    error = "cannot check " + Quoted(path) + ": " + std::strerror(errno);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    error = Quoted(path) + " is not a regular file; remove it or choose another name";
    return false;
  }
  if (st.st_uid != ::geteuid()) {
    error =
        Quoted(path) + " belongs to " + OwnerText(st.st_uid) + "; remove it or choose another name";
    return false;
  }
  // A second name may stand in a folder the program never sees: writing would change that file.
  if (st.st_nlink > 1) {
    error = Quoted(path) + " has " + std::to_string(st.st_nlink) +
            " names (a hard link); remove it or choose another name";
    return false;
  }
  const mode_t bits = st.st_mode & 07777;
  if ((bits & ~most) != 0 && ::fchmod(fd, bits & most) != 0) {
    error = "cannot take the rights beyond " + ModeText(most) + " from " + Quoted(path) +
            " (mode " + ModeText(bits) + "): " + std::strerror(errno);
    return false;
  }
  return true;
}

TFileHandle OpenOwnFile(int folder, const std::string& name, int flags, mode_t most,
                        std::string& error) {
  TFileHandle fd(::openat(folder, name.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, most));
  if (!fd) {
    const int err = errno;
    struct stat st {};
    // A FIFO nobody reads, a device without its driver: said as what they are.
    if (err != ELOOP && ::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode))
      error = Quoted(name) + " is not a regular file; remove it or choose another name";
    else
      error = OpenFailure(err, name);
    return {};
  }
  if (!HoldOwnFile(fd.Get(), name, most, error)) return {};
  ::fcntl(fd.Get(), F_SETFL, ::fcntl(fd.Get(), F_GETFL) & ~O_NONBLOCK);
  return fd;
}

TFileHandle OpenFolderNoFollow(int folder, const std::string& name, const std::string& path,
                               std::string& error) {
  TFileHandle fd(::openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (fd) return fd;
  const int err = errno;
  struct stat st {};
  if (err == ENOTDIR && ::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISLNK(st.st_mode))
    error = OpenFailure(ELOOP, path);
  else if (err == ENOTDIR)
    error = Quoted(path) + " is not a folder";
  else
    error = OpenFailure(err, path);
  return {};
}

bool CheckOwnFolder(int fd, const std::string& path, std::string& error) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    error = "cannot check " + Quoted(path) + ": " + std::strerror(errno);
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    error = Quoted(path) + " is not a folder";
    return false;
  }
  if (st.st_uid != ::geteuid()) {
    error = "the folder " + Quoted(path) + " belongs to " + OwnerText(st.st_uid) +
            "; use a folder of this user's own";
    return false;
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    error = "the folder " + Quoted(path) + " is writable by other users (mode " +
            ModeText(st.st_mode) + "); make it 0700 (chmod 700)";
    return false;
  }
  return true;
}

TFileHandle OpenBelow(int root, const std::string& relative, int flags, const std::string& path,
                      std::string& error) {
  TFileHandle held;
  int at = root;
  size_t from = 0;
  for (;;) {
    const size_t slash = relative.find('/', from);
    const std::string name =
        relative.substr(from, slash == std::string::npos ? slash : slash - from);
    if (name == "..") {
      error = Quoted(path) + " leaves its folder (\"..\")";
      return {};
    }
    if (slash == std::string::npos) {
      TFileHandle fd(::openat(at, name.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
      if (!fd) {
        error = OpenFailure(errno, path);
        return {};
      }
      if ((flags & O_NONBLOCK) == 0)
        ::fcntl(fd.Get(), F_SETFL, ::fcntl(fd.Get(), F_GETFL) & ~O_NONBLOCK);
      return fd;
    }
    if (!name.empty() && name != ".") {
      TFileHandle next = OpenFolderNoFollow(at, name, relative.substr(0, slash), error);
      if (!next) {
        error = "cannot open " + Quoted(path) + ": " + error;
        return {};
      }
      held = std::move(next);
      at = held.Get();
    }
    from = slash + 1;
  }
}
