// clang-format off
#include <windows.h>  // before every other Windows header
#include <commctrl.h>
#include <shellapi.h>
// clang-format on

#include <string>

#include "ui/win32/converter_window.h"

namespace {

// The one recording Explorer's "Open with" names, as a full path so that the proposed AVI
// lands beside it; empty when there is none or more than one.
std::wstring recordingOnCommandLine() {
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (arguments == nullptr) {
        return {};
    }
    std::wstring path;
    if (count == 2 && arguments[1][0] != L'\0') {
        const DWORD length = GetFullPathNameW(arguments[1], 0, nullptr, nullptr);
        path.resize(length);
        path.resize(GetFullPathNameW(arguments[1], length, path.data(), nullptr));
    }
    LocalFree(arguments);
    return path;
}

}  // namespace

// The dialog is the program: it starts with the window and ends when the window goes.
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    const INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX),
                                        ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    trunvex::ConverterWindow window(instance);
    window.openWith(recordingOnCommandLine());
    if (!window.create()) {
        return 1;
    }
    window.runUntilClosed();
    return 0;
}
