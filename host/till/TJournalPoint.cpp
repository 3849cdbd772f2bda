#include "host/till/TJournalPoint.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <set>

#include "host/db/sql/SqlText.h"
#include "lib/common/OwnedFile.h"
#include "lib/json/clsJSONDocument.h"
#include "lib/modulelog/LogFolder.h"
#include "lib/voucher/DovraMessages.h"

namespace Reconcile {

namespace {

namespace fs = std::filesystem;

// Bumped when the document's meaning changes: a point of another version is not used.
constexpr int32_t kPointVersion = 1;
constexpr size_t kStartBytes = 4096;

std::string Text(const TJSONValue& object, const char* name) {
  const TJSONValue* value = object.Find(name);
  return value && value->Kind() == TJSONKind::Text ? value->AsText() : std::string();
}
int64_t Number(const TJSONValue& object, const char* name, int64_t otherwise = -1) {
  const TJSONValue* value = object.Find(name);
  if (!value) return otherwise;
  if (value->Kind() == TJSONKind::Integer) return value->AsInteger();
  if (value->Kind() == TJSONKind::LargeInteger) return value->AsInt64();
  return otherwise;
}
bool Flag(const TJSONValue& object, const char* name) {
  const TJSONValue* value = object.Find(name);
  return value && value->Kind() == TJSONKind::Boolean && value->AsBoolean();
}

TJSONValue AttemptDocument(const TAttempt& a) {
  return NewObjectDocument({"Code",        a.Code,
                            "HasKey",      a.HasKey,
                            "KeyCode",     a.Key.VoucherCode,
                            "Store",       static_cast<int64_t>(a.Key.StoreReference),
                            "OrderDate",   a.Key.OrderDate,
                            "Digest",      a.Key.RequestDigest,
                            "Transaction", a.Transaction,
                            "Database",    a.Database,
                            "Sale",        a.Sale,
                            "Reference",   a.Reference,
                            "Refused",     a.Refused,
                            "Settled",     a.Settled,
                            "Recorded",    a.Recorded,
                            "LoggedAt",    static_cast<int64_t>(a.LoggedAt),
                            "Where",       a.Where});
}
TAttempt ReadAttempt(const TJSONValue& d) {
  TAttempt a;
  a.Code = Text(d, "Code");
  a.HasKey = Flag(d, "HasKey");
  a.Key.VoucherCode = Text(d, "KeyCode");
  a.Key.StoreReference = Number(d, "Store", 0);
  a.Key.OrderDate = Text(d, "OrderDate");
  a.Key.RequestDigest = Text(d, "Digest");
  a.Transaction = static_cast<int32_t>(Number(d, "Transaction"));
  a.Database = Text(d, "Database");
  a.Sale = static_cast<int32_t>(Number(d, "Sale"));
  a.Reference = Text(d, "Reference");
  a.Refused = Flag(d, "Refused");
  a.Settled = Flag(d, "Settled");
  a.Recorded = Flag(d, "Recorded");
  a.LoggedAt = static_cast<std::time_t>(Number(d, "LoggedAt", 0));
  a.Where = Text(d, "Where");
  return a;
}
TJSONValue IntentDocument(const TReverseIntent& r) {
  return NewObjectDocument({"Reference", r.Reference, "Found", FoundText(r.Found), "Confirmed",
                            r.Confirmed, "Recorded", r.Recorded, "Database", r.Database,
                            "Transaction", r.Transaction, "Sale", r.Sale, "LoggedAt",
                            static_cast<int64_t>(r.LoggedAt), "Where", r.Where});
}
std::optional<TReverseIntent> ReadIntent(const TJSONValue& d) {
  TReverseIntent r;
  r.Reference = Text(d, "Reference");
  const std::optional<TFound> found = ReadFound(Text(d, "Found"));
  if (!found) return std::nullopt;
  r.Found = *found;
  r.Confirmed = Flag(d, "Confirmed");
  r.Recorded = Flag(d, "Recorded");
  r.Database = Text(d, "Database");
  r.Transaction = static_cast<int32_t>(Number(d, "Transaction"));
  r.Sale = static_cast<int32_t>(Number(d, "Sale"));
  r.LoggedAt = static_cast<std::time_t>(Number(d, "LoggedAt", 0));
  r.Where = Text(d, "Where");
  return r;
}

// How many of the folder's leading archives the point covers: its archives that are still there
// must be its last ones and the folder's first, in order (only the oldest are ever pruned); -1
// when the point does not describe the folder (a mark of it stands later: a file put back).
int Covered(const TJournalPoint& point, const std::vector<TArchiveMark>& leading) {
  size_t covered = 0;
  for (size_t n = std::min(leading.size(), point.Archives.size()); n > 0; --n)
    if (std::equal(point.Archives.end() - static_cast<long>(n), point.Archives.end(),
                   leading.begin())) {
      covered = n;
      break;
    }
  for (size_t i = covered; i < leading.size(); ++i)
    if (std::find(point.Archives.begin(), point.Archives.end(), leading[i]) != point.Archives.end())
      return -1;
  return static_cast<int>(covered);
}

}  // namespace

std::string TJournalPoint::ToText() const {
  TJSONValue archives = NewArrayDocument();
  for (const TArchiveMark& m : Archives)
    archives.Add(NewObjectDocument({"Size", m.Size, "Start", m.Start}));
  TJSONValue attempts = NewArrayDocument();
  for (const TAttempt& a : Open.Attempts) attempts.Add(AttemptDocument(a));
  TJSONValue reverses = NewArrayDocument();
  for (const TReverseIntent& r : Open.Reverses) reverses.Add(IntentDocument(r));
  return NewObjectDocument({"Version", kPointVersion, "Folder", Folder, "Archives", archives,
                            "Database", State.Database, "Sale", State.Sale, "InHeader",
                            State.InHeader, "Attempts", attempts, "Reverses", reverses})
      .ToJSON();
}

bool TJournalPoint::Read(const std::string& text, TJournalPoint& point) {
  const TJSONValue d = ParseJSONDocument(text);
  if (!d.IsDocument() || Number(d, "Version") != kPointVersion) return false;
  const TJSONValue* archives = d.Find("Archives");
  const TJSONValue* attempts = d.Find("Attempts");
  const TJSONValue* reverses = d.Find("Reverses");
  if (!archives || !archives->IsDocument() || !attempts || !attempts->IsDocument() || !reverses ||
      !reverses->IsDocument())
    return false;
  TJournalPoint read;
  read.Folder = Text(d, "Folder");
  for (int32_t i = 0; i < archives->Count(); ++i) {
    const TJSONValue& m = archives->_(i);
    read.Archives.push_back({Number(m, "Size"), Text(m, "Start")});
  }
  read.State.Database = Text(d, "Database");
  read.State.Sale = static_cast<int32_t>(Number(d, "Sale"));
  read.State.InHeader = Flag(d, "InHeader");
  for (int32_t i = 0; i < attempts->Count(); ++i)
    read.Open.Attempts.push_back(ReadAttempt(attempts->_(i)));
  for (int32_t i = 0; i < reverses->Count(); ++i) {
    std::optional<TReverseIntent> intent = ReadIntent(reverses->_(i));
    if (!intent) return false;
    read.Open.Reverses.push_back(std::move(*intent));
  }
  point = std::move(read);
  return true;
}

bool MarkArchive(const fs::path& file, TArchiveMark& mark, std::string& error) {
  // The folder's listing left links out; a file swapped for one since is not followed.
  const TFileHandle fd(::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  struct stat st {};
  if (!fd || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    error = "the log archive " + file.string() + " cannot be read";
    return false;
  }
  std::string start(kStartBytes, '\0');
  size_t have = 0;
  while (have < start.size()) {
    const ssize_t n = ::read(fd.Get(), start.data() + have, start.size() - have);
    if (n <= 0) break;
    have += static_cast<size_t>(n);
  }
  start.resize(have);
  mark.Size = static_cast<int64_t>(st.st_size);
  mark.Start = RequestDigest(start);
  return true;
}

bool ScanLogFolderFrom(const std::string& folder, const TJournalPoint* from, TLogScan& scan,
                       TJournalPoint& reached, int& skipped, std::string& error) {
  std::vector<fs::path> files;
  try {
    files = LogTool::OrderLogFolder(folder);
  } catch (const fs::filesystem_error& e) {
    error = "the module's log folder " + folder + " cannot be listed: " + e.what();
    return false;
  }
  size_t archives = 0;
  while (archives < files.size() && LogTool::IsArchiveName(files[archives])) ++archives;
  std::vector<TArchiveMark> leading(archives);
  for (size_t i = 0; i < archives; ++i)
    if (!MarkArchive(files[i], leading[i], error)) return false;

  skipped = 0;
  if (from && from->Folder == folder) {
    const int covered = Covered(*from, leading);
    if (covered >= 0) {
      skipped = covered;
      scan.Resume(from->State, from->Open);
    }
  }
  reached = TJournalPoint{};
  reached.Folder = folder;
  reached.Archives = leading;
  const auto keepPoint = [&] {
    reached.State = scan.State();
    reached.Open = scan.Journal();
  };
  if (archives == static_cast<size_t>(skipped)) keepPoint();
  for (size_t i = static_cast<size_t>(skipped); i < files.size(); ++i) {
    scan.BeginFile(files[i].filename().string());
    const bool read = LogTool::ReadLogText(
        files[i], [&](std::string_view piece) { scan.Feed(piece); }, error);
    scan.EndFile();
    if (!read) return false;
    if (i + 1 == archives) keepPoint();
  }
  return true;
}

bool LoadJournalPoint(IDBScript& db, int32_t till, TJournalPoint& point) {
  if (!db.TableExists("SarnReconcilePoint")) return false;
  std::string text;
  if (!db.QueryValue(
          "SELECT [Item] FROM [SarnReconcilePoint] WHERE [Point] = " + std::to_string(till), "Item",
          text))
    return false;
  return TJournalPoint::Read(text, point);
}

bool SaveJournalPoint(IDBScript& db, int32_t till, const TJournalPoint& point, std::string& error) {
  const bool made = db.Execute(
                        "IF OBJECT_ID( 'SarnReconcilePoint', 'U' ) IS NULL\r\n"
                        "  CREATE TABLE [SarnReconcilePoint] (\r\n"
                        "    [Point] INT           NOT NULL PRIMARY KEY,\r\n"
                        "    [Item]  NVARCHAR(MAX) NOT NULL\r\n"
                        "  )",
                        {}) >= 0;
  const std::string key = std::to_string(till);
  if (made && db.Execute("DELETE FROM [SarnReconcilePoint] WHERE [Point] = " + key +
                             ";\r\n"
                             "INSERT INTO [SarnReconcilePoint] ( [Point], [Item] ) VALUES ( " +
                             key + ", %s )",
                         {SqlStringLiteral(point.ToText())}) >= 0)
    return true;
  db.LastError(error);
  error = "how far reconcile has read could not be kept" + (error.empty() ? "" : ": " + error);
  return false;
}

}  // namespace Reconcile
