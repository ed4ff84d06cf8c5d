#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace trunvex {

// Where the last component of `path` begins: just after its last separator ('/', and on
// Windows also '\' and a drive's colon, as in "C:name"); 0 when the path has no folder part.
// What comes before it is the folder, separator included.
[[nodiscard]] std::size_t fileNameStart(std::string_view path) noexcept;

// True for a character that separates the components of a path: '/', and on Windows '\'.
[[nodiscard]] bool isPathSeparator(char c) noexcept;

// A path as a shell would read it for the user: on POSIX a leading "~" alone or before a "/"
// stands for the home folder ($HOME, else the user database's entry); unchanged when there is
// no home folder to be had, and always on Windows, where "~" is an ordinary name.
[[nodiscard]] std::string expandHomeFolder(const std::string& path);

// Paths are UTF-8 text inside the program. These two are the only crossings to and from
// std::filesystem::path: on Windows a path built from a narrow string, or read back with
// string(), would go through the ANSI code page and lose (or throw on) every character
// outside it. Neither throws; on Windows text that is no valid UTF-8 (or a name that is no
// valid UTF-16) carries U+FFFD in place of what cannot be converted.
[[nodiscard]] std::filesystem::path pathFromUtf8(std::string_view text);
[[nodiscard]] std::string utf8FromPath(const std::filesystem::path& path);

// A path spelled so that two spellings of one place on the local file systems compare equal
// byte-wise: as given on POSIX; on Windows, whose file systems ignore case, in upper case.
[[nodiscard]] std::string caseFoldedPath(const std::string& path);

// One entry of a folder, as a walk of a tree takes it.
struct FolderEntry {
    enum class Kind { FILE, FOLDER, OTHER };
    std::filesystem::path path;  // the folder as given, then the entry's name
    Kind kind = Kind::OTHER;
    std::uint64_t bytes = 0;  // of a FILE; 0 when its size cannot be read
};

// The entries of `folder`, without "." and "..", in no particular order. A regular file, or a
// link to one, is a FILE; a folder is a FOLDER, but a link to a folder is OTHER, so that a walk
// that descends only into FOLDERs cannot loop; devices, dangling links and the rest are OTHER.
// Works at any path length the file system takes (on Windows past MAX_PATH too). False, with
// the system's words in `failure`, when the folder cannot be read; the entries read before
// the failure are kept.
bool listFolder(const std::filesystem::path& folder, std::vector<FolderEntry>& entries,
                std::string& failure);

// Creates (or empties) the file at `path` and opens it for writing in binary mode, so that
// "\n" stays one byte on every system. Null, with errno set, when it cannot be opened.
[[nodiscard]] std::FILE* openFileForWriting(const std::string& path) noexcept;

}  // namespace trunvex
