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

// Gives the console back the output code page it had before useUtf8Console(); for the ends
// of the program that skip the C runtime's exit handling.
void restoreConsoleCodePage() noexcept;

}  // namespace trunvex::win
