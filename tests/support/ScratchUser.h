// A second user on this machine for a test that plays another owner's files against a program:
// made with useradd as the test starts and removed with userdel when the object goes. Only root
// can make one; Made() says whether it is there (a test then skips saying why not).
#pragma once

#include <pwd.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

class TScratchUser {
 public:
  TScratchUser() : FName("dovra-other-" + std::to_string(::getpid())) {
    if (::geteuid() != 0) {
      FWhyNot = "only root can make a second user (useradd), and the test runs as another user";
      return;
    }
    const std::string add =
        "useradd --no-create-home --shell /usr/sbin/nologin " + FName + " >/dev/null 2>&1";
    if (std::system(add.c_str()) != 0) {
      FWhyNot = "useradd could not make the user " + FName;
      return;
    }
    FAdded = true;
    if (const passwd* pw = ::getpwnam(FName.c_str())) {
      FUid = pw->pw_uid;
      FGid = pw->pw_gid;
      FMade = true;
    }
  }
  ~TScratchUser() {
    if (FAdded) {
      const std::string del = "userdel " + FName + " >/dev/null 2>&1";
      if (std::system(del.c_str()) != 0) {
        // Nothing more to do: a user left behind is named by the next useradd's failure.
      }
    }
  }
  TScratchUser(const TScratchUser&) = delete;
  TScratchUser& operator=(const TScratchUser&) = delete;

  bool Made() const { return FMade; }
  const std::string& WhyNot() const { return FWhyNot; }
  uid_t Uid() const { return FUid; }
  // Gives path (not what a link there points to) to this user.
  bool Owns(const std::string& path) const { return ::lchown(path.c_str(), FUid, FGid) == 0; }

 private:
  std::string FName;
  std::string FWhyNot;
  bool FAdded = false;
  bool FMade = false;
  uid_t FUid = 0;
  gid_t FGid = 0;
};
