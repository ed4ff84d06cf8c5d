#pragma once

namespace trunvex::win {

// Gives the console back the output code page it had before useUtf8Console(); for the ends
// of the program that skip the C runtime's exit handling.
void restoreConsoleCodePage() noexcept;

}  // namespace trunvex::win
