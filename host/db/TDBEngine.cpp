#include "host/db/TDBEngine.h"

bool FirstColumnOf(IDBEngine& engine, const std::string& sent, std::vector<std::string>& names,
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
