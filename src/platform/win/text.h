#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace trunvex::win {

// UTF-8 inside the program, UTF-16 at the Win32 calls. A text that cannot be converted
// gives an empty result; utf16() then also reports ERROR_NO_UNICODE_TRANSLATION through
// `valid`, so that a path is refused instead of naming some other file.
[[nodiscard]] std::wstring utf16(std::string_view text, bool& valid);
// Like utf16(), but what cannot be converted becomes U+FFFD instead of failing the whole text.
[[nodiscard]] std::wstring utf16Lenient(std::string_view text);
[[nodiscard]] std::string utf8(std::wstring_view text);

// The system's words for a Win32 error code, in UTF-8, without the closing period and line
// break (as the C library words them on other systems).
[[nodiscard]] std::string errorText(DWORD error);

// The extended-length form of a path (\\?\C:\..., \\?\UNC\server\share\...), which every
// file function takes past MAX_PATH and which names a file called con.264 or nul.avi rather
// than a device. A name that is a device's (NUL, COM1) stays the device's (\\.\NUL).
[[nodiscard]] std::wstring extendedPath(const std::wstring& path);

}  // namespace trunvex::win
