// A TCP relay on a loopback port of its own, standing between the till and the voucher service
// for faults the service cannot make by itself: the service becoming unreachable, or another
// server answering in its place, half-way through a payment.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

class TConnectionRelay {
 public:
  // service, stranger: "https://127.0.0.1:PORT/" addresses. The first `through` connections go to
  // the service; later ones go to the stranger, or, when stranger is empty, find the relay's port
  // closed (connecting is refused). Throws std::runtime_error when no port can be opened.
  TConnectionRelay(const std::string& service, int through, const std::string& stranger = "");
  ~TConnectionRelay();
  TConnectionRelay(const TConnectionRelay&) = delete;
  TConnectionRelay& operator=(const TConnectionRelay&) = delete;

  std::string URL() const { return "https://127.0.0.1:" + std::to_string(FPort) + "/"; }

 private:
  struct TPair {
    int Client = -1, Server = -1;
  };
  void Run();
  void Accept();
  // false when the pair is done with (one side closed or failed).
  bool Pump(int from, int to);

  uint16_t FPort = 0;
  uint16_t FServicePort = 0, FStrangerPort = 0;
  int FThrough = 0;
  int FListener = -1;
  int FAccepted = 0;
  std::atomic<bool> FStop{false};
  std::vector<TPair> FPairs;
  std::thread FThread;
};
