// clang-format off
#include <windows.h>  // before every other Windows header
#include <commctrl.h>
// clang-format on

#include "ui/win32/converter_window.h"

// The dialog is the program: it starts with the window and ends when the window goes. The
// command line is not read.
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    const INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX),
                                        ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    trunvex::ConverterWindow window(instance);
    if (!window.create()) {
        return 1;
    }
    window.runUntilClosed();
    return 0;
}
