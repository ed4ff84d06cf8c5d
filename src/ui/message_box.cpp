#include "ui/message_box.h"

#include <QMessageBox>
#include <utility>

namespace trunvex {
namespace {

OkMessageBox::Answerer& answerer() {
    static OkMessageBox::Answerer instance;
    return instance;
}

}  // namespace

void OkMessageBox::show(QWidget* parent, const QString& text) {
    if (answerer()) {
        answerer()(text);
        return;
    }
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Trunvex"), text, QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

void OkMessageBox::setAnswerer(Answerer newAnswerer) {
    answerer() = std::move(newAnswerer);
}

}  // namespace trunvex
