#pragma once

#include <string>
#include <string_view>

#include "platform/win/text.h"

namespace trunvex {

// Texts between the model (UTF-8) and the window functions (UTF-16). Everything the model
// shows either came from a window as UTF-16 or is the program's own text, so it converts.
[[nodiscard]] inline std::wstring toUtf16(std::string_view text) {
    bool valid = false;
    return win::utf16(text, valid);
}

[[nodiscard]] inline std::string toUtf8(std::wstring_view text) {
    return win::utf8(text);
}

}  // namespace trunvex
