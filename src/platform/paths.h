#pragma once

#include <cstddef>
#include <string_view>

namespace trunvex {

// Where the last component of `path` begins: just after its last separator ('/', and on
// Windows also '\' and a drive's colon, as in "C:name"); 0 when the path has no folder part.
// What comes before it is the folder, separator included.
[[nodiscard]] std::size_t fileNameStart(std::string_view path) noexcept;

}  // namespace trunvex
