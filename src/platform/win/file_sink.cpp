#include "platform/file_sink.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>

#include "common/failure_texts.h"
#include "platform/buffered_sink.h"
#include "platform/paths.h"
#include "platform/win/console.h"
#include "platform/win/file_sink.h"
#include "platform/win/text.h"

namespace trunvex {
namespace {

constexpr int CREATE_ATTEMPTS = 64;
// Of the AVI's name, in the temporary file's.
constexpr std::size_t TEMPORARY_NAME_CHARACTERS = 32;
// Writes are split into pieces a DWORD can count.
constexpr std::size_t MAX_WRITE_BYTES = std::size_t{1} << 30;

// Marks an open file to be deleted when its last handle closes, or clears the mark. A file
// so marked vanishes however the program ends, killed or crashed included.
bool setDeleteOnClose(HANDLE handle, bool remove) noexcept {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = remove ? TRUE : FALSE;
    return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                      sizeof disposition) != 0;
}

// The unfinished file is hidden from Explorer (a leading dot hides nothing on Windows) and
// marked temporary; the finished one is an ordinary file.
constexpr DWORD UNFINISHED_ATTRIBUTES = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY;

bool setAttributes(HANDLE handle, DWORD attributes) noexcept {
    FILE_BASIC_INFO basic{};  // times left at 0: unchanged
    basic.FileAttributes = attributes;
    return SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic) != 0;
}

// Writes `bytes` at `offset` (64 bits: AVI files pass 4 GiB); 0 or the error.
DWORD writeFullyAt(HANDLE handle, std::span<const std::uint8_t> bytes,
                   std::uint64_t offset) noexcept {
    while (!bytes.empty()) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        const auto ask = static_cast<DWORD>(std::min(bytes.size(), MAX_WRITE_BYTES));
        DWORD done = 0;
        if (!WriteFile(handle, bytes.data(), ask, &done, &at)) {
            return GetLastError();
        }
        if (done == 0) {
            return ERROR_WRITE_FAULT;
        }
        bytes = bytes.subspan(done);
        offset += done;
    }
    return ERROR_SUCCESS;
}

class FileSink final : public BufferedSink {
public:
    FileSink(HANDLE openHandle, std::wstring target, AlignedBytes bufferBytes,
             bool toStableStorage) noexcept
        : BufferedSink(std::move(bufferBytes)),
          handle(openHandle),
          targetPath(std::move(target)),
          durable(toStableStorage) {}
    ~FileSink() override { discard(); }
    FileSink(const FileSink&) = delete;
    FileSink& operator=(const FileSink&) = delete;

    bool commit() noexcept override {
        if (!flush() || (durable && !FlushFileBuffers(handle))) {
            if (durable) {
                fail(win::errorText(GetLastError()));
            }
            discard();
            return false;
        }
        // The temporary file replaces the path in one step, as rename() does on POSIX: the
        // path holds the old file or the complete new one. The rename works on the open
        // handle, so the file is never without its delete mark and a name at once. A durable
        // sink flushed the data before the rename and flushes again after it, which writes
        // the file's new name through to the disk (as MOVEFILE_WRITE_THROUGH would).
        if (!setAttributes(handle, FILE_ATTRIBUTE_NORMAL) || !setDeleteOnClose(handle, false) ||
            !renameOnto(targetPath)) {
            fail(win::errorText(GetLastError()));
            discard();
            return false;
        }
        // Renamed: from here on the file is the target's and must not be deleted.
        const bool flushed = !durable || FlushFileBuffers(handle);
        if (!flushed) {
            fail(win::errorText(GetLastError()));
        }
        CloseHandle(handle);
        handle = INVALID_HANDLE_VALUE;
        return flushed;
    }

    void discard() noexcept override {
        if (handle != INVALID_HANDLE_VALUE) {
            setDeleteOnClose(handle, true);
            CloseHandle(handle);
            handle = INVALID_HANDLE_VALUE;
        }
        dropBuffered();
    }

private:
    bool writeAt(std::span<const std::span<const std::uint8_t>> parts,
                 std::uint64_t offset) noexcept override {
        for (const auto& part : parts) {
            const DWORD error = writeFullyAt(handle, part, offset);
            if (error != ERROR_SUCCESS) {
                fail(win::errorText(error));
                return false;
            }
            offset += part.size();
        }
        return true;
    }

    bool isOpen() const noexcept override { return handle != INVALID_HANDLE_VALUE; }
    std::string notOpenText() const override { return win::errorText(ERROR_INVALID_HANDLE); }

    // Renames the open file onto `target`, replacing a file there (never a folder).
    bool renameOnto(const std::wstring& target) noexcept {
        const std::size_t nameBytes = target.size() * sizeof(wchar_t);
        const std::size_t infoBytes = sizeof(FILE_RENAME_INFO) + nameBytes;
        std::unique_ptr<std::uint8_t[]> storage(new (std::nothrow) std::uint8_t[infoBytes]());
        if (!storage) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return false;
        }
        auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(storage.get());
        rename->ReplaceIfExists = TRUE;
        rename->RootDirectory = nullptr;
        rename->FileNameLength = static_cast<DWORD>(nameBytes);
        std::memcpy(rename->FileName, target.data(), nameBytes);
        return SetFileInformationByHandle(handle, FileRenameInfo, rename,
                                          static_cast<DWORD>(infoBytes)) != 0;
    }

    HANDLE handle;
    std::wstring targetPath;
    bool durable;
};

// The system's words, but a folder's in the words every system uses here.
std::string reasonFor(DWORD error) {
    return error == ERROR_DIRECTORY ? IS_A_DIRECTORY_TEXT : win::errorText(error);
}

bool isFolder(const std::wstring& path) noexcept {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Where an existing file at `path` really is: a link is written through, as on POSIX (the file
// it leads to is replaced and the link stays), and the temporary file goes beside that file,
// on its volume. The path as given when nothing is there yet. `device` tells that a device
// answers to the name (NUL, CON, COM1): no file can be put in its place.
std::wstring finalPathOf(const std::wstring& path, bool& device) {
    device = false;
    const HANDLE existing = CreateFileW(
        path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (existing == INVALID_HANDLE_VALUE) {
        return path;
    }
    if (GetFileType(existing) != FILE_TYPE_DISK) {
        device = true;
        CloseHandle(existing);
        return path;
    }
    std::wstring final(MAX_PATH, L'\0');
    DWORD length = GetFinalPathNameByHandleW(existing, final.data(),
                                             static_cast<DWORD>(final.size()), VOLUME_NAME_DOS);
    if (length >= final.size()) {  // the size it needs, its terminator included
        final.resize(length);
        length = GetFinalPathNameByHandleW(existing, final.data(), static_cast<DWORD>(final.size()),
                                           VOLUME_NAME_DOS);
    }
    CloseHandle(existing);
    if (length == 0 || length >= final.size()) {
        return path;  // a volume without a drive letter, say: the path as given
    }
    final.resize(length);
    return final;
}

// ERROR_SUCCESS, with the path in UTF-16 in `target` (links resolved); or what makes the path no
// name of a file to write: no name, a folder's name, no valid UTF-8, a folder, a device or a
// read-only file there.
DWORD targetFor(const std::string& path, std::wstring& target) {
    const std::string_view name = std::string_view(path).substr(fileNameStart(path));
    if (name.empty() || name == "." || name == "..") {
        return path.empty() ? ERROR_FILE_NOT_FOUND : ERROR_DIRECTORY;
    }
    bool valid = false;
    target = win::utf16(path, valid);
    if (!valid) {
        return ERROR_NO_UNICODE_TRANSLATION;
    }
    if (isFolder(target)) {
        return ERROR_DIRECTORY;
    }
    bool device = false;
    target = finalPathOf(target, device);
    if (device) {
        return ERROR_BAD_DEV_TYPE;
    }
    // A read-only file is not to be replaced, and the rename onto it would fail only once the
    // whole recording had been converted.
    const DWORD attributes = GetFileAttributesW(target.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        return ERROR_ACCESS_DENIED;
    }
    return ERROR_SUCCESS;
}

class FileSinkFactory final : public SinkFactory {
public:
    explicit FileSinkFactory(bool toStableStorage) noexcept : durable(toStableStorage) {}

    // A file at the path is replaced at commit by a rename, which needs to delete it. A file
    // that another program holds open without sharing that (a player showing it) would fail
    // the run only after the whole recording has been converted: it is refused now, as a
    // read-only one is. Whatever else fails shows when the output opens.
    bool checkPath(const std::string& path, std::string& failure) noexcept override {
        std::wstring target;
        DWORD error = targetFor(path, target);
        if (error == ERROR_SUCCESS) {
            const HANDLE existing = CreateFileW(
                target.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (existing != INVALID_HANDLE_VALUE) {
                CloseHandle(existing);
            } else if (const DWORD openError = GetLastError();
                       openError == ERROR_SHARING_VIOLATION || openError == ERROR_ACCESS_DENIED) {
                error = openError;
            }
        }
        if (error != ERROR_SUCCESS) {
            failure = reasonFor(error);
            return false;
        }
        return true;
    }

    std::unique_ptr<ByteSink> open(const std::string& path,
                                   std::string& failure) noexcept override {
        std::wstring target;
        if (const DWORD error = targetFor(path, target); error != ERROR_SUCCESS) {
            return refuse(failure, error);
        }
        AlignedBytes buffer = BufferedSink::allocateBuffer();
        if (!buffer) {
            return refuse(failure, ERROR_NOT_ENOUGH_MEMORY);
        }
        const std::string prefix = win::temporaryPrefixFor(win::utf8(target));
        bool valid = false;  // as the path it comes from
        for (int attempt = 0; attempt < CREATE_ATTEMPTS; ++attempt) {
            const std::wstring temporary = win::utf16(prefix + uniquePart() + ".part", valid);
            // DELETE access: the file is renamed and marked for deletion through this handle.
            const HANDLE handle =
                CreateFileW(temporary.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr,
                            CREATE_NEW, UNFINISHED_ATTRIBUTES, nullptr);
            if (handle == INVALID_HANDLE_VALUE) {
                const DWORD error = GetLastError();
                if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) {
                    continue;
                }
                return refuse(failure, error);
            }
            if (!setDeleteOnClose(handle, true)) {
                const DWORD error = GetLastError();
                CloseHandle(handle);
                DeleteFileW(temporary.c_str());
                return refuse(failure, error);
            }
            auto sink = std::unique_ptr<FileSink>(
                new (std::nothrow) FileSink(handle, std::move(target), std::move(buffer), durable));
            if (!sink) {
                CloseHandle(handle);  // deleted on close
                return refuse(failure, ERROR_NOT_ENOUGH_MEMORY);
            }
            return sink;
        }
        return refuse(failure, ERROR_FILE_EXISTS);
    }

private:
    static std::unique_ptr<ByteSink> refuse(std::string& failure, DWORD error) {
        failure = reasonFor(error);
        return nullptr;
    }

    // Process, time and a counter, always 24 hex digits.
    std::string uniquePart() {
        LARGE_INTEGER now{};
        QueryPerformanceCounter(&now);
        char text[32];
        std::snprintf(text, sizeof text, "%08lx%08lx%08lx",
                      static_cast<unsigned long>(GetCurrentProcessId()),
                      static_cast<unsigned long>(now.LowPart), ++serial & 0xFFFFFFFFul);
        return text;
    }

    std::atomic<unsigned long> serial{0};
    bool durable;
};

}  // namespace

std::string win::temporaryPrefixFor(const std::string& path) {
    const std::size_t start = fileNameStart(path);
    // A name may have 255 characters (255 bytes on many Unix file systems under Wine), and the
    // temporary one adds 31 to the AVI's: the AVI's part is cut to a few characters, at the
    // start of a UTF-8 sequence, so that any name the AVI may have leaves room for it.
    std::size_t end = path.size();
    std::size_t characters = 0;
    for (std::size_t at = start; at < path.size(); ++at) {
        const bool startsCharacter = (static_cast<unsigned char>(path[at]) & 0xC0) != 0x80;
        if (startsCharacter && characters++ == TEMPORARY_NAME_CHARACTERS) {
            end = at;
            break;
        }
    }
    return path.substr(0, start) + "." + path.substr(start, end - start) + ".";
}

bool cleanUpOnInterruption() noexcept {
    return win::endWithStatusOnInterruption();
}

SinkFactory& fileSinkFactory() noexcept {
    static FileSinkFactory factory(false);
    return factory;
}

SinkFactory& durableFileSinkFactory() noexcept {
    static FileSinkFactory factory(true);
    return factory;
}

}  // namespace trunvex
