// The threads that serve the sandbox's connections: one free thread for every connection, made
// as connections come, up to a ceiling. A connection holds its thread while the library waits for
// its first bytes (bounded by the read time-out), so a fixed handful of threads would let a few
// idle connections hold back every real request.
#pragma once

#include <httplib.h>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class TSandboxWorkers final : public httplib::TaskQueue {
 public:
  // ceiling: the most threads made; connections beyond it wait for a free one.
  explicit TSandboxWorkers(size_t ceiling) : FCeiling(ceiling) {}
  ~TSandboxWorkers() override { shutdown(); }
  TSandboxWorkers(const TSandboxWorkers&) = delete;
  TSandboxWorkers& operator=(const TSandboxWorkers&) = delete;

  void enqueue(std::function<void()> fn) override;
  void shutdown() override;

 private:
  void Work();

  const size_t FCeiling;
  std::mutex FLock;
  std::condition_variable FReady;
  std::deque<std::function<void()>> FJobs;
  std::vector<std::thread> FThreads;
  size_t FIdle = 0;
  bool FStopping = false;
};
