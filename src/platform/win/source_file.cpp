#include "platform/source_file.h"

#include <windows.h>

#include <algorithm>
#include <new>

#include "common/failure_texts.h"
#include "platform/win/handle_reader.h"
#include "platform/win/text.h"

namespace trunvex {
namespace {

// Reads are split into pieces a DWORD can count.
constexpr std::size_t MAX_READ_BYTES = std::size_t{1} << 30;

// Opens a file or folder only to ask who it is: no access to its contents, shared with all.
HANDLE openForIdentity(const std::wstring& path) noexcept {
    return CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

class FileSourceReader final : public SourceReader {
public:
    FileSourceReader(HANDLE openHandle, const BY_HANDLE_FILE_INFORMATION& openInfo,
                     bool openInfoKnown, std::uint64_t bytes) noexcept
        : handle(openHandle), info(openInfo), infoKnown(openInfoKnown), length(bytes) {}
    ~FileSourceReader() override { CloseHandle(handle); }
    FileSourceReader(const FileSourceReader&) = delete;
    FileSourceReader& operator=(const FileSourceReader&) = delete;

    std::int64_t read(std::span<std::uint8_t> into) noexcept override {
        if (laterError != ERROR_SUCCESS) {
            lastError = laterError;
            laterError = ERROR_SUCCESS;
            return -1;
        }
        std::size_t done = 0;
        while (done < into.size()) {
            const auto ask = static_cast<DWORD>(std::min(into.size() - done, MAX_READ_BYTES));
            DWORD got = 0;
            if (!ReadFile(handle, into.data() + done, ask, &got, nullptr)) {
                // A pipe whose writer has closed it ends this way.
                if (GetLastError() == ERROR_BROKEN_PIPE) {
                    break;
                }
                if (done > 0) {
                    laterError = GetLastError();  // what arrived before the failure counts
                    break;
                }
                lastError = GetLastError();
                return -1;
            }
            if (got == 0) {
                break;
            }
            done += got;
        }
        return static_cast<std::int64_t>(done);
    }

    std::uint64_t size() const noexcept override { return length; }

    // stat() gives every file inode 0 here: a file is known by its volume and file index.
    bool isSameFileAs(const std::string& path) const noexcept override {
        bool valid = false;
        const std::wstring wide = win::utf16(path, valid);
        if (!valid || !infoKnown) {
            return false;
        }
        const HANDLE other = openForIdentity(win::extendedPath(wide));
        if (other == INVALID_HANDLE_VALUE) {
            return false;
        }
        BY_HANDLE_FILE_INFORMATION otherInfo{};
        const bool known = GetFileInformationByHandle(other, &otherInfo) != 0;
        CloseHandle(other);
        return known && otherInfo.dwVolumeSerialNumber == info.dwVolumeSerialNumber &&
               otherInfo.nFileIndexHigh == info.nFileIndexHigh &&
               otherInfo.nFileIndexLow == info.nFileIndexLow;
    }

    std::string errorText() const override {
        return lastError == ERROR_SUCCESS ? std::string() : win::errorText(lastError);
    }

private:
    HANDLE handle;
    BY_HANDLE_FILE_INFORMATION info;
    bool infoKnown;
    std::uint64_t length;
    DWORD lastError = ERROR_SUCCESS;
    DWORD laterError = ERROR_SUCCESS;  // a failure behind the bytes the last call returned
};

std::unique_ptr<SourceReader> refuse(std::string& failure, DWORD error) {
    failure = error == ERROR_DIRECTORY ? IS_A_DIRECTORY_TEXT : win::errorText(error);
    return nullptr;
}

bool isSlash(wchar_t c) noexcept {
    return c == L'\\' || c == L'/';
}

// \\.\NAME: a device named in the system's device form (a pipe, a drive read whole).
bool inDeviceForm(const std::wstring& path) noexcept {
    return path.size() >= 4 && isSlash(path[0]) && isSlash(path[1]) && path[2] == L'.' &&
           isSlash(path[3]);
}

bool isFolder(const std::wstring& path) noexcept {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

class FileSourceOpener final : public SourceOpener {
public:
    std::unique_ptr<SourceReader> open(const std::string& path,
                                       std::string& failure) noexcept override {
        bool valid = false;
        const std::wstring wide = win::utf16(path, valid);
        if (!valid) {
            return refuse(failure,
                          path.empty() ? ERROR_FILE_NOT_FOUND : ERROR_NO_UNICODE_TRANSLATION);
        }
        // A reserved name (NUL, CON, COM1; on some systems con.264 too) names a device, never
        // a file on a disk: refused unopened, as on Linux, since opening one may take the
        // console or wait for ever (a serial port without carrier).
        const std::wstring extended = win::extendedPath(wide);
        if (inDeviceForm(extended) && !inDeviceForm(wide)) {
            failure = NOT_REGULAR_FILE_TEXT;
            return nullptr;
        }
        // Binary by nature: no text-mode translation, and others may go on writing it.
        const HANDLE handle = CreateFileW(
            extended.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
            nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            // A folder does not open as a file: Windows calls that a denied access.
            return refuse(failure,
                          error == ERROR_ACCESS_DENIED && isFolder(wide) ? ERROR_DIRECTORY : error);
        }
        // A named source is a file on a disk or a pipe, as on Linux: a device (NUL, COM1, the
        // console) would give nothing, or wait for ever.
        const DWORD type = GetFileType(handle);
        if (type != FILE_TYPE_DISK && type != FILE_TYPE_PIPE) {
            CloseHandle(handle);
            failure = NOT_REGULAR_FILE_TEXT;
            return nullptr;
        }
        return win::readerFor(handle, failure);
    }
};

}  // namespace

std::unique_ptr<SourceReader> win::readerFor(HANDLE handle, std::string& failure,
                                             bool identityRequired) noexcept {
    BY_HANDLE_FILE_INFORMATION info{};
    LARGE_INTEGER bytes{};
    const bool disk = GetFileType(handle) == FILE_TYPE_DISK;
    const bool infoKnown = disk && GetFileInformationByHandle(handle, &info);
    DWORD error = ERROR_SUCCESS;
    if (disk && !infoKnown && identityRequired) {
        error = GetLastError();
    } else if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        error = ERROR_DIRECTORY;
    } else if (disk && !GetFileSizeEx(handle, &bytes)) {
        error = GetLastError();
    }
    std::unique_ptr<SourceReader> reader;
    if (error == ERROR_SUCCESS) {
        reader.reset(new (std::nothrow) FileSourceReader(
            handle, info, infoKnown, disk ? static_cast<std::uint64_t>(bytes.QuadPart) : 0));
        error = reader ? ERROR_SUCCESS : ERROR_NOT_ENOUGH_MEMORY;
    }
    if (error != ERROR_SUCCESS) {
        CloseHandle(handle);
        return refuse(failure, error);
    }
    return reader;
}

SourceOpener& fileSourceOpener() noexcept {
    static FileSourceOpener opener;
    return opener;
}

}  // namespace trunvex
