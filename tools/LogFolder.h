// How dovra-logtool reads a log folder: which files belong to it and in which order (rotation
// archives oldest first, then the live log, then the rest), and how a file's text becomes lines.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace LogTool {

// The .log and .synlz files directly in dir, in reading order: for each log name (sorted),
// NAME.9.synlz down to NAME.1.synlz and then NAME.log; after all of them every other .synlz
// file sorted by name. Sub-folders and names beginning with "." are skipped.
std::vector<std::filesystem::path> OrderLogFolder(const std::filesystem::path& dir);

// True for files read as archives (".synlz", any letter case).
bool IsArchiveName(const std::filesystem::path& file);

// Turns log text into newline-terminated lines: CR LF (entry end) and a bare CR (header line
// separator) both end a line; a last line without an end gets one.
std::string ToLines(std::string_view text);

// The text of one log file: archives decompressed after full verification, live logs as they
// are. False with a message naming the file when it cannot be read or is corrupt.
bool ReadLogText(const std::filesystem::path& file, std::string& text, std::string& error);

}  // namespace LogTool
