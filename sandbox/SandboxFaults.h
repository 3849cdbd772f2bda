// What the sandbox does wrong on purpose, as its switches tell it, so that tests can see a till
// meet a failing service: answers given instead of the operation's (an HTML page, bytes that are
// no JSON, an HTTP error), a crafted body over the answer once the service acted, answers lost or
// cut short, and answers held back. A switch naming an operation wins over one naming "all".
// Not thread-safe: the service asks it under its own lock.
#pragma once

#include <map>
#include <optional>
#include <string>

#include "sandbox/SandboxOptions.h"
#include "sandbox/SandboxRequest.h"

class TSandboxFaults {
 public:
  // options outlives the object: the service holds both.
  explicit TSandboxFaults(const TSandboxOptions& options) : FOptions(options) {}

  // Counts a request for operation and tells whether the switches act on it: on every request,
  // or with --faults-once on each operation's first only.
  bool Applies(const std::string& operation);
  // The answer given instead of the operation's, once the partner was let in; none when the
  // operation answers as usual.
  std::optional<TSandboxReply> Instead(const std::string& operation) const;
  // After the service acted: the crafted body in place of its answer (an operation's only), and
  // how the answer is to be delivered.
  void Spoil(const std::string& operation, TSandboxReply& reply) const;
  // How long to hold the answer back, in milliseconds.
  int DelayMs(const std::string& operation) const;

 private:
  template <typename T>
  static T Lookup(const std::map<std::string, T>& map, const std::string& operation, T none);

  const TSandboxOptions& FOptions;
  std::map<std::string, int> FRequestsSeen;  // operation -> requests received
};
