// The data folder a sandbox keeps its certificate, book state and lock in: made for the owner
// alone, and taken by one service at a time.
#pragma once

#include <string>

#include "lib/common/OwnedFile.h"

// Makes the folder (its parents as usual, the folder itself owner-only whatever the umask) when
// it is not there. False with a message.
bool MakeDataFolder(const std::string& dir, std::string& error);
// Takes the folder for this process: refused when another sandbox holds it, or when other users
// may write into it. The handle holds the lock (the lock file, naming this process) for as long
// as it lives; an invalid one with a message otherwise.
TFileHandle TakeDataFolder(const std::string& dir, std::string& error);
