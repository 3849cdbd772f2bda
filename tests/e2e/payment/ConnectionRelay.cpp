#include "tests/e2e/payment/ConnectionRelay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <stdexcept>

namespace {

uint16_t PortOf(const std::string& url) {
  const size_t colon = url.rfind(':');
  if (colon == std::string::npos) throw std::runtime_error("no port in '" + url + "'");
  return static_cast<uint16_t>(std::stoi(url.substr(colon + 1)));
}

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

int ConnectTo(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in address = Loopback(port);
  if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
    return fd;
  if (fd >= 0) close(fd);
  return -1;
}

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

TConnectionRelay::TConnectionRelay(const std::string& service, int through,
                                   const std::string& stranger)
    : FServicePort(PortOf(service)),
      FStrangerPort(stranger.empty() ? 0 : PortOf(stranger)),
      FThrough(through) {
  FListener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = Loopback(0);
  socklen_t size = sizeof address;
  if (FListener < 0 ||
      bind(FListener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(FListener, 16) != 0 ||
      getsockname(FListener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    const std::string reason = std::strerror(errno);
    if (FListener >= 0) close(FListener);
    throw std::runtime_error("relay: cannot listen on 127.0.0.1: " + reason);
  }
  FPort = ntohs(address.sin_port);
  // Nothing is let through: the port is closed before anybody knocks.
  if (FThrough == 0 && FStrangerPort == 0) {
    close(FListener);
    FListener = -1;
  }
  FThread = std::thread([this] { Run(); });
}

TConnectionRelay::~TConnectionRelay() {
  FStop = true;
  FThread.join();
  if (FListener >= 0) close(FListener);
  for (const TPair& pair : FPairs) {
    close(pair.Client);
    close(pair.Server);
  }
}

void TConnectionRelay::Accept() {
  const int client = accept4(FListener, nullptr, nullptr, SOCK_CLOEXEC);
  if (client < 0) return;
  const int count = ++FAccepted;
  const int server = ConnectTo(count <= FThrough ? FServicePort : FStrangerPort);
  if (server < 0) {
    close(client);
    return;
  }
  FPairs.push_back({client, server});
  if (count >= FThrough && FStrangerPort == 0) {
    close(FListener);
    FListener = -1;
  }
}

bool TConnectionRelay::Pump(int from, int to) {
  char buffer[16384];
  const ssize_t n = recv(from, buffer, sizeof buffer, 0);
  return n > 0 && WriteAll(to, buffer, static_cast<size_t>(n));
}

void TConnectionRelay::Run() {
  while (!FStop) {
    const bool listening = FListener >= 0;
    const size_t watchedPairs = FPairs.size();
    std::vector<pollfd> watched;
    if (listening) watched.push_back({FListener, POLLIN, 0});
    for (const TPair& pair : FPairs) {
      watched.push_back({pair.Client, POLLIN, 0});
      watched.push_back({pair.Server, POLLIN, 0});
    }
    if (poll(watched.data(), watched.size(), 50) <= 0) continue;
    if (listening && (watched[0].revents & POLLIN)) Accept();
    std::vector<TPair> open;
    for (size_t i = 0, at = listening ? 1 : 0; i < watchedPairs; ++i, at += 2) {
      const TPair pair = FPairs[i];
      // A pair ends with the first side to close: an HTTP exchange is over by then.
      bool alive = true;
      if (watched[at].revents) alive = Pump(pair.Client, pair.Server);
      if (alive && watched[at + 1].revents) alive = Pump(pair.Server, pair.Client);
      if (alive) {
        open.push_back(pair);
      } else {
        close(pair.Client);
        close(pair.Server);
      }
    }
    // The pair accepted in this round is watched from the next one on.
    open.insert(open.end(), FPairs.begin() + static_cast<std::ptrdiff_t>(watchedPairs),
                FPairs.end());
    FPairs = std::move(open);
  }
}
