// Linked into a copy of the dialog program, with the program's own main(), for the test of an
// interruption mid-run: the AVI is written under a named temporary file, as on file systems
// without unnamed ones, and the convert button is pressed as soon as the dialog shows the
// recording named on the command line.

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include "platform/file_sink.h"
#include "ui/qt/converter_dialog.h"

namespace {

// Presses convert once, when the dialog is up with the recording taken.
bool pressConvertWhenReady() {
    for (QWidget* window : QApplication::topLevelWidgets()) {
        auto* dialog = qobject_cast<trunvex::ConverterDialog*>(window);
        if (dialog == nullptr || !dialog->isVisible()) {
            continue;
        }
        const auto* source = dialog->findChild<QLineEdit*>(QStringLiteral("IDC_SOURCE_PATH"));
        auto* convert = dialog->findChild<QPushButton*>(QStringLiteral("IDC_CONVERT"));
        if (source != nullptr && convert != nullptr && !source->text().isEmpty()) {
            convert->click();
            return true;
        }
    }
    return false;
}

void pressConvertOnceShown() {
    trunvex::refuseLinkingUnnamedFilesForTests(true);
    // Queued: the application is still being built when this runs.
    QMetaObject::invokeMethod(
        qApp,
        [] {
            auto* poll = new QTimer(qApp);
            QObject::connect(poll, &QTimer::timeout, poll, [poll] {
                if (pressConvertWhenReady()) {
                    poll->stop();
                }
            });
            poll->start(10);
        },
        Qt::QueuedConnection);
}

}  // namespace

Q_COREAPP_STARTUP_FUNCTION(pressConvertOnceShown)
