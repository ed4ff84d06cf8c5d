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

std::string expandHomeFolder(const std::string& path) {
    return path;
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

namespace {

// The extended-length form of a path (\\?\C:\..., \\?\UNC\server\share\...), which the file
// functions take past MAX_PATH. It is taken literally, without the usual clean-up of "/", "."
// and "..": the path is made absolute and cleaned up first.
std::wstring extendedPath(const std::wstring& path) {
    if (path.rfind(L"\\\\?\\", 0) == 0 || path.rfind(L"\\\\.\\", 0) == 0) {
        return path;
    }
    const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size == 0) {
        return path;
    }
    std::wstring full(size, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
    if (length == 0 || length >= size) {
        return path;
    }
    full.resize(length);
    if (full.rfind(L"\\\\", 0) == 0) {
        return L"\\\\?\\UNC\\" + full.substr(2);
    }
    return L"\\\\?\\" + full;
}

std::uint64_t sizeOf(DWORD high, DWORD low) {
    return (static_cast<std::uint64_t>(high) << 32) | low;
}

// What a link (or another reparse point that is no folder) leads to: a FILE, with its size,
// or OTHER when it leads to a folder, a device or nowhere.
FolderEntry::Kind kindBehind(const std::wstring& path, std::uint64_t& bytes) {
    const HANDLE handle = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return FolderEntry::Kind::OTHER;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    const bool file = GetFileType(handle) == FILE_TYPE_DISK &&
                      GetFileInformationByHandle(handle, &info) &&
                      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    CloseHandle(handle);
    if (!file) {
        return FolderEntry::Kind::OTHER;
    }
    bytes = sizeOf(info.nFileSizeHigh, info.nFileSizeLow);
    return FolderEntry::Kind::FILE;
}

}  // namespace

// std::filesystem's directory_iterator goes through the C runtime's _wopendir, which fails on
// (or silently finds nothing in) a folder whose full path passes MAX_PATH characters.
bool listFolder(const std::filesystem::path& folder, std::vector<FolderEntry>& entries,
                std::string& failure) {
    std::wstring base = extendedPath(folder.native());
    if (!base.empty() && base.back() != L'\\') {
        base.push_back(L'\\');
    }
    WIN32_FIND_DATAW data{};
    const HANDLE search = FindFirstFileExW((base + L'*').c_str(), FindExInfoBasic, &data,
                                           FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) {
            return true;  // a drive's root holds not even "." and ".."
        }
        failure = win::errorText(error);
        return false;
    }
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        FolderEntry found{folder / name};
        const DWORD attributes = data.dwFileAttributes;
        const bool reparse = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            // Symbolic links and junctions to folders are not followed; a folder that is a
            // reparse point for another reason (a cloud placeholder) is a folder all the same.
            const bool link = reparse && (data.dwReserved0 == IO_REPARSE_TAG_SYMLINK ||
                                          data.dwReserved0 == IO_REPARSE_TAG_MOUNT_POINT);
            found.kind = link ? FolderEntry::Kind::OTHER : FolderEntry::Kind::FOLDER;
        } else if (reparse) {
            found.kind = kindBehind(base + name, found.bytes);
        } else {
            found.kind = FolderEntry::Kind::FILE;
            found.bytes = sizeOf(data.nFileSizeHigh, data.nFileSizeLow);
        }
        entries.push_back(std::move(found));
    } while (FindNextFileW(search, &data));
    const DWORD error = GetLastError();
    FindClose(search);
    if (error != ERROR_NO_MORE_FILES) {
        failure = win::errorText(error);
        return false;
    }
    return true;
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
