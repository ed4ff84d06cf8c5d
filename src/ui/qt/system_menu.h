#pragma once

#include <QString>
#include <optional>

class QWidget;

namespace trunvex {

// Only where the program draws its own window frame (Windows) does it own the system menu.
// Appends a separator and an item with `id` and `text` to the window's system menu; nothing
// when the window has none.
void appendSystemMenuItem(QWidget* window, unsigned id, const QString& text);
// The command id when `message` (the platform's message record) is a system-menu command.
[[nodiscard]] std::optional<unsigned> systemCommandId(const void* message);

}  // namespace trunvex
