// Where the sandbox's book state lasts: a state file (state.json) written whole only when the
// service starts, and a journal (journal.jsonl) it appends one line to for each change it makes
// while it runs, so that a request costs the same however long the book has been used. Both are
// the owner's only (0600) and never opened through a link.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "lib/common/OwnedFile.h"
#include "sandbox/VoucherBook.h"

struct TSandboxState {
  std::vector<TRedemption> Redemptions;
  int64_t NextReference = 1;
};

class TSandboxStore {
 public:
  explicit TSandboxStore(std::string dataDir);

  std::string StateFile() const;
  std::string JournalFile() const;

  // The state file with every complete journal line applied to it; a last line cut short (the
  // service stopped while writing it) is left out whole. Nothing is written, so a listing can
  // read the state of a service that runs. False with a message when a file is damaged or not
  // the service's own.
  bool Load(TSandboxState& state, std::string& error) const;
  // Writes state as the state file (aside, synced, then renamed over the old one) and starts an
  // empty journal, kept open for the changes to come.
  bool Compact(const TSandboxState& state, std::string& error);
  // One line for a redemption made (nextReference: the book's next reference after it) or one
  // reversed, in the journal before the call returns. False with a message when the line could
  // not be written whole: the journal is then as it was before the call.
  bool Redeemed(const TRedemption& made, int64_t nextReference, std::string& error);
  bool Reversed(const std::string& reference, std::string& error);

 private:
  bool Append(const std::string& line, std::string& error);

  std::string FDataDir;
  TFileHandle FJournal;    // open for appending once compacted
  off_t FJournalSize = 0;  // where the next line starts
  bool FJournalBroken = false;
};
