#include "sandbox/SandboxOptions.h"

#include <stdexcept>

#include "lib/common/AsciiCase.h"
#include "lib/common/FileText.h"
#include "lib/common/PathParts.h"
#include "sandbox/SandboxOperations.h"

std::string OperationName(const std::string& word) {
  if (const TSandboxRoute* route = FindRoute(word)) return route->Operation;
  const std::string w = NameOf(LowerAscii(word));
  if (w == "all" || w == "*") return "all";
  return {};
}

bool ParseFailureSwitch(const std::string& text, int defaultStatus, std::map<std::string, int>& map,
                        std::string& error) {
  const size_t colon = text.find(':');
  const std::string op = OperationName(text.substr(0, colon));
  if (op.empty()) {
    error = "unknown operation in '" + text + "' (evaluate, redeem, reverse, status or all)";
    return false;
  }
  int status = defaultStatus;
  if (colon != std::string::npos) {
    const std::string number = text.substr(colon + 1);
    try {
      size_t used = 0;
      status = std::stoi(number, &used);
      if (used != number.size()) throw std::invalid_argument(number);
    } catch (const std::exception&) {
      status = 0;
    }
    if (status < 100 || status > 599) {
      error = "HTTP status in '" + text + "' must be a number from 100 to 599";
      return false;
    }
  }
  map[op] = status;
  return true;
}

bool ParseDelaySwitch(const std::string& text, std::map<std::string, int>& map,
                      std::string& error) {
  const size_t colon = text.find(':');
  std::string op = "all";
  if (colon != std::string::npos) {
    op = OperationName(text.substr(0, colon));
    if (op.empty()) {
      error = "unknown operation in '" + text + "' (evaluate, redeem, reverse, status or all)";
      return false;
    }
  }
  const std::string number = colon == std::string::npos ? text : text.substr(colon + 1);
  int ms = -1;
  try {
    size_t used = 0;
    ms = std::stoi(number, &used);
    if (used != number.size()) ms = -1;
  } catch (const std::exception&) {
    ms = -1;
  }
  if (ms < 0 || ms > 600000) {
    error = "delay in '" + text + "' must be a number of milliseconds from 0 to 600000";
    return false;
  }
  map[op] = ms;
  return true;
}

bool ParseDeliverySwitch(const std::string& text, TSandboxDelivery delivery,
                         std::map<std::string, TSandboxDelivery>& map, std::string& error) {
  const std::string op = OperationName(text);
  if (op.empty()) {
    error = "unknown operation '" + text + "' (evaluate, redeem, reverse, status or all)";
    return false;
  }
  const auto [it, added] = map.emplace(op, delivery);
  if (!added && it->second != delivery) {
    error = "'" + op + "' is named for both --lose-answer and --reset-answer";
    return false;
  }
  return true;
}

bool ParseAnswerSwitch(const std::string& text, std::map<std::string, std::string>& map,
                       std::string& error) {
  const size_t colon = text.find(':');
  const std::string op =
      colon == std::string::npos ? std::string() : OperationName(text.substr(0, colon));
  if (op.empty()) {
    error =
        "expected OPERATION:FILE (evaluate, redeem, reverse, status or all), not '" + text + "'";
    return false;
  }
  const std::string file = text.substr(colon + 1);
  std::string body;
  if (!ReadWholeFile(file, body, error, "the answer file")) return false;
  map[op] = std::move(body);
  return true;
  return true;
}
