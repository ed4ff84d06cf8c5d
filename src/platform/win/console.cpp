#include "platform/console.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>
// Needs the types windows.h declares.
#include <shellapi.h>

#include <algorithm>
#include <cstdlib>

#include "platform/file_sink.h"
#include "platform/paths.h"
#include "platform/win/console.h"
#include "platform/win/file_sink.h"
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
    return win::expandWildcards(arguments);
}

std::vector<std::string> win::expandWildcards(const std::vector<std::string>& arguments) {
    std::vector<std::string> expanded;
    std::vector<std::string> matches;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const std::size_t nameAt = fileNameStart(argument);
        bool valid = false;
        const std::wstring pattern = utf16(argument, valid);
        if (i == 0 || argument.empty() || argument[0] == '-' || !valid ||
            argument.find_first_of("*?", nameAt) == std::string::npos) {
            expanded.push_back(argument);
            continue;
        }
        matches.clear();
        WIN32_FIND_DATAW data{};
        const HANDLE search = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data,
                                               FindExSearchNameMatch, nullptr, 0);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                const std::wstring_view name = data.cFileName;
                const bool hidden =
                    (data.dwFileAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) != 0;
                if (!hidden && name != L"." && name != L"..") {
                    matches.push_back(argument.substr(0, nameAt) + utf8(name));
                }
            } while (FindNextFileW(search, &data));
            FindClose(search);
        }
        if (matches.empty()) {
            expanded.push_back(argument);
            continue;
        }
        std::sort(matches.begin(), matches.end());
        expanded.insert(expanded.end(), matches.begin(), matches.end());
    }
    return expanded;
}

// Files opened here get handles, never the numbers of the standard streams.
void holdStandardStreams() noexcept {}

namespace {

// Larger than anything written in one go (the help is about 3 KiB), so that no character is
// split between two writes.
constexpr std::size_t CONSOLE_BUFFER_BYTES = 64 * 1024;

// The console's output code page before this program changed it; 0 when unchanged.
UINT originalOutputCodePage = 0;

// At exit: what is still buffered goes out in UTF-8 before the old code page returns.
void flushAndRestoreCodePage() {
    std::fflush(stdout);
    std::fflush(stderr);
    win::restoreConsoleCodePage();
}

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

// The console shows UTF-8 in its UTF-8 code page, but only bytes that reach it whole. In text
// mode the C runtime may convert each byte on its own through its locale (Wine's does: "录"
// comes out as "å½•"), and an unbuffered stream goes out a byte at a time, splitting every
// character. So a console stream is switched to binary mode (the console starts a new line at
// a bare "\n" by itself) and buffered; whoever writes a message to it flushes it. The code page
// is put back at the end, so that programs run later in the same console find the one they
// expect.
void useUtf8Console() noexcept {
    // From the first moment, not only once a run starts: an interrupted --info or folder walk
    // must not end with status 0 either.
    (void)win::endWithStatusOnInterruption();
    const UINT current = GetConsoleOutputCP();
    if (current != 0 && current != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) {
        originalOutputCodePage = current;
        std::atexit(flushAndRestoreCodePage);
    }
    for (std::FILE* stream : {stdout, stderr}) {
        if (consoleHandle(stream) != INVALID_HANDLE_VALUE) {
            _setmode(_fileno(stream), _O_BINARY);
            std::setvbuf(stream, nullptr, _IOFBF, CONSOLE_BUFFER_BYTES);
        }
    }
}

namespace {

// Ends the process at once with the status a POSIX shell shows for the matching signal: 130
// (SIGINT) for Ctrl-C and Ctrl-Break, 129 (SIGHUP) when the console goes away (closed, log-off,
// shut-down). Left to the default handling, Wine ends the process with status 0, which a
// script takes for success. Every handle closes with the process: the temporary files, marked
// delete-on-close until their commit, go with them, so nothing is left to clean.
BOOL WINAPI endOnInterruption(DWORD event) noexcept {
    const bool interrupted = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT;
    // A commit in progress finishes first; none starts afterwards.
    win::commitLock().lock();
    sayLastWordsOnInterruption();
    win::restoreConsoleCodePage();
    TerminateProcess(GetCurrentProcess(), interrupted ? 128 + 2 : 128 + 1);
    return TRUE;
}

}  // namespace

bool win::endWithStatusOnInterruption() noexcept {
    static const bool installed = SetConsoleCtrlHandler(endOnInterruption, TRUE) != 0;
    return installed;
}

void win::restoreConsoleCodePage() noexcept {
    if (originalOutputCodePage != 0) {
        SetConsoleOutputCP(originalOutputCodePage);
    }
}

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
