// Entries and the file they go to: time stamp and level tag, argument filling, the write buffer,
// opening the file (with its header) and closing it. Rotation is SynLogRotation.cpp.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <memory>
#include <thread>

#include "lib/common/PathParts.h"
#include "module/log/SynLog.h"
#include "module/log/SynLogInternal.h"

namespace {

constexpr std::string_view kTags[kSynLogInfoCount] = {
    "       ", " info  ", " debug ", " trace ", " warn  ", " ERROR ", "  +    ", "  -    ",
    " OSERR ", " EXC   ", " EXCOS ", " mem   ", " stack ", " fail  ", " SQL   ", " cache ",
    " res   ", " DB    ", " http  ", " clnt  ", " srvr  ", " call  ", " ret   ", " auth  ",
    " cust1 ", " cust2 ", " cust3 ", " cust4 ", " rotat "};

constexpr int kOpenRounds = 3;
constexpr int kOpenAttempts = 10;
constexpr auto kOpenRetryDelay = std::chrono::milliseconds(100);
constexpr uint64_t kBigRunBytes = 256 * 1024;
constexpr size_t kSmallBufferLimit = 48 * 1024;
constexpr size_t kBigBuffer = 64 * 1024;
constexpr size_t kRuleWidth = 50;
constexpr mode_t kLogFileMode = 0640;

bool WriteAll(int fd, const char* p, size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

// Index of the first byte below 32 in p[0, n), or n. Eight bytes at a time: texts are usually
// clean, and this scan is most of an entry's formatting cost.
size_t FirstControlByte(const char* p, size_t n) {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t word;
    std::memcpy(&word, p + i, 8);
    // Flags bytes below 0x20; the lowest flag is always exact (borrows only run upwards).
    const uint64_t below = (word - 0x2020202020202020ull) & ~word & 0x8080808080808080ull;
    if (below) return i + static_cast<size_t>(std::countr_zero(below) >> 3);
  }
  for (; i < n; ++i)
    if (static_cast<unsigned char>(p[i]) < 32) return i;
  return n;
}

// Two decimal digits of a value from 0 to 99.
void PutDigits(char* out, int value) {
  out[0] = static_cast<char>('0' + value / 10);
  out[1] = static_cast<char>('0' + value % 10);
}

bool IsContinuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

}  // namespace

std::string_view SynLogTag(TSynLogInfo level) {
  const auto index = static_cast<size_t>(level);
  return index < std::size(kTags) ? kTags[index] : kTags[0];
}

size_t TSynLogArg::Strlen(const char* s) { return std::strlen(s); }

TSynLog::TSynLog(TSynLogFamily& family) : FFamily(family), FLock(family.EntryLock()) {}

TSynLog::~TSynLog() { Close(); }

bool TSynLog::Discarding() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FState == State::Discarding;
}

const char* TSynLog::NameRefused() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FNameRefused;
}

std::string TSynLog::FileName() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FState == State::Open ? FFileName : std::string();
}

void TSynLog::Flush() {
  std::lock_guard<std::mutex> guard(FLock);
  WriteBuffer();
}

void TSynLog::Close() {
  std::lock_guard<std::mutex> guard(FLock);
  CloseFile();
  if (FState == State::Open) FState = State::NotOpened;
}

void TSynLog::CloseFile() noexcept {
  WriteBuffer();
  if (FFd >= 0) ::close(FFd);
  FFd = -1;
}

void TSynLog::Reserve(size_t n) {
  if (FBufferLen + n <= FBufferCap) return;
  WriteBuffer();
}

void TSynLog::WriteBuffer() noexcept {
  if (FBufferLen == 0) return;
  if (FFd >= 0 && WriteAll(FFd, FBuffer.get(), FBufferLen)) {
    FFileSize += FBufferLen;
    FRunWritten += FBufferLen;
  }
  FBufferLen = 0;
  if (FRunWritten > kBigRunBytes && FBufferCap < kSmallBufferLimit) {
    // A busy log gets a bigger buffer; without the memory for it, it keeps the one it has.
    try {
      FBuffer = std::make_unique<char[]>(kBigBuffer);
      FBufferCap = kBigBuffer;
    } catch (const std::bad_alloc&) {
    }
  }
}

void TSynLog::Append(const char* p, size_t n) {
  if (FBufferLen + n <= FBufferCap) {
    std::memcpy(FBuffer.get() + FBufferLen, p, n);
    FBufferLen += n;
    return;
  }
  while (n > 0) {
    if (FBufferLen == FBufferCap) WriteBuffer();
    const size_t k = std::min(n, FBufferCap - FBufferLen);
    std::memcpy(FBuffer.get() + FBufferLen, p, k);
    FBufferLen += k;
    p += k;
    n -= k;
  }
}

// A zero byte is written as "?": it is part of the text (an answer may carry one), and a text
// cut there would hide what follows it, while a zero byte in the file breaks the tools that read
// it. Every other control byte becomes a blank, so an entry stays on its line.
void TSynLog::AppendText(const char* p, size_t n) {
  while (n > 0) {
    const size_t clean = FirstControlByte(p, n);
    Append(p, clean);
    if (clean == n) return;
    Append(p[clean] == 0 ? "?" : " ", 1);
    p += clean + 1;
    n -= clean + 1;
  }
}

[[gnu::always_inline]] inline void TSynLog::AppendBounded(const char* p, size_t n) {
  if (n <= FArgRoom) [[likely]] {
    AppendText(p, n);
    FArgRoom -= n;
  } else {
    AppendCut(p, n);
  }
}

void TSynLog::AppendCut(const char* p, size_t n) {
  // A character of several bytes is left out whole rather than cut in two.
  size_t cut = FArgRoom;
  for (int back = 0; back < 3 && cut > 0 && IsContinuationByte(p[cut]); ++back) --cut;
  AppendText(p, cut);
  FArgLeftOut += n - cut;
  FArgRoom = 0;
}

void TSynLog::AppendArg(const TSynLogArg& arg) {
  if (arg.IsText()) {
    const std::string_view text = arg.Text();
    AppendBounded(text.data(), text.size());
  } else {
    char digits[24];
    const auto res = std::to_chars(digits, digits + sizeof digits, arg.Value());
    Append(digits, static_cast<size_t>(res.ptr - digits));
  }
}

void TSynLog::Stamp(TSynLogInfo level) {
  timespec tick{};
  ::clock_gettime(CLOCK_MONOTONIC_COARSE, &tick);
  const int64_t ms = static_cast<int64_t>(tick.tv_sec) * 1000 + tick.tv_nsec / 1000000;
  if (ms != FStampTick) {
    FStampTick = ms;
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    struct tm tm {};
    ::localtime_r(&now.tv_sec, &tm);
    const int cc = static_cast<int>(now.tv_nsec / 1000000) / 16;
    char* out = FStampText;
    const int year = (tm.tm_year + 1900) % 10000;
    PutDigits(out, year / 100);
    PutDigits(out + 2, year % 100);
    PutDigits(out + 4, tm.tm_mon + 1);
    PutDigits(out + 6, tm.tm_mday);
    out[8] = ' ';
    PutDigits(out + 9, tm.tm_hour);
    PutDigits(out + 11, tm.tm_min);
    PutDigits(out + 13, tm.tm_sec);
    PutDigits(out + 15, cc);
  }
  Reserve(sizeof FStampText + 7);
  Append(FStampText, sizeof FStampText);
  const std::string_view tag = SynLogTag(level);
  Append(tag.data(), tag.size());
}

bool TSynLog::OpenFile() {
  using namespace SynLogInternal;
  // Everything that needs memory comes first: once a file is open and locked, nothing may fail
  // and leave it behind, locked, for the next attempt to stumble over.
  const std::string base = FFamily.BuildFileName();
  const std::string stem = WithoutExtension(base);
  const std::string ext = base.substr(stem.size());
  std::string names[kOpenRounds];
  for (int round = 0; round < kOpenRounds; ++round)
    names[round] = round == 0 ? base : stem + std::string(static_cast<size_t>(round), '-') + ext;
  const std::vector<std::string> header = FFamily.HeaderLines();
  if (!FBuffer) {
    const size_t cap = static_cast<size_t>(std::max(FFamily.BufferSize, 256));
    FBuffer = std::make_unique<char[]>(cap);
    FBufferCap = cap;
  }
  FNameRefused = nullptr;
  for (std::string& name : names) {
    const char* refused = nullptr;
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
      if (attempt > 0) std::this_thread::sleep_for(kOpenRetryDelay);
      // Never through a link, and never anything but a regular file of this user's own with one
      // name: the log holds the till's answers and environment, and must not be written into a
      // file someone else chose or can read. Such a name stays unusable, so the next name is
      // tried at once.
      const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK,
                            kLogFileMode);
      if (fd < 0 && errno == ELOOP) {
        refused = "a symbolic link";
        break;
      }
      if (fd < 0) continue;
      struct stat st {};
      if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        refused = "not a regular file";
      else if (st.st_uid != ::geteuid())
        refused = "a file of another user";
      else if (st.st_nlink > 1)
        refused = "a file with a second name (a hard link)";
      // A log left readable by everyone (by an earlier version) is narrowed as it is taken
      // over; one that cannot be narrowed is not written.
      else if ((st.st_mode & 07777 & ~kLogFileMode) != 0 &&
               ::fchmod(fd, st.st_mode & kLogFileMode) != 0)
        refused = "a file whose rights cannot be narrowed";
      if (refused) {
        ::close(fd);
        break;
      }
      ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
      // Others may read the file but not write it while this run owns it.
      if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        continue;
      }
      if (FFamily.FileExistsAction == TSynLogExistsAction::acOverwrite && ::ftruncate(fd, 0) != 0) {
        ::close(fd);
        continue;
      }
      ::fstat(fd, &st);
      ::lseek(fd, 0, SEEK_END);
      FFd = fd;
      FFileName.swap(name);
      FFileSize = static_cast<uint64_t>(st.st_size);
      FRunWritten = 0;
      FRotateAt = static_cast<uint64_t>(FFamily.RotateFileSizeKB) * 1024;
      FState = State::Open;
      if (FFileSize == 0)
        WriteHeader(header, true);
      else if (FFamily.FileExistsAction == TSynLogExistsAction::acAppendWithHeader)
        WriteHeader(header, false);
      return true;
    }
    if (!FNameRefused && &name == &names[0]) FNameRefused = refused;
  }
  FState = State::Discarding;
  return false;
}

void TSynLog::WriteHeader(const std::vector<std::string>& lines, bool fresh) {
  if (fresh) {
    for (const std::string& line : lines) {
      Append(line.data(), line.size());
      Append("\r", 1);
    }
    Append("\r", 1);
  } else {
    char rule[kRuleWidth];
    std::memset(rule, '=', sizeof rule);
    Stamp(TSynLogInfo::sllNewRun);
    Append(rule, sizeof rule);
    for (const std::string& line : lines) {
      Append("\r\n", 2);
      Stamp(TSynLogInfo::sllNewRun);
      Append(line.data(), line.size());
    }
    Append("\r\n", 2);
  }
  if (!FFamily.BufferedWrites) WriteBuffer();
}

// The pieces of an entry are inlined into each kind of entry: as calls of their own they cost a
// buffered entry a twentieth of its time.
[[gnu::always_inline]] inline bool TSynLog::Begin(TSynLogInfo level) {
  if (!FFamily.Level().Has(level)) return false;
  if (FState == State::NotOpened) OpenFile();
  if (FState != State::Open) return false;
  Stamp(level);
  FArgRoom = FFamily.MaxArgumentText ? FFamily.MaxArgumentText : std::numeric_limits<size_t>::max();
  FArgLeftOut = 0;
  return true;
}

void TSynLog::AppendLeftOutNote() {
  char note[48];
  const int n = std::snprintf(note, sizeof note, "... (%llu %s left out)",
                              static_cast<unsigned long long>(FArgLeftOut),
                              FArgLeftOut == 1 ? "byte" : "bytes");
  Append(note, static_cast<size_t>(n));
}

[[gnu::always_inline]] inline void TSynLog::EndLine() {
  if (FArgLeftOut > 0) [[unlikely]]
    AppendLeftOutNote();
  if (FFamily.EndOfLineCRLF)
    Append("\r\n", 2);
  else
    Append("\r", 1);
}

void TSynLog::End() {
  EndLine();
  if (!FFamily.BufferedWrites) WriteBuffer();
  if (FRotateAt > 0 && FFileSize + FBufferLen > FRotateAt) Rotate();
}

[[gnu::always_inline]] inline void TSynLog::WriteText(TSynLogInfo level, std::string_view text) {
  if (!Begin(level)) return;
  AppendBounded(text.data(), text.size());
  End();
}

[[gnu::always_inline]] inline void TSynLog::WriteFormat(TSynLogInfo level, const char* format,
                                                        std::initializer_list<TSynLogArg> args) {
  if (!Begin(level)) return;
  const TSynLogArg* next = args.begin();
  const char* p = format ? format : "";
  for (;;) {
    const char* start = p;
    p = ::strchrnul(p, '%');
    AppendText(start, static_cast<size_t>(p - start));
    if (!*p) break;
    ++p;  // the "%"
    if (next != args.end()) AppendArg(*next++);
  }
  End();
}

namespace {

// Runs write as one entry, under lock unless the caller holds it. An entry that fails (no memory
// for opening the file or for rotating it) is dropped: the log must never throw into the payment
// that wrote it. What was already appended stays a whole line, and a file left closed is opened
// again by the next entry.
template <class Write>
[[gnu::always_inline]] inline void GuardedEntry(std::mutex* lock, Write&& write) noexcept {
  SynLogInternal::TEntryGuard inside;
  try {
    if (lock) {
      std::lock_guard<std::mutex> guard(*lock);
      write();
    } else {
      write();
    }
  } catch (...) {
  }
}

}  // namespace

void TSynLog::Log(TSynLogInfo level, std::string_view text) noexcept {
  GuardedEntry(&FLock, [&] { WriteText(level, text); });
}

void TSynLog::Log(TSynLogInfo level, const char* format,
                  std::initializer_list<TSynLogArg> args) noexcept {
  GuardedEntry(&FLock, [&] { WriteFormat(level, format, args); });
}

void TSynLog::LogLocked(TSynLogInfo level, std::string_view text) noexcept {
  GuardedEntry(nullptr, [&] { WriteText(level, text); });
}

void TSynLog::LogLocked(TSynLogInfo level, const char* format,
                        std::initializer_list<TSynLogArg> args) noexcept {
  GuardedEntry(nullptr, [&] { WriteFormat(level, format, args); });
}

void TSynLog::LogException(TSynLogInfo level, std::string_view className, std::string_view message,
                           const void* address, const void* const* trace,
                           size_t traceCount) noexcept {
  GuardedEntry(&FLock, [&] {
    if (!Begin(level)) return;
    AppendText(className.data(), className.size());
    if (level == TSynLogInfo::sllException) {
      Append(" (\"", 3);
      AppendBounded(message.data(), message.size());
      Append("\")", 2);
    } else {
      Append(" (", 2);
      AppendBounded(message.data(), message.size());
      Append(")", 1);
    }
    char hex[24];
    const int n = std::snprintf(hex, sizeof hex, " at %012jX",
                                static_cast<uintmax_t>(reinterpret_cast<uintptr_t>(address)));
    Append(hex, static_cast<size_t>(n));
    const size_t depth = std::min<size_t>(traceCount, FFamily.StackTraceLevel);
    if (depth > 0) Append(" stack trace", 12);
    for (size_t i = 0; i < depth; ++i) {
      const int k = std::snprintf(hex, sizeof hex, " %012jX",
                                  static_cast<uintmax_t>(reinterpret_cast<uintptr_t>(trace[i])));
      Append(hex, static_cast<size_t>(k));
    }
    EndLine();
    WriteBuffer();
    if (FRotateAt > 0 && FFileSize > FRotateAt) Rotate();
  });
}
