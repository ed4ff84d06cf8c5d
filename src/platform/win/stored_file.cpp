#include "platform/stored_file.h"

#include <windows.h>

#include <algorithm>
#include <new>

#include "platform/win/text.h"

namespace trunvex {
namespace {

// Reads are split into pieces a DWORD can count.
constexpr std::size_t MAX_READ_BYTES = std::size_t{1} << 30;

class StoredFile final : public StoredBytes {
public:
    StoredFile(HANDLE openHandle, std::uint64_t bytes) noexcept
        : handle(openHandle), length(bytes) {}
    ~StoredFile() override { CloseHandle(handle); }
    StoredFile(const StoredFile&) = delete;
    StoredFile& operator=(const StoredFile&) = delete;

    std::uint64_t size() const noexcept override { return length; }

    bool readAt(std::uint64_t offset, std::span<std::uint8_t> into) noexcept override {
        lastError = ERROR_SUCCESS;
        std::size_t done = 0;
        while (done < into.size()) {
            const std::uint64_t at = offset + done;
            OVERLAPPED where{};
            where.Offset = static_cast<DWORD>(at);
            where.OffsetHigh = static_cast<DWORD>(at >> 32);
            const auto ask = static_cast<DWORD>(std::min(into.size() - done, MAX_READ_BYTES));
            DWORD got = 0;
            if (!ReadFile(handle, into.data() + done, ask, &got, &where)) {
                const DWORD error = GetLastError();
                lastError = error == ERROR_HANDLE_EOF ? ERROR_SUCCESS : error;
                return false;
            }
            if (got == 0) {
                return false;
            }
            done += got;
        }
        return true;
    }

    std::string errorText() const override {
        return lastError == ERROR_SUCCESS ? std::string() : win::errorText(lastError);
    }

private:
    HANDLE handle;
    std::uint64_t length;
    DWORD lastError = ERROR_SUCCESS;
};

}  // namespace

std::unique_ptr<StoredBytes> openStoredFile(const std::string& path,
                                            std::string& failure) noexcept {
    bool valid = false;
    const std::wstring wide = win::utf16(path, valid);
    if (!valid) {
        failure = win::errorText(ERROR_NO_UNICODE_TRANSLATION);
        return nullptr;
    }
    const HANDLE handle = CreateFileW(wide.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        failure = win::errorText(GetLastError());
        return nullptr;
    }
    LARGE_INTEGER bytes{};
    if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileSizeEx(handle, &bytes)) {
        CloseHandle(handle);
        failure = win::errorText(ERROR_BAD_DEV_TYPE);
        return nullptr;
    }
    std::unique_ptr<StoredBytes> file(
        new (std::nothrow) StoredFile(handle, static_cast<std::uint64_t>(bytes.QuadPart)));
    if (!file) {
        CloseHandle(handle);
        failure = win::errorText(ERROR_NOT_ENOUGH_MEMORY);
    }
    return file;
}

}  // namespace trunvex
