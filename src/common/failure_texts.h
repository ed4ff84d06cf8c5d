#pragma once

namespace trunvex {

// The reasons behind failures that the program finds itself rather than a system call,
// worded as the C library words the same conditions, so every reason reads alike.
inline constexpr const char* NO_MEMORY_TEXT = "Cannot allocate memory";
inline constexpr const char* NOT_REGULAR_FILE_TEXT = "Not a regular file";
inline constexpr const char* TERMINAL_SOURCE_TEXT =
    "Is a terminal; pipe or redirect the recording in";

}  // namespace trunvex
