#include "platform/console.h"

#include <io.h>
#include <windows.h>
// Needs the types windows.h declares.
#include <shellapi.h>

#include "platform/win/text.h"

namespace trunvex {

std::vector<std::string> programArguments(int, char**) {
    std::vector<std::string> arguments;
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) {
        return arguments;
    }
    arguments.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        arguments.push_back(win::utf8(wide[i]));
    }
    LocalFree(wide);
    return arguments;
}

void useUtf8Console() noexcept {
    SetConsoleOutputCP(CP_UTF8);
}

// Files opened here get handles, never the numbers of the standard streams.
void holdStandardStreams() noexcept {}

namespace {

HANDLE consoleHandle(std::FILE* stream) noexcept {
    if (stream == nullptr) {
        return INVALID_HANDLE_VALUE;
    }
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    return handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) ? handle
                                                                           : INVALID_HANDLE_VALUE;
}

}  // namespace

// _isatty() is true for any character device, the null device included: only a handle with a
// console mode is a console.
bool isTerminal(std::FILE* stream) noexcept {
    const HANDLE handle = consoleHandle(stream);
    DWORD mode = 0;
    if (handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode)) {
        return false;
    }
    return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
           SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

int terminalColumns(std::FILE* stream) noexcept {
    const HANDLE handle = consoleHandle(stream);
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (handle == INVALID_HANDLE_VALUE || !GetConsoleScreenBufferInfo(handle, &info)) {
        return 0;
    }
    return info.srWindow.Right - info.srWindow.Left + 1;
}

}  // namespace trunvex
