#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace trunvex {

// A file name as a terminal may show it. A name of printable UTF-8 comes back unchanged; one
// holding control characters (C0, DEL, C1) or bytes that are not UTF-8 comes back quoted the
// way GNU ls quotes it for a shell ('a'$'\n''b'), so that no escape sequence in a name reaches
// the terminal and a pasted name still names the file.
[[nodiscard]] std::string shownName(std::string_view name);
// The same, written to `stream` without taking memory: a failure for want of memory is told
// this way too.
void printShownName(std::FILE* stream, std::string_view name) noexcept;

// True when `text` is well-formed UTF-8 (no overlong forms, surrogates or code points past
// U+10FFFF).
[[nodiscard]] bool isValidUtf8(std::string_view text) noexcept;

// The bytes as standard base64 (RFC 4648), padded.
[[nodiscard]] std::string base64Of(std::string_view bytes);

}  // namespace trunvex
