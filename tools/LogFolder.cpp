#include "LogFolder.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <sstream>

#include "SynLZFile.h"

namespace fs = std::filesystem;

namespace LogTool {
namespace {

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return char(std::tolower(c)); });
  return s;
}

bool EndsWith(const std::string& s, std::string_view suffix) {
  return s.size() >= suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// NAME.N.synlz with N in 1..9: sets name and number.
bool IsRotationArchive(const std::string& file, std::string& name, int& number) {
  const std::string lower = Lower(file);
  if (!EndsWith(lower, ".synlz") || file.size() < 9) return false;
  const size_t digit = file.size() - 7;  // NAME . N .synlz
  if (file[digit - 1] != '.' || file[digit] < '1' || file[digit] > '9') return false;
  name = file.substr(0, digit - 1);
  number = file[digit] - '0';
  return !name.empty();
}

struct Group {
  fs::path archives[10];  // by rotation number; empty when missing
  fs::path live;
};

}  // namespace

bool IsArchiveName(const fs::path& file) {
  return EndsWith(Lower(file.filename().string()), ".synlz");
}

std::vector<fs::path> OrderLogFolder(const fs::path& dir) {
  std::map<std::string, Group> groups;
  std::vector<fs::path> others;
  for (const fs::directory_entry& e : fs::directory_iterator(dir)) {
    const std::string file = e.path().filename().string();
    if (file.empty() || file[0] == '.' || e.is_directory()) continue;
    const std::string lower = Lower(file);
    std::string name;
    int number = 0;
    if (EndsWith(lower, ".log")) {
      groups[file.substr(0, file.size() - 4)].live = e.path();
    } else if (IsRotationArchive(file, name, number)) {
      groups[name].archives[number] = e.path();
    } else if (EndsWith(lower, ".synlz")) {
      others.push_back(e.path());
    }
  }
  std::vector<fs::path> ordered;
  for (const auto& [name, g] : groups) {
    for (int n = 9; n >= 1; --n) {
      if (!g.archives[n].empty()) ordered.push_back(g.archives[n]);
    }
    if (!g.live.empty()) ordered.push_back(g.live);
  }
  std::sort(others.begin(), others.end(),
            [](const fs::path& a, const fs::path& b) { return a.filename() < b.filename(); });
  ordered.insert(ordered.end(), others.begin(), others.end());
  return ordered;
}

std::string ToLines(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 1);
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r') {
      out.push_back('\n');
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      out.push_back(c);
    }
  }
  if (!out.empty() && out.back() != '\n') out.push_back('\n');
  return out;
}

bool ReadLogText(const fs::path& file, std::string& text, std::string& error) {
  std::error_code ec;
  if (!fs::exists(file, ec)) {
    error = "cannot open '" + file.string() + "': no such file";
    return false;
  }
  if (!fs::is_regular_file(file, ec)) {
    error = "cannot open '" + file.string() + "': not a regular file";
    return false;
  }
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    error = "cannot open '" + file.string() + "': permission denied";
    return false;
  }
  std::ostringstream buf;
  buf << in.rdbuf();
  if (in.bad()) {
    error = "cannot read '" + file.string() + "'";
    return false;
  }
  std::string bytes = std::move(buf).str();
  if (!IsArchiveName(file)) {
    text = std::move(bytes);
    return true;
  }
  if (!SynLZDecompressToString(bytes, text, error)) {
    error = "'" + file.string() + "': " + error;
    return false;
  }
  return true;
}

}  // namespace LogTool
