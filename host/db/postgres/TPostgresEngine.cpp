#include "host/db/postgres/TPostgresEngine.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "host/db/postgres/PostgresCall.h"
#include "host/db/postgres/PostgresConnectionText.h"
#include "host/db/postgres/PostgresDialect.h"
#include "host/db/postgres/TPostgresConnection.h"
#include "host/db/sql/SqlText.h"

namespace {

// SQLSTATEs of a transaction that lost to another and may be run again.
constexpr const char* kSerializationFailure = "40001";
constexpr const char* kDeadlockDetected = "40P01";
// The SQLSTATE of a statement naming a table that is not there.
constexpr const char* kUndefinedTable = "42P01";

class TPostgresEngine final : public TDBEngine {
 public:
  explicit TPostgresEngine(TPostgresOptions options) : FConnection(std::move(options)) {}
  ~TPostgresEngine() override { Close(); }

  std::string Shown() override { return FConnection.Shown(); }

  bool Exists(std::string& error) override { return FConnection.Connect(error); }

  bool Rewrite(const std::string& sql, std::string& sent, std::string& error) override {
    TPostgresText text;
    auto finder = [this](const std::string& table, std::string& column, std::string& why) {
      return FConnection.IdentityColumn(table, column, why);
    };
    if (!RewriteForPostgres(sql, finder, text, error)) return false;
    sent = std::move(text.Sent);
    return true;
  }

  TDBRun Run(const std::string& sent, bool write, TDBSink* sink) override {
    std::string state;
    return RunCall(sent, write, sink, state);
  }

  bool Tables(std::vector<std::string>& tables, std::string& sent, std::string& error) override {
    sent = kTableList.Text;
    return FirstColumnOf(*this, sent, tables, error);
  }

  // The table's own SELECT, which the server plans in a fraction of a catalogue query's time
  // and resolves as the till's statements are resolved.
  bool Columns(const std::string& table, std::vector<std::string>& columns, std::string& sent,
               std::string& error) override {
    struct TLayout final : TDBSink {
      bool Wants(const std::vector<std::string>& names) override {
        Columns = names;
        return false;
      }
      void Row(std::vector<TDBCell>&) override {}
      std::vector<std::string> Columns;
    } layout;
    sent = "SELECT * FROM " + SqlQuotedName(table) + " WHERE 1 = 0";
    std::string state;
    const TDBRun run = RunCall(sent, false, &layout, state);
    columns.clear();
    if (run.Error.empty()) {
      columns = std::move(layout.Columns);
      return true;
    }
    if (state == kUndefinedTable) return true;
    error = run.Error;
    return false;
  }

  void Close() override { FConnection.Close(); }

 private:
  // A call, run again while that may help; state: the SQLSTATE of its last failure.
  TDBRun RunCall(const std::string& sent, bool write, TDBSink* sink, std::string& state) {
    TDBRun run;
    if (const size_t nul = sent.find('\0'); nul != std::string::npos) {
      run.Error = "the statement holds a NUL byte at offset " + std::to_string(nul);
      return run;
    }
    const auto start = TPgClock::now();
    FConnection.ClearTimedOut();
    const auto busyEnd = start + std::chrono::milliseconds(FConnection.Busy());
    const auto deadline = busyEnd + std::chrono::milliseconds(kCallMarginMs);
    const TCallPlan plan(sent, write);
    auto pause = std::chrono::milliseconds(5);
    bool reopened = false;
    // Why the call was run again on a new connection: the trace must show that its first run
    // did not stand, or a row written once would read as a call that ran once.
    std::string again;
    auto noted = [&again](TDBRun& done) -> TDBRun& {
      if (!again.empty()) done.Note = again + (done.Note.empty() ? "" : "; " + done.Note);
      return done;
    };
    for (;;) {
      std::vector<TKeptResult> kept;
      state.clear();
      const TCallOutcome outcome =
          RunPostgresCall(FConnection, plan, write, deadline, kept, run, state);
      if (outcome == TCallOutcome::Done) {
        Deliver(kept, sink);
        return noted(run);
      }
      if (outcome == TCallOutcome::Gone && !reopened) {
        // Nothing was committed: the statement never reached a COMMIT, or the server says the
        // transaction was rolled back.
        reopened = true;
        again = "run again on a new connection: " + run.Error;
        Close();
        run = TDBRun{};
        continue;
      }
      if ((state == kSerializationFailure || state == kDeadlockDetected) &&
          TPgClock::now() + pause < busyEnd) {
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(200));
        run = TDBRun{};
        continue;
      }
      run.Changed = 0;
      return noted(run);
    }
  }

  static void Deliver(std::vector<TKeptResult>& kept, TDBSink* sink) {
    if (!sink) return;
    for (TKeptResult& result : kept) {
      if (!sink->Wants(result.Columns)) continue;
      for (std::vector<TDBCell>& row : result.Rows) {
        sink->Row(row);
        if (sink->Satisfied()) break;
      }
    }
  }

  TPostgresConnection FConnection;
};

}  // namespace

TDBEnginePtr NewPostgresEngine(const TPostgresOptions& options) {
  return std::make_unique<TPostgresEngine>(options);
}
