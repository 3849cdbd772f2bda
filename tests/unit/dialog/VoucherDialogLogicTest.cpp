// The voucher dialog's behaviour against its in-memory controls: the states the cashier sees
// through Check and Redeem, the requests sent, and what survives a failure.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "module/dialog/FDovraPaymentLogic.h"
#include "tests/support/DialogTestSupport.h"
#include "tests/unit/dialog/VoucherDialogModel.h"

namespace {

// Two lines carry a code; the middle one has an empty code and must not be sent.
const char* const kOrder =
    R"({"AfterDisc":150,"LineItems":[{"Code":"A1","Quantity":2,"Price":50},)"
    R"({"Code":"","Quantity":1,"Price":9.99},{"Code":42,"Quantity":1.5,"Price":75.25}]})";
const char* const kItemsJson =
    R"([{"Code":"A1","Quantity":2,"UnitPrice":50},{"Code":42,"Quantity":1.5,"UnitPrice":75.25}])";

const char* const kValidAnswer =
    R"({"Success":true,"DisplayName":"Ten off","DiscountAmount":12.5,"ErrorMessage":null})";
const char* const kRefusedAnswer = R"({"Success":false,"ErrorMessage":"Voucher expired"})";
const char* const kRedeemedAnswer =
    R"({"Success":true,"DiscountAmount":12.5,"VoucherReference":"R-77","VoucherCode":"V1"})";

// A clock that ticks one second per reading from 2026-12-09 10:00:00 local time.
TLocalClock TickingClock() {
  auto tick = std::make_shared<int>(0);
  return [tick] {
    const TDateTime base = 46365.0 + 10.0 / 24.0;  // 2026-12-09 10:00
    // A quarter second in, so that neither truncation nor rounding moves the second.
    return base + ((*tick)++ + 0.25) / 86400.0;
  };
}

class VoucherDialogLogic : public ::testing::Test {
 protected:
  VoucherDialogLogic() : FRegistry(Service) {
    Logic.SetStoreReference(7);
    Logic.SetOrderDocument(kOrder);
    Logic.SetClock(TickingClock());
    Logic.PrepareRequest();
  }

  // Runs a Check with the given answer from the service.
  void Check(TScriptedCall answer) {
    Service.EvaluateScript.push_back(std::move(answer));
    Logic.btnCheckClick(Model);
  }
  void Redeem(TScriptedCall answer) {
    Service.RedeemScript.push_back(std::move(answer));
    Logic.btnRedeemClick(Model);
  }
  TVoucherDialogState& S() { return Model.State; }

  TFakeVoucherService Service;
  TScopedTestRegistry FRegistry;
  TScopedEnv FMoneyLocale{"LC_ALL", "C"};
  TDovraPaymentLogic Logic;
  TVoucherDialogModel Model;
};

TEST_F(VoucherDialogLogic, ValidVoucherShowsNameAmountAndEnablesRedeem) {
  S().VoucherCode = "V1";
  S().UserReference = "0612345678";
  // The Checking row of the states: what the cashier sees while the service is asked.
  std::optional<TVoucherDialogState> during;
  Service.DuringCall = [&] { during = S(); };
  Check({true, kValidAnswer});

  ASSERT_TRUE(during);
  EXPECT_EQ(during->Check.Text, "Checking...");
  EXPECT_FALSE(during->Check.Enabled);
  EXPECT_TRUE(during->CheckBusyBar);
  EXPECT_FALSE(during->Redeem.Enabled);

  EXPECT_TRUE(S().VoucherPanelVisible);
  EXPECT_EQ(S().Response, "Voucher Successful");
  EXPECT_EQ(S().Details, "Ten off");
  EXPECT_EQ(S().Amount, "12.50");
  EXPECT_TRUE(S().Redeem.Enabled);
  EXPECT_EQ(S().Check.Text, "Check");
  EXPECT_TRUE(S().Check.Enabled);
  EXPECT_FALSE(S().CheckBusyBar);
  EXPECT_EQ(S().Memo, (std::vector<std::string>{"Memo1", kValidAnswer}));
  EXPECT_EQ(S().ModalResult, TModalResult::None);
  // One resolve per press, released when the handler ended.
  EXPECT_EQ(FRegistry.Registry().Resolves, 1);
  EXPECT_EQ(Service.Created, Service.Destroyed);
}

TEST_F(VoucherDialogLogic, RefusedVoucherShowsErrorAndZeroAmount) {
  Check({true, kRefusedAnswer});
  EXPECT_TRUE(S().VoucherPanelVisible);
  EXPECT_EQ(S().Response, "Voucher Error");
  EXPECT_EQ(S().Details, "Voucher expired");
  EXPECT_EQ(S().Amount, "0.00");
  EXPECT_FALSE(S().Redeem.Enabled);
  EXPECT_TRUE(S().Check.Enabled);
}

TEST_F(VoucherDialogLogic, FailedFirstCheckLeavesEntryStateButRedeemDisabled) {
  Check({false, std::nullopt});
  EXPECT_FALSE(S().VoucherPanelVisible);
  EXPECT_EQ(S().Response, "-");
  EXPECT_EQ(S().Details, "-");
  EXPECT_EQ(S().Amount, "-");
  EXPECT_EQ(S().Memo, std::vector<std::string>{"Memo1"});
  EXPECT_FALSE(S().Redeem.Enabled);
  EXPECT_EQ(S().Check.Text, "Check");
  EXPECT_TRUE(S().Check.Enabled);
  EXPECT_EQ(Service.Created, Service.Destroyed);
}

TEST_F(VoucherDialogLogic, FailedCheckAfterValidOneKeepsTextsAndDisablesRedeem) {
  Check({true, kValidAnswer});
  Check({false, std::nullopt});
  EXPECT_TRUE(S().VoucherPanelVisible);
  EXPECT_EQ(S().Response, "Voucher Successful");
  EXPECT_EQ(S().Details, "Ten off");
  EXPECT_FALSE(S().Redeem.Enabled);
  EXPECT_EQ(S().Memo.size(), 2u);
}

TEST_F(VoucherDialogLogic, RequestCarriesInputAsTypedAndKeepsMemberOrderAcrossChecks) {
  S().VoucherCode = " ab\"\\1 ";
  S().UserReference = "";
  Check({true, kRefusedAnswer});
  ASSERT_EQ(Service.EvaluateRequests.size(), 1u);
  EXPECT_EQ(Service.EvaluateRequests[0],
            std::string(R"({"VoucherCode":" ab\"\\1 ","StoreReference":7,)"
                        R"("User":{"Reference":"","CreatedOn":"2026-12-09T10:00:00"},)"
                        R"("VoucherOrder":{"OrderDate":"2026-12-09T10:00:01","TotalPrice":150,)"
                        R"("Items":)") +
                kItemsJson + "}}");

  S().VoucherCode = "V2";
  S().UserReference = "0699";
  Check({true, kValidAnswer});
  EXPECT_EQ(Service.EvaluateRequests[1],
            std::string(R"({"VoucherCode":"V2","StoreReference":7,)"
                        R"("User":{"Reference":"0699","CreatedOn":"2026-12-09T10:00:02"},)"
                        R"("VoucherOrder":{"OrderDate":"2026-12-09T10:00:03","TotalPrice":150,)"
                        R"("Items":)") +
                kItemsJson + "}}");
}

TEST_F(VoucherDialogLogic, OrderWithoutTakenLinesSendsEmptyItems) {
  Logic.SetOrderDocument(R"({"AfterDisc":0,"LineItems":[{"Code":"","Quantity":1,"Price":1}]})");
  Logic.PrepareRequest();
  Check({true, kRefusedAnswer});
  EXPECT_NE(Service.EvaluateRequests.at(0).find(R"("TotalPrice":0,"Items":[]})"), std::string::npos)
      << Service.EvaluateRequests[0];
}

TEST_F(VoucherDialogLogic, PreparationRejectsUnusableOrders) {
  for (const char* order : {"<html>not json</html>", R"({"AfterDisc":1})",
                            R"({"LineItems":[{"Quantity":1,"Price":1}]})"}) {
    SCOPED_TRACE(order);
    Logic.SetOrderDocument(order);
    EXPECT_THROW(Logic.PrepareRequest(), std::runtime_error);
  }
}

TEST_F(VoucherDialogLogic, CheckAnswerWithoutSuccessStopsWithEarlierStateKept) {
  Check({true, kValidAnswer});
  // The answer is recorded, then reading "Success" fails: nothing after that point changes.
  EXPECT_THROW(Check({true, R"({"DisplayName":"Other"})"}), std::runtime_error);
  EXPECT_EQ(S().Response, "Voucher Successful");
  EXPECT_EQ(S().Details, "Ten off");
  EXPECT_EQ(S().Amount, "12.50");
  EXPECT_EQ(S().Memo.back(), R"({"DisplayName":"Other"})");
  EXPECT_FALSE(S().Redeem.Enabled);
  EXPECT_EQ(S().Check.Text, "Check");
  EXPECT_TRUE(S().Check.Enabled);
  EXPECT_FALSE(S().CheckBusyBar);
  EXPECT_EQ(Service.Created, Service.Destroyed);
}

TEST_F(VoucherDialogLogic, CheckErrorsPartWayLeaveTheStepsAlreadyDone) {
  // "Voucher Successful" is written before the missing display name is read.
  EXPECT_THROW(Check({true, R"({"Success":true,"DiscountAmount":1})"}), std::runtime_error);
  EXPECT_EQ(S().Response, "Voucher Successful");
  EXPECT_EQ(S().Details, "-");
  EXPECT_FALSE(S().VoucherPanelVisible);
  EXPECT_FALSE(S().Redeem.Enabled);

  // An answer that is no document (an error page) fails at the first member read.
  EXPECT_THROW(Check({true, "<html>502</html>"}), std::runtime_error);
  EXPECT_FALSE(S().VoucherPanelVisible);
  EXPECT_TRUE(S().Check.Enabled);
}

TEST_F(VoucherDialogLogic, MissingVoucherAPIIsAClearErrorWithButtonsRestored) {
  ModuleRegistrySlot() = nullptr;
  try {
    Logic.btnCheckClick(Model);
    FAIL() << "a check without a voucher API must fail";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("{F8F4F051-1BC4-4041-AEC5-B146949C1788}"),
              std::string::npos)
        << e.what();
  }
  EXPECT_EQ(S().Check.Text, "Check");
  EXPECT_TRUE(S().Check.Enabled);
  EXPECT_THROW(Logic.btnRedeemClick(Model), std::runtime_error);
  EXPECT_EQ(S().Redeem.Text, "Redeem");
  EXPECT_TRUE(S().Redeem.Enabled);
}

class VoucherDialogRedeem : public VoucherDialogLogic {
 protected:
  VoucherDialogRedeem() {
    S().VoucherCode = "V1";
    S().UserReference = "0612";
    Check({true, kValidAnswer});
  }
};

TEST_F(VoucherDialogRedeem, SuccessClosesWithOKAndKeepsTheAnswer) {
  std::optional<TVoucherDialogState> during;
  Service.DuringCall = [&] { during = S(); };
  Redeem({true, kRedeemedAnswer});

  ASSERT_TRUE(during);
  EXPECT_EQ(during->Redeem.Text, "Redeeming...");
  EXPECT_FALSE(during->Redeem.Enabled);
  EXPECT_TRUE(during->RedeemBusyBar);

  EXPECT_EQ(S().ModalResult, TModalResult::OK);
  EXPECT_EQ(Logic.RedeemResponseText(), kRedeemedAnswer);
  EXPECT_EQ(S().Memo.back(), kRedeemedAnswer);
  // The labels keep the check's result.
  EXPECT_EQ(S().Response, "Voucher Successful");
  EXPECT_EQ(S().Details, "Ten off");
  EXPECT_EQ(Service.Created, Service.Destroyed);
}

TEST_F(VoucherDialogRedeem, RedeemSendsTheLastCheckBytesEvenAfterEditing) {
  S().VoucherCode = "EDITED";
  S().UserReference = "0000";
  Redeem({true, kRedeemedAnswer});
  ASSERT_EQ(Service.RedeemRequests.size(), 1u);
  EXPECT_EQ(Service.RedeemRequests[0], Service.EvaluateRequests.back());
  EXPECT_EQ(Service.RedeemRequests[0].find("EDITED"), std::string::npos);
}

TEST_F(VoucherDialogRedeem, FailedCallSaysCapitalRedeemAndReenablesTheButton) {
  Redeem({false, std::nullopt});
  EXPECT_EQ(S().Response, "Could not Redeem Voucher");
  EXPECT_EQ(S().Details, "Please check logs");
  // Nothing was answered yet, so an empty line is recorded.
  EXPECT_EQ(S().Memo.back(), "");
  EXPECT_EQ(Logic.RedeemResponseText(), "");
  EXPECT_EQ(S().Redeem.Text, "Redeem");
  EXPECT_TRUE(S().Redeem.Enabled);
  EXPECT_FALSE(S().RedeemBusyBar);
  EXPECT_EQ(S().ModalResult, TModalResult::None);

  // The cashier tries again with the very same request.
  Redeem({true, kRedeemedAnswer});
  EXPECT_EQ(S().ModalResult, TModalResult::OK);
  EXPECT_EQ(Service.RedeemRequests[0], Service.RedeemRequests[1]);
}

TEST_F(VoucherDialogRedeem, FailedCallKeepsTheEarlierAnswerWhateverTheClientWrote) {
  Redeem({true, kRefusedAnswer});
  // A client that scribbles into the answer while reporting failure must not replace the kept
  // answer: the caller would read it as the redemption.
  Redeem({false, std::string("partial garbage")});
  EXPECT_EQ(Logic.RedeemResponseText(), kRefusedAnswer);
  EXPECT_EQ(S().Memo.back(), kRefusedAnswer);
  EXPECT_EQ(S().Response, "Could not Redeem Voucher");
}

TEST_F(VoucherDialogRedeem, AnswerThatIsNoDocumentSaysSmallRedeem) {
  Redeem({true, "Service Unavailable"});
  EXPECT_EQ(S().Response, "Could not redeem Voucher");
  EXPECT_EQ(S().Details, "Please check logs");
  EXPECT_EQ(S().Memo.back(), "Service Unavailable");
  EXPECT_TRUE(S().Redeem.Enabled);
  EXPECT_EQ(S().ModalResult, TModalResult::None);
}

// A redeem whose answer is lost or unreadable is settled with the service before the handler
// ends: the live redemption carrying the digest of the very body sent is given back; one that
// only shares code, store and second is another till's, and one without a digest no one's.
TEST_F(VoucherDialogLogic, LostRedeemAnswerIsSettledByTheStatusOfTheVoucher) {
  const std::string orderDate = "\"OrderDate\":\"2026-12-09T10:00:01\"";
  auto status = [](const std::string& live) {
    return TScriptedCall{true,
                         R"({"Success":true,"VoucherCode":"V1","LiveRedemptions":[)" + live + "]}"};
  };
  // digest: MINE (the request's, known once it is sent), OTHER (another body's) or NONE (null).
  auto entry = [&](const char* reference, const char* digest) {
    return std::string(R"({"VoucherReference":")") + reference + R"(","StoreReference":7,)" +
           orderDate + R"(,"DiscountAmount":12.5,"RedeemedOn":"2026-12-09T09:00:01.000Z",)" +
           R"("RequestDigest":@)" + digest + "@}";
  };
  const std::string givenBack = "Answer lost; voucher given back. Press Redeem again.";
  const std::string notUsed = "Answer lost; voucher not used. Press Redeem again.";
  const TScriptedCall lost{false, std::nullopt};
  const TScriptedCall html{true, "<html><body>Bad gateway</body></html>"};
  // Success said, but the answer cannot be taken whole: as good as lost.
  auto partial = [](const std::string& members) {
    return TScriptedCall{true, R"({"Success":true,"VoucherCode":"V1")" + members + "}"};
  };
  const struct {
    const char* Name;
    TScriptedCall Redeem;
    std::optional<TScriptedCall> Status;  // none: the status call fails
    bool ReverseConfirms;
    std::string Response, Details;
    std::vector<std::string> Reversed;
  } rows[] = {
      {"lost, one of its own",
       lost,
       status(entry("DVR-9", "OTHER") + "," + entry("DVR-1", "MINE")),
       true,
       "Could not Redeem Voucher",
       givenBack,
       {"DVR-1"}},
      {"unreadable, one of its own",
       html,
       status(entry("DVR-1", "MINE")),
       true,
       "Could not Redeem Voucher",
       givenBack,
       {"DVR-1"}},
      {"lost, another till's in the same second",
       lost,
       status(entry("DVR-9", "OTHER")),
       true,
       "Could not Redeem Voucher",
       notUsed,
       {}},
      {"lost, none live", lost, status(""), true, "Could not Redeem Voucher", notUsed, {}},
      {"lost, one without a digest",
       lost,
       status(entry("DVR-9", "OTHER") + "," + entry("DVR-8", "NONE")),
       true,
       "Could not Redeem Voucher",
       "Please check logs",
       {}},
      {"no reference, one of its own",
       partial(R"(,"DiscountAmount":12.5)"),
       status(entry("DVR-1", "MINE")),
       true,
       "Could not Redeem Voucher",
       givenBack,
       {"DVR-1"}},
      {"null reference, one of its own",
       partial(R"(,"DiscountAmount":12.5,"VoucherReference":null)"),
       status(entry("DVR-1", "MINE")),
       true,
       "Could not Redeem Voucher",
       givenBack,
       {"DVR-1"}},
      {"numeric reference, reversal not confirmed",
       partial(R"(,"DiscountAmount":12.5,"VoucherReference":17)"),
       status(entry("DVR-1", "MINE")),
       false,
       "Could not redeem Voucher",
       "Please check logs",
       {"DVR-1"}},
      {"empty reference, status fails",
       partial(R"(,"DiscountAmount":12.5,"VoucherReference":"")"),
       std::nullopt,
       true,
       "Could not redeem Voucher",
       "Please check logs",
       {}},
      {"no amount, one of its own",
       partial(R"(,"DiscountAmount":"lots","VoucherReference":"DVR-1")"),
       status(entry("DVR-1", "MINE")),
       true,
       "Could not Redeem Voucher",
       givenBack,
       {"DVR-1"}},
      {"lost, status fails",
       lost,
       std::nullopt,
       true,
       "Could not Redeem Voucher",
       "Please check logs",
       {}},
      {"unreadable, status fails",
       html,
       std::nullopt,
       true,
       "Could not redeem Voucher",
       "Please check logs",
       {}},
      {"lost, status unreadable",
       lost,
       TScriptedCall{true, "Service Unavailable"},
       true,
       "Could not Redeem Voucher",
       "Please check logs",
       {}},
      {"lost, status refused",
       lost,
       TScriptedCall{true, R"({"Success":false,"ErrorMessage":"Unknown voucher code"})"},
       true,
       "Could not Redeem Voucher",
       "Please check logs",
       {}},
      {"lost, two with its digest",
       lost,
       status(entry("DVR-1", "MINE") + "," + entry("DVR-2", "MINE")),
       true,
       "Could not Redeem Voucher",
       "Please check logs",
       {}},
      {"lost, reversal not confirmed",
       lost,
       status(entry("DVR-1", "MINE")),
       false,
       "Could not Redeem Voucher",
       "Please check logs",
       {"DVR-1"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Name);
    TFakeVoucherService service;
    TScopedTestRegistry registry(service);
    TDovraPaymentLogic logic;
    logic.SetStoreReference(7);
    logic.SetOrderDocument(kOrder);
    logic.SetClock(TickingClock());
    logic.PrepareRequest();
    TVoucherDialogModel model;
    model.State.VoucherCode = "V1";
    service.EvaluateScript = {{true, kValidAnswer}};
    logic.btnCheckClick(model);

    service.RedeemScript = {row.Redeem, {true, kRedeemedAnswer}};
    if (row.Status) {
      // The redeem body is the check's, byte for byte: its digest is known here already.
      std::string text = *row.Status->Response;
      for (const auto& [word, value] :
           {std::pair<std::string, std::string>{
                "@MINE@", "\"" + RequestDigest(service.EvaluateRequests[0]) + "\""},
            {"@OTHER@", "\"" + RequestDigest("another till's body") + "\""},
            {"@NONE@", "null"}})
        for (size_t at = text.find(word); at != std::string::npos; at = text.find(word))
          text.replace(at, word.size(), value);
      service.StatusScript = {{row.Status->Ok, text}};
    }
    service.ReverseConfirms = row.ReverseConfirms;
    logic.btnRedeemClick(model);
    EXPECT_EQ(model.State.Response, row.Response);
    EXPECT_EQ(model.State.Details, row.Details);
    EXPECT_EQ(model.State.ModalResult, TModalResult::None);
    EXPECT_TRUE(model.State.Redeem.Enabled);
    ASSERT_EQ(service.StatusRequests.size(), 1u);
    EXPECT_EQ(service.StatusRequests[0], R"({"VoucherCode":"V1"})");
    std::vector<std::string> reversed;
    for (const std::string& request : service.ReverseRequests)
      reversed.push_back(ParseJSONDocument(request).Get("VoucherReference").ToText());
    EXPECT_EQ(reversed, row.Reversed);

    // Pressing Redeem again sends the check's request unchanged, as a first redeem.
    logic.btnRedeemClick(model);
    EXPECT_EQ(model.State.ModalResult, TModalResult::OK);
    ASSERT_EQ(service.RedeemRequests.size(), 2u);
    EXPECT_EQ(service.RedeemRequests[0], service.EvaluateRequests[0]);
    EXPECT_EQ(service.RedeemRequests[1], service.EvaluateRequests[0]);
    EXPECT_EQ(service.StatusRequests.size(), 1u) << "an answered redeem asks nothing more";
  }
}

TEST_F(VoucherDialogRedeem, RefusedRedemptionShowsTheServiceMessage) {
  Redeem({true, R"({"Success":false,"ErrorMessage":"Already used"})"});
  EXPECT_EQ(S().Response, "Could not redeem Voucher");
  EXPECT_EQ(S().Details, "Already used");
  EXPECT_EQ(S().Redeem.Text, "Redeem");
  EXPECT_TRUE(S().Redeem.Enabled);
  EXPECT_EQ(S().ModalResult, TModalResult::None);
}

TEST_F(VoucherDialogRedeem, UnreadableAnswerRaisesWithoutClosingAndRestoresTheButton) {
  // The null word parses to an empty object, whose "Success" is null.
  EXPECT_THROW(Redeem({true, "NULL"}), std::runtime_error);
  EXPECT_EQ(S().ModalResult, TModalResult::None);
  EXPECT_EQ(S().Redeem.Text, "Redeem");
  EXPECT_TRUE(S().Redeem.Enabled);
  EXPECT_FALSE(S().RedeemBusyBar);
  EXPECT_EQ(Service.Created, Service.Destroyed);
}

}  // namespace
