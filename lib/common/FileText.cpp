#include "lib/common/FileText.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// Closes the descriptor on every way out, keeping the errno of the failure being reported.
class TDescriptor {
 public:
  explicit TDescriptor(int fd) noexcept : FFd(fd) {}
  ~TDescriptor() {
    if (FFd < 0) return;
    const int saved = errno;
    ::close(FFd);
    errno = saved;
  }
  TDescriptor(const TDescriptor&) = delete;
  TDescriptor& operator=(const TDescriptor&) = delete;
  int Get() const noexcept { return FFd; }

 private:
  int FFd;
};

bool Fail(int code, const std::string& path, std::string_view what, std::string& text,
          std::string& error) {
  text.clear();
  error = "cannot read ";
  if (!what.empty()) error.append(what).append(" ");
  error +=
      path + ": " + (code == ENOENT ? std::string("there is no such file") : std::strerror(code));
  errno = code;
  return false;
}

}  // namespace

bool ReadWholeFile(const std::string& path, std::string& text, std::string& error,
                   std::string_view what) {
  text.clear();
  const TDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.Get() < 0) return Fail(errno, path, what, text, error);
  struct stat info {};
  if (::fstat(file.Get(), &info) != 0) return Fail(errno, path, what, text, error);
  if (S_ISDIR(info.st_mode)) return Fail(EISDIR, path, what, text, error);
  // The size is a hint only: files under /proc say 0, and a file may grow while it is read.
  if (S_ISREG(info.st_mode) && info.st_size > 0) text.reserve(static_cast<size_t>(info.st_size));
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(file.Get(), buffer, sizeof buffer);
    if (n == 0) return true;
    if (n > 0) {
      text.append(buffer, static_cast<size_t>(n));
    } else if (errno != EINTR) {
      return Fail(errno, path, what, text, error);
    }
  }
}
