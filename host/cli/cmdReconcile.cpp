#include "host/cli/cmdReconcile.h"

#include <charconv>
#include <iostream>
#include <map>
#include <memory>

#include "host/cli/cliCommon.h"
#include "host/cli/cmdDatabase.h"
#include "host/contract/TDBScript.h"
#include "host/till/Reconcile.h"
#include "host/till/TTillReconcile.h"
#include "intf/intfDovraVoucherAPI.h"
#include "lib/json/clsJSONDocument.h"

namespace {

struct TReconcileRun {
  TReconcileSettings Settings;
  bool Json = false;
};

const char* KindText(Reconcile::TOutcome::TKind kind) {
  switch (kind) {
    case Reconcile::TOutcome::TKind::GivenBack:
      return "given back";
    case Reconcile::TOutcome::TKind::WouldGiveBack:
      return "would give back";
    case Reconcile::TOutcome::TKind::InDoubt:
      return "in doubt";
    case Reconcile::TOutcome::TKind::Failed:
      return "failed";
    default:
      return "settled";
  }
}

std::string AmountText(double amount) {
  // A decimal point whatever the locale says.
  char text[64];
  const auto end = std::to_chars(text, text + sizeof text, amount, std::chars_format::fixed, 2);
  return std::string(text, end.ptr);
}

void Print(const std::vector<Reconcile::TOutcome>& outcomes, bool json, std::ostream& out) {
  if (json) {
    for (const auto& o : outcomes)
      out << NewObjectDocument({"VoucherCode", o.Candidate.Code, "VoucherReference", o.Reference,
                                "Amount", o.Amount, "Found", FoundText(o.Candidate.Found), "Where",
                                o.Candidate.Where, "Outcome", KindText(o.Kind), "Done", o.Done})
                 .ToJSON()
          << '\n';
    return;
  }
  TDBTable table;
  table.Columns = {"VoucherCode", "Reference", "Amount", "Found", "Where", "Done"};
  for (const auto& o : outcomes) {
    auto text = [](const std::string& s) { return TDBCell{TDBCell::TKind::Textual, s}; };
    table.Rows.push_back(
        {text(o.Candidate.Code), text(o.Reference.empty() ? "-" : o.Reference),
         o.Reference.empty() ? TDBCell{} : TDBCell{TDBCell::TKind::Float, AmountText(o.Amount)},
         text(FoundText(o.Candidate.Found)), text(o.Candidate.Where), text(o.Done)});
  }
  if (!outcomes.empty()) out << FormatTextTable(table, 200);
}

// How many outcomes of each kind: the summary line and the exit code.
struct TOutcomeCounts {
  explicit TOutcomeCounts(const std::vector<Reconcile::TOutcome>& outcomes)
      : Candidates(static_cast<int32_t>(outcomes.size())) {
    for (const auto& o : outcomes) ++ByKind[o.Kind];
  }
  int32_t Of(Reconcile::TOutcome::TKind kind) const {
    const auto found = ByKind.find(kind);
    return found == ByKind.end() ? 0 : found->second;
  }
  std::string Text() const {
    using K = Reconcile::TOutcome::TKind;
    return std::to_string(Candidates) + " candidate(s), " + std::to_string(Of(K::GivenBack)) +
           " given back, " + std::to_string(Of(K::WouldGiveBack)) + " to give back, " +
           std::to_string(Of(K::Settled)) + " with nothing to give back, " +
           std::to_string(Of(K::InDoubt)) + " left in doubt, " + std::to_string(Of(K::Failed)) +
           " failed";
  }
  int32_t Candidates = 0;
  std::map<Reconcile::TOutcome::TKind, int32_t> ByKind;
};

void RunReconcile(TTill& till, const TReconcileRun& run) {
  const std::string command = "reconcile";
  std::string error, warning;
  RequireDatabase(till, command);
  till.NameForModuleLog(-1);
  // The log as it stands before this run adds its own lines to it, from where the last run
  // left off.
  TTillReconcile reconcile(till, run.Settings);
  if (!reconcile.ReadLog(error))
    throw CommandEnd("sarn-till reconcile: " + error, TExitCode::Failed);

  StartModule(till, command);
  RequireModuleTables(till, command);
  TIntfPtr<IDovraVoucherAPI> api = ResolveAs<IDovraVoucherAPI>(till.Registry());
  if (!api)
    throw CommandEnd("sarn-till reconcile: the loaded module registers no voucher API client (" +
                         IDovraVoucherAPI::IID.ToString() + ")",
                     TExitCode::Failed);
  std::vector<Reconcile::TOutcome> outcomes;
  if (!reconcile.Settle(*api, outcomes, error, warning))
    throw CommandEnd("sarn-till reconcile: " + error, TExitCode::Failed);
  api = nullptr;
  if (!warning.empty()) std::cerr << "sarn-till reconcile: " << warning << std::endl;
  const bool dryRun = run.Settings.DryRun;

  using K = Reconcile::TOutcome::TKind;
  const TOutcomeCounts counts(outcomes);
  Print(outcomes, run.Json, std::cout);
  if (run.Json)
    std::cout << NewObjectDocument({"Candidates", counts.Candidates, "GivenBack",
                                    counts.Of(K::GivenBack), "WouldGiveBack",
                                    counts.Of(K::WouldGiveBack), "Settled", counts.Of(K::Settled),
                                    "InDoubt", counts.Of(K::InDoubt), "Failed",
                                    counts.Of(K::Failed), "DryRun", dryRun})
                     .ToJSON()
              << std::endl;
  else
    std::cout << "reconcile" << (dryRun ? " (dry run, nothing changed)" : "") << ": "
              << counts.Text() << std::endl;
  if (counts.Of(K::Failed)) throw CommandEnd(TExitCode::Failed);
  // What a dry run would give back is still in doubt until a real run does.
  if (counts.Of(K::InDoubt) || counts.Of(K::WouldGiveBack)) throw CommandEnd(TExitCode::NotDone);
}

}  // namespace

void PrintSettledBeforePayment(const std::vector<Reconcile::TOutcome>& outcomes,
                               std::ostream& out) {
  Print(outcomes, false, out);
  out << "before the payment, what an earlier run left open: " << TOutcomeCounts(outcomes).Text()
      << std::endl;
}

void AddReconcileCommand(CLI::App& app, TTill& till) {
  auto run = std::make_shared<TReconcileRun>();
  CLI::App* reconcile = app.add_subcommand(
      "reconcile",
      "finish what a crash or a failed call left half done, on proof only: read the module log "
      "as a journal and the till's tables, ask the voucher service, give back a redemption only "
      "when its request digest is that of a Redeem of this database's till that never recorded "
      "(or whose sale the till never booked), or when a reverse the till or the module began was "
      "not confirmed; record the reversals the service made that the tables do not show; name "
      "for a person whatever cannot be proven; run it after a till crash and at the end of each "
      "day");
  reconcile->fallthrough();
  reconcile
      ->add_option("--older-than", run->Settings.OlderThan,
                   "leave alone redemptions the service made less than SECONDS ago (another "
                   "till's payment may still be on its way); units allowed: 90s, 5m, 2h, 1d")
      ->capture_default_str()
      ->transform(Seconds(0, 315360000));
  reconcile->add_flag("--dry-run", run->Settings.DryRun,
                      "list what would be done and change nothing");
  reconcile->add_flag("--json", run->Json,
                      "one JSON object a line per candidate, then one with the counts");
  reconcile
      ->add_option("--log-folder", run->Settings.LogFolder,
                   "the module's log folder (its live logs and log/YYYYMM/ archives); default: "
                   "the module's own folder")
      ->check(CLI::ExistingDirectory);
  reconcile->add_flag("--full", run->Settings.Full,
                      "read the whole log folder again, not only what was added since the last "
                      "run (the last run's point is kept in the table SarnReconcilePoint)");
  reconcile->footer(
      "Prints \"voucher service: ADDRESS\", then one line per candidate (voucher code, reference, "
      "amount, where it was found, what was done) and a summary line. Every give-back and every "
      "doubt settled is recorded in the table SarnGiveBacks (see sarn-till transactions).\n\n"
      "Exit codes:\n"
      "  0  nothing left in doubt\n"
      "  1  the voucher service, the module log or the database failed; the message says what\n"
      "  2  usage: an option is wrong; nothing was done\n"
      "  3  something could not be given back or matched, or (--dry-run) would be given back; "
      "the table names each");
  TTill* owner = &till;
  reconcile->callback([owner, run] { RunReconcile(*owner, *run); });
}
