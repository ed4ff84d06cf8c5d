#pragma once

#include <string>

namespace trunvex {

// What trunvex-cli does and how its paths are read: --help's text above the options.
extern const char* const CLI_USAGE_TEXT;

// Every exit status with what it means, the conversion's with the message each prints, and the
// notes on what the AVI path holds afterwards: --help's text below the options.
[[nodiscard]] std::string exitStatusHelp();

}  // namespace trunvex
