#pragma once

#include <QString>
#include <QStringList>
#include <optional>
#include <string_view>

class QWidget;

namespace trunvex {

// Filters written as display text and pattern pairs, "Text|*.a;*.b|...||", turned into Qt's
// "Text (*.a *.b)" entries. "*.*" means every file, as it does on the platform it comes from.
[[nodiscard]] QStringList toQtNameFilters(std::string_view filter);
// A default extension such as "*.AVI" or ".avi" as the suffix Qt appends ("AVI"); empty when
// it names no extension (".*").
[[nodiscard]] QString toDefaultSuffix(std::string_view extension);

// What a chooser was asked to show, kept for tests.
struct FileChooserRequest {
    bool open = true;
    QStringList nameFilters;
    QString defaultSuffix;
    bool overwritePrompt = false;
    // Where the chooser opens: the folder of the file last chosen, empty before the first.
    QString directory;
};

// A modal open or save file chooser. The open chooser accepts a name that does not exist;
// the save chooser asks before an existing file is replaced when overwritePrompt is set.
// Each opens in the folder of the file last chosen with either, as the platform's own
// choosers do on Windows; Qt's would open in the working folder every time.
class FileChooser {
public:
    FileChooser(bool openFileDialog, std::string_view defaultExtension, std::string_view filter,
                bool overwritePrompt, QWidget* owner);

    // DIALOG_OK when a file was chosen, DIALOG_CANCEL otherwise.
    int DoModal();
    // The chosen file's full path in the platform's notation.
    [[nodiscard]] QString GetPathName() const { return pathName; }

    // Test seam: the next DoModal shows nothing and ends as if the user had chosen `path`
    // (std::nullopt: cancelled). Answers queue up in call order.
    static void setNextAnswer(std::optional<QString> path);
    static void clearAnswers();
    [[nodiscard]] static const FileChooserRequest& lastRequest();

private:
    FileChooserRequest request;
    QWidget* parent;
    QString pathName;
};

}  // namespace trunvex
