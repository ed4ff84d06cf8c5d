#pragma once

namespace trunvex {

// The reasons behind failures that the program finds itself rather than a system call,
// worded as the C library words the same conditions, so every reason reads alike.
inline constexpr const char* NO_MEMORY_TEXT = "Cannot allocate memory";
inline constexpr const char* NOT_REGULAR_FILE_TEXT = "Not a regular file";
// A folder where a file is wanted, in the same words on every system (Windows itself would
// say "Access is denied" of a folder opened as a file).
inline constexpr const char* IS_A_DIRECTORY_TEXT = "Is a directory";
inline constexpr const char* TERMINAL_SOURCE_TEXT =
    "Is a terminal; pipe or redirect the recording in";

}  // namespace trunvex
