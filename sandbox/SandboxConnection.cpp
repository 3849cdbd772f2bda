#include "sandbox/SandboxConnection.h"

#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace {

const char* Reason(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 500:
      return "Internal Server Error";
    case 503:
      return "Service Unavailable";
    default:
      return "Status";
  }
}

// Everything up to the middle of the body: enough that a reader sees a well-begun answer.
std::string HalfAnswer(const TSandboxReply& reply) {
  std::string text = "HTTP/1.1 " + std::to_string(reply.Status) + " " + Reason(reply.Status) +
                     "\r\nContent-Type: " + reply.ContentType +
                     "\r\nContent-Length: " + std::to_string(reply.Body.size()) + "\r\n\r\n";
  text.append(reply.Body, 0, reply.Body.size() / 2);
  return text;
}

// A reset throws away what the socket has not sent yet; the half answer must have left first.
void WaitUntilSent(int fd) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  int unsent = 0;
  while (ioctl(fd, SIOCOUTQ, &unsent) == 0 && unsent > 0 &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

// Replaces the socket behind fd by /dev/null in one step: the socket is closed (with whatever
// linger it carries), while fd stays a valid descriptor that no other connection can inherit.
bool DetachSocket(int fd, std::string& error) {
  const int sink = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (sink < 0 || dup3(sink, fd, O_CLOEXEC) < 0) {
    error = std::string("cannot close the connection: ") + std::strerror(errno);
    if (sink >= 0) close(sink);
    return false;
  }
  close(sink);
  return true;
}

}  // namespace

bool BreakConnection(SSL* ssl, const TSandboxReply& reply, std::string& error) {
  const int fd = ssl ? SSL_get_fd(ssl) : -1;
  if (fd < 0) {
    error = "the connection has no socket to break";
    return false;
  }
  if (reply.Delivery == TSandboxDelivery::Reset) {
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    const std::string half = HalfAnswer(reply);
    size_t sent = 0;
    while (sent < half.size()) {
      const int n = SSL_write(ssl, half.data() + sent, static_cast<int>(half.size() - sent));
      if (n <= 0) break;  // the till is gone already: the reset below is all that is left
      sent += static_cast<size_t>(n);
    }
    WaitUntilSent(fd);
    // A zero linger turns the close into a reset instead of an orderly end.
    const linger abort{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  }
  return DetachSocket(fd, error);
}
