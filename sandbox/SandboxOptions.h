// The settings dovra-sandbox runs with: where its book and state are, whether it records the
// requests, and the failures its switches tell it to play. The command line's words are read
// into them here, so that every message about a switch's value is worded in one place.
#pragma once

#include <map>
#include <string>

#include "sandbox/SandboxRequest.h"

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
