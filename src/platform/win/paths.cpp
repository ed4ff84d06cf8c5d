#include "platform/paths.h"

namespace trunvex {

std::size_t fileNameStart(std::string_view path) noexcept {
    const std::size_t separator = path.find_last_of("/\\");
    if (separator != std::string_view::npos) {
        return separator + 1;
    }
    // "C:name" names a file in the current folder of drive C.
    const bool drive = path.size() >= 2 && path[1] == ':' &&
                       ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
    return drive ? 2 : 0;
}

}  // namespace trunvex
