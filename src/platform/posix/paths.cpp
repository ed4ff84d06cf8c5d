#include "platform/paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>

namespace trunvex {

std::size_t fileNameStart(std::string_view path) noexcept {
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? 0 : slash + 1;
}

bool isPathSeparator(char c) noexcept {
    return c == '/';
}

namespace {

std::string homeFolder() {
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        return home;
    }
    const passwd* entry = getpwuid(getuid());
    return entry != nullptr && entry->pw_dir != nullptr ? entry->pw_dir : "";
}

}  // namespace

std::string expandHomeFolder(const std::string& path) {
    if (path.empty() || path[0] != '~' || (path.size() > 1 && path[1] != '/')) {
        return path;
    }
    const std::string home = homeFolder();
    return home.empty() ? path : home + path.substr(1);
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

bool listFolder(const std::filesystem::path& folder, std::vector<FolderEntry>& entries,
                std::string& failure) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::directory_iterator next(folder, ec);
    for (; !ec && next != fs::directory_iterator(); next.increment(ec)) {
        const fs::directory_entry& entry = *next;
        FolderEntry found{entry.path()};
        std::error_code kindError;
        if (entry.is_symlink(kindError)) {
            if (entry.is_regular_file(kindError)) {
                found.kind = FolderEntry::Kind::FILE;  // a link to a folder stays OTHER
            }
        } else if (entry.is_directory(kindError)) {
            found.kind = FolderEntry::Kind::FOLDER;
        } else if (entry.is_regular_file(kindError)) {
            found.kind = FolderEntry::Kind::FILE;
        }
        if (found.kind == FolderEntry::Kind::FILE) {
            std::error_code sizeError;
            const std::uintmax_t bytes = entry.file_size(sizeError);
            found.bytes = sizeError ? 0 : static_cast<std::uint64_t>(bytes);
        }
        entries.push_back(std::move(found));
    }
    if (ec) {
        failure = ec.message();
        return false;
    }
    return true;
}

std::FILE* openFileForWriting(const std::string& path) noexcept {
    return std::fopen(path.c_str(), "wb");
}

}  // namespace trunvex
