// Where the time of a whole payment goes. The till's REST client is swapped in its registry for a
// wrapper that forwards every call and adds its duration here; the till's DB script service tells
// the clock of each of its calls, the module's and the till's own alike; the application object
// times the events of the voucher dialog and of the cashier autopilot.
// Whatever none of them claims is the module's own logic (with the event loop and the host's
// payment runner, both thin).
#pragma once

#include <QApplication>
#include <QPointer>
#include <QWidget>
#include <chrono>
#include <cstdint>
#include <optional>

#include "host/contract/TDBScript.h"
#include "intf/intfDI.h"

// Seconds spent, summed since the clock started.
struct TPaymentTimes {
  double Voucher = 0;   // IRestClient::SendRequest: the voucher service round trips
  double Database = 0;  // every call of the DB script service, the module's and the till's
  double Select = 0;    // of which QueryJSON (the invoice's rows)
  double Dialog = 0;    // creating, showing, painting and freeing the voucher dialog
  double Cashier = 0;   // the autopilot's own timer ticks (typing, finding controls)
  int64_t VoucherCalls = 0;
  int64_t DatabaseCalls = 0;

  TPaymentTimes operator-(const TPaymentTimes& earlier) const;
};

class TPaymentClock final : public TDBCallObserver {
 public:
  using TClock = std::chrono::steady_clock;

  TPaymentTimes Times;

  // A timed stretch of one kind. A stretch opened inside another timed one is not counted
  // again (a paint inside a click handler is, since the handler itself is not timed).
  class TStretch {
   public:
    TStretch(TPaymentClock& clock, double& bucket);
    ~TStretch();
    TStretch(const TStretch&) = delete;
    TStretch& operator=(const TStretch&) = delete;

   private:
    TPaymentClock& FClock;
    double& FBucket;
    bool FCounted;
    TClock::time_point FStart;
  };

  // From the DB script service, around every call.
  void CallStarting(const char* operation) override;
  void CallDone(const char* operation) override;

  // From the application object before each event is delivered: what the delivery counts as.
  enum class TEventKind { Untimed, Dialog, Cashier };
  TEventKind Classify(QObject* receiver, QEvent* event);

 private:
  // The voucher dialog's life, as seen from the events it gets.
  enum class TPhase { None, Showing, Open, Closing };

  bool InDialog(QObject* receiver) const;
  void EndClosing(TClock::time_point now);

  int FOpenStretches = 0;
  std::optional<TStretch> FDatabaseCall;  // the call of the DB script service running
  TClock::time_point FCallStart;
  TClock::time_point FLastDatabaseEnd = TClock::now();
  TPhase FPhase = TPhase::None;
  QPointer<QWidget> FDialog;
  TClock::time_point FPhaseStart;
};

// The benchmark's QApplication: delivers every event as QApplication does, timing those of the
// voucher dialog and of the cashier autopilot.
class TTimedApplication : public QApplication {
 public:
  TTimedApplication(int& argc, char** argv, TPaymentClock& clock);
  bool notify(QObject* receiver, QEvent* event) override;

 private:
  TPaymentClock& FClock;
};

// Swaps the registry's REST client factory for a timing wrapper around it and has the DB script
// service (the one the registry holds, the till's database) tell the clock of every call.
// Throws when the registry has either missing, or holds another DB script service.
void InstallTimedServices(IServiceRegistry* registry, TDBScript& db, TPaymentClock& clock);
