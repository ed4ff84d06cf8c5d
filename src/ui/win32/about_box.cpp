#include "ui/win32/about_box.h"

#include "resource.h"

namespace trunvex {
namespace {

// The template places the box at its owner's corner; it opens over the owner's middle.
void centreOnOwner(HWND dialog) {
    RECT owner{};
    RECT box{};
    const HWND ownerWindow = GetWindow(dialog, GW_OWNER);
    if (ownerWindow == nullptr || !GetWindowRect(ownerWindow, &owner) ||
        !GetWindowRect(dialog, &box)) {
        return;
    }
    const LONG x = owner.left + (owner.right - owner.left - (box.right - box.left)) / 2;
    const LONG y = owner.top + (owner.bottom - owner.top - (box.bottom - box.top)) / 2;
    SetWindowPos(dialog, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

INT_PTR CALLBACK aboutProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_INITDIALOG) {
        centreOnOwner(dialog);
        return TRUE;
    }
    if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
        EndDialog(dialog, LOWORD(wParam));
        return TRUE;
    }
    return FALSE;
}

}  // namespace

void showAboutBox(HINSTANCE instance, HWND owner) {
    (void)DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_ABOUTBOX), owner, aboutProc, 0);
}

}  // namespace trunvex
