#include <windows.h>

#include <QWidget>

#include "ui/qt/system_menu.h"

namespace trunvex {

void appendSystemMenuItem(QWidget* window, unsigned id, const QString& text) {
    HMENU menu = GetSystemMenu(reinterpret_cast<HWND>(window->winId()), FALSE);
    if (menu == nullptr || text.isEmpty()) {
        return;
    }
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING, id, reinterpret_cast<LPCWSTR>(text.utf16()));
}

std::optional<unsigned> systemCommandId(const void* message) {
    const MSG* msg = static_cast<const MSG*>(message);
    if (msg == nullptr || msg->message != WM_SYSCOMMAND) {
        return std::nullopt;
    }
    return static_cast<unsigned>(msg->wParam);
}

}  // namespace trunvex
