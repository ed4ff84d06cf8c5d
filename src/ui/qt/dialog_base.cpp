#include "ui/qt/dialog_base.h"

#include <QFontMetrics>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>

namespace trunvex {
namespace {

// Rounded like the platform's MulDiv, which dialog-unit conversion is defined by.
int mulDiv(int value, int numerator, int denominator) {
    const long long product = static_cast<long long>(value) * numerator;
    return static_cast<int>((product + denominator / 2) / denominator);
}

QWidget* makeControl(const ControlTemplate& control, QWidget* parent) {
    const QString text = QString::fromUtf8(control.text);
    switch (control.kind) {
        case CONTROL_BUTTON:
        case CONTROL_DEFAULT_BUTTON: {
            auto* button = new QPushButton(text, parent);
            button->setDefault(control.kind == CONTROL_DEFAULT_BUTTON);
            return button;
        }
        case CONTROL_EDIT: {
            auto* edit = new QLineEdit(text, parent);
            // A plain edit box takes no drops; whatever is dropped goes to the dialog.
            edit->setAcceptDrops(false);
            return edit;
        }
        case CONTROL_LABEL_LEFT:
        case CONTROL_LABEL_RIGHT: {
            auto* label = new QLabel(text, parent);
            label->setTextFormat(Qt::PlainText);
            const Qt::Alignment side =
                control.kind == CONTROL_LABEL_RIGHT ? Qt::AlignRight : Qt::AlignLeft;
            label->setAlignment(side | Qt::AlignTop);
            return label;
        }
        case CONTROL_ICON: {
            auto* label = new QLabel(parent);
            label->setPixmap(QIcon(text).pixmap(32, 32));
            return label;
        }
    }
    return nullptr;
}

}  // namespace

QFont dialogFont() {
    QFont font;
#ifdef Q_OS_WIN
    font.setFamilies({QStringLiteral("SimSun"), QStringLiteral("Microsoft YaHei")});
#else
    font.setFamilies({QStringLiteral("WenQuanYi Micro Hei"), QStringLiteral("Noto Sans CJK SC"),
                      QStringLiteral("Droid Sans Fallback")});
#endif
    font.setPointSize(9);
    return font;
}

void DataExchange::text(int id, std::string& value) {
    auto* edit = qobject_cast<QLineEdit*>(dialog.GetDlgItem(id));
    if (edit == nullptr) {
        return;
    }
    if (saveAndValidate) {
        value = edit->text().toLocal8Bit().toStdString();
    } else {
        edit->setText(QString::fromLocal8Bit(value.data(), static_cast<qsizetype>(value.size())));
    }
}

void DataExchange::control(int id, QPushButton*& button) {
    if (button == nullptr) {
        button = qobject_cast<QPushButton*>(dialog.GetDlgItem(id));
    }
}

DialogBase::DialogBase(const DialogTemplate& dialogTemplate, QWidget* parent) : QDialog(parent) {
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setWindowTitle(QString::fromUtf8(dialogTemplate.title));
    setFont(dialogFont());
    createControls(dialogTemplate);
    setFixedSize(MapDialogRect(QRect(0, 0, dialogTemplate.width, dialogTemplate.height)).size());
}

DialogBase::~DialogBase() = default;

void DialogBase::createControls(const DialogTemplate& dialogTemplate) {
    for (const ControlTemplate& control : dialogTemplate.controls) {
        QWidget* widget = makeControl(control, this);
        if (widget == nullptr) {
            continue;
        }
        if (control.objectName != nullptr) {
            widget->setObjectName(QString::fromLatin1(control.objectName));
        }
        widget->setEnabled(!control.disabled);
        QRect rect = MapDialogRect(QRect(control.x, control.y, control.width, control.height));
        if (control.kind == CONTROL_ICON) {
            // An icon control takes the icon's own size, whatever the template says.
            rect.setSize(QSize(32, 32));
        }
        widget->setGeometry(rect);
        if (control.id != ID_STATIC) {
            controls.insert(control.id, widget);
        }
        if (auto* button = qobject_cast<QPushButton*>(widget)) {
            if (control.id == DIALOG_OK) {
                connect(button, &QPushButton::clicked, this, &DialogBase::accept);
            } else if (control.id == DIALOG_CANCEL) {
                connect(button, &QPushButton::clicked, this, &DialogBase::reject);
            }
        }
    }
}

QRect DialogBase::MapDialogRect(const QRect& units) const {
    // The dialog base units: the average width of the Latin letters and the line height.
    const QFontMetrics metrics(font());
    const int letters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    const int baseX = (letters / 26 + 1) / 2;
    const int baseY = metrics.height();
    return QRect(mulDiv(units.x(), baseX, 4), mulDiv(units.y(), baseY, 8),
                 mulDiv(units.width(), baseX, 4), mulDiv(units.height(), baseY, 8));
}

int DialogBase::DoModal() {
    return exec() == DIALOG_OK ? DIALOG_OK : DIALOG_CANCEL;
}

bool DialogBase::UpdateData(bool saveAndValidate) {
    DataExchange exchange(*this, saveAndValidate);
    DoDataExchange(exchange);
    return true;
}

void DialogBase::DoDataExchange(DataExchange& exchange) {
    (void)exchange;
}

bool DialogBase::OnInitDialog() {
    UpdateData(false);
    return true;
}

void DialogBase::OnOK() {
    UpdateData(true);
    done(DIALOG_OK);
}

void DialogBase::showEvent(QShowEvent* event) {
    if (!windowLive && !event->spontaneous()) {
        windowLive = true;
        if (OnInitDialog()) {
            // The first tab stop takes the focus, as the window system would give it.
            for (QWidget* child : findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
                if (child->isEnabled() && (child->focusPolicy() & Qt::TabFocus) != 0) {
                    child->setFocus(Qt::TabFocusReason);
                    break;
                }
            }
        }
    }
    QDialog::showEvent(event);
}

void DialogBase::done(int result) {
    QDialog::done(result);
    if (windowLive) {
        windowLive = false;
        OnDestroy();
    }
}

}  // namespace trunvex
