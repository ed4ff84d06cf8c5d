#include "ui/qt/converter_app.h"

#include "ui/qt/app_resources.h"
#include "ui/qt/converter_dialog.h"
#include "ui/qt/dialog_base.h"

namespace trunvex {

ConverterApp::ConverterApp(int& argc, char** argv) : QApplication(argc, argv) {
    // Message boxes and file choosers show Chinese names too.
    setFont(dialogFont());
    setWindowIcon(loadAppIcon());
    setDesktopFileName(QStringLiteral("trunvex"));
}

ConverterApp::~ConverterApp() = default;

int ConverterApp::InitInstance() {
    ConverterDialog dialog;
    (void)dialog.DoModal();
    return 0;
}

}  // namespace trunvex
