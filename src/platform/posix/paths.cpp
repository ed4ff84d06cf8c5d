#include "platform/paths.h"

namespace trunvex {

std::size_t fileNameStart(std::string_view path) noexcept {
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? 0 : slash + 1;
}

bool isPathSeparator(char c) noexcept {
    return c == '/';
}

// A POSIX path is a string of bytes, UTF-8 or not: it passes unchanged both ways.
std::filesystem::path pathFromUtf8(std::string_view text) {
    return std::filesystem::path(text);
}

std::string utf8FromPath(const std::filesystem::path& path) {
    return path.native();
}

std::string caseFoldedPath(const std::string& path) {
    return path;
}

std::FILE* openFileForWriting(const std::string& path) noexcept {
    return std::fopen(path.c_str(), "wb");
}

}  // namespace trunvex
