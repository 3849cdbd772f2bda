#include "host/db/TDBEngine.h"

#include <charconv>
#include <cmath>

bool FirstColumnOf(TDBEngine& engine, const std::string& sent, std::vector<std::string>& names,
                   std::string& error) {
  struct TNames final : TDBSink {
    bool Wants(const std::vector<std::string>&) override { return true; }
    void Row(std::vector<TDBCell>& cells) override { Names.push_back(cells.at(0).Text); }
    std::vector<std::string> Names;
  } sink;
  const TDBRun run = engine.Run(sent, false, &sink);
  if (!run.Error.empty()) {
    error = run.Error;
    return false;
  }
  names = std::move(sink.Names);
  return true;
}

std::string FloatCellText(double value) {
  if (std::isnan(value)) return "null";
  if (std::isinf(value)) return value > 0 ? "1e999" : "-1e999";
  char text[64];
  const auto end = std::to_chars(text, text + sizeof text, value).ptr;
  std::string out(text, end);
  if (out.find_first_of(".e") == std::string::npos) out += ".0";
  return out;
}
