// How far reconcile has read the module's log folder, kept in the till's own tables so that a
// run reads what was added since instead of all of history:
//   SarnReconcilePoint ([Point] INT PRIMARY KEY, [Item] NVARCHAR(MAX)): one row per till, Point
//   the till's number, whose Item is one JSON document (TJournalPoint::ToText). The tills of a
//   store share one database and each has a log folder of its own.
// The point covers the folder's leading archives (the oldest files, which never change once
// written: a rotation or an archiving pass makes a new file and never rewrites one), each known
// by its size and a digest of its first bytes as they lie on disk (the log's header, with the
// time it was opened), so a rotation's rename or a copy keeps it known. The live logs after them,
// and any archive that is new, are read every run. What the covered archives left open (Redeem
// presses and reverses the journal does not show finished, see OpenPart) is carried in the point
// and joins the journal of the next run as if those files had been read again.
//
// Because the point lives in the store database beside the rows it was judged against, a
// database restored from a copy brings back the point of that time, and reconcile reads again
// what the copy does not know.
#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "host/till/Reconcile.h"
#include "intf/intfDBScript.h"

namespace Reconcile {

// An archive as the point knows it.
struct TArchiveMark {
  int64_t Size = 0;
  std::string Start;  // SHA-256 of its first 4 KiB as stored (hex)
  bool operator==(const TArchiveMark&) const = default;
};

struct TJournalPoint {
  std::string Folder;                  // the log folder read, as given to reconcile
  std::vector<TArchiveMark> Archives;  // the leading archives read, oldest first
  TScanState State;                    // the scan's state at the end of the last of them
  TJournal Open;                       // what they left open

  std::string ToText() const;
  // False when text is no point this program wrote (the point is then ignored: all is read).
  static bool Read(const std::string& text, TJournalPoint& point);
};

// The mark of one archive; false with error naming it when it cannot be read.
bool MarkArchive(const std::filesystem::path& file, TArchiveMark& mark, std::string& error);

// Reads the folder as ScanLogFolder does, leaving out the leading archives `from` covers (and
// joining what they left open) when `from` still describes the folder: its archives, less any
// pruned since, are the first files of the folder in order and it names the same folder.
// reached: the point this read arrives at, its Open part still to be filtered (OpenPart) before
// it is kept. skipped: how many files were left out.
bool ScanLogFolderFrom(const std::string& folder, const TJournalPoint* from, TLogScan& scan,
                       TJournalPoint& reached, int& skipped, std::string& error);

// The till's point kept in the database; false (point untouched) when there is none or it cannot
// be read.
bool LoadJournalPoint(IDBScript& db, int32_t till, TJournalPoint& point);
// Keeps the till's point in the database, replacing the one there; false with error when it
// cannot be.
bool SaveJournalPoint(IDBScript& db, int32_t till, const TJournalPoint& point, std::string& error);

}  // namespace Reconcile
