#pragma once

#include <QString>
#include <functional>

class QFont;
class QWidget;

namespace trunvex {

// The program's only kind of message: a modal box with the text and one OK button.
class OkMessageBox {
public:
    // Returns when the user has dismissed the box.
    static void show(QWidget* parent, const QString& text);
    // The narrowest box whose title `title` a window manager shows whole, for a box whose
    // text is in `font`.
    [[nodiscard]] static int titleRoomWidth(const QFont& font, const QString& title);

    // Test seam: while an answerer is set, no box appears; each text goes to the answerer,
    // which returns as the user dismissing the box would. An empty function shows boxes again.
    using Answerer = std::function<void(const QString& text)>;
    static void setAnswerer(Answerer answerer);
};

}  // namespace trunvex
