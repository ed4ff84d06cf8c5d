#pragma once

#include <string>
#include <vector>

namespace trunvex::win {

// cmd.exe and PowerShell hand a program its wildcards as typed, where a POSIX shell puts the
// names they match: an argument after the program's name (`arguments[0]`) whose last
// component holds "*" or "?" becomes the names of the files and folders it matches, in the
// same folder spelling, sorted byte-wise; hidden and system files left out, as a shell leaves
// out dot files. One that matches nothing, and an option ("-..."), stay as given; so does the
// "?" of an extended-length path's prefix, which is no part of its last component.
[[nodiscard]] std::vector<std::string> expandWildcards(const std::vector<std::string>& arguments);

// Makes Ctrl-C, Ctrl-Break and a closed console end the process at once with the status a
// POSIX shell shows for the matching signal (130, 129), the console's code page restored.
// Idempotent; false when the handler could not be installed.
bool endWithStatusOnInterruption() noexcept;

// Gives the console back the output code page it had before useUtf8Console(); for the ends
// of the program that skip the C runtime's exit handling.
void restoreConsoleCodePage() noexcept;

}  // namespace trunvex::win
