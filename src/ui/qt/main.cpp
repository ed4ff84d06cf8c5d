#include "platform/file_sink.h"
#include "ui/qt/converter_app.h"

int main(int argc, char** argv) {
    // Before Qt starts any thread: an interruption during a run removes the AVI's temporary
    // file, as the command line's does, and the path keeps what it held before.
    (void)trunvex::cleanUpOnInterruption();
    trunvex::ConverterApp app(argc, argv);
    return app.InitInstance();
}
