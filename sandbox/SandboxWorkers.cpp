#include "sandbox/SandboxWorkers.h"

void TSandboxWorkers::enqueue(std::function<void()> fn) {
  std::lock_guard<std::mutex> lock(FLock);
  FJobs.push_back(std::move(fn));
  // A thread is made only when every one there is busy: an idle pool takes the job at once.
  if (FIdle < FJobs.size() && FThreads.size() < FCeiling) {
    try {
      FThreads.emplace_back([this] { Work(); });
    } catch (const std::system_error&) {
      // No thread to be had (a process limit): the job waits for one of those there are.
    }
  }
  FReady.notify_one();
}

void TSandboxWorkers::shutdown() {
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(FLock);
    FStopping = true;
    threads.swap(FThreads);
  }
  FReady.notify_all();
  for (std::thread& t : threads)
    if (t.joinable()) t.join();
}

void TSandboxWorkers::Work() {
  for (;;) {
    std::function<void()> job;
    {
      std::unique_lock<std::mutex> lock(FLock);
      ++FIdle;
      FReady.wait(lock, [this] { return FStopping || !FJobs.empty(); });
      --FIdle;
      if (FJobs.empty()) return;  // stopping, nothing left to serve
      job = std::move(FJobs.front());
      FJobs.pop_front();
    }
    job();
  }
}
