// The record of the requests a sandbox received (--record FILE): one JSON line each, with what
// the service answered, so that a test can read afterwards what a till sent.
#pragma once

#include <string>

#include "lib/common/OwnedFile.h"
#include "sandbox/SandboxRequest.h"

class TSandboxRecord {
 public:
  // Opens file for appending (owner only); an empty name keeps no record. False with a message.
  bool Open(const std::string& file, std::string& error);
  // One line for request and the reply decided for it; reference: the redemption a redeem or
  // reverse acted on (empty: none). Nothing without a record file.
  void Write(const std::string& operation, const TSandboxRequest& request,
             const TSandboxReply& reply, const std::string& reference);

 private:
  TFileHandle FFile;
};
