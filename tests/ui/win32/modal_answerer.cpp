#include "modal_answerer.h"

#include "resource.h"

namespace trunvex::test {
namespace {

ModalAnswerer* active = nullptr;
constexpr UINT ANSWER_INTERVAL_MS = 20;

std::wstring windowText(HWND window) {
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(
        GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
    return text;
}

std::wstring classOf(HWND window) {
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    return name;
}

}  // namespace

SIZE dialogBaseUnits(HWND dialog) {
    RECT units{0, 0, 4, 8};
    MapDialogRect(dialog, &units);
    return {units.right, units.bottom};
}

std::vector<SeenControl> describeControls(HWND dialog) {
    std::vector<SeenControl> controls;
    for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        SeenControl control;
        control.id = GetDlgCtrlID(child);
        control.className = classOf(child);
        control.text = windowText(child);
        control.style = static_cast<DWORD>(GetWindowLongPtrW(child, GWL_STYLE));
        control.exStyle = static_cast<DWORD>(GetWindowLongPtrW(child, GWL_EXSTYLE));
        GetWindowRect(child, &control.rect);
        MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&control.rect), 2);
        control.hasIcon = SendMessageW(child, STM_GETICON, 0, 0) != 0;
        controls.push_back(control);
    }
    return controls;
}

ModalAnswerer::ModalAnswerer(HWND mainDialog)
    : main(mainDialog), timer(SetTimer(nullptr, 0, ANSWER_INTERVAL_MS, onTimer)) {
    active = this;
}

ModalAnswerer::~ModalAnswerer() {
    KillTimer(nullptr, timer);
    active = nullptr;
}

void CALLBACK ModalAnswerer::onTimer(HWND, UINT, UINT_PTR, DWORD) {
    if (active != nullptr) {
        EnumThreadWindows(GetCurrentThreadId(), visitWindow, reinterpret_cast<LPARAM>(active));
    }
}

BOOL CALLBACK ModalAnswerer::visitWindow(HWND window, LPARAM self) {
    auto& answerer = *reinterpret_cast<ModalAnswerer*>(self);
    if (window == answerer.main || !IsWindowVisible(window) || classOf(window) != L"#32770" ||
        GetWindow(window, GW_OWNER) != answerer.main) {
        return TRUE;
    }
    SeenBox box;
    box.caption = windowText(window);
    box.controls = describeControls(window);
    box.style = static_cast<DWORD>(GetWindowLongPtrW(window, GWL_STYLE));
    box.baseUnits = dialogBaseUnits(window);
    box.convertCaption = windowText(GetDlgItem(answerer.main, IDC_CONVERT));
    answerer.boxes.push_back(box);
    // Hidden at once, so that the next tick does not see it again before it has gone.
    ShowWindow(window, SW_HIDE);
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    return TRUE;
}

}  // namespace trunvex::test
