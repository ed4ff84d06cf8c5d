// Works the running dialog from outside, for the screenshot script: "paths" fills both path
// boxes with an example, "about" opens the About box, "close" closes the About box and the
// dialog. Exits with 1 when no dialog is running.
#include <windows.h>

#include <string_view>

#include "resource.h"

int wmain(int argc, wchar_t** argv) {
    const HWND dialog = FindWindowW(L"#32770", L"Trunvex(V02100309)");
    if (dialog == nullptr || argc != 2) {
        return 1;
    }
    const std::wstring_view command = argv[1];
    if (command == L"paths") {
        SetDlgItemTextW(dialog, IDC_SOURCE_PATH, L"C:\\Users\\用户\\录像\\通道1.264");
        SetDlgItemTextW(dialog, IDC_AVI_PATH, L"C:\\Users\\用户\\录像\\通道1.avi");
    } else if (command == L"about") {
        PostMessageW(dialog, WM_SYSCOMMAND, ID_SYSMENU_ABOUT, 0);
    } else if (command == L"close") {
        if (const HWND about = FindWindowW(L"#32770", L"关于 Trunvex"); about != nullptr) {
            SendMessageW(about, WM_COMMAND, IDOK, 0);
        }
        PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
    } else {
        return 1;
    }
    return 0;
}
