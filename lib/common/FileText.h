// A file read whole, as the programs read their documents, scripts and answers.
#pragma once

#include <string>
#include <string_view>

// Reads the file at path whole, byte for byte, into text. False when it cannot be opened or read
// (a folder, no such file, no right): text is then empty and error says which file and why,
// "cannot read [WHAT ]PATH: REASON", what naming the file's part ("order document"). errno is
// left as the failure set it.
bool ReadWholeFile(const std::string& path, std::string& text, std::string& error,
                   std::string_view what = {});
