// Whole voucher payments at the till, many in one process: the real module loaded from its .smd
// by the till's own classes, a real database (an SQLite file; a PostgreSQL server over its Unix
// socket and over TCP on 127.0.0.1 when ./run bench started one), the real dialog drawn off
// screen and worked by the cashier autopilot, and a dovra-sandbox child process answering at once
// over HTTPS. Each payment's time is split into the voucher service round trips, the database
// statements, the dialog and the module's own logic; then an overridden invoice
// (DoOverringInvoice) is measured against a transaction table of 100,000 rows. Every engine runs
// the same benchmarks in one run, so that their database shares stand side by side.
#include <benchmark/benchmark.h>
#include <libpq-fe.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/SmokeRun.h"
#include "bench/payment/PaymentClock.h"
#include "host/store/DatabaseUpgrade.h"
#include "host/till/TTill.h"
#include "host/till/TillPayment.h"
#include "intf/intfDBScript.h"
#include "lib/common/FileText.h"
#include "module/payment/DovraStatements.h"
#include "tests/support/PostgresServer.h"
#include "tests/support/SandboxProcess.h"

namespace fs = std::filesystem;

namespace {

using TClock = std::chrono::steady_clock;

TPaymentClock& Clock() {
  static TPaymentClock clock;
  return clock;
}

std::string ReadFile(const std::string& path) {
  std::string text, error;
  if (!ReadWholeFile(path, text, error)) throw std::runtime_error(error);
  return text;
}

// The engines every benchmark runs on; the PostgreSQL ones when ./run bench started a server.
enum class TEngine { kSqlite, kPostgresSocket, kPostgresTcp };

const char* EngineName(TEngine engine) {
  return engine == TEngine::kSqlite           ? "sqlite"
         : engine == TEngine::kPostgresSocket ? "pg-socket"
                                              : "pg-tcp";
}

// The server connection of a PostgreSQL engine; empty when none was started.
std::string ServerOf(TEngine engine) {
  const char* server =
      getenv(engine == TEngine::kPostgresSocket ? "SARN_TEST_POSTGRES" : "SARN_TEST_POSTGRES_TCP");
  return server ? server : "";
}

// A connection of the benchmark's own, for filling and indexing the table directly.
class TDirectDatabase {
 public:
  virtual ~TDirectDatabase() = default;
  virtual void Run(const std::string& sql) = 0;
  virtual int Count(const std::string& table) = 0;
  // Past payments, each on an invoice of its own, shaped as the module leaves them.
  virtual void AddPastPayments(int rows) = 0;
};

class TDirectSqlite final : public TDirectDatabase {
 public:
  explicit TDirectSqlite(const std::string& path) {
    if (sqlite3_open(path.c_str(), &FDb) != SQLITE_OK) {
      const std::string message = sqlite3_errmsg(FDb);
      sqlite3_close(FDb);
      throw std::runtime_error("cannot open " + path + ": " + message);
    }
    sqlite3_busy_timeout(FDb, 5000);
  }
  ~TDirectSqlite() { sqlite3_close(FDb); }
  TDirectSqlite(const TDirectSqlite&) = delete;
  TDirectSqlite& operator=(const TDirectSqlite&) = delete;

  void Run(const std::string& sql) override {
    char* message = nullptr;
    if (sqlite3_exec(FDb, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
      const std::string text = message ? message : "unknown error";
      sqlite3_free(message);
      throw std::runtime_error("'" + sql + "' failed: " + text);
    }
  }

  int Count(const std::string& table) override {
    sqlite3_stmt* count = nullptr;
    const std::string sql = "SELECT COUNT(*) FROM " + table;
    int rows = -1;
    if (sqlite3_prepare_v2(FDb, sql.c_str(), -1, &count, nullptr) == SQLITE_OK &&
        sqlite3_step(count) == SQLITE_ROW)
      rows = sqlite3_column_int(count, 0);
    sqlite3_finalize(count);
    if (rows < 0) throw std::runtime_error("'" + sql + "' failed: " + sqlite3_errmsg(FDb));
    return rows;
  }

  void AddPastPayments(int rows) override {
    if (rows <= 0) return;
    Run("BEGIN");
    sqlite3_stmt* insert = nullptr;
    const char* sql =
        "INSERT INTO DovraTransactions (Timestamp_Created, Timestamp_Payment, InvoiceNum, "
        "VoucherReference, RedeemJSON, Amount) VALUES ('2024-05-01 10:00:00.000', "
        "'2024-05-01 10:00:05.000', ?1, ?2, ?3, 9.38)";
    if (sqlite3_prepare_v2(FDb, sql, -1, &insert, nullptr) != SQLITE_OK)
      throw std::runtime_error(std::string("cannot prepare the filling insert: ") +
                               sqlite3_errmsg(FDb));
    for (int i = 1; i <= rows; ++i) {
      char reference[32];
      std::snprintf(reference, sizeof reference, "OLD-%08d", i);
      const std::string answer =
          std::string(R"({"Success":true,"VoucherCode":"SAVE15","VoucherReference":")") +
          reference + R"(","DiscountAmount":9.38,"ErrorMessage":""})";
      sqlite3_bind_int(insert, 1, i);
      sqlite3_bind_text(insert, 2, reference, -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(insert, 3, answer.c_str(), -1, SQLITE_TRANSIENT);
      if (sqlite3_step(insert) != SQLITE_DONE) {
        const std::string message = sqlite3_errmsg(FDb);
        sqlite3_finalize(insert);
        throw std::runtime_error("filling row " + std::to_string(i) + " failed: " + message);
      }
      sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    Run("COMMIT");
  }

 private:
  sqlite3* FDb = nullptr;
};

class TDirectPostgres final : public TDirectDatabase {
 public:
  explicit TDirectPostgres(const std::string& connection) : FDb(PQconnectdb(connection.c_str())) {
    if (PQstatus(FDb) != CONNECTION_OK) {
      const std::string message = PQerrorMessage(FDb);
      PQfinish(FDb);
      throw std::runtime_error("cannot connect to the benchmark's database: " + message);
    }
    Query("SET client_min_messages = warning");  // no notices about indexes already there
  }
  ~TDirectPostgres() override { PQfinish(FDb); }
  TDirectPostgres(const TDirectPostgres&) = delete;
  TDirectPostgres& operator=(const TDirectPostgres&) = delete;

  void Run(const std::string& sql) override { Query(sql); }
  int Count(const std::string& table) override {
    const std::string text = Query("SELECT COUNT(*) FROM \"" + table + "\"");
    return std::stoi(text);
  }
  void AddPastPayments(int rows) override {
    if (rows <= 0) return;
    Query(
        "INSERT INTO \"DovraTransactions\" (\"Timestamp_Created\", \"Timestamp_Payment\", "
        "\"InvoiceNum\", \"VoucherReference\", \"RedeemJSON\", \"Amount\") SELECT "
        "'2024-05-01 10:00:00.000', '2024-05-01 10:00:05.000', i, 'OLD-' || lpad(i::text, 8, "
        "'0'), '{\"Success\":true,\"VoucherCode\":\"SAVE15\",\"VoucherReference\":\"OLD-' || "
        "lpad(i::text, 8, '0') || '\",\"DiscountAmount\":9.38,\"ErrorMessage\":\"\"}', 9.38 "
        "FROM generate_series(1, " +
        std::to_string(rows) + ") AS i");
  }

 private:
  // The first value of the result ("" without rows); throws with the server's message.
  std::string Query(const std::string& sql) {
    std::unique_ptr<PGresult, void (*)(PGresult*)> r(PQexec(FDb, sql.c_str()), PQclear);
    const ExecStatusType status = PQresultStatus(r.get());
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
      throw std::runtime_error("'" + sql + "' failed: " + PQerrorMessage(FDb));
    return PQntuples(r.get()) > 0 ? PQgetvalue(r.get(), 0, 0) : "";
  }

  PGconn* FDb;
};

// The till with the module loaded on one engine, the sandbox it pays against and the folder
// everything works in; made by the first benchmark that runs, stopped before the application
// object goes. One till at a time: asked for another engine, the till stops and starts again on
// it (each engine's database and module copy stay, so past payments are filled once).
class TBenchTill {
 public:
  TBenchTill() { ::setenv("DOVRA_BASE_URL", FSandbox.URL.c_str(), 1); }

  TTill& Till(TEngine engine) {
    if (FTill && FEngine == engine) return *FTill;
    FTill.reset();
    const std::string folder = FFolder.Path(EngineName(engine));
    if (!fs::exists(folder)) {
      fs::create_directories(folder);
      // A module file of its own, so that its log lands in the benchmark's folder.
      fs::copy_file(DOVRA_MODULE_PATH, folder + "/DovraVoucherPayment.smd");
    }
    TTillOptions options;
    options.ModulePath = folder + "/DovraVoucherPayment.smd";
    options.CaFile = FSandbox.CertFile();
    options.DatabasePath = Database(engine);
    FTill = std::make_unique<TTill>(options);
    FEngine = engine;
    std::string error;
    if (!FTill->Start(error)) throw std::runtime_error("the till did not start: " + error);
    const TDatabaseUpgradeResult upgrade =
        RunDatabaseUpgrade(FTill->Registry(), FTill->Database(), FTill->ActionCodes());
    if (upgrade.Outcome != TUpgradeOutcome::Done) {
      std::string why;
      for (const TUpgradeLine& line : upgrade.Lines)
        if (line.Failure) why += " " + line.Text;
      throw std::runtime_error("the database upgrade of " + options.DatabasePath +
                               " failed:" + why);
    }
    InstallTimedServices(FTill->Registry(), FTill->Database(), Clock());
    return *FTill;
  }

  // A direct connection to the engine's database, beside the till's.
  std::unique_ptr<TDirectDatabase> Direct(TEngine engine) {
    if (engine == TEngine::kSqlite) return std::make_unique<TDirectSqlite>(Database(engine));
    return std::make_unique<TDirectPostgres>(Database(engine));
  }

 private:
  // One database per engine for the whole run, as a till has: the action codes service makes
  // its tables once per process, so the connection is not switched to another database.
  std::string Database(TEngine engine) {
    if (engine == TEngine::kSqlite) return FFolder.Path("sarn-till.db");
    std::unique_ptr<TPostgresDatabase>& database = FServerDatabases[engine];
    if (!database) {
      const std::string server = ServerOf(engine);
      if (server.empty())
        throw std::runtime_error(std::string("no PostgreSQL server for ") + EngineName(engine));
      database = std::make_unique<TPostgresDatabase>();
      std::string error;
      if (!database->Create(server, error)) {
        database.reset();
        throw std::runtime_error(error);
      }
    }
    return database->Connection();
  }

  TSandboxProcess FSandbox;
  TScratchFolder FFolder{"dovra-payment-bench"};
  std::map<TEngine, std::unique_ptr<TPostgresDatabase>> FServerDatabases;
  std::unique_ptr<TTill> FTill;        // stops (and unloads the module) before the folder goes
  TEngine FEngine = TEngine::kSqlite;  // meaningful while FTill is set
};

std::unique_ptr<TBenchTill>& BenchTillSlot() {
  static std::unique_ptr<TBenchTill> till;
  return till;
}

TBenchTill& BenchTill() {
  std::unique_ptr<TBenchTill>& till = BenchTillSlot();
  if (!till) till = std::make_unique<TBenchTill>();
  return *till;
}

TPaymentRun VoucherPayment(int32_t invoice) {
  static const std::string order = ReadFile(DOVRA_SOURCE_DIR "/examples/order.json");
  TPaymentRun run;
  run.Amount = 625000;
  run.OrderDocument = order;
  run.Popup = true;
  TCashierScript cashier;
  cashier.VoucherCode = "SAVE15";  // usable any number of times at the sandbox
  cashier.UserReference = "0612345678";
  cashier.GiveUpMs = 10000;
  cashier.PollMs = 0;  // a tick whenever the dialog's loop is idle: no waiting between steps
  run.Cashier = cashier;
  run.Invoice = invoice;
  return run;
}

// One whole payment; false with what the till printed when the voucher did not pay.
bool Pay(TEngine engine, int32_t invoice, std::string& output) {
  std::ostringstream out, err;
  TTill& till = BenchTill().Till(engine);
  const TPaymentRun run = VoucherPayment(invoice);
  const TExitCode code = RunPayment(till, run, OpenSale(till, run.Amount, err), out, err);
  if (code == TExitCode::Done) return true;
  output = "payment for invoice " + std::to_string(invoice) + " ended with " +
           std::to_string(ExitStatus(code)) + ": " + out.str() + err.str();
  return false;
}

// Google Benchmark calls a benchmark several times (first to size the run), so every payment of
// the process takes an invoice number of its own from here.
int32_t NextInvoice() {
  static int32_t invoice = 10000000;
  return ++invoice;
}

double Seconds(TClock::duration d) { return std::chrono::duration<double>(d).count(); }

void SetShare(benchmark::State& state, const char* name, double seconds) {
  state.counters[name] = benchmark::Counter(seconds, benchmark::Counter::kAvgIterations);
}

void SetCalls(benchmark::State& state, const char* name, int64_t calls) {
  state.counters[name] =
      benchmark::Counter(static_cast<double>(calls), benchmark::Counter::kAvgIterations);
}

// Counters per payment, in seconds: voucher, db, dialog, cashier, and module (what is left).
void ReportPaymentSplit(benchmark::State& state, double total, const TPaymentTimes& t) {
  SetShare(state, "total", total);
  SetShare(state, "voucher", t.Voucher);
  SetShare(state, "db", t.Database);
  SetShare(state, "dialog", t.Dialog);
  SetShare(state, "cashier", t.Cashier);
  SetShare(state, "module", total - t.Voucher - t.Database - t.Dialog - t.Cashier);
  SetCalls(state, "voucher_calls", t.VoucherCalls);
  SetCalls(state, "db_calls", t.DatabaseCalls);
}

void WholePayment(benchmark::State& state, TEngine engine) {
  std::string failure;
  try {
    BenchTill().Till(engine);
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
    return;
  }
  // The first dialogs load fonts and styles once per process; a till has them long before.
  for (int i = 0; i < 3; ++i)
    if (!Pay(engine, NextInvoice(), failure)) {
      state.SkipWithError(failure.c_str());
      return;
    }
  const TPaymentTimes before = Clock().Times;
  const TClock::time_point start = TClock::now();
  for (auto _ : state)
    if (!Pay(engine, NextInvoice(), failure)) {
      state.SkipWithError(failure.c_str());
      return;
    }
  ReportPaymentSplit(state, Seconds(TClock::now() - start), Clock().Times - before);
}

// One database call of a payment (the module's invoice link of one row) on its own, timed
// through the till's DB script service: back to back, and after `pauseUs` of idleness, as the
// calls that follow the voucher dialog come. What a payment's database share owes to the engine
// and what it owes to the machine waking from the pause stand apart.
void DatabaseCall(benchmark::State& state, TEngine engine, int pauseUs) {
  TIntfPtr<IDBScript> db;
  int32_t id = 0;
  try {
    db = ResolveAs<IDBScript>(BenchTill().Till(engine).Registry());
    if (!db) throw std::runtime_error("the till has no DB script service");
    std::string value;
    if (!db->QueryValue(TransactionInsertStatement(), "ID", value))
      throw std::runtime_error("the row to update could not be made");
    id = std::stoi(value);
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
    return;
  }
  int32_t invoice = 0;
  for (auto _ : state) {
    if (pauseUs) {
      state.PauseTiming();
      std::this_thread::sleep_for(std::chrono::microseconds(pauseUs));
      state.ResumeTiming();
    }
    if (db->Execute(InvoiceLinkStatement(), {++invoice, id}) != 1) {
      state.SkipWithError("the invoice link did not change its one row");
      return;
    }
  }
}

// An overridden invoice carrying `carried` redemptions, in a table filled up to `rows` past
// payments; with `indexed`, the benchmark adds an index on InvoiceNum first, for comparison (the
// module's table script has none).
void OverriddenInvoice(benchmark::State& state, TEngine engine, int rows, int carried,
                       bool indexed) {
  try {
    BenchTill().Till(engine);
    std::unique_ptr<TDirectDatabase> direct = BenchTill().Direct(engine);
    direct->AddPastPayments(rows - direct->Count("DovraTransactions"));
    direct->Run(indexed ? "CREATE INDEX IF NOT EXISTS \"IX_DovraTransactions_InvoiceNum\" ON "
                          "\"DovraTransactions\" (\"InvoiceNum\")"
                        : "DROP INDEX IF EXISTS \"IX_DovraTransactions_InvoiceNum\"");
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
    return;
  }
  std::string failure;
  TPaymentTimes spent;
  double total = 0;
  for (auto _ : state) {
    // The invoice's redemptions are real ones, so that the sandbox takes each back.
    state.PauseTiming();
    const int32_t invoice = NextInvoice();
    for (int i = 0; i < carried; ++i)
      if (!Pay(engine, invoice, failure)) {
        state.SkipWithError(failure.c_str());
        return;
      }
    TTill& till = BenchTill().Till(engine);
    const TPaymentTimes before = Clock().Times;
    const TReversalTally reversals = till.Reversals();
    std::ostringstream out, err;
    state.ResumeTiming();
    const TClock::time_point start = TClock::now();
    const TExitCode code = RunInvoiceOverride(till, invoice, out, err);
    total += Seconds(TClock::now() - start);
    const TPaymentTimes d = Clock().Times - before;
    spent.Voucher += d.Voucher;
    spent.Database += d.Database;
    spent.Select += d.Select;
    spent.VoucherCalls += d.VoucherCalls;
    spent.DatabaseCalls += d.DatabaseCalls;
    // Each carried voucher given back: one reversal the service confirmed (as the till counts
    // them) and two activity rows, after the module's select. The count holds the till's own
    // calls too: at least its read of what it gave back earlier and its sales' settle row.
    const int32_t givenBack = till.Reversals().Confirmed - reversals.Confirmed;
    if (code != TExitCode::Done || d.VoucherCalls != carried || givenBack != carried ||
        d.DatabaseCalls < 1 + 2 * carried + 2) {
      failure = "override of invoice " + std::to_string(invoice) + " did not give back all " +
                std::to_string(carried) + " vouchers (exit code " +
                std::to_string(ExitStatus(code)) + ", " + std::to_string(d.VoucherCalls) +
                " reversals sent, " + std::to_string(givenBack) + " confirmed, " +
                std::to_string(d.DatabaseCalls) + " statements): " + out.str() + err.str();
      state.SkipWithError(failure.c_str());
      return;
    }
  }
  SetShare(state, "total", total);
  SetShare(state, "voucher", spent.Voucher);
  SetShare(state, "db", spent.Database);
  SetShare(state, "select", spent.Select);
  SetShare(state, "module", total - spent.Voucher - spent.Database);
  SetCalls(state, "voucher_calls", spent.VoucherCalls);
  SetCalls(state, "db_calls", spent.DatabaseCalls);
}

// The voucher service's cost per request stays flat while its book grows: whole payments one
// after another on one sandbox (which holds every earlier benchmark's redemptions too), the
// voucher share per payment of the first fifth against the last.
void SandboxSoak(benchmark::State& state) {
  const int64_t payments = state.range(0);
  const int64_t fifth = std::max<int64_t>(1, payments / 5);
  std::string failure;
  double first = 0, last = 0;
  for (auto _ : state) {
    first = last = 0;
    for (int64_t i = 0; i < payments; ++i) {
      const TPaymentTimes before = Clock().Times;
      if (!Pay(TEngine::kSqlite, NextInvoice(), failure)) {
        state.SkipWithError(failure.c_str());
        return;
      }
      const double voucher = (Clock().Times - before).Voucher;
      if (i < fifth) first += voucher;
      if (i >= payments - fifth) last += voucher;
    }
  }
  state.counters["voucher_first_ms"] = first / static_cast<double>(fifth) * 1e3;
  state.counters["voucher_last_ms"] = last / static_cast<double>(fifth) * 1e3;
  state.counters["last_over_first"] = first > 0 ? last / first : 0;
}

// Each engine in turn: its whole payment, then the override without and with the index. A smoke
// run takes a smaller table and Google Benchmark's shortest round; it needs the PostgreSQL server
// the test suite starts (Unix socket), and takes TCP too when that is given.
void RegisterBenchmarks(bool smoke) {
  const int rows = smoke ? 1000 : 100000;
  for (TEngine engine : {TEngine::kSqlite, TEngine::kPostgresSocket, TEngine::kPostgresTcp}) {
    const std::string name = EngineName(engine);
    if (engine != TEngine::kSqlite && ServerOf(engine).empty() &&
        !(smoke && engine == TEngine::kPostgresSocket)) {
      std::fprintf(stderr, "payment_bench: no PostgreSQL server for %s (./run bench starts one)\n",
                   name.c_str());
      continue;
    }
    benchmark::internal::Benchmark* payment =
        benchmark::RegisterBenchmark(("WholePayment/" + name).c_str(), WholePayment, engine)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
    if (!smoke) payment->MinTime(10.0);
    for (const int pauseUs : {0, 10000})
      benchmark::RegisterBenchmark(
          ("DatabaseCall/" + name + "/pause_us:" + std::to_string(pauseUs)).c_str(), DatabaseCall,
          engine, pauseUs)
          ->UseRealTime()
          ->Unit(benchmark::kMicrosecond);
    for (const bool indexed : {false, true}) {
      benchmark::internal::Benchmark* override = benchmark::RegisterBenchmark(
          ("OverriddenInvoice/" + name + "/rows:" + std::to_string(rows) +
           "/vouchers:3/indexed:" + std::to_string(indexed))
              .c_str(),
          OverriddenInvoice, engine, rows, 3, indexed);
      override->UseRealTime()->Unit(benchmark::kMillisecond);
      if (!smoke) override->MinTime(2.0);
    }
  }
  benchmark::RegisterBenchmark("SandboxSoak/sqlite", SandboxSoak)
      ->Arg(smoke ? 25 : 5000)
      ->Iterations(1)
      ->UseRealTime()
      ->Unit(benchmark::kSecond);
}

// Prints the split of each benchmark in milliseconds after Google Benchmark's own table, with
// the aims for the module's and the database's shares of a payment.
class TSplitReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) ++FErrors;
      if (run.run_type == Run::RT_Iteration && !run.error_occurred && run.counters.count("total"))
        FRuns.push_back(run);
    }
  }
  int Errors() const { return FErrors; }

  void PrintSplit() const {
    if (FRuns.empty()) return;
    std::printf(
        "\nmilliseconds per payment or per override (module: what the voucher service, the "
        "database,\nthe dialog and the cashier leave)\n");
    size_t width = 9;
    for (const Run& run : FRuns) width = std::max(width, run.benchmark_name().size());
    const int w = static_cast<int>(width);
    std::printf("%-*s %8s %8s %8s %8s %8s %8s %8s\n", w, "benchmark", "total", "voucher", "db",
                "select", "dialog", "cashier", "module");
    for (const Run& run : FRuns) {
      std::printf("%-*s", w, run.benchmark_name().c_str());
      for (const char* name : {"total", "voucher", "db", "select", "dialog", "cashier", "module"}) {
        const auto it = run.counters.find(name);
        if (it == run.counters.end())
          std::printf(" %8s", "-");
        else
          std::printf(" %8.3f", it->second.value * 1e3);
      }
      std::printf("\n");
    }
    std::printf("aims for a whole payment: module under 1 ms, db under 2 ms\n");
  }

 private:
  std::vector<Run> FRuns;
  int FErrors = 0;
};

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (std::string(argv[i]) == "--help" || std::string(argv[i]) == "-h") {
      std::printf(
          "Usage: %s [--smoke] [benchmark options]\n"
          "Whole voucher payments through the module on the till's own classes: a real SQLite\n"
          "file and, when SARN_TEST_POSTGRES (Unix socket) and SARN_TEST_POSTGRES_TCP are set, a\n"
          "PostgreSQL server, the voucher dialog off screen worked by the cashier autopilot, a\n"
          "dovra-sandbox child process (DOVRA_SANDBOX overrides the program). Reports per payment\n"
          "and engine the time in the voucher service round trips, the database, the dialog, the\n"
          "cashier autopilot and the module's own logic; then DoOverringInvoice among 100,000\n"
          "past payments; then 5,000 payments on one sandbox, the voucher share of the first\n"
          "thousand against the last. --smoke: every benchmark once, briefly, on 1,000 rows (for "
          "the test\n"
          "suite; the Unix socket server is then required).\n\n",
          argv[0]);
      benchmark::Initialize(&argc, argv);
      return 0;
    }
  // The dialog is drawn off screen unless the caller chose a platform.
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  // Qt keeps a reference to its argument count for the application's life; the benchmark
  // library edits the real one.
  int qtArgc = 1;
  char* qtArgv[] = {argv[0], nullptr};
  TTimedApplication app(qtArgc, qtArgv, Clock());

  const bool smoke = BenchSmoke::Requested(argc, argv);
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    if (i > 0 && BenchSmoke::IsFlag(argv[i])) continue;
    args.push_back(argv[i]);
    if (i == 0 && smoke) args.push_back(BenchSmoke::kMinTimeFlag);
  }
  int argCount = static_cast<int>(args.size());
  args.push_back(nullptr);
  RegisterBenchmarks(smoke);
  benchmark::Initialize(&argCount, args.data());
  if (benchmark::ReportUnrecognizedArguments(argCount, args.data())) return 1;
  int exitCode = 0;
  try {
    TSplitReporter reporter;
    const size_t ran = benchmark::RunSpecifiedBenchmarks(&reporter);
    if (!smoke) reporter.PrintSplit();
    exitCode = BenchSmoke::Verdict(argv[0], ran, reporter.Errors());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "payment_bench: %s\n", e.what());
    exitCode = 1;
  }
  BenchTillSlot().reset();
  benchmark::Shutdown();
  return exitCode;
}
