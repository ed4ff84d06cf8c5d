#include "ui/qt/message_box.h"

#include <QFontMetrics>
#include <QGridLayout>
#include <QMessageBox>
#include <QSpacerItem>
#include <algorithm>
#include <utility>

#include "run/run_messages.h"

namespace trunvex {
namespace {

OkMessageBox::Answerer& answerer() {
    static OkMessageBox::Answerer instance;
    return instance;
}

}  // namespace

int OkMessageBox::titleRoomWidth(const QFont& font, const QString& title) {
    // Window managers draw the title in a bold face larger than the text of the box, centred
    // between the title-bar buttons, which they keep clear on both sides: room for three
    // buttons twice the line height wide on each side, and the title.
    QFont titleFont = font;
    titleFont.setBold(true);
    titleFont.setPointSizeF(font.pointSizeF() * 1.5);
    const QFontMetrics metrics(titleFont);
    const int buttonsOnOneSide = 3 * 2 * metrics.height();
    return metrics.horizontalAdvance(title) + 2 * buttonsOnOneSide;
}

void OkMessageBox::show(QWidget* parent, const QString& text) {
    if (answerer()) {
        answerer()(text);
        return;
    }
    const QString title =
        QString::fromUtf8(MESSAGE_TITLE.data(), static_cast<qsizetype>(MESSAGE_TITLE.size()));
    QMessageBox box(QMessageBox::NoIcon, title, text, QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText);
    box.setObjectName(QStringLiteral("MESSAGE_BOX"));
    // A box only as wide as a short message gets its title cut short by the window manager.
    // QMessageBox fixes its own size, so the width goes in as a spacer along its grid.
    if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
        grid->addItem(new QSpacerItem(titleRoomWidth(box.font(), title), 0, QSizePolicy::Minimum,
                                      QSizePolicy::Minimum),
                      grid->rowCount(), 0, 1, std::max(1, grid->columnCount()));
    }
    box.exec();
}

void OkMessageBox::setAnswerer(Answerer newAnswerer) {
    answerer() = std::move(newAnswerer);
}

}  // namespace trunvex
