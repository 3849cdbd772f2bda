#include "sandbox/SandboxStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <unordered_map>

#include "lib/common/FileText.h"
#include "lib/json/clsJSONDocument.h"
#include "sandbox/SandboxJSON.h"

namespace {

bool IsObject(const TJSONValue& v) { return v.Document() && v.Document()->IsObject(); }

template <typename T>
TJSONValue OrNull(const std::optional<T>& value) {
  return value ? TJSONValue(*value) : TJSONValue(nullptr);
}

// One redemption as the state file and the journal carry it; unknown parts of its origin are
// null.
TJSONValue RedemptionDocument(const TRedemption& r) {
  return NewObjectDocument(
      {"Reference", r.Reference, "Code", r.Code, "Amount", TJSONMoney{r.Amount}, "Reversed",
       r.Reversed, "Time", r.Time, "StoreReference", OrNull(r.Origin.StoreReference), "OrderDate",
       OrNull(r.Origin.OrderDate), "RequestDigest", OrNull(r.Origin.RequestDigest)});
}

// False when entry is no redemption. States saved before the time or the origin were kept have
// none of them: they stay unknown.
bool RedemptionFrom(const TJSONValue& entry, TRedemption& r) {
  const TJSONValue* reference = IsObject(entry) ? TextMember(entry, "Reference") : nullptr;
  const TJSONValue* code = reference ? TextMember(entry, "Code") : nullptr;
  const TJSONValue* amount = code ? Member(entry, "Amount") : nullptr;
  const TJSONValue* reversed = amount ? Member(entry, "Reversed") : nullptr;
  if (!reversed || !IsNumber(*amount) || reversed->Kind() != TJSONKind::Boolean) return false;
  r = TRedemption{reference->AsText(),   code->AsText(), amount->ToMoney(),
                  reversed->AsBoolean(), std::string(),  {}};
  if (const TJSONValue* time = TextMember(entry, "Time")) r.Time = time->AsText();
  if (const TJSONValue* store = Member(entry, "StoreReference"); store && IsInteger(*store))
    r.Origin.StoreReference = IntegerOf(*store);
  if (const TJSONValue* date = TextMember(entry, "OrderDate")) r.Origin.OrderDate = date->AsText();
  if (const TJSONValue* digest = TextMember(entry, "RequestDigest"))
    r.Origin.RequestDigest = digest->AsText();
  return true;
}

bool WriteAll(int fd, std::string_view text) {
  for (size_t done = 0; done < text.size();) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {
      errno = ENOSPC;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

// Reads the file of the service's own at path (what: its part, for messages) into text. 0 when
// there is none, -1 with error when it cannot be read or is not the service's own: a link there
// could make it take (and later overwrite with) a book someone else wrote.
int ReadOwn(const std::string& path, const std::string& what, std::string& text,
            std::string& error) {
  text.clear();
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 && errno == ENOENT) return 0;
  std::string why;
  const TFileHandle in = OpenOwnFile(AT_FDCWD, path, O_RDONLY, 0600, why);
  if (!in || !ReadWholeFile("/proc/self/fd/" + std::to_string(in.Get()), text, why)) {
    error = "cannot read the sandbox " + what + " " + path + ": " + why;
    return -1;
  }
  return 1;
}

}  // namespace

TSandboxStore::TSandboxStore(std::string dataDir) : FDataDir(std::move(dataDir)) {}

std::string TSandboxStore::StateFile() const {
  return (std::filesystem::path(FDataDir) / "state.json").string();
}

std::string TSandboxStore::JournalFile() const {
  return (std::filesystem::path(FDataDir) / "journal.jsonl").string();
}

bool TSandboxStore::Load(TSandboxState& state, std::string& error) const {
  state = TSandboxState{};
  const std::string file = StateFile();
  std::string text;
  const int found = ReadOwn(file, "state", text, error);
  if (found < 0) return false;
  if (found > 0) {
    // A damaged state is reported rather than replaced: redemptions would silently vanish.
    const TJSONValue doc = ParseJSONDocument(text);
    const TJSONValue* list = IsObject(doc) ? Member(doc, "Redemptions") : nullptr;
    const TJSONValue* next = list ? Member(doc, "NextReference") : nullptr;
    if (!list || !list->Document() || !list->Document()->IsArray() || !next || !IsNumber(*next)) {
      error = "sandbox state " + file + " is damaged; remove it to start with a fresh book";
      return false;
    }
    state.NextReference = static_cast<int64_t>(next->ToFloat());
    state.Redemptions.resize(static_cast<size_t>(list->Count()));
    for (int32_t i = 0; i < list->Count(); ++i)
      if (!RedemptionFrom(list->_(i), state.Redemptions[static_cast<size_t>(i)])) {
        error = "sandbox state " + file + ": redemption " + std::to_string(i + 1) + " is damaged";
        return false;
      }
  }

  const std::string journal = JournalFile();
  if (ReadOwn(journal, "journal", text, error) < 0) return false;
  if (text.empty()) return true;
  std::unordered_map<std::string, size_t> at;
  for (size_t i = 0; i < state.Redemptions.size(); ++i)
    at.emplace(state.Redemptions[i].Reference, i);
  // A change is in the journal when its line is: each is written whole with its newline in one
  // call, so a last line without one was cut short by a stop and its change was never answered.
  // The lines are applied so that one already in the state file changes nothing: a start that
  // stopped between renaming the state file and emptying the journal leaves such lines.
  int line = 0;
  for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
       start = end + 1) {
    ++line;
    const TJSONValue change = ParseJSONDocument(std::string_view(text).substr(start, end - start));
    const TJSONValue* kind = IsObject(change) ? TextMember(change, "Change") : nullptr;
    const std::string what = kind ? kind->AsText() : std::string();
    bool good = false;
    if (what == "redeem") {
      const TJSONValue* made = Member(change, "Redemption");
      const TJSONValue* next = Member(change, "NextReference");
      TRedemption r;
      good = made && next && IsInteger(*next) && RedemptionFrom(*made, r);
      if (good && at.emplace(r.Reference, state.Redemptions.size()).second)
        state.Redemptions.push_back(std::move(r));
      if (good && IntegerOf(*next) > state.NextReference) state.NextReference = IntegerOf(*next);
    } else if (what == "reverse") {
      const TJSONValue* reference = TextMember(change, "Reference");
      const auto it = reference ? at.find(reference->AsText()) : at.end();
      good = it != at.end();
      if (good) state.Redemptions[it->second].Reversed = true;
    }
    if (!good) {
      error = "sandbox journal " + journal + ": line " + std::to_string(line) +
              " is damaged or names a redemption the state does not hold; the lines before it "
              "are good: cut the file there to keep them, or remove the data folder to start "
              "with a fresh book";
      return false;
    }
  }
  return true;
}

bool TSandboxStore::Compact(const TSandboxState& state, std::string& error) {
  const std::string file = StateFile(), temp = file + ".tmp", journal = JournalFile();
  TJSONValue list = NewArrayDocument();
  for (const TRedemption& r : state.Redemptions) list.Add(RedemptionDocument(r));
  const std::string text =
      NewObjectDocument({"NextReference", state.NextReference, "Redemptions", list}).ToJSON() +
      "\n";
  {
    // Made afresh for the owner alone, whatever the umask; a link or a leftover at the name is
    // removed first, never written through.
    ::unlink(temp.c_str());
    std::string why;
    const TFileHandle out = OpenOwnFile(AT_FDCWD, temp, O_WRONLY | O_CREAT | O_EXCL, 0600, why);
    if (!out || !WriteAll(out.Get(), text) || ::fsync(out.Get()) != 0) {
      error = "cannot write the sandbox state " + temp + ": " +
              (why.empty() ? std::strerror(errno) : why);
      return false;
    }
  }
  // Written aside and renamed, so a stop leaves the old state or the new one, never half.
  if (::rename(temp.c_str(), file.c_str()) != 0) {
    error = "cannot replace the sandbox state " + file + ": " + std::strerror(errno);
    return false;
  }
  // The rename must be on the disk before the journal it replaces is emptied, or a machine that
  // goes down in between would come back with the old state and no journal.
  const TFileHandle folder(::open(FDataDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder || ::fsync(folder.Get()) != 0) {
    error = "cannot sync the data folder " + FDataDir + ": " + std::strerror(errno);
    return false;
  }
  std::string why;
  FJournal = OpenOwnFile(AT_FDCWD, journal, O_WRONLY | O_CREAT | O_APPEND, 0600, why);
  if (!FJournal || ::ftruncate(FJournal.Get(), 0) != 0) {
    error = "cannot start the sandbox journal " + journal + ": " +
            (why.empty() ? std::strerror(errno) : why);
    FJournal.Reset();
    return false;
  }
  FJournalSize = 0;
  FJournalBroken = false;
  return true;
}

bool TSandboxStore::Redeemed(const TRedemption& made, int64_t nextReference, std::string& error) {
  return Append(NewObjectDocument({"Change", "redeem", "NextReference", nextReference, "Redemption",
                                   RedemptionDocument(made)})
                    .ToJSON(),
                error);
}

bool TSandboxStore::Reversed(const std::string& reference, std::string& error) {
  return Append(NewObjectDocument({"Change", "reverse", "Reference", reference}).ToJSON(), error);
}

bool TSandboxStore::Append(const std::string& line, std::string& error) {
  const std::string journal = JournalFile();
  if (!FJournal || FJournalBroken) {
    error = "the sandbox journal " + journal +
            " cannot take changes after a failed write; restart the sandbox";
    return false;
  }
  // Written through to the kernel before the answer goes out, but not synced: a sandbox that is
  // killed (what tests and demos do to it) keeps every line written, since the kernel's cache
  // reaches the disk whatever becomes of the process; only the machine itself going down could
  // lose the last lines, and a sync per line would cost every request a disk flush on a disk
  // shared with builds, the very cost the journal is there to take away.
  const std::string text = line + "\n";
  if (WriteAll(FJournal.Get(), text)) {
    FJournalSize += static_cast<off_t>(text.size());
    return true;
  }
  error = "cannot write the sandbox journal " + journal + ": " + std::strerror(errno);
  // A part of a line left in place would join the next line into one damaged line.
  if (::ftruncate(FJournal.Get(), FJournalSize) != 0) {
    FJournalBroken = true;
    error += "; nor cut it back to its last whole line: restart the sandbox";
  }
  return false;
}
