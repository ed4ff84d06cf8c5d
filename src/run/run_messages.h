#pragma once

#include <string_view>

namespace trunvex {

// Texts the user sees, byte for byte.
inline constexpr std::string_view MSG_SUCCEEDED = "Trunvex succeeded!";
inline constexpr std::string_view MSG_READ_FAILED = "ReadFile failed!";
inline constexpr std::string_view MSG_OUTPUT_FAILED = "AVIFileOpen failed!";
inline constexpr std::string_view MSG_NO_FRAMES = "No frames to be converted!";
inline constexpr std::string_view MSG_PATH_EMPTY = "Source or AVI file path can not be null!";
inline constexpr std::string_view MSG_SOURCE_OPEN_FAILED = "Can not open the source file!";
inline constexpr std::string_view MSG_SAME_FILE = "Source and AVI file can not be the same!";
// The dialog's, when its conversion buffers cannot be allocated.
inline constexpr std::string_view MSG_NO_MEMORY = "Not enough memory for the conversion buffers!";

// The title over each of the messages above.
inline constexpr std::string_view MESSAGE_TITLE = "Trunvex";

inline constexpr std::string_view CAPTION_CONVERT = "Trunvex";
inline constexpr std::string_view CAPTION_WAIT = "Please wait...";

}  // namespace trunvex
