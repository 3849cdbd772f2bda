#include "lib/modulelog/LogFolder.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <tuple>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "lib/common/AsciiCase.h"
#include "lib/common/LocalTime.h"
#include "lib/common/OwnedFile.h"
#include "lib/synlz/SynLZFile.h"

namespace fs = std::filesystem;

namespace LogTool {
namespace {

bool EndsWith(const std::string& s, std::string_view suffix) {
  return s.size() >= suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// NAME.N.synlz with N in 1..9: sets name and number.
bool IsNumberedArchive(const std::string& file, std::string& name, int& number) {
  const std::string lower = LowerAscii(file);
  if (!EndsWith(lower, ".synlz") || file.size() < 9) return false;
  const size_t digit = file.size() - 7;  // NAME . N .synlz
  if (file[digit - 1] != '.' || file[digit] < '1' || file[digit] > '9') return false;
  name = file.substr(0, digit - 1);
  number = file[digit] - '0';
  return !name.empty();
}

bool IsMonthFolder(const std::string& name) {
  return name.size() == 6 && std::all_of(name.begin(), name.end(),
                                         [](unsigned char c) { return std::isdigit(c) != 0; });
}

// Where a file stands in the order the log made it, for files of equal time.
struct Place {
  fs::path path;
  fs::file_time_type written;
  std::string stem;   // the log name the file belongs to, without ".log"
  int kind = 0;       // 0 archive of an old log, 1 rotation archive, 2 live log, 3 other archive
  std::string month;  // folder of an old log's archive
  int step = 0;       // archiving pass, or 9 - rotation number
  auto Key() const { return std::tie(written, stem, kind, month, step, path); }
};

fs::file_time_type WrittenAt(const fs::path& file) {
  std::error_code ec;
  const fs::file_time_type t = fs::last_write_time(file, ec);
  return ec ? fs::file_time_type::min() : t;
}

bool Skipped(const std::string& file) { return file.empty() || file[0] == '.'; }

void AddTopLevel(const fs::directory_entry& e, std::vector<Place>& places) {
  const std::string file = e.path().filename().string();
  const std::string lower = LowerAscii(file);
  Place p{e.path(), WrittenAt(e.path()), {}, 0, {}, 0};
  std::string name;
  int number = 0;
  if (EndsWith(lower, ".log")) {
    p.stem = file.substr(0, file.size() - 4);
    p.kind = 2;
  } else if (IsNumberedArchive(file, name, number)) {
    p.stem = name;
    p.kind = 1;
    p.step = 9 - number;
  } else if (EndsWith(lower, ".synlz")) {
    p.stem = file;
    p.kind = 3;
  } else {
    return;
  }
  places.push_back(std::move(p));
}

// An old log archived at unload: NAME.log.synlz, or NAME.log.K.synlz when an earlier pass had
// taken that name.
void AddOldLogArchive(const fs::directory_entry& e, const std::string& month,
                      std::vector<Place>& places) {
  const std::string file = e.path().filename().string();
  if (!EndsWith(LowerAscii(file), ".synlz")) return;
  Place p{e.path(), WrittenAt(e.path()), {}, 0, month, 0};
  std::string name;
  int number = 0;
  if (IsNumberedArchive(file, name, number) && EndsWith(LowerAscii(name), ".log")) {
    p.stem = name.substr(0, name.size() - 4);
    p.step = number;
  } else {
    p.stem = file.substr(0, file.size() - 6);
    if (EndsWith(LowerAscii(p.stem), ".log")) p.stem.resize(p.stem.size() - 4);
  }
  places.push_back(std::move(p));
}

constexpr const char* kLinkReason = "a symbolic link, not followed";

// What a folder entry is, without following a link at its name.
fs::file_type TypeOf(const fs::directory_entry& e) {
  std::error_code ec;
  const fs::file_status st = e.symlink_status(ec);
  return ec ? fs::file_type::unknown : st.type();
}

// True when e, a file of a log's name, is read; otherwise it is named in skipped.
bool Readable(const fs::directory_entry& e, std::vector<TSkippedFile>& skipped) {
  const fs::file_type type = TypeOf(e);
  if (type == fs::file_type::regular) return true;
  skipped.push_back(
      {e.path(), type == fs::file_type::symlink ? kLinkReason : "not a regular file"});
  return false;
}

bool IsLogName(const std::string& file) {
  const std::string lower = LowerAscii(file);
  return EndsWith(lower, ".log") || EndsWith(lower, ".synlz");
}

void AddLogFolders(const fs::path& log, TLogFolderFiles& files, std::vector<Place>& places) {
  for (const fs::directory_entry& m : fs::directory_iterator(log)) {
    const std::string month = m.path().filename().string();
    if (!IsMonthFolder(month)) continue;
    const fs::file_type type = TypeOf(m);
    if (type == fs::file_type::symlink) files.Skipped.push_back({m.path(), kLinkReason});
    if (type != fs::file_type::directory) continue;
    for (const fs::directory_entry& e : fs::directory_iterator(m.path())) {
      const std::string name = e.path().filename().string();
      if (Skipped(name) || !IsArchiveName(e.path()) || TypeOf(e) == fs::file_type::directory)
        continue;
      if (Readable(e, files.Skipped)) AddOldLogArchive(e, month, places);
    }
  }
}

void Escape(unsigned char c, std::string& out) {
  static const char kHex[] = "0123456789abcdef";
  out += "\\x";
  out.push_back(kHex[c >> 4]);
  out.push_back(kHex[c & 15]);
}

}  // namespace

bool IsArchiveName(const fs::path& file) {
  return EndsWith(LowerAscii(file.filename().string()), ".synlz");
}

TLogFolderFiles ListLogFolder(const fs::path& dir) {
  TLogFolderFiles files;
  std::vector<Place> places;
  for (const fs::directory_entry& e : fs::directory_iterator(dir)) {
    const std::string file = e.path().filename().string();
    if (Skipped(file)) continue;
    const fs::file_type type = TypeOf(e);
    if (file == "log" && type == fs::file_type::directory)
      AddLogFolders(e.path(), files, places);
    else if (file == "log" && type == fs::file_type::symlink)
      files.Skipped.push_back({e.path(), kLinkReason});
    else if (type != fs::file_type::directory && IsLogName(file) && Readable(e, files.Skipped))
      AddTopLevel(e, places);
  }
  std::sort(places.begin(), places.end(),
            [](const Place& a, const Place& b) { return a.Key() < b.Key(); });
  files.Files.reserve(places.size());
  for (Place& p : places) files.Files.push_back(std::move(p.path));
  return files;
}

std::vector<fs::path> OrderLogFolder(const fs::path& dir) { return ListLogFolder(dir).Files; }

namespace {

// Bytes shown as they are, and that need no look at the bytes around them.
bool Plain(unsigned char c) {
  return (c >= 0x20 && c != 0x7F && c != 0xC2) || c == '\t' || c == '\n';
}

}  // namespace

void TLogLines::Add(std::string_view piece, std::string& out) {
  for (size_t i = 0; i < piece.size(); ++i) {
    if (!FAfterCR && !FHeldC2) {
      size_t end = i;
      while (end < piece.size() && Plain(static_cast<unsigned char>(piece[end]))) ++end;
      if (end > i) {
        out.append(piece.data() + i, end - i);
        FLast = out.back();
        i = end - 1;
        continue;
      }
    }
    const char ch = piece[i];
    const unsigned char c = static_cast<unsigned char>(ch);
    if (FAfterCR) {
      FAfterCR = false;
      if (c == '\n') continue;
    }
    if (FHeldC2) {
      FHeldC2 = false;
      if (c >= 0x80 && c <= 0x9F) {
        Escape(0xC2, out);
        Escape(c, out);
        FLast = 'x';
        continue;
      }
      out.push_back(char(0xC2));
    }
    if (c == '\r') {
      out.push_back('\n');
      FAfterCR = true;
    } else if (c == 0xC2) {
      FHeldC2 = true;
      continue;
    } else if ((c < 0x20 && c != '\t' && c != '\n') || c == 0x7F) {
      Escape(c, out);
    } else {
      out.push_back(ch);
    }
    FLast = out.back();
  }
}

void TLogLines::Finish(std::string& out) {
  if (FHeldC2) {
    out.push_back(char(0xC2));
    FLast = 'x';
  }
  if (FLast != '\n') out.push_back('\n');
  *this = TLogLines();
}

std::string ToLines(std::string_view text) {
  std::string out;
  TLogLines lines;
  lines.Add(text, out);
  lines.Finish(out);
  return out;
}

namespace {

bool ReadLive(int fd, const fs::path& file, const TTextSink& sink, std::string& error) {
  std::string buf(64 * 1024, '\0');
  for (;;) {
    const ssize_t got = ::read(fd, buf.data(), buf.size());
    if (got > 0) {
      sink(std::string_view(buf.data(), static_cast<size_t>(got)));
    } else if (got == 0) {
      return true;
    } else if (errno != EINTR) {
      error = "cannot read '" + file.string() + "': " + std::strerror(errno);
      return false;
    }
  }
}

}  // namespace

bool ReadLogText(const fs::path& file, const TTextSink& sink, std::string& error,
                 const fs::path& root) {
  const fs::path base = root.empty() ? file.parent_path() : root;
  const fs::path relative = root.empty() ? file.filename() : file.lexically_relative(root);
  std::string why;
  const TFileHandle baseFd(
      ::open(base.empty() ? "." : base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!baseFd) {
    error = "cannot open '" + file.string() + "': " + std::strerror(errno);
    return false;
  }
  const TFileHandle fd = OpenBelow(baseFd.Get(), relative.string(), O_RDONLY, file.string(), why);
  if (!fd) {
    error = why;
    return false;
  }
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    error = "cannot open '" + file.string() + "': not a regular file";
    return false;
  }
  if (!IsArchiveName(file)) return ReadLive(fd.Get(), file, sink, error);
  return SynLZReadDescriptor(
      fd.Get(), file.string(),
      [&sink](const uint8_t* data, size_t n, std::string&) {
        sink(std::string_view(reinterpret_cast<const char*>(data), n));
        return true;
      },
      error);
}

namespace {

// Months counted from year 0, so that a cut-off in an earlier year is plain arithmetic.
long CutOff(int months, std::time_t now) {
  const TLocalTime local = LocalTimeAt(now);
  return local.Year * 12L + (local.Month - 1) - months;
}

bool MonthBefore(const std::string& name, long cutoff) {
  if (!IsMonthFolder(name)) return false;
  const long year = std::stol(name.substr(0, 4)), number = std::stol(name.substr(4, 2));
  return number >= 1 && number <= 12 && year * 12 + number - 1 < cutoff;
}

struct TDirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};

// The names in the open folder fd, sorted, "." and ".." left out; fd itself stays open.
std::vector<std::string> NamesIn(int fd) {
  std::vector<std::string> names;
  const int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (own < 0) return names;
  const std::unique_ptr<DIR, TDirCloser> d(::fdopendir(own));
  if (!d) {
    ::close(own);
    return names;
  }
  ::rewinddir(d.get());
  while (const dirent* e = ::readdir(d.get())) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// The type of name in folder fd, not following a link; S_IFLNK for a link, 0 when missing.
mode_t TypeAt(int fd, const std::string& name, off_t* size = nullptr) {
  struct stat st {};
  if (::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return 0;
  if (size) *size = st.st_size;
  return st.st_mode & S_IFMT;
}

void PruneMonth(int logFd, const fs::path& logs, const std::string& month, bool dry,
                TPruneResult& result) {
  const fs::path folder = logs / month;
  const mode_t type = TypeAt(logFd, month);
  if (type == S_IFLNK) result.Refused.push_back({folder, kLinkReason});
  if (type != S_IFDIR) return;
  std::string error;
  const TFileHandle monthFd = OpenFolderNoFollow(logFd, month, folder.string(), error);
  if (!monthFd) {
    result.Refused.push_back({folder, error});
    return;
  }
  bool removedOne = false;
  for (const std::string& name : NamesIn(monthFd.Get())) {
    if (Skipped(name) || !IsArchiveName(name)) continue;
    off_t size = 0;
    const mode_t fileType = TypeAt(monthFd.Get(), name, &size);
    if (fileType == S_IFDIR) continue;
    if (fileType != S_IFREG) {
      result.Refused.push_back(
          {folder / name, fileType == S_IFLNK ? kLinkReason : "not a regular file"});
      continue;
    }
    // unlinkat removes the name in this folder, whatever it has become since it was looked at:
    // at worst a link planted here goes, never what it points to.
    if (!dry && ::unlinkat(monthFd.Get(), name.c_str(), 0) != 0) {
      result.Refused.push_back(
          {folder / name, std::string("cannot remove: ") + std::strerror(errno)});
      continue;
    }
    result.Removed.emplace_back(folder / name, static_cast<std::uintmax_t>(size));
    removedOne = true;
  }
  // The month's folder goes with its last archive; one holding anything else stays.
  if (!dry && removedOne && NamesIn(monthFd.Get()).empty() &&
      ::unlinkat(logFd, month.c_str(), AT_REMOVEDIR) == 0)
    result.RemovedFolders.push_back(folder);
}

}  // namespace

bool PruneOldArchives(const fs::path& dir, int months, std::time_t now, bool dry,
                      TPruneResult& result, std::string& error) {
  const long cutoff = CutOff(months, now);
  const TFileHandle dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dirFd) {
    error = "cannot open the folder '" + dir.string() + "': " + std::strerror(errno);
    return false;
  }
  const fs::path logs = dir / "log";
  const mode_t type = TypeAt(dirFd.Get(), "log");
  if (type == S_IFLNK) result.Refused.push_back({logs, kLinkReason});
  if (type != S_IFDIR) return true;
  const TFileHandle logFd = OpenFolderNoFollow(dirFd.Get(), "log", logs.string(), error);
  if (!logFd) return false;
  for (const std::string& month : NamesIn(logFd.Get()))
    if (MonthBefore(month, cutoff)) PruneMonth(logFd.Get(), logs, month, dry, result);
  return true;
}

std::vector<fs::path> ArchivesOlderThan(const fs::path& dir, int months, std::time_t now) {
  const long cutoff = CutOff(months, now);
  std::vector<fs::path> found;
  const fs::path logs = dir / "log";
  std::error_code ec;
  if (fs::symlink_status(logs, ec).type() != fs::file_type::directory) return found;
  for (const fs::directory_entry& month : fs::directory_iterator(logs)) {
    const std::string name = month.path().filename().string();
    if (!MonthBefore(name, cutoff) || TypeOf(month) != fs::file_type::directory) continue;
    for (const fs::directory_entry& file : fs::directory_iterator(month.path()))
      if (TypeOf(file) == fs::file_type::regular && IsArchiveName(file.path()))
        found.push_back(file.path());
  }
  std::sort(found.begin(), found.end());
  return found;
}

}  // namespace LogTool
