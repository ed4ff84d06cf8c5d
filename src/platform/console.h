#pragma once

#include <cstdio>

namespace trunvex {

// True when `stream` is a terminal (where a progress line can be redrawn in place).
[[nodiscard]] bool isTerminal(std::FILE* stream) noexcept;

// The width in columns of the terminal behind `stream`, read anew at every call so that a
// resized window is followed; 0 when it is no terminal or the width is unknown.
[[nodiscard]] int terminalColumns(std::FILE* stream) noexcept;

}  // namespace trunvex
