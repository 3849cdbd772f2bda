// How dovra-logtool reads a log folder: which files belong to it (the live logs, the rotation
// archives beside them and the archives of old logs under log/YYYYMM/) and in which order, how
// a file is read piece by piece, and how its text becomes lines safe to show on a terminal.
#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace LogTool {

// A file or folder of a log folder that is not read: a symbolic link (never followed, so nothing
// outside the folder is read or removed through it) or something that is not a regular file or
// folder.
struct TSkippedFile {
  std::filesystem::path Path;
  std::string Reason;  // "a symbolic link, not followed", "not a regular file", ...
};

// The files of a log folder in reading order, and what was left out of it and why.
struct TLogFolderFiles {
  std::vector<std::filesystem::path> Files;
  std::vector<TSkippedFile> Skipped;
};

// The files cat reads for dir, oldest first: the .log and .synlz files directly in dir and the
// .synlz files in its folders log/YYYYMM/ (six digits), by modification time (the time of a
// file's last entry: archiving keeps it). Files of equal time keep the order in which the log
// made them: for each log name, its archives of old logs (by month, then the pass that made them:
// NAME.log.synlz, NAME.log.1.synlz, ...), the rotation archives NAME.9.synlz down to
// NAME.1.synlz, then the live NAME.log. Other sub-folders and names beginning with "." are
// skipped silently; symbolic links (at a log's name, at log/ or log/YYYYMM/) and log names that
// are not regular files are left out and named in Skipped. dir itself may be a link (the caller
// chose it). Throws std::filesystem::filesystem_error when dir or one of its log folders cannot
// be listed.
TLogFolderFiles ListLogFolder(const std::filesystem::path& dir);
// ListLogFolder's files only.
std::vector<std::filesystem::path> OrderLogFolder(const std::filesystem::path& dir);

// The archives of old logs that prune removes from dir: the archive files (IsArchiveName) in
// dir/log/YYYYMM/ folders of a month before the month `months` months before now's, in local
// time (months 0: before this month). Live logs and the rotation archives beside them (at most
// nine a log) are never among them, nor links (to files or folders). Throws
// std::filesystem::filesystem_error when dir's log folder cannot be listed.
std::vector<std::filesystem::path> ArchivesOlderThan(const std::filesystem::path& dir, int months,
                                                     std::time_t now);

// What prune did: the archives removed (or that would be, dry) with their sizes, the month
// folders removed, and what it refused to touch or could not remove, each with its reason.
struct TPruneResult {
  std::vector<std::pair<std::filesystem::path, std::uintmax_t>> Removed;
  std::vector<std::filesystem::path> RemovedFolders;
  std::vector<TSkippedFile> Refused;
};

// Removes ArchivesOlderThan(dir, months, now) and each month folder they leave empty, working
// from descriptors of dir, dir/log and each month folder opened without following links, so that
// nothing outside dir is ever removed: a link at log/, at a month folder or at an archive's name
// is left in place and named in Refused. dry: removes nothing, says what would go. False with
// error when dir/log exists but cannot be opened as a folder of its own.
bool PruneOldArchives(const std::filesystem::path& dir, int months, std::time_t now, bool dry,
                      TPruneResult& result, std::string& error);

// True for files read as archives (".synlz", any letter case).
bool IsArchiveName(const std::filesystem::path& file);

// Turns log text, fed in pieces of any size, into newline-terminated lines to print: CR LF (entry
// end) and a bare CR (header line separator) end a line, LF and TAB stay; every other control
// character (C0, DEL, and C1 written in UTF-8) is shown as \xNN for each of its bytes, so an
// entry can never drive the terminal that shows it.
class TLogLines {
 public:
  // Appends the printable form of piece to out.
  void Add(std::string_view piece, std::string& out);
  // Ends a file: completes a character held back and gives a last line without an end one.
  void Finish(std::string& out);

 private:
  bool FAfterCR = false;  // an LF right after a CR belongs to the same line end
  bool FHeldC2 = false;   // 0xC2, the first byte of a UTF-8 C1 control or of a letter
  char FLast = '\n';      // last character written for this file ('\n' when none yet)
};

// The printable lines of a whole text (TLogLines over one piece).
std::string ToLines(std::string_view text);

// Hands the text of one log file to sink in order, in pieces: live logs as they are, archives
// chunk by chunk, each chunk once fully checked. Memory stays a few MiB whatever the file's size.
// False with a message naming the file when it cannot be read or is corrupt (what came before
// the damage has been handed on). The file is opened without following a symbolic link at its
// name or, with root given (a folder file lies below), at any folder between root and it; a FIFO
// or device is refused without waiting on it.
using TTextSink = std::function<void(std::string_view piece)>;
bool ReadLogText(const std::filesystem::path& file, const TTextSink& sink, std::string& error,
                 const std::filesystem::path& root = {});

}  // namespace LogTool
