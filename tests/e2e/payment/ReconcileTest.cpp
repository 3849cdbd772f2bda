// sarn-till reconcile and voucher reverse on the real till against the sandbox: every way a
// voucher is left used with no sale holding it (a give-back that failed, a till killed while its
// Redeem was on its way) is found and given back once the service answers, and nothing a sale
// holds is ever touched.
#include <algorithm>
#include <regex>
#include <thread>

#include "lib/synlz/SynLZFile.h"
#include "tests/e2e/payment/ConnectionRelay.h"
#include "tests/support/TillFixture.h"

namespace {

using namespace std::chrono_literals;

const std::string kRef = "DVR-00000001";

class ReconcileTill : public TTillFixture {
 protected:
  // The references of the code's live redemptions at the service.
  std::vector<std::string> Live(const std::string& code) {
    const TRun run = Till({"voucher", "status", "--code", code});
    std::vector<std::string> references;
    const std::string& out = run.Output;
    const size_t live = out.find("\"LiveRedemptions\"");
    const std::regex reference("\"VoucherReference\":\"([^\"]+)\"");
    if (live == std::string::npos) return {"(no status: " + out + ")"};
    for (std::sregex_iterator it(out.begin() + live, out.end(), reference), end; it != end; ++it)
      references.push_back((*it)[1].str());
    return references;
  }

  TRun RunReconcile(const std::vector<std::string>& extra) {
    std::vector<std::string> args{"reconcile"};
    args.insert(args.end(), extra.begin(), extra.end());
    return Till(args);
  }

  // A till killed with its Redeem at the service and the answer not yet back (the sandbox
  // answers late): as a power cut at the counter leaves it. till: the options that make it
  // another till than the fixture's; environment: added to the fixture's.
  void PayAndKill(const std::string& voucher, const std::vector<std::string>& till = {},
                  const std::vector<std::string>& environment = {}) {
    const size_t redeems = Redeems();
    std::vector<std::string> args = till.empty() ? TillArgs({}) : till;
    const std::vector<std::string> pay = PayArgs(voucher);
    args.insert(args.end(), pay.begin(), pay.end());
    std::vector<std::string> env = Environment();
    env.insert(env.end(), environment.begin(), environment.end());
    TChildProcess child;
    std::string error;
    ASSERT_TRUE(child.Start(SARN_TILL_PROGRAM, args, env, error)) << error;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (Redeems() == redeems && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(50ms);
    child.Kill();
    ASSERT_GT(Redeems(), redeems) << "the Redeem never reached the service";
    ASSERT_TRUE(Contains(ModuleLog(), "Redeeming : " + voucher)) << ModuleLog();
  }

  // Another till of the store: its own number, module and database (the fixture's by default).
  std::vector<std::string> OtherTill(int number, const std::string& module,
                                     const std::string& database = {}) const {
    return {"--module",  module,
            "--db",      database.empty() ? Database : database,
            "--ca-file", Sandbox->CertFile(),
            "--till-id", std::to_string(number)};
  }

  // A till with the options of till (the fixture's when empty) and more environment (a pinned
  // clock).
  TRun TillWith(const std::vector<std::string>& till, const std::vector<std::string>& args,
                const std::vector<std::string>& environment = {}) {
    std::vector<std::string> all = till.empty() ? TillArgs({}) : till;
    all.insert(all.end(), args.begin(), args.end());
    std::vector<std::string> env = Environment();
    env.insert(env.end(), environment.begin(), environment.end());
    TChildProcess child;
    child.MergeErrors = true;
    TRun run;
    std::string error;
    if (!child.Start(SARN_TILL_PROGRAM, all, env, error)) {
      ADD_FAILURE() << error;
      return run;
    }
    run.Exit = child.ReadAllAndWait(run.Output, kChildWaitMs);
    return run;
  }

  // A module of its own in a folder of its own, for a second till.
  std::string ModuleIn(const std::string& folder) {
    fs::create_directories(Path(folder));
    const std::string module = Path(folder + "/DovraVoucherPayment.smd");
    fs::copy_file(DOVRA_MODULE_PATH, module);
    return module;
  }

  size_t Redeems() const {
    size_t n = 0;
    for (const std::string& line : Sandbox->RecordLines()) n += Contains(line, "RedeemVoucher");
    return n;
  }

  // The database refuses the update that records the payment (a full disk, a constraint).
  void RefusePaymentRecord() {
    std::string error;
    if (OnPostgres()) {
      TPostgresSession session(Database);
      ASSERT_TRUE(
          session.Exec("CREATE FUNCTION refuse() RETURNS trigger LANGUAGE plpgsql AS $$ "
                       "BEGIN RAISE EXCEPTION 'refused'; END $$; CREATE TRIGGER refuse "
                       "BEFORE UPDATE OF \"Amount\" ON \"DovraTransactions\" FOR EACH ROW "
                       "EXECUTE FUNCTION refuse()",
                       error))
          << error;
      return;
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(Database.c_str(), &db), SQLITE_OK);
    const int rc = sqlite3_exec(db,
                                "CREATE TRIGGER refuse BEFORE UPDATE OF Amount ON "
                                "DovraTransactions BEGIN SELECT RAISE(ABORT, 'refused'); END",
                                nullptr, nullptr, nullptr);
    sqlite3_close(db);
    ASSERT_EQ(rc, SQLITE_OK);
  }
};

// The reconcile line of a reference: "CODE  REFERENCE  AMOUNT  FOUND ...".
std::string LineOf(const std::string& output, const std::string& reference) {
  const size_t at = output.find("  " + reference + "  ");
  if (at == std::string::npos) return "(no line for " + reference + ")";
  const size_t start = output.rfind('\n', at) + 1;
  return output.substr(start, output.find('\n', at) - start);
}

enum class TStrand { Cancel, Override, NotRecorded, NoDiscount };

struct TStrandCase {
  const char* Name;
  TStrand Strand;
  std::string Found;  // where reconcile says it found the voucher
};

void PrintTo(const TStrandCase& c, std::ostream* out) { *out << c.Name; }

class GiveBackFailed : public ReconcileTill, public ::testing::WithParamInterface<TStrandCase> {};

// Rows C of the failure table and the popup's own give-backs that failed: the service was out of
// reach when the voucher was to go back; reconcile gives it back once it answers, and only once.
TEST_P(GiveBackFailed, IsGivenBackOnceTheServiceAnswers) {
  const TStrandCase& c = GetParam();
  if (c.Strand == TStrand::NoDiscount) {
    Write(Path("redeem.json"),
          "{\"Success\":true,\"DisplayName\":\"Welcome 10.00 off\",\"DiscountAmount\":0,"
          "\"VoucherReference\":\"" +
              kRef + "\",\"VoucherCode\":\"WELCOME10\"}");
    Sandbox = std::make_unique<TSandboxProcess>(
        std::vector<std::string>{"--answer", "redeem:" + Path("redeem.json")});
  }
  Upgrade();
  if (c.Strand == TStrand::NotRecorded) {
    ASSERT_NO_FATAL_FAILURE(RefusePaymentRecord());
  }
  // The check and the redeem reach the service; the reversal finds its port closed.
  {
    const bool override = c.Strand == TStrand::Override;
    if (override) {
      ASSERT_EQ(Pay("WELCOME10", {"--invoice", "77"}).Exit, 0);
    }
    TConnectionRelay relay(Sandbox->URL, override ? 0 : 2);
    ServiceURL = relay.URL();
    const TRun run = override ? Till({"override", "--invoice", "77"})
                              : Pay("WELCOME10", c.Strand == TStrand::Cancel
                                                     ? std::vector<std::string>{"--cancel"}
                                                     : std::vector<std::string>{});
    EXPECT_NE(run.Exit, 0) << run.Output;
    ServiceURL.clear();
  }
  ASSERT_EQ(Live("WELCOME10"), std::vector<std::string>{kRef});

  const TRun dry = RunReconcile({"--dry-run", "--older-than", "0"});
  EXPECT_EQ(dry.Exit, 3) << dry.Output;
  EXPECT_TRUE(Contains(LineOf(dry.Output, kRef), c.Found + " ")) << dry.Output;
  EXPECT_TRUE(Contains(LineOf(dry.Output, kRef), "would give back")) << dry.Output;
  EXPECT_EQ(Live("WELCOME10"), std::vector<std::string>{kRef});

  const TRun run = RunReconcile({"--older-than", "0"});
  EXPECT_EQ(run.Exit, 0) << run.Output;
  EXPECT_TRUE(Contains(LineOf(run.Output, kRef), "given back")) << run.Output;
  EXPECT_EQ(Live("WELCOME10"), std::vector<std::string>{});
  EXPECT_TRUE(Contains(ModuleLog(), "[TDovraVoucherAPI.Reverse] Response : {\"Success\":true"));

  // Afterwards the till no longer calls the sale's voucher lost, and a second run finds nothing.
  const TRun shown = Till({"transactions", "--json"});
  EXPECT_FALSE(Contains(shown.Output, "reverse failed")) << shown.Output;
  EXPECT_TRUE(Contains(shown.Output, "{\"table\":\"SarnGiveBacks\"")) << shown.Output;
  const TRun again = RunReconcile({"--older-than", "0", "--json"});
  EXPECT_EQ(again.Exit, 0) << again.Output;
  EXPECT_TRUE(Contains(again.Output, "{\"Candidates\":0,")) << again.Output;
}

INSTANTIATE_TEST_SUITE_P(
    Strands, GiveBackFailed,
    ::testing::Values(TStrandCase{"Cancel", TStrand::Cancel, "log: cancel"},
                      TStrandCase{"Override", TStrand::Override, "log: override"},
                      TStrandCase{"NotRecorded", TStrand::NotRecorded, "log: popup"},
                      TStrandCase{"NoDiscount", TStrand::NoDiscount, "log: popup"}),
    [](const auto& info) { return std::string(info.param.Name); });

// Tills killed after the Redeem left: a single-use voucher and one of two redemptions of a
// multiple-use voucher go back; the other redemption, paid, stays.
TEST_F(ReconcileTill, GivesBackWhatKilledTillsLeftAndNeverAPaidVoucher) {
  Sandbox =
      std::make_unique<TSandboxProcess>(std::vector<std::string>{"--delay-ms", "redeem:3000"});
  Upgrade();
  const TRun paid = Pay("SAVE15", {"--invoice", "2002"});
  ASSERT_EQ(paid.Exit, 0) << paid.Output;
  const std::string paidRef = Transactions().at(0).at("VoucherReference");
  ASSERT_NO_FATAL_FAILURE(PayAndKill("SAVE15"));
  ASSERT_NO_FATAL_FAILURE(PayAndKill("WELCOME10"));
  ASSERT_EQ(Live("SAVE15").size(), 2u);
  ASSERT_EQ(Live("WELCOME10").size(), 1u);

  const TRun run = RunReconcile({"--older-than", "0"});
  EXPECT_EQ(run.Exit, 0) << run.Output;
  EXPECT_EQ(Live("SAVE15"), std::vector<std::string>{paidRef}) << run.Output;
  EXPECT_EQ(Live("WELCOME10"), std::vector<std::string>{}) << run.Output;
  EXPECT_FALSE(Contains(run.Output, paidRef)) << run.Output;
  EXPECT_TRUE(Contains(run.Output, ": 2 candidate(s), 2 given back,")) << run.Output;

  const TRun again = RunReconcile({"--older-than", "0"});
  EXPECT_EQ(again.Exit, 0) << again.Output;
  EXPECT_TRUE(Contains(again.Output, ": 0 candidate(s), 0 given back,")) << again.Output;
  EXPECT_EQ(Live("SAVE15"), std::vector<std::string>{paidRef});
  // The killed popups' rows and sales are closed, not left open.
  const TRun shown = Till({"transactions", "--json"});
  EXPECT_FALSE(Contains(shown.Output, "\"State\":\"open\"")) << shown.Output;
  EXPECT_EQ(Count({shown.Output}, "\"State\":\"not booked\""), 1) << shown.Output;
}

// Another till's payment may still be on its way: a redemption younger than --older-than waits.
TEST_F(ReconcileTill, LeavesAYoungRedemptionAlone) {
  Sandbox =
      std::make_unique<TSandboxProcess>(std::vector<std::string>{"--delay-ms", "redeem:3000"});
  Upgrade();
  ASSERT_NO_FATAL_FAILURE(PayAndKill("WELCOME10"));

  const TRun run = RunReconcile({});
  EXPECT_EQ(run.Exit, 3) << run.Output;
  EXPECT_TRUE(Contains(LineOf(run.Output, kRef), "left: redeemed")) << run.Output;
  EXPECT_EQ(Live("WELCOME10"), std::vector<std::string>{kRef});
}

// Support's manual way back cannot take a paid sale's voucher unless told to; what it gives back
// the till keeps, so that a later override of the sale does not count it as failed.
TEST_F(ReconcileTill, VoucherReverseRefusesAPaidSaleUnlessForced) {
  Upgrade();
  ASSERT_EQ(Pay("SAVE15", {"--invoice", "2002"}).Exit, 0);

  const TRun refused = Till({"voucher", "reverse", "--reference", kRef});
  EXPECT_EQ(refused.Exit, 3) << refused.Output;
  EXPECT_TRUE(Contains(refused.Output, kRef + " is held by sale 1, invoice 2002"))
      << refused.Output;
  EXPECT_EQ(Live("SAVE15"), std::vector<std::string>{kRef});

  // A request whose reference stands twice could be checked by one and given back by the other.
  Write(Path("twice.json"),
        "{\"VoucherReference\":\"DVR-00000009\",\"VoucherReference\":\"" + kRef + "\"}");
  const TRun twice = Till({"voucher", "reverse", "--request", Path("twice.json"), "--force"});
  EXPECT_EQ(twice.Exit, 2) << twice.Output;
  EXPECT_TRUE(Contains(twice.Output, "duplicate member")) << twice.Output;
  EXPECT_EQ(Live("SAVE15"), std::vector<std::string>{kRef});

  const TRun forced = Till({"voucher", "reverse", "--reference", kRef, "--force"});
  EXPECT_EQ(forced.Exit, 0) << forced.Output;
  EXPECT_EQ(Live("SAVE15"), std::vector<std::string>{});
  const TRun shown = Till({"transactions", "--json"});
  EXPECT_TRUE(Contains(shown.Output, "\"Found\":\"voucher reverse\",\"Outcome\":\"given back\""))
      << shown.Output;
  // The sale whose voucher was forced back says so.
  EXPECT_EQ(Rows("SELECT State FROM SarnSales").at(0).at("State"), "reversed");

  const TRun override = Till({"override", "--invoice", "2002"});
  EXPECT_EQ(override.Exit, 0) << override.Output;
  EXPECT_TRUE(Contains(override.Output,
                       "0 could not be (see the module log), 1 given back "
                       "earlier by the till"))
      << override.Output;
}

// Two tills of one store, one database, the same multiple-use voucher in the same second: the
// redeem requests name the same code, store and order date. Reconcile on the killed till gives
// back its own redemption only; the other till's paid sale keeps its voucher.
TEST_F(ReconcileTill, TwoTillsInOneSecondEachKeepTheirOwnRedemption) {
  const std::vector<std::string> pinned = PinnedClock(FrozenIn(5));
  if (pinned.empty()) GTEST_SKIP() << "no libfaketime (Debian package faketime) on this machine";
  Sandbox =
      std::make_unique<TSandboxProcess>(std::vector<std::string>{"--delay-ms", "redeem:2000"});
  Upgrade();
  const std::vector<std::string> second = OtherTill(2, ModuleIn("till2"));
  const TRun paid = TillWith(second, PayArgs("SAVE15", {"--invoice", "2002"}), pinned);
  ASSERT_EQ(paid.Exit, 0) << paid.Output;
  const std::string paidRef = Transactions().at(0).at("VoucherReference");
  ASSERT_NO_FATAL_FAILURE(PayAndKill("SAVE15", {}, pinned));
  ASSERT_EQ(Live("SAVE15").size(), 2u);
  // The two requests are the same to the second: no key of code, store and date tells them apart.
  std::string secondLog;
  for (const auto& entry : fs::directory_iterator(Path("till2")))
    if (entry.path().extension() == ".log") secondLog = Read(entry.path().string());
  const std::regex key("Redemption key : (\\{[^\\r]*\"OrderDate\":\"[^\"]+\")");
  std::smatch first, other;
  const std::string firstLog = ModuleLog();
  ASSERT_TRUE(std::regex_search(firstLog, first, key)) << firstLog;
  ASSERT_TRUE(std::regex_search(secondLog, other, key)) << secondLog;
  EXPECT_EQ(first[1].str(), other[1].str());

  const TRun run = RunReconcile({"--older-than", "0"});
  EXPECT_EQ(run.Exit, 0) << run.Output;
  EXPECT_EQ(Live("SAVE15"), std::vector<std::string>{paidRef}) << run.Output;
  EXPECT_FALSE(Contains(run.Output, paidRef)) << run.Output;
  const TRun override = TillWith(second, {"override", "--invoice", "2002"});
  EXPECT_EQ(override.Exit, 0) << override.Output;
  EXPECT_TRUE(Contains(override.Output, "1 voucher(s) given back, 0 could not be"))
      << override.Output;
}

// Tills on one machine sharing one module folder (one module log), each with its own database:
// the other till's payment is never this till's to give back, and its stranded Redeem is named
// for a person here and given back by its own till.
TEST_F(ReconcileTill, ATillSharingTheModuleFolderLeavesTheOtherTillsVouchers) {
  Sandbox =
      std::make_unique<TSandboxProcess>(std::vector<std::string>{"--delay-ms", "redeem:2000"});
  Upgrade();
  const std::vector<std::string> second =
      OtherTill(2, Path("DovraVoucherPayment.smd"), FreshDatabase("till2"));
  ASSERT_EQ(TillWith(second, {"upgrade"}).Exit, 0);
  const TRun paid = TillWith(second, PayArgs("GIFT50", {"--invoice", "2005"}));
  ASSERT_EQ(paid.Exit, 0) << paid.Output;
  ASSERT_EQ(Live("GIFT50").size(), 1u);

  const TRun quiet = RunReconcile({"--older-than", "0"});
  EXPECT_EQ(quiet.Exit, 0) << quiet.Output;
  EXPECT_EQ(Live("GIFT50").size(), 1u) << quiet.Output;

  ASSERT_NO_FATAL_FAILURE(PayAndKill("SAVE15", second));
  const TRun named = RunReconcile({"--older-than", "0"});
  EXPECT_EQ(named.Exit, 3) << named.Output;
  EXPECT_TRUE(Contains(named.Output, "by the till of another database")) << named.Output;
  EXPECT_EQ(Live("SAVE15").size(), 1u) << named.Output;
  const TRun own = TillWith(second, {"reconcile", "--older-than", "0"});
  EXPECT_EQ(own.Exit, 0) << own.Output;
  EXPECT_EQ(Live("SAVE15").size(), 0u) << own.Output;
  EXPECT_EQ(Live("GIFT50").size(), 1u) << own.Output;
}

// A database restored from a copy older than a payment: the sale was real, its voucher stays
// used, and reconcile names it for a person on every run.
TEST_F(ReconcileTill, ARestoredDatabaseNeverGivesBackWhatTheLogRecorded) {
  Upgrade();
  std::string error;
  const std::string copy = Path("copy.db");
  if (!OnPostgres()) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(Database.c_str(), &db), SQLITE_OK);
    const int rc =
        sqlite3_exec(db, ("VACUUM INTO '" + copy + "'").c_str(), nullptr, nullptr, nullptr);
    sqlite3_close(db);
    ASSERT_EQ(rc, SQLITE_OK);
  }
  const TRun paid = Pay("GIFT50", {"--invoice", "2005"});
  ASSERT_EQ(paid.Exit, 0) << paid.Output;
  const std::string ref = Transactions().at(0).at("VoucherReference");
  if (OnPostgres()) {
    // The copy as it was: the payment's rows are not in it.
    TPostgresSession session(Database);
    ASSERT_TRUE(
        session.Exec("DELETE FROM \"DovraTransactions\"; DELETE FROM \"DovraLog\"; "
                     "DELETE FROM \"SarnSales\"",
                     error))
        << error;
  } else {
    for (const char* journal : {"-wal", "-shm", "-journal"}) fs::remove(Database + journal);
    fs::copy_file(copy, Database, fs::copy_options::overwrite_existing);
  }
  ASSERT_TRUE(Transactions().empty());

  for (int run = 0; run < 2; ++run) {
    const TRun reconcile = RunReconcile({"--older-than", "0"});
    EXPECT_EQ(reconcile.Exit, 3) << reconcile.Output;
    EXPECT_TRUE(
        Contains(LineOf(reconcile.Output, ref), "recorded by this module, not in this database"))
        << reconcile.Output;
  }
  EXPECT_EQ(Live("GIFT50"), std::vector<std::string>{ref});
}

// A till whose clock is ten minutes ahead of the service's: a redemption seconds old is still
// seconds old, on the service's clock.
TEST_F(ReconcileTill, AgeIsTheServicesOwnWhateverTheTillsClockSays) {
  const std::vector<std::string> ahead = PinnedClock("+10m");
  if (ahead.empty()) GTEST_SKIP() << "no libfaketime (Debian package faketime) on this machine";
  Sandbox =
      std::make_unique<TSandboxProcess>(std::vector<std::string>{"--delay-ms", "redeem:2000"});
  Upgrade();
  ASSERT_NO_FATAL_FAILURE(PayAndKill("WELCOME10", {}, ahead));
  const TRun run = TillWith({}, {"reconcile"}, ahead);
  EXPECT_EQ(run.Exit, 3) << run.Output;
  EXPECT_TRUE(Contains(LineOf(run.Output, kRef), "left: redeemed")) << run.Output;
  EXPECT_EQ(Live("WELCOME10"), std::vector<std::string>{kRef});
}

// Redeem pressed again after the first attempt was left in doubt (its answer lost, then the status
// call failing): the second press pays, and reconcile gives back the first press's redemption.
TEST_F(ReconcileTill, ARedeemLeftInDoubtIsGivenBackAfterTheNextPressPaid) {
  Sandbox = std::make_unique<TSandboxProcess>(
      std::vector<std::string>{"--lose-answer", "redeem", "--fail", "status:500", "--faults-once"});
  Upgrade();
  const TRun paid = Pay("SAVE15", {"--redeem-presses", "2"});
  ASSERT_EQ(paid.Exit, 0) << paid.Output;
  ASSERT_TRUE(Contains(ModuleLog(), "Left in doubt : SAVE15")) << ModuleLog();
  const std::string paidRef = Transactions().at(0).at("VoucherReference");
  ASSERT_EQ(Live("SAVE15").size(), 2u);

  const TRun run = RunReconcile({"--older-than", "0"});
  EXPECT_EQ(run.Exit, 0) << run.Output;
  EXPECT_TRUE(Contains(run.Output, ": 1 candidate(s), 1 given back,")) << run.Output;
  EXPECT_EQ(Live("SAVE15"), std::vector<std::string>{paidRef});
  const TRun again = RunReconcile({"--older-than", "0"});
  EXPECT_EQ(again.Exit, 0) << again.Output;
  EXPECT_TRUE(Contains(again.Output, " 0 given back,")) << again.Output;
}

// A run keeps how far it read: what an archive read once left open is finished later, even
// once the archive is pruned; --full reads only what the folder holds.
TEST_F(ReconcileTill, AKilledRedeemInAnArchiveReadBeforeIsStillGivenBack) {
  Sandbox =
      std::make_unique<TSandboxProcess>(std::vector<std::string>{"--delay-ms", "redeem:3000"});
  Upgrade();
  ASSERT_NO_FATAL_FAILURE(PayAndKill("WELCOME10"));
  // The logger archives the log at a new month: its text under log/YYYYMM/, the live log gone.
  fs::path live;
  for (const auto& entry : fs::directory_iterator(dir_))
    if (entry.path().extension() == ".log") live = entry.path();
  const fs::path archive = dir_ / "log" / "202611" / (live.filename().string() + ".synlz");
  fs::create_directories(archive.parent_path());
  std::string error;
  ASSERT_TRUE(SynLZCompressFile(live.string(), archive.string(), error)) << error;
  fs::remove(live);

  const TRun young = RunReconcile({"--older-than", "1d"});
  EXPECT_EQ(young.Exit, 3) << young.Output;
  EXPECT_FALSE(Contains(young.Output, "could not be kept")) << young.Output;
  EXPECT_EQ(Rows("SELECT [Point] FROM [SarnReconcilePoint]").size(), 1u);
  // Another till of the same database keeps a point of its own, beside this one's.
  const std::vector<std::string> second = OtherTill(2, ModuleIn("till2"));
  const TRun other = TillWith(second, {"reconcile", "--older-than", "1d"});
  EXPECT_EQ(other.Exit, 0) << other.Output;
  EXPECT_EQ(Rows("SELECT [Point] FROM [SarnReconcilePoint]").size(), 2u);
  // Pruned since: read whole, the folder shows nothing; the point still holds what it left open.
  fs::remove(archive);
  const TRun full = RunReconcile({"--older-than", "0", "--full", "--dry-run"});
  EXPECT_TRUE(Contains(full.Output, ": 0 candidate(s),")) << full.Output;
  const TRun old = RunReconcile({"--older-than", "0"});
  EXPECT_EQ(old.Exit, 0) << old.Output;
  EXPECT_TRUE(Contains(old.Output, ": 1 candidate(s), 1 given back,")) << old.Output;
  EXPECT_EQ(Live("WELCOME10"), std::vector<std::string>{});
}

// A till killed with a Redeem at the service settles it itself before its next payment: left
// alone while young, given back once old enough, quietly when nothing is left; a paid voucher
// stays, and reconcile afterwards finds nothing more to do.
TEST_F(ReconcileTill, AKilledTillSettlesItsOwnRedeemBeforeItsNextPayment) {
  Sandbox =
      std::make_unique<TSandboxProcess>(std::vector<std::string>{"--delay-ms", "redeem:1500"});
  Upgrade();
  const std::string before = "before the payment, what an earlier run left open: ";
  const TRun paid = Pay("SAVE15", {"--invoice", "2002"});
  ASSERT_EQ(paid.Exit, 0) << paid.Output;
  EXPECT_FALSE(Contains(paid.Output, before)) << paid.Output;
  const std::string paidRef = Transactions().at(0).at("VoucherReference");
  ASSERT_NO_FATAL_FAILURE(PayAndKill("WELCOME10"));
  ASSERT_EQ(Live("WELCOME10").size(), 1u);

  const TRun young = Pay("SAVE15");
  EXPECT_EQ(young.Exit, 0) << young.Output;
  EXPECT_TRUE(Contains(young.Output, before + "1 candidate(s), 0 given back,")) << young.Output;
  EXPECT_TRUE(Contains(young.Output, " 1 left in doubt,")) << young.Output;
  EXPECT_EQ(Live("WELCOME10").size(), 1u) << young.Output;

  const TRun old = Pay("SAVE15", {"--settle-older-than", "0"});
  EXPECT_EQ(old.Exit, 0) << old.Output;
  EXPECT_TRUE(Contains(old.Output, before + "1 candidate(s), 1 given back,")) << old.Output;
  EXPECT_EQ(Live("WELCOME10"), std::vector<std::string>{}) << old.Output;
  EXPECT_EQ(Live("SAVE15").size(), 3u) << old.Output;

  const TRun quiet = Pay("SAVE15", {"--settle-older-than", "0"});
  EXPECT_EQ(quiet.Exit, 0) << quiet.Output;
  EXPECT_FALSE(Contains(quiet.Output, before)) << quiet.Output;
  const TRun after = RunReconcile({"--older-than", "0"});
  EXPECT_EQ(after.Exit, 0) << after.Output;
  EXPECT_TRUE(Contains(after.Output, " 0 given back,")) << after.Output;
  const std::vector<std::string> live = Live("SAVE15");
  EXPECT_EQ(live.size(), 4u) << after.Output;
  EXPECT_NE(std::find(live.begin(), live.end(), paidRef), live.end()) << after.Output;
}

}  // namespace
