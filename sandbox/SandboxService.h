// dovra-sandbox's service: answers the four voucher operations from the voucher book, keeps the
// book's state in the data folder, records requests and plays the failures it is told to.
// Independent of the HTTP server so that the answers are decided in one place.
#pragma once

#include <cstdint>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "lib/common/OwnedFile.h"
#include "sandbox/SandboxStore.h"
#include "sandbox/VoucherBook.h"

// How an answer reaches the till: whole, never (the connection is closed after the service
// acted), or half (status line, headers and half the body, then a connection reset).
enum class TSandboxDelivery { Whole, Lost, Reset };

struct TSandboxOptions {
  std::string DataDir;
  std::string VoucherFile;
  std::string RecordFile;                              // empty: no record
  std::map<std::string, int> FailStatus;               // operation -> HTTP status to answer with
  std::map<std::string, int> HtmlStatus;               // operation -> status of an HTML page
  std::map<std::string, int> GarbageStatus;            // operation -> status of a garbage body
  std::map<std::string, int> DelayMs;                  // operation (or "all") -> milliseconds
  std::map<std::string, TSandboxDelivery> Deliveries;  // operation (or "all") -> broken answer
  std::map<std::string, std::string> Crafted;  // operation (or "all") -> body sent after acting
  bool FaultsOnce = false;  // the failures above hit each operation's first request only
};

// What the server sends back.
struct TSandboxReply {
  int Status = 200;
  std::string ContentType = "application/json";
  std::string Body;
  TSandboxDelivery Delivery = TSandboxDelivery::Whole;
};

// One incoming request, as far as the service looks at it.
struct TSandboxRequest {
  std::string Method;
  std::string Path;
  std::string ContentType;
  std::string Authorization;
  std::string Body;
};

// The operation's short name ("evaluate", "redeem", "reverse", "status") from a command-line
// word (short name or the service's operation name, any letter case) or a request path; empty
// when it names none. "all" is kept as "all".
std::string OperationName(const std::string& word);
// "OPERATION:STATUS" or "OPERATION" (status defaultStatus) into map; false with a message.
bool ParseFailureSwitch(const std::string& text, int defaultStatus, std::map<std::string, int>& map,
                        std::string& error);
// "N" (every operation) or "OPERATION:N", N milliseconds from 0 to 600000, into map; false with
// a message.
bool ParseDelaySwitch(const std::string& text, std::map<std::string, int>& map, std::string& error);
// "OPERATION:FILE" into map, with FILE's bytes as the body; false with a message naming the
// file when it cannot be read.
bool ParseAnswerSwitch(const std::string& text, std::map<std::string, std::string>& map,
                       std::string& error);
// "OPERATION" into map with delivery; naming an operation for two different deliveries is an
// error (false with a message).
bool ParseDeliverySwitch(const std::string& text, TSandboxDelivery delivery,
                         std::map<std::string, TSandboxDelivery>& map, std::string& error);

class TSandboxService {
 public:
  explicit TSandboxService(TSandboxOptions options)
      : FOptions(std::move(options)), FStore(FOptions.DataDir) {}

  // Takes the data folder for this process (refused when another sandbox runs on it, or when
  // other users may write into it), loads the voucher book and the saved state, compacts the
  // state (its journal folded into a fresh state file) and opens the record file (owner only).
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
  TSandboxReply Answer(const std::string& operation, const TSandboxRequest& request, bool faulty);
  bool TakeDataFolder(std::string& error);
  bool LoadBook(std::string& error);
  bool LoadState(std::string& error);
  void Record(const std::string& operation, const TSandboxRequest& request,
              const TSandboxReply& reply, const std::string& reference);
  template <typename T>
  static T Lookup(const std::map<std::string, T>& map, const std::string& operation, T none);

  TSandboxOptions FOptions;
  std::mutex FLock;
  TVoucherBook FBook;
  TSandboxStore FStore;                      // declared after FOptions: made from its data folder
  TFileHandle FRecord;                       // the record file, appended to; none without --record
  std::map<std::string, int> FRequestsSeen;  // operation -> requests received
  TFileHandle FLockFile;  // held while the service runs: the folder's book is this process's
};
