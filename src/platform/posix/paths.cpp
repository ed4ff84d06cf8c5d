#include "platform/paths.h"

namespace trunvex {

std::size_t fileNameStart(std::string_view path) noexcept {
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? 0 : slash + 1;
}

}  // namespace trunvex
