#include "ui/qt/file_chooser.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <deque>
#include <utility>

#include "ui/qt/dialog_base.h"

namespace trunvex {
namespace {

std::deque<std::optional<QString>>& answers() {
    static std::deque<std::optional<QString>> queue;
    return queue;
}

FileChooserRequest& lastShown() {
    static FileChooserRequest request;
    return request;
}

// For the program's run only: nothing is stored.
QString& lastChosenFolder() {
    static QString folder;
    return folder;
}

QString chosen(const QString& path) {
    lastChosenFolder() = QFileInfo(path).absolutePath();
    return QDir::toNativeSeparators(path);
}

QString fromBytes(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

QStringList toQtNameFilters(std::string_view filter) {
    const QStringList parts = fromBytes(filter).split(QLatin1Char('|'));
    QStringList result;
    // Pairs of display text and patterns; the list ends at the first empty text.
    for (qsizetype i = 0; i + 1 < parts.size() && !parts[i].isEmpty(); i += 2) {
        QString text = parts[i];
        // Qt reads the patterns from the text's parentheses, so the text shows the patterns
        // Qt is given rather than the ones written for the other platform.
        if (text.endsWith(QLatin1Char(')')) && text.contains(QLatin1Char('('))) {
            text = text.left(text.lastIndexOf(QLatin1Char('('))).trimmed();
        }
        QStringList patterns;
        for (const QString& pattern : parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
            const QString trimmed = pattern.trimmed();
            patterns.append(trimmed == QLatin1String("*.*") ? QStringLiteral("*") : trimmed);
        }
        result.append(text + QLatin1String(" (") + patterns.join(QLatin1Char(' ')) +
                      QLatin1Char(')'));
    }
    return result;
}

QString toDefaultSuffix(std::string_view extension) {
    QString suffix = fromBytes(extension);
    while (suffix.startsWith(QLatin1Char('*')) || suffix.startsWith(QLatin1Char('.'))) {
        suffix.remove(0, 1);
    }
    return suffix.contains(QLatin1Char('*')) ? QString() : suffix;
}

FileChooser::FileChooser(bool openFileDialog, std::string_view defaultExtension,
                         std::string_view filter, bool overwritePrompt, QWidget* owner)
    : parent(owner) {
    request.open = openFileDialog;
    request.nameFilters = toQtNameFilters(filter);
    request.defaultSuffix = toDefaultSuffix(defaultExtension);
    request.overwritePrompt = overwritePrompt;
}

int FileChooser::DoModal() {
    request.directory = lastChosenFolder();
    lastShown() = request;
    pathName.clear();
    if (!answers().empty()) {
        const std::optional<QString> answer = answers().front();
        answers().pop_front();
        if (!answer) {
            return DIALOG_CANCEL;
        }
        pathName = chosen(*answer);
        return DIALOG_OK;
    }
    QFileDialog dialog(parent);
    dialog.setAcceptMode(request.open ? QFileDialog::AcceptOpen : QFileDialog::AcceptSave);
    // The open chooser has no must-exist rule: any name may be given.
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilters(request.nameFilters);
    dialog.setDefaultSuffix(request.defaultSuffix);
    dialog.setOption(QFileDialog::DontConfirmOverwrite, !request.overwritePrompt);
    if (!request.directory.isEmpty()) {
        dialog.setDirectory(request.directory);
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return DIALOG_CANCEL;
    }
    pathName = chosen(dialog.selectedFiles().constFirst());
    return DIALOG_OK;
}

void FileChooser::setNextAnswer(std::optional<QString> path) {
    answers().push_back(std::move(path));
}

void FileChooser::clearAnswers() {
    answers().clear();
}

const FileChooserRequest& FileChooser::lastRequest() {
    return lastShown();
}

}  // namespace trunvex
