#include "tools/LogFolder.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <memory>
#include <tuple>

#include "lib/common/AsciiCase.h"
#include "lib/common/LocalTime.h"
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

void AddLogFolders(const fs::path& log, std::vector<Place>& places) {
  for (const fs::directory_entry& m : fs::directory_iterator(log)) {
    const std::string month = m.path().filename().string();
    if (!IsMonthFolder(month) || !m.is_directory()) continue;
    for (const fs::directory_entry& e : fs::directory_iterator(m.path())) {
      if (!Skipped(e.path().filename().string()) && !e.is_directory())
        AddOldLogArchive(e, month, places);
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

std::vector<fs::path> OrderLogFolder(const fs::path& dir) {
  std::vector<Place> places;
  for (const fs::directory_entry& e : fs::directory_iterator(dir)) {
    const std::string file = e.path().filename().string();
    if (Skipped(file)) continue;
    if (!e.is_directory())
      AddTopLevel(e, places);
    else if (file == "log")
      AddLogFolders(e.path(), places);
  }
  std::sort(places.begin(), places.end(),
            [](const Place& a, const Place& b) { return a.Key() < b.Key(); });
  std::vector<fs::path> ordered;
  ordered.reserve(places.size());
  for (Place& p : places) ordered.push_back(std::move(p.path));
  return ordered;
}

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

struct TFileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

bool ReadLive(const fs::path& file, const TTextSink& sink, std::string& error) {
  const std::unique_ptr<std::FILE, TFileCloser> in(std::fopen(file.c_str(), "rb"));
  if (!in) {
    error = "cannot open '" + file.string() + "': permission denied";
    return false;
  }
  std::string buf(64 * 1024, '\0');
  for (;;) {
    const size_t got = std::fread(buf.data(), 1, buf.size(), in.get());
    if (got > 0) sink(std::string_view(buf.data(), got));
    if (got < buf.size()) break;
  }
  if (std::ferror(in.get())) {
    error = "cannot read '" + file.string() + "'";
    return false;
  }
  return true;
}

}  // namespace

bool ReadLogText(const fs::path& file, const TTextSink& sink, std::string& error) {
  std::error_code ec;
  if (!fs::exists(file, ec)) {
    error = "cannot open '" + file.string() + "': no such file";
    return false;
  }
  if (!fs::is_regular_file(file, ec)) {
    error = "cannot open '" + file.string() + "': not a regular file";
    return false;
  }
  if (!IsArchiveName(file)) return ReadLive(file, sink, error);
  return SynLZReadFile(
      file.string(),
      [&sink](const uint8_t* data, size_t n, std::string&) {
        sink(std::string_view(reinterpret_cast<const char*>(data), n));
        return true;
      },
      error);
}

std::vector<fs::path> ArchivesOlderThan(const fs::path& dir, int months, std::time_t now) {
  const TLocalTime local = LocalTimeAt(now);
  // Months counted from year 0, so that a cut-off in an earlier year is plain arithmetic.
  const long cutoff = local.Year * 12L + (local.Month - 1) - months;
  std::vector<fs::path> found;
  const fs::path logs = dir / "log";
  std::error_code ec;
  if (!fs::is_directory(logs, ec)) return found;
  for (const fs::directory_entry& month : fs::directory_iterator(logs)) {
    const std::string name = month.path().filename().string();
    if (!IsMonthFolder(name) || !month.is_directory()) continue;
    const long year = std::stol(name.substr(0, 4)), number = std::stol(name.substr(4, 2));
    if (number < 1 || number > 12 || year * 12 + number - 1 >= cutoff) continue;
    for (const fs::directory_entry& file : fs::directory_iterator(month.path()))
      if (file.is_regular_file() && IsArchiveName(file.path())) found.push_back(file.path());
  }
  std::sort(found.begin(), found.end());
  return found;
}

}  // namespace LogTool
