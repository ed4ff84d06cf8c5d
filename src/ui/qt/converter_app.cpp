#include "ui/qt/converter_app.h"

#include <QFileInfo>
#include <QLibraryInfo>

#include "ui/qt/app_resources.h"
#include "ui/qt/converter_dialog.h"
#include "ui/qt/dialog_base.h"

namespace trunvex {
namespace {

// The one recording a file manager's "Open with" names; none when there are more.
QString recordingOnCommandLine(const QStringList& arguments) {
    if (arguments.size() != 2 || arguments.at(1).isEmpty()) {
        return {};
    }
    // Relative to where the program was started, so that the proposed AVI lands beside it.
    return QFileInfo(arguments.at(1)).absoluteFilePath();
}

}  // namespace

ConverterApp::ConverterApp(int& argc, char** argv) : QApplication(argc, argv) {
    // Message boxes and file choosers show Chinese names too.
    setFont(dialogFont());
    setWindowIcon(loadAppIcon());
    setDesktopFileName(QStringLiteral("trunvex"));
    (void)loadQtTranslations(QLocale());
}

ConverterApp::~ConverterApp() = default;

bool ConverterApp::loadQtTranslations(const QLocale& locale) {
    removeTranslator(&qtTranslations);
    if (!qtTranslations.load(locale, QStringLiteral("qtbase"), QStringLiteral("_"),
                             QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        return false;
    }
    installTranslator(&qtTranslations);
    return true;
}

int ConverterApp::InitInstance() {
    ConverterDialog dialog;
    dialog.openWith(recordingOnCommandLine(arguments()));
    (void)dialog.DoModal();
    return 0;
}

}  // namespace trunvex
