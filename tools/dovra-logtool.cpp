// dovra-logtool: prints a till's module logs and .synlz archives as plain lines, and compresses,
// decompresses and verifies archives, and prunes archives of old logs. Exit codes: 0 success, 1
// failure, 2 usage error.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "lib/modulelog/LogFolder.h"
#include "lib/synlz/SynLZFile.h"
#include "lib/version/DovraVersion.h"

namespace fs = std::filesystem;

namespace {

void Fail(const std::string& message) { std::cerr << "dovra-logtool: " << message << "\n"; }

// Prints one file as it is read, a slice at a time, so that neither a large log nor a large
// archive is ever held whole.
bool PrintFile(const fs::path& file, const fs::path& root = {}) {
  constexpr size_t kSlice = 64 * 1024;
  LogTool::TLogLines lines;
  std::string out;
  const auto print = [&out] {
    std::fwrite(out.data(), 1, out.size(), stdout);
    out.clear();
  };
  std::string error;
  const bool ok = LogTool::ReadLogText(
      file,
      [&](std::string_view piece) {
        for (size_t at = 0; at < piece.size(); at += kSlice) {
          lines.Add(piece.substr(at, kSlice), out);
          print();
        }
      },
      error, root);
  lines.Finish(out);
  print();
  if (!ok) Fail(error);
  return ok;
}

int Cat(const std::vector<std::string>& paths) {
  bool ok = true;
  for (const std::string& p : paths) {
    std::error_code ec;
    if (fs::is_directory(p, ec)) {
      LogTool::TLogFolderFiles folder;
      try {
        folder = LogTool::ListLogFolder(p);
      } catch (const fs::filesystem_error& e) {
        Fail("cannot list folder '" + p + "': " + e.code().message());
        ok = false;
        continue;
      }
      // A link in the folder could show any file of the machine under a log's name: it is
      // named, not read, and the rest of the folder is still printed.
      for (const LogTool::TSkippedFile& skipped : folder.Skipped) {
        Fail("skipped '" + skipped.Path.string() + "': " + skipped.Reason);
        ok = false;
      }
      for (const fs::path& f : folder.Files) ok = PrintFile(f, p) && ok;
    } else {
      ok = PrintFile(p) && ok;
    }
  }
  // Output that did not arrive (a full disk behind a redirection) is a failure, not a listing.
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    Fail(std::string("cannot write the output: ") + std::strerror(errno));
    return 1;
  }
  return ok ? 0 : 1;
}

int Compress(const std::string& in, const std::string& out) {
  std::string error;
  if (!SynLZCompressFile(in, out, error)) {
    Fail("compress failed: " + error);
    return 1;
  }
  return 0;
}

int Decompress(const std::string& in, const std::string& out) {
  std::string error;
  if (!SynLZDecompressFile(in, out, error)) {
    Fail("decompress failed: " + error);
    return 1;
  }
  return 0;
}

// Whether the file begins as an archive does: the chunk magic, as the archive writes it.
bool BeginsAsArchive(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return true;  // the verify that follows says why it cannot be read
  unsigned char head[4] = {};
  const size_t got = std::fread(head, 1, sizeof head, file);
  std::fclose(file);
  const uint32_t magic = head[0] | head[1] << 8 | head[2] << 16 | uint32_t{head[3]} << 24;
  return got < sizeof head || magic == kSynLZMagic;
}

int Verify(const std::vector<std::string>& paths) {
  for (const std::string& p : paths) {
    // A live log is text the module is still writing, not an archive: there is nothing to
    // verify, and its name says so before its bytes do.
    if (!LogTool::IsArchiveName(p) && !BeginsAsArchive(p)) {
      Fail("'" + p +
           "' is a live log, not a .synlz archive: verify checks archives only; read "
           "it with dovra-logtool cat '" +
           p + "'");
      return 2;
    }
    std::string error;
    size_t chunks = 0;
    if (!SynLZVerifyFile(p, error, kSynLZMagic, &chunks)) {
      Fail("verify failed: " + error);
      return 1;
    }
    // The format allows an empty archive, but the log never makes one (a log starts with its
    // header): an empty file is a lost archive, not a good one.
    if (chunks == 0) {
      Fail("verify failed: '" + p + "': empty file, no chunk to check");
      return 1;
    }
    std::cout << p << ": ok\n";
  }
  return 0;
}

// Removes the archives of old logs of months before the cut-off, and each month's folder left
// empty; prints what it removed (or would remove, dry).
int Prune(const std::string& dir, int months, bool dry) {
  LogTool::TPruneResult result;
  std::string error;
  if (!LogTool::PruneOldArchives(dir, months, std::time(nullptr), dry, result, error)) {
    Fail("cannot prune the archives of '" + dir + "': " + error);
    return 1;
  }
  std::uintmax_t bytes = 0;
  for (const auto& [file, size] : result.Removed) {
    std::cout << (dry ? "would remove " : "removed ") << file.string() << '\n';
    bytes += size;
  }
  for (const LogTool::TSkippedFile& refused : result.Refused)
    Fail("left '" + refused.Path.string() + "' in place: " + refused.Reason);
  std::cout << result.Removed.size() << " archive(s) of logs older than " << months << " month(s) "
            << (dry ? "would be removed" : "removed") << ", " << bytes << " byte(s)\n";
  return result.Refused.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Reads and writes the module's log files and their .synlz archives.",
               "dovra-logtool"};
  app.require_subcommand(1, 1);
  app.footer(
      "Exit codes:\n"
      "  0  done: every file read, written or verified as asked\n"
      "  1  failed: a file is missing, unreadable, corrupt or cannot be written; the message\n"
      "     names the file (and for an archive, the chunk and its offset)\n"
      "  2  usage: a command, an option or an argument is wrong (verify given a live log\n"
      "     included); nothing was done");
  app.set_version_flag("--version", std::string("dovra-logtool ") + kDovraVersion,
                       "Print the version and exit");

  std::vector<std::string> catPaths;
  CLI::App* cat =
      app.add_subcommand("cat", "Print the entries of live logs and archives, one line each");
  cat->footer(
      "A folder is read oldest first: its .log and .synlz files and the archives of old logs in\n"
      "its log/YYYYMM/ folders, by modification time (the time of a file's last entry, kept by\n"
      "archiving). Files of equal time follow the log's own order: for each log name its\n"
      "archives of old logs, the rotation archives NAME.9.synlz down to NAME.1.synlz, then the\n"
      "live NAME.log. Control characters in entries are shown as \\xNN, never sent to the\n"
      "terminal; tabs and line ends stay. Symbolic links in the folder (at a log's name, at\n"
      "log/ or log/YYYYMM/) are not followed, and files that are not regular are not read: each\n"
      "is named, the rest printed, and the exit code is 1. A damaged archive is named the same\n"
      "way after what could be read of it.");
  cat->add_option("PATH", catPaths, "Log file, archive or folder")->required();

  std::string compIn, compOut;
  CLI::App* compress = app.add_subcommand("compress", "Compress a file into a .synlz archive");
  compress->footer(
      "IN must be a regular file, not a symbolic link. The archive gets IN's permission bits,\n"
      "at most rw-r-----.");
  compress->add_option("IN", compIn, "File to compress")->required();
  compress->add_option("OUT", compOut, "Archive to write (replaced when complete)")->required();

  std::string decIn, decOut;
  CLI::App* decompress =
      app.add_subcommand("decompress", "Check and decompress a .synlz archive into a file");
  decompress->footer("OUT gets the archive's permission bits, at most rw-r-----.");
  decompress->add_option("IN", decIn, "Archive to read")->required();
  decompress->add_option("OUT", decOut, "File to write (replaced when complete)")->required();

  std::vector<std::string> verifyPaths;
  CLI::App* verify = app.add_subcommand("verify", "Check every chunk of .synlz archives");
  verify->footer(
      "Checks sizes, both hashes and the compressed data of every chunk. Stops with exit code 1\n"
      "at the first corrupt or empty file, naming the file, the chunk, its offset and what\n"
      "failed.");
  verify->add_option("FILE", verifyPaths, "Archives to check")->required();

  std::string pruneDir;
  int pruneMonths = 0;
  bool pruneDry = false;
  CLI::App* prune = app.add_subcommand(
      "prune", "Remove the archives of old logs older than a number of months from a folder");
  prune->footer(
      "Removes the .synlz files in DIR/log/YYYYMM/ folders of a month before the month MONTHS\n"
      "months ago (local time), and each such folder left empty. The module archives a log\n"
      "there when it is two days old and never removes an archive itself: run this, e.g. from\n"
      "cron, to keep a till's disk from filling. Live .log files and the rotation archives\n"
      "beside them (NAME.1.synlz to NAME.9.synlz, at most nine a log) are never touched.\n"
      "Nothing outside DIR is removed: a symbolic link at DIR/log, at a month folder or at an\n"
      "archive's name is left in place and named, and the exit code is then 1.");
  prune->add_option("--older-than", pruneMonths, "Months of archives to keep (0: this month's)")
      ->required()
      ->check(CLI::Range(0, 1200));
  prune->add_flag("--dry-run", pruneDry, "Only list what would be removed");
  prune->add_option("DIR", pruneDir, "The module's folder (where its .log files are)")
      ->required()
      ->check(CLI::ExistingDirectory);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : 2;
  }

  if (cat->parsed()) return Cat(catPaths);
  if (compress->parsed()) return Compress(compIn, compOut);
  if (decompress->parsed()) return Decompress(decIn, decOut);
  if (verify->parsed()) return Verify(verifyPaths);
  if (prune->parsed()) return Prune(pruneDir, pruneMonths, pruneDry);
  return 2;
}
