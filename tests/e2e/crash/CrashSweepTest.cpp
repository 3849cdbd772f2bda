// The till killed at every step of a voucher payment, a cancel and an override: one clean run
// under dovra-crashpoint lists the steps by which the till leaves a mark (database files, the
// module's log, sends to the voucher service and the database server); then, for each step N
// and once after the last, the flow runs again on a fresh database and module copy, is killed
// at the entry of step N, and `reconcile --older-than 0` runs twice. After each point, what a
// store relies on must hold:
//   - no live redemption of the run's voucher that no paid or linked sale holds (pay), none at
//     all (cancel, override);
//   - no reference the service holds reversed while the module's row or the till's sale reads
//     paid or linked; the row and the sale agree with each other and with the service;
//   - the database sound and `transactions --json` readable;
//   - the second reconcile gives nothing back and exits 0; the first exits 0, or 3 naming what
//     needs a person;
//   - a following payment on the same database pays and links.
// Every failing point is named (flow, engine, N, the call and its target, the module log's last
// line, what reconcile printed) in one summary per flow and engine.
//
// SARN_CRASH_KNOWN (e.g. "cancel,override" or "cancel/postgres") names flows whose failing
// points are known and being worked on: they still run and print their summary, and end as
// skipped instead of failed; once such a flow passes, its test fails until the name is taken
// off, so that the switch cannot outlive the fault it waits for.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "lib/json/clsJSONDocument.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Contains.h"
#include "tests/support/PostgresServer.h"
#include "tests/support/SandboxProcess.h"
#include "tests/support/TestFolder.h"

namespace fs = std::filesystem;

namespace {

enum class TFlow { Pay, Cancel, Override };

const char* FlowName(TFlow flow) {
  return flow == TFlow::Pay ? "pay" : flow == TFlow::Cancel ? "cancel" : "override";
}

bool OnPostgres() {
  const char* engine = std::getenv("SARN_TEST_TILL_ENGINE");
  return engine && std::string(engine) == "postgres";
}

std::string EngineName() { return OnPostgres() ? "postgres" : "sqlite"; }

// Whether SARN_CRASH_KNOWN names the flow, alone or with this engine.
bool KnownFailing(TFlow flow) {
  const char* known = std::getenv("SARN_CRASH_KNOWN");
  if (!known) return false;
  std::stringstream list(known);
  for (std::string item; std::getline(list, item, ',');)
    if (item == FlowName(flow) || item == std::string(FlowName(flow)) + "/" + EngineName())
      return true;
  return false;
}

// The lines of a text, without their ends.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::stringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

// A member's text; empty when it is missing or null.
std::string Member(const TJSONValue& object, const char* name) {
  const TJSONValue* value = object.Find(name);
  return value && !value->IsNull() && !value->IsEmpty() ? value->ToText() : std::string();
}

// A database of its own for one point: a copy of the upgraded template, an SQLite file or a
// database on the test server, dropped with the object.
class TPointDatabase {
 public:
  TPointDatabase(const std::string& server, const std::string& templ, const std::string& file)
      : FServer(server) {
    if (server.empty()) {
      fs::copy_file(templ, file, fs::copy_options::overwrite_existing);
      Connection = file;
      return;
    }
    static int counter = 0;
    FName = "sarn_crash_" + std::to_string(::getpid()) + "_" + std::to_string(++counter);
    TPostgresSession session(server);
    std::string error;
    if (!session.Exec("CREATE DATABASE \"" + FName + "\" TEMPLATE \"" + templ + "\"", error))
      throw std::runtime_error("cannot copy the template database: " + error);
    Connection = server + " dbname=" + FName;
  }
  ~TPointDatabase() {
    if (FName.empty()) return;
    TPostgresSession session(FServer);
    std::string ignored;
    session.Exec("DROP DATABASE IF EXISTS \"" + FName + "\" WITH (FORCE)", ignored);
  }
  TPointDatabase(const TPointDatabase&) = delete;
  TPointDatabase& operator=(const TPointDatabase&) = delete;

  std::string Connection;

 private:
  std::string FServer, FName;
};

// What one point found: the step it was killed at and every invariant it saw broken, with
// what tells the story (the module log's last line, what reconcile printed).
struct TPointResult {
  int N = 0;
  std::string Step;  // "killed at step N: call target ..." or "not killed: ..."
  std::vector<std::string> Problems;
  std::string LastLogLine, Reconcile1, Reconcile2;
};

class CrashSweep : public TTestFolder {
 protected:
  CrashSweep() : TTestFolder("dovra-crash") {}

  void SetUp() override {
    TTestFolder::SetUp();
#ifdef DOVRA_CRASH_SWEEP_SKIP
    GTEST_SKIP() << DOVRA_CRASH_SWEEP_SKIP;
#endif
    // One single-use voucher per run and per following payment, so that a point never finds
    // what an earlier point left used.
    std::string book = "{\"Vouchers\":[";
    for (int i = 0; i < kCodes; ++i)
      book += std::string(i ? "," : "") + "{\"Code\":\"" + Code(i) +
              "\",\"DisplayName\":\"Crash 10.00 off\",\"Kind\":\"fixed\",\"Amount\":10,"
              "\"MinimumOrder\":20,\"MultipleUse\":false}";
    Write(Path("vouchers.json"), book + "]}");
    Sandbox = std::make_unique<TSandboxProcess>(
        std::vector<std::string>{"--vouchers", Path("vouchers.json")});
    ServicePort = Sandbox->URL.substr(Sandbox->URL.rfind(':') + 1);
    ServicePort.pop_back();  // the address ends in '/'

    fs::create_directories(dir_ / "template");
    fs::copy_file(DOVRA_MODULE_PATH, dir_ / "template" / "DovraVoucherPayment.smd");
    std::string templ = Path("template/till.db");
    if (OnPostgres()) {
      std::string error;
      Server = TestPostgresServer(error);
      ASSERT_FALSE(Server.empty()) << error;
      ASSERT_TRUE(Template.Create(Server, error)) << error;
      templ = Template.Connection();
      TemplateName = templ.substr(templ.rfind("dbname=") + 7);
    } else {
      TemplateName = templ;
    }
    const TRun upgrade = Till({"--module", Path("template/DovraVoucherPayment.smd"), "--db", templ,
                               "--ca-file", Sandbox->CertFile(), "upgrade"});
    ASSERT_EQ(upgrade.Exit, 0) << upgrade.Output;
  }

  static constexpr int kCodes = 600;
  static std::string Code(int i) {
    char code[16];
    std::snprintf(code, sizeof code, "CRASH%04d", i);
    return code;
  }

  struct TRun {
    int Exit = -1;
    std::string Output;
  };
  TRun Run(const std::string& program, const std::vector<std::string>& args) {
    TChildProcess child;
    child.MergeErrors = true;
    TRun run;
    std::string error;
    if (!child.Start(program, args, {"DOVRA_BASE_URL=" + Sandbox->URL, "QT_QPA_PLATFORM=offscreen"},
                     error)) {
      run.Output = error;
      return run;
    }
    run.Exit = child.ReadAllAndWait(run.Output, kChildWaitMs);
    return run;
  }
  TRun Till(const std::vector<std::string>& args) { return Run(SARN_TILL_PROGRAM, args); }

  // One point's folder, module copy and database, and the till's options on them.
  struct TPoint {
    fs::path Folder;
    std::unique_ptr<TPointDatabase> Database;
    std::string Voucher, Following;
    int Invoice = 0;
    std::vector<std::string> Options;  // before the command
  };
  std::unique_ptr<TPoint> NewPoint(int n) {
    auto point = std::make_unique<TPoint>();
    point->Folder = dir_ / ("point-" + std::to_string(n));
    fs::create_directories(point->Folder / "module");
    fs::copy_file(DOVRA_MODULE_PATH, point->Folder / "module" / "DovraVoucherPayment.smd");
    point->Database = std::make_unique<TPointDatabase>(Server, TemplateName,
                                                       (point->Folder / "till.db").string());
    point->Voucher = Code(2 * n);
    point->Following = Code(2 * n + 1);
    point->Invoice = 1000 + n;
    point->Options = {"--module",  (point->Folder / "module" / "DovraVoucherPayment.smd").string(),
                      "--db",      point->Database->Connection,
                      "--ca-file", Sandbox->CertFile()};
    return point;
  }
  std::vector<std::string> With(const TPoint& point, const std::vector<std::string>& command) {
    std::vector<std::string> args = point.Options;
    args.insert(args.end(), command.begin(), command.end());
    return args;
  }
  // A payment with the voucher, then: "--invoice N" or "--cancel".
  static std::vector<std::string> PayArgs(const std::string& voucher,
                                          const std::vector<std::string>& then) {
    std::vector<std::string> args{
        "pay",       "--amount",  "62.50", "--order",  DOVRA_SOURCE_DIR "/examples/order.json",
        "--popup",   "--voucher", voucher, "--mobile", "0612345678",
        "--give-up", "20"};
    args.insert(args.end(), then.begin(), then.end());
    return args;
  }

  // The flow's traced command; for an override, the payment it overrides comes first, untraced.
  std::vector<std::string> FlowCommand(TFlow flow, const TPoint& point) {
    std::vector<std::string> args;
    const std::string invoice = std::to_string(point.Invoice);
    switch (flow) {
      case TFlow::Pay:
        args = PayArgs(point.Voucher, {"--invoice", invoice});
        break;
      case TFlow::Cancel:
        args = PayArgs(point.Voucher, {"--cancel"});
        break;
      case TFlow::Override:
        args = {"override", "--invoice", invoice};
        break;
    }
    return With(point, args);
  }

  // The flow under dovra-crashpoint: listing its steps (killAt 0) or killed at step killAt.
  TRun Traced(TFlow flow, const TPoint& point, int killAt, std::string& report) {
    std::vector<std::string> args{"--module-folder", (point.Folder / "module").string(),
                                  "--service-port",  ServicePort,
                                  "--report",        (point.Folder / "steps.txt").string()};
    if (!OnPostgres()) args.insert(args.end(), {"--db", point.Database->Connection});
    // A server reached over TCP is told by its port; its Unix socket names itself.
    std::smatch port;
    if (std::regex_search(Server, port, std::regex("(^| )port=(\\d+)")))
      args.insert(args.end(), {"--server-port", port[2].str()});
    if (killAt)
      args.insert(args.end(), {"--kill-at", std::to_string(killAt)});
    else
      args.push_back("--list");
    args.insert(args.end(), {"--", SARN_TILL_PROGRAM});
    const std::vector<std::string> command = FlowCommand(flow, point);
    args.insert(args.end(), command.begin(), command.end());
    const TRun run = Run(DOVRA_CRASHPOINT_PATH, args);
    report = Read((point.Folder / "steps.txt").string());
    return run;
  }

  // The override's payment, made before the traced run.
  bool Prepare(TFlow flow, const TPoint& point, std::string& why) {
    if (flow != TFlow::Override) return true;
    const TRun run =
        Till(With(point, PayArgs(point.Voucher, {"--invoice", std::to_string(point.Invoice)})));
    if (run.Exit == 0) return true;
    why = "the payment to override failed (exit " + std::to_string(run.Exit) + "): " + run.Output;
    return false;
  }

  std::string LastLogLine(const TPoint& point) {
    std::string last = "(no module log)";
    for (const auto& entry : fs::directory_iterator(point.Folder / "module"))
      if (entry.path().extension() == ".log")
        for (const std::string& line : Lines(Read(entry.path().string())))
          if (!line.empty()) last = line;
    return last;
  }

  // The database's own check: SQLite's integrity check, or every table readable on the server.
  std::string Soundness(const TPoint& point) {
    if (OnPostgres()) {
      TPostgresSession session(point.Database->Connection);
      for (const char* table : {"DovraTransactions", "DovraLog", "SarnSales"}) {
        std::string error;
        if (session.Value(std::string("SELECT count(*) FROM \"") + table + "\"", error).empty())
          return std::string("table ") + table + " unreadable: " + error;
      }
      return {};
    }
    sqlite3* db = nullptr;
    std::string result;
    if (sqlite3_open(point.Database->Connection.c_str(), &db) != SQLITE_OK) {
      result = std::string("cannot open the database: ") + sqlite3_errmsg(db);
    } else {
      sqlite3_stmt* check = nullptr;
      if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &check, nullptr) != SQLITE_OK)
        result = std::string("integrity_check: ") + sqlite3_errmsg(db);
      while (check && sqlite3_step(check) == SQLITE_ROW) {
        const std::string line = reinterpret_cast<const char*>(sqlite3_column_text(check, 0));
        if (line != "ok") result += "integrity_check: " + line + "; ";
      }
      sqlite3_finalize(check);
    }
    sqlite3_close(db);
    return result;
  }

  // The invariants on the service's redemptions of the run's voucher and the till's records.
  void CheckRecords(TFlow flow, const TPoint& point, TPointResult& result) {
    auto& problems = result.Problems;
    const TRun book = Run(DOVRA_SANDBOX_PROGRAM, {"book", "--data", Sandbox->Dir().string(),
                                                  "--vouchers", Path("vouchers.json"), "--json"});
    const TJSONValue listing = ParseJSONDocument(book.Output);
    if (book.Exit != 0 || listing.IsEmpty()) {
      problems.push_back("the sandbox's book is unreadable: " + book.Output);
      return;
    }
    std::map<std::string, bool> atService;  // reference -> live
    const TJSONValue redemptions = listing.Get("Redemptions");
    // The following payment's voucher too: settled by the next payment, it has paid already.
    for (int32_t i = 0; i < redemptions.Count(); ++i)
      if (const std::string code = Member(redemptions._(i), "Code");
          code == point.Voucher || code == point.Following)
        atService[Member(redemptions._(i), "Reference")] =
            !redemptions._(i).Get("Reversed").ToBoolean();

    const TRun shown = Till(With(point, {"transactions", "--json"}));
    if (shown.Exit != 0) problems.push_back("transactions --json failed: " + shown.Output);
    std::map<std::string, std::string> rowState, saleState;  // reference -> State
    for (const std::string& line : Lines(shown.Output)) {
      if (line.empty() || line[0] != '{') continue;
      const TJSONValue row = ParseJSONDocument(line);
      if (row.IsEmpty()) {
        problems.push_back("transactions --json printed a line that is no JSON: " + line);
        continue;
      }
      const std::string table = Member(row, "table");
      const std::string reference = Member(row, "VoucherReference");
      if (reference.empty()) continue;
      if (table == "DovraTransactions") rowState[reference] = Member(row, "State");
      if (table == "SarnSales") saleState[reference] = Member(row, "State");
    }
    auto holds = [](const std::string& state) { return state == "paid" || state == "linked"; };
    auto stateOf = [](const std::map<std::string, std::string>& states, const std::string& ref) {
      const auto it = states.find(ref);
      return it == states.end() ? std::string("(none)") : it->second;
    };

    std::string log;
    for (const auto& entry : fs::directory_iterator(point.Folder / "module"))
      if (entry.path().extension() == ".log") log += Read(entry.path().string());
    for (const auto& [reference, live] : atService) {
      const std::string row = stateOf(rowState, reference), sale = stateOf(saleState, reference);
      // The till records an override in its sales before it loads the module: an override killed
      // before that record stood never began, and its invoice stands as it was, both records
      // linked and no reverse of it in the module's journal.
      const bool neverBegun = flow == TFlow::Override && row == "linked" && sale == "linked" &&
                              log.find("Reversing : " + reference) == std::string::npos;
      if (live && flow != TFlow::Pay && !neverBegun)
        problems.push_back("the service holds " + reference + " of " + point.Voucher +
                           " live after the " + FlowName(flow) + " (row " + row + ", sale " + sale +
                           ")");
      if (live && flow == TFlow::Pay && !holds(sale))
        problems.push_back("the service holds " + reference +
                           " live and no paid or linked sale holds it (sale " + sale + ", row " +
                           row + ")");
      if (!live && (holds(row) || holds(sale)))
        problems.push_back("the service holds " + reference + " reversed while the row reads " +
                           row + " and the sale " + sale);
    }
    std::map<std::string, bool> references;
    for (const auto& [reference, state] : rowState) references[reference];
    for (const auto& [reference, state] : saleState) references[reference];
    for (const auto& [reference, unused] : references) {
      const std::string row = stateOf(rowState, reference), sale = stateOf(saleState, reference);
      if (!holds(row) && !holds(sale)) continue;
      if (row != sale)
        problems.push_back("the module's row reads " + row + " and the till's sale " + sale +
                           " for " + reference);
      if (!atService.count(reference))
        problems.push_back(reference + " reads " + row + "/" + sale +
                           " but the service has no redemption of that reference");
    }
  }

  // One point: the flow killed at step killAt (0: the listing run), reconcile twice, the
  // invariants, a following payment; settleByPay: the following payment first (it settles what
  // the killed run left before it pays), then reconcile, which must find nothing to give back.
  TPointResult Point(TFlow flow, int n, int killAt, bool settleByPay,
                     std::string* listing = nullptr) {
    TPointResult result;
    result.N = n;
    const std::unique_ptr<TPoint> point = NewPoint(n);
    std::string why, report;
    if (!Prepare(flow, *point, why)) {
      result.Problems.push_back(why);
      return result;
    }
    const TRun traced = Traced(flow, *point, killAt, report);
    if (listing) *listing = report;
    for (const std::string& line : Lines(report))
      if (line.rfind("killed at ", 0) == 0 || line.rfind("not killed", 0) == 0) result.Step = line;
    // Paths as the point's folder holds them: module/..., till.db-wal.
    const std::string folder = point->Folder.string() + "/";
    for (size_t at; (at = result.Step.find(folder)) != std::string::npos;)
      result.Step.erase(at, folder.size());
    if (traced.Exit == 125 || (killAt && result.Step.empty()))
      result.Problems.push_back("the tracer failed (exit " + std::to_string(traced.Exit) +
                                "): " + traced.Output + report);
    if (!killAt && traced.Exit != 0)
      result.Problems.push_back("the clean run failed (exit " + std::to_string(traced.Exit) +
                                "): " + traced.Output);
    result.LastLogLine = LastLogLine(*point);

    const std::string invoice = std::to_string(point->Invoice + 5000);
    const std::vector<std::string> followingArgs =
        PayArgs(point->Following, {"--invoice", invoice, "--settle-older-than", "0"});
    const auto checkFollowing = [&](const TRun& following) {
      if (following.Exit != 0 ||
          !Contains(following.Output, "invoice: " + invoice + " handed to LinkInvoice"))
        result.Problems.push_back("the following payment did not pay and link (exit " +
                                  std::to_string(following.Exit) + "): " + following.Output);
    };
    // Settled by the till's next payment, then reconcile must find nothing left to give back.
    if (settleByPay) {
      const TRun following = Till(With(*point, followingArgs));
      checkFollowing(following);
      result.Reconcile1 =
          "the following payment, exit " + std::to_string(following.Exit) + ": " + following.Output;
    }
    const TRun first = Till(With(*point, {"reconcile", "--older-than", "0"}));
    const TRun second = Till(With(*point, {"reconcile", "--older-than", "0"}));
    if (!settleByPay)
      result.Reconcile1 = "exit " + std::to_string(first.Exit) + ": " + first.Output;
    result.Reconcile2 = "exit " + std::to_string(second.Exit) + ": " + second.Output;
    if (first.Exit != 0 && !(first.Exit == 3 && !Contains(first.Output, " 0 left in doubt")))
      result.Problems.push_back("the first reconcile exited " + std::to_string(first.Exit) +
                                " without naming what needs a person");
    if (settleByPay && !Contains(first.Output, " 0 given back,"))
      result.Problems.push_back("reconcile after the following payment gave something back: " +
                                first.Output);
    if (second.Exit != 0 || !Contains(second.Output, " 0 given back,"))
      result.Problems.push_back("the second reconcile (exit " + std::to_string(second.Exit) +
                                ") gave something back or failed");

    if (const std::string unsound = Soundness(*point); !unsound.empty())
      result.Problems.push_back("the database is not sound: " + unsound);
    CheckRecords(flow, *point, result);

    if (!settleByPay) checkFollowing(Till(With(*point, followingArgs)));
    return result;
  }

  void Sweep(TFlow flow, bool settleByPay = false) {
    const auto start = std::chrono::steady_clock::now();
    const std::string name =
        std::string(FlowName(flow)) + (settleByPay ? " settled by pay" : "") + "/" + EngineName();
    std::string listing;
    const TPointResult clean = Point(flow, 0, 0, settleByPay, &listing);
    ASSERT_TRUE(clean.Problems.empty())
        << name << ": the clean run fails: " << clean.Problems.front() << "\n"
        << listing;
    std::smatch steps;
    ASSERT_TRUE(std::regex_search(listing, steps, std::regex("\nsteps: (\\d+)\n"))) << listing;
    const int total = std::stoi(steps[1].str());
    ASSERT_GT(total, 0) << listing;
    ASSERT_LT(2 * (total + 1) + 1, kCodes) << "the voucher book has too few codes for the points";
    std::cout << "crash sweep " << name << ": the clean run's " << total << " steps\n" << listing;

    std::vector<TPointResult> failing;
    for (int n = 1; n <= total + 1; ++n) {
      TPointResult point = Point(flow, n, n, settleByPay);
      if (!point.Problems.empty()) failing.push_back(std::move(point));
      std::error_code ignored;
      fs::remove_all(dir_ / ("point-" + std::to_string(n)), ignored);
    }
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start)
            .count();

    std::ostringstream summary;
    summary << "crash sweep " << name << ": " << total << " steps, " << total + 1 << " points, "
            << failing.size() << " failing, " << seconds << " s\n";
    for (const TPointResult& p : failing)
      summary << "  " << name << " N=" << p.N << ": " << p.Step << "\n";
    for (const TPointResult& p : failing) {
      summary << "\n" << name << " N=" << p.N << ": " << p.Step << "\n";
      for (const std::string& problem : p.Problems) summary << "  - " << problem << "\n";
      summary << "  module log's last line: " << p.LastLogLine << "\n"
              << "  first reconcile, " << p.Reconcile1 << "  second reconcile, " << p.Reconcile2;
    }
    if (KnownFailing(flow)) {
      std::cout << summary.str() << std::flush;
      if (failing.empty())
        ADD_FAILURE() << name << " passes at every step now: take it off SARN_CRASH_KNOWN";
      else
        GTEST_SKIP() << name << ": " << failing.size()
                     << " failing point(s), known (SARN_CRASH_KNOWN); see the summary above";
      return;
    }
    if (failing.empty()) std::cout << summary.str() << std::flush;
    EXPECT_TRUE(failing.empty()) << summary.str();
  }

  std::unique_ptr<TSandboxProcess> Sandbox;
  std::string ServicePort, Server, TemplateName;
  TPostgresDatabase Template;
};

TEST_F(CrashSweep, Pay) { Sweep(TFlow::Pay); }
TEST_F(CrashSweep, PaySettledByTheNextPayment) { Sweep(TFlow::Pay, true); }
TEST_F(CrashSweep, Cancel) { Sweep(TFlow::Cancel); }
TEST_F(CrashSweep, Override) { Sweep(TFlow::Override); }

}  // namespace
