#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace trunvex::test {

// A child window of a dialog as it was seen.
struct SeenControl {
    int id = 0;
    std::wstring className;
    std::wstring text;
    DWORD style = 0;
    DWORD exStyle = 0;
    RECT rect{};  // in the dialog's client pixels
    bool hasIcon = false;
};

// A modal box of this thread as it was seen before it was answered.
struct SeenBox {
    std::wstring caption;
    std::vector<SeenControl> controls;
    DWORD style = 0;
    SIZE baseUnits{};             // the box's dialog base units, to turn dialog units into pixels
    std::wstring convertCaption;  // the main dialog's convert button at that moment
};

// The controls of `dialog` in template order.
[[nodiscard]] std::vector<SeenControl> describeControls(HWND dialog);
[[nodiscard]] SIZE dialogBaseUnits(HWND dialog);

// While it lives, every modal box that opens on this thread over `mainDialog` (message boxes,
// the About box) is recorded and closed with OK, as a user would, a few milliseconds after it
// appeared.
class ModalAnswerer {
public:
    explicit ModalAnswerer(HWND mainDialog);
    ~ModalAnswerer();
    ModalAnswerer(const ModalAnswerer&) = delete;
    ModalAnswerer& operator=(const ModalAnswerer&) = delete;

    [[nodiscard]] const std::vector<SeenBox>& seen() const { return boxes; }

private:
    static void CALLBACK onTimer(HWND, UINT, UINT_PTR, DWORD);
    static BOOL CALLBACK visitWindow(HWND window, LPARAM self);

    HWND main;
    UINT_PTR timer;
    std::vector<SeenBox> boxes;
};

// Handles this thread's messages through `handle` until `done` holds or the time is up.
template <class Handle, class Done>
bool pumpUntil(Handle handle, Done done, DWORD timeoutMs = 20000) {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    MSG message;
    while (!done()) {
        if (GetTickCount64() > end) {
            return false;
        }
        if (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            handle(message);
        } else {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        }
    }
    return true;
}

// Handles this thread's messages for `ms` milliseconds: a new window shows and takes the focus.
template <class Handle>
void settle(Handle handle, DWORD ms = 50) {
    (void)pumpUntil(
        handle, [] { return false; }, ms);
}

}  // namespace trunvex::test
