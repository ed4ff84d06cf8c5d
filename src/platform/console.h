#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace trunvex {

// True when `stream` is a terminal (where a progress line can be redrawn in place): never a
// file, a pipe or the null device. On Windows a console, with its handling of escape codes
// turned on by this call.
[[nodiscard]] bool isTerminal(std::FILE* stream) noexcept;

// The width in columns of the terminal behind `stream`, read anew at every call so that a
// resized window is followed; 0 when it is no terminal or the width is unknown.
[[nodiscard]] int terminalColumns(std::FILE* stream) noexcept;

// The program's arguments as UTF-8, its own name first. On Windows they are read from the
// wide command line, not from `argv` (which holds them in the ANSI code page, losing every
// character outside it), and wildcards in file names are expanded, as a POSIX shell would have.
[[nodiscard]] std::vector<std::string> programArguments(int argc, char** argv);

// Makes the console show the UTF-8 text this program writes; call first, before any output.
// On Windows standard output and error are then buffered when they are a console: flush each
// message written to them.
void useUtf8Console() noexcept;

// Call first in main. A standard stream the process was started without (`>&-`) gets the
// null device in its place, opened the wrong way round, so that reading standard input and
// writing standard output or error still fail as on a closed stream. Left free, its number
// would go to the next file opened (the report, an AVI) and messages would land in that file.
void holdStandardStreams() noexcept;

}  // namespace trunvex
