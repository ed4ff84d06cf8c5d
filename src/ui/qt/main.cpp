#include "ui/qt/converter_app.h"

int main(int argc, char** argv) {
    trunvex::ConverterApp app(argc, argv);
    return app.InitInstance();
}
