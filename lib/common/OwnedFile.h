// Files and folders a program writes on a machine it shares with other users: opened without
// following a link at their name, refused when they are not a regular file (or a folder), when
// another user owns them or when they have more than one name, and tightened when others may
// write them. Every failure says which file, what is wrong with it and what to do.
#pragma once

#include <sys/types.h>

#include <string>

// An open descriptor, closed with its object (keeping the errno of a failure being reported).
class TFileHandle {
 public:
  TFileHandle() = default;
  explicit TFileHandle(int fd) noexcept : FFd(fd) {}
  ~TFileHandle() { Reset(); }
  TFileHandle(TFileHandle&& other) noexcept : FFd(other.Release()) {}
  TFileHandle& operator=(TFileHandle&& other) noexcept;
  TFileHandle(const TFileHandle&) = delete;
  TFileHandle& operator=(const TFileHandle&) = delete;

  int Get() const noexcept { return FFd; }
  explicit operator bool() const noexcept { return FFd >= 0; }
  // Hands the descriptor over; the object no longer closes it.
  int Release() noexcept;
  void Reset(int fd = -1) noexcept;

 private:
  int FFd = -1;
};

// Checks the open file fd (named path in messages) before a program writes it: a regular file
// with one name, owned by the program's user, writable by nobody else. Permission bits beyond
// `most` are taken away (fchmod). False with error saying why it is refused.
bool HoldOwnFile(int fd, const std::string& path, mode_t most, std::string& error);

// Opens (O_CREAT in flags: creates with mode `most`) the file name in folder (a descriptor, or
// AT_FDCWD for a name relative to the working folder) for writing, never through a symbolic link
// at name and never blocking on a FIFO, then holds it as HoldOwnFile says. An invalid handle with
// error on any failure.
TFileHandle OpenOwnFile(int folder, const std::string& name, int flags, mode_t most,
                        std::string& error);

// Opens the folder name in folder for reading its entries and opening files below it, never
// through a symbolic link at name. An invalid handle with error (naming path) when name is a
// link, not a folder or cannot be opened.
TFileHandle OpenFolderNoFollow(int folder, const std::string& name, const std::string& path,
                               std::string& error);

// Checks the open folder fd (named path) before a program keeps its files in it: owned by the
// program's user and writable by nobody else. False with error saying why and what to do.
bool CheckOwnFolder(int fd, const std::string& path, std::string& error);

// Opens relative (a path of names below root, without "..") from the folder root, following no
// symbolic link on the way: every folder on it and the last name are opened with O_NOFOLLOW.
// flags are those of the last open (O_NONBLOCK is added so a FIFO cannot hold the caller, and
// taken away again once open). An invalid handle with error naming root/relative otherwise.
TFileHandle OpenBelow(int root, const std::string& relative, int flags, const std::string& path,
                      std::string& error);

// "0644": the permission bits of mode, as chmod takes them.
std::string ModeText(mode_t mode);
