// dovra-sandbox's service: answers the four voucher operations from the voucher book, records
// requests and plays the failures it is told to. Independent of the HTTP server so that the
// answers are decided in one place.
#pragma once

#include <mutex>
#include <string>

#include "sandbox/SandboxBook.h"
#include "sandbox/SandboxFaults.h"
#include "sandbox/SandboxOptions.h"
#include "sandbox/SandboxRecord.h"
#include "sandbox/SandboxRequest.h"

class TSandboxService {
 public:
  explicit TSandboxService(TSandboxOptions options);

  // Opens the book in the data folder (see TSandboxBook::Open) and the record file (owner only).
  // False with a message.
  bool Open(std::string& error);
  // Loads the book and the state only, to list them: no lock, nothing written.
  bool OpenForListing(std::string& error);
  // The vouchers with their state today and every redemption, as text lines or as one JSON
  // document.
  std::string Listing(bool json) const;
  // Thread-safe: the server calls it from its worker threads. The service acts (and journals
  // the change) before any delay, so a till that gives up waiting still finds the act done; the
  // reply says how it is to be delivered.
  TSandboxReply Handle(const TSandboxRequest& request);

 private:
  // faulty: whether the failure switches apply to this request.
  TSandboxReply Answer(const TSandboxRequest& request, const std::string& operation, bool faulty);

  TSandboxOptions FOptions;
  std::mutex FLock;  // one request at a time acts on the book, the faults' counts and the record
  TSandboxBook FBook;
  TSandboxFaults FFaults;  // declared after FOptions: reads the switches from it
  TSandboxRecord FRecord;
};
