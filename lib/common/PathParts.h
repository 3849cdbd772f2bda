// The folder and name parts of a "/"-separated path. One rule throughout: a folder keeps its
// trailing "/", so that a name is put after it as it stands ("./" for the folder of a bare name).
#pragma once

#include <string>
#include <string_view>

// The folder part of path up to and with its last "/"; "./" when path is a bare name.
std::string FolderOf(std::string_view path);

// The name part after the last "/"; the whole path when it has none.
std::string NameOf(std::string_view path);

// folder with a trailing "/" (an empty folder stays empty: the current one, as given).
std::string WithSeparator(std::string folder);

// Everything before the last "." of the name part; the whole path when the name has none.
std::string WithoutExtension(std::string_view path);

// The running program's own file, as the system names it; empty when it does not tell.
std::string ExecutablePath();
