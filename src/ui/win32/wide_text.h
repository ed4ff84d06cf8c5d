#pragma once

#include <string>
#include <string_view>

namespace trunvex {

[[nodiscard]] std::wstring toUtf16(std::string_view text);
[[nodiscard]] std::string toUtf8(std::wstring_view text);

}  // namespace trunvex
