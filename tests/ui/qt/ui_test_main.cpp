#include "ui/qt/converter_app.h"
#include "ui_tests.h"

int main(int argc, char** argv) {
    // The program's own application object, so the tests see its font and icon.
    trunvex::ConverterApp app(argc, argv);
    int status = runFileChooserTests(argc, argv);
    status |= runConverterDialogTests(argc, argv);
    return status;
}
