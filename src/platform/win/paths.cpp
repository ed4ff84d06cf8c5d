#include "platform/paths.h"

#include <cerrno>

#include "platform/win/text.h"

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

bool isPathSeparator(char c) noexcept {
    return c == '/' || c == '\\';
}

// Through the system's own conversions rather than path's UTF-8 constructor and u8string(),
// which throw on a sequence they cannot convert.
std::filesystem::path pathFromUtf8(std::string_view text) {
    return std::filesystem::path(win::utf16Lenient(text));
}

std::string utf8FromPath(const std::filesystem::path& path) {
    return win::utf8(path.native());
}

// Upper case as the file systems compare names: the same for every user's language.
std::string caseFoldedPath(const std::string& path) {
    std::wstring wide = win::utf16Lenient(path);
    if (wide.empty()) {
        return path;
    }
    const int length = static_cast<int>(wide.size());
    std::wstring upper(wide.size(), L'\0');
    const int written = LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, wide.c_str(), length,
                                      upper.data(), length, nullptr, nullptr, 0);
    return written == length ? win::utf8(upper) : path;
}

std::FILE* openFileForWriting(const std::string& path) noexcept {
    bool valid = false;
    const std::wstring wide = win::utf16(path, valid);
    if (!valid) {
        errno = EILSEQ;
        return nullptr;
    }
    return _wfopen(wide.c_str(), L"wb");
}

}  // namespace trunvex
