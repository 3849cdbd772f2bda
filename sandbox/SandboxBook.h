// The voucher book a sandbox serves, with its state in the data folder: the folder taken for this
// process alone, the book and the saved state loaded from it, and every change in the journal
// before it is answered. Knows nothing of requests: the service asks it and answers from it.
#pragma once

#include <string>

#include "lib/common/OwnedFile.h"
#include "sandbox/SandboxStore.h"
#include "sandbox/VoucherBook.h"

class TSandboxBook {
 public:
  TSandboxBook(std::string dataDir, std::string voucherFile);

  // Takes the data folder for this process (refused when another sandbox runs on it, or when
  // other users may write into it), loads the voucher book and the saved state and compacts the
  // state (its journal folded into a fresh state file). False with a message.
  bool Open(std::string& error);
  // Loads the book and the state only, to list them: no lock, nothing written.
  bool OpenForListing(std::string& error);
  // The vouchers with their state today and every redemption, as text lines or as one JSON
  // document.
  std::string Listing(bool json) const;

  // As the voucher book answers them; today: "YYYY-MM-DD" (local date).
  TVoucherAnswer Evaluate(const std::string& code, TSandboxMoney orderTotal,
                          const std::string& today) const;
  TVoucherStatus Status(const std::string& code, const std::string& today) const;
  // A redemption made or reversed lasts before it is answered: when the journal cannot take it,
  // the book stays as it was and error says why (empty otherwise).
  TVoucherAnswer Redeem(const std::string& code, TSandboxMoney orderTotal, const std::string& today,
                        const std::string& time, const TRedemptionOrigin& origin,
                        std::string& error);
  TVoucherAnswer Reverse(const std::string& reference, std::string& error);

 private:
  bool LoadVouchers(std::string& error);
  bool LoadState(std::string& error);

  std::string FDataDir;
  std::string FVoucherFile;
  TVoucherBook FBook;
  TFileHandle FLockFile;  // held while the service runs: the folder's book is this process's
  TSandboxStore FStore;   // closed before the lock is let go
};
