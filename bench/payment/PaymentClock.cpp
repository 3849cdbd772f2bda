#include "bench/payment/PaymentClock.h"

#include <QDialog>
#include <QEvent>
#include <QTimer>
#include <QWindow>
#include <stdexcept>
#include <string_view>

#include "host/contract/TDBScript.h"
#include "intf/clsInterfacedObject.h"
#include "intf/intfDBScript.h"
#include "intf/intfRestClient.h"

namespace {

using TClock = TPaymentClock::TClock;

double Seconds(TClock::duration d) { return std::chrono::duration<double>(d).count(); }

// The autopilot's poll timer; the dialog itself runs none of this class.
bool IsTimerTick(QObject* receiver, QEvent* event) {
  return event->type() == QEvent::Timer && qobject_cast<QTimer*>(receiver);
}

// Known by its controls, as the autopilot knows it: the till never links the module's classes.
bool IsVoucherDialog(QObject* receiver) {
  if (!receiver->isWidgetType()) return false;
  auto* widget = static_cast<QWidget*>(receiver);
  return widget->isWindow() && qobject_cast<QDialog*>(widget) &&
         widget->findChild<QWidget*>("txtVoucherCode");
}

class TTimedRestClient final : public TImplements<TInterfacedObject, IRestClient> {
 public:
  TTimedRestClient(TIntfPtr<IRestClient> inner, TPaymentClock& clock)
      : FInner(std::move(inner)), FClock(clock) {}

  void SetBaseURL(const std::string& url) override { FInner->SetBaseURL(url); }
  void SetTimeout(int32_t milliseconds) override { FInner->SetTimeout(milliseconds); }
  void SetContentType(const std::string& contentType) override {
    FInner->SetContentType(contentType);
  }
  void SetCredentials(const std::string& userName, const std::string& apiKey) override {
    FInner->SetCredentials(userName, apiKey);
  }
  void AddHeader(const std::string& name, const std::string& value) override {
    FInner->AddHeader(name, value);
  }
  void ClearHeaders() override { FInner->ClearHeaders(); }
  bool SendRequest(const std::string& path, const std::string& body, std::string& response,
                   std::string& error, int32_t timeoutMs, int32_t method) override {
    ++FClock.Times.VoucherCalls;
    TPaymentClock::TStretch stretch(FClock, FClock.Times.Voucher);
    return FInner->SendRequest(path, body, response, error, timeoutMs, method);
  }

 private:
  TIntfPtr<IRestClient> FInner;
  TPaymentClock& FClock;
};

// Every resolve of the REST client yields a fresh one, so the wrapping happens in the factory.
class TTimedRestFactory final : public TImplements<TInterfacedObject, IServiceFactory> {
 public:
  TTimedRestFactory(TIntfPtr<IServiceFactory> inner, TPaymentClock& clock)
      : FInner(std::move(inner)), FClock(clock) {}

  void CreateInstance(TIntfPtr<IInterface>& instance) override {
    TIntfPtr<IInterface> made;
    FInner->CreateInstance(made);
    TIntfPtr<IRestClient> client = made.As<IRestClient>();
    if (!client) {
      instance = made;
      return;
    }
    instance = TIntfPtr<IInterface>::Share(
        MakeObject<TTimedRestClient>(std::move(client), FClock)->BaseInterface());
  }

 private:
  TIntfPtr<IServiceFactory> FInner;
  TPaymentClock& FClock;
};

}  // namespace

TPaymentTimes TPaymentTimes::operator-(const TPaymentTimes& earlier) const {
  TPaymentTimes d;
  d.Voucher = Voucher - earlier.Voucher;
  d.Database = Database - earlier.Database;
  d.Select = Select - earlier.Select;
  d.Dialog = Dialog - earlier.Dialog;
  d.Cashier = Cashier - earlier.Cashier;
  d.VoucherCalls = VoucherCalls - earlier.VoucherCalls;
  d.DatabaseCalls = DatabaseCalls - earlier.DatabaseCalls;
  return d;
}

TPaymentClock::TStretch::TStretch(TPaymentClock& clock, double& bucket)
    : FClock(clock), FBucket(bucket), FCounted(clock.FOpenStretches++ == 0) {
  if (FCounted) FStart = TClock::now();
}

TPaymentClock::TStretch::~TStretch() {
  --FClock.FOpenStretches;
  if (FCounted) FBucket += Seconds(TClock::now() - FStart);
}

void TPaymentClock::CallStarting(const char*) {
  ++Times.DatabaseCalls;
  // The module's first statement after the dialog: whatever freeing the dialog took is over.
  if (FPhase == TPhase::Closing) EndClosing(TClock::now());
  FDatabaseCall.emplace(*this, Times.Database);
  FCallStart = TClock::now();
}

void TPaymentClock::CallDone(const char* operation) {
  FDatabaseCall.reset();
  FLastDatabaseEnd = TClock::now();
  if (std::string_view(operation) == "QueryJSON")
    Times.Select += Seconds(FLastDatabaseEnd - FCallStart);
}

void TPaymentClock::EndClosing(TClock::time_point now) {
  Times.Dialog += Seconds(now - FPhaseStart);
  FPhase = TPhase::None;
  FDialog = nullptr;
}

bool TPaymentClock::InDialog(QObject* receiver) const {
  if (!FDialog) return false;
  if (receiver->isWidgetType()) return static_cast<QWidget*>(receiver)->window() == FDialog;
  return receiver->isWindowType() && FDialog->windowHandle() == receiver;
}

// The dialog's life in stretches: from the end of the module's statement just before it (the
// popup goes straight from its "New Transaction" row to building the dialog) to the cashier's
// first tick, which the modal loop runs once the dialog is up; then each event the dialog gets
// while open; then from its hiding to its destruction.
TPaymentClock::TEventKind TPaymentClock::Classify(QObject* receiver, QEvent* event) {
  if (!receiver || !event) return TEventKind::Untimed;
  switch (FPhase) {
    case TPhase::None:
      if (event->type() == QEvent::Show && IsVoucherDialog(receiver)) {
        FDialog = static_cast<QWidget*>(receiver);
        FPhase = TPhase::Showing;
        FPhaseStart = FLastDatabaseEnd;
      }
      return TEventKind::Untimed;
    case TPhase::Showing:
      if (!IsTimerTick(receiver, event)) return TEventKind::Untimed;
      Times.Dialog += Seconds(TClock::now() - FPhaseStart);
      FPhase = TPhase::Open;
      return TEventKind::Cashier;
    case TPhase::Open:
      if (event->type() == QEvent::Hide && receiver == FDialog) {
        FPhaseStart = TClock::now();
        FPhase = TPhase::Closing;
        return TEventKind::Untimed;
      }
      if (IsTimerTick(receiver, event)) return TEventKind::Cashier;
      return InDialog(receiver) ? TEventKind::Dialog : TEventKind::Untimed;
    case TPhase::Closing:
      if (event->type() == QEvent::Destroy && receiver == FDialog) EndClosing(TClock::now());
      return TEventKind::Untimed;
  }
  return TEventKind::Untimed;
}

TTimedApplication::TTimedApplication(int& argc, char** argv, TPaymentClock& clock)
    : QApplication(argc, argv), FClock(clock) {}

bool TTimedApplication::notify(QObject* receiver, QEvent* event) {
  switch (FClock.Classify(receiver, event)) {
    case TPaymentClock::TEventKind::Dialog: {
      TPaymentClock::TStretch stretch(FClock, FClock.Times.Dialog);
      return QApplication::notify(receiver, event);
    }
    case TPaymentClock::TEventKind::Cashier: {
      TPaymentClock::TStretch stretch(FClock, FClock.Times.Cashier);
      return QApplication::notify(receiver, event);
    }
    case TPaymentClock::TEventKind::Untimed:
      break;
  }
  return QApplication::notify(receiver, event);
}

void InstallTimedServices(IServiceRegistry* registry, TDBScript& db, TPaymentClock& clock) {
  TIntfPtr<IServiceFactory> restFactory;
  if (!registry->GetFactory(IRestClient::IID, restFactory) || !restFactory)
    throw std::runtime_error("the till's registry has no REST client factory for " +
                             IRestClient::IID.ToString());
  // The module's calls reach the service the registry holds: it must be the till's own.
  const TIntfPtr<IDBScript> registered = ResolveAs<IDBScript>(registry);
  if (!registered || registered.Get() != static_cast<IDBScript*>(&db))
    throw std::runtime_error("the till's registry does not hold its DB script service for " +
                             IDBScript::IID.ToString());
  registry->UnregisterFactory(IRestClient::IID);
  registry->RegisterFactory(IRestClient::IID,
                            MakeObject<TTimedRestFactory>(restFactory, clock).Get());
  db.Observe(&clock);
}
