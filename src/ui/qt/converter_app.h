#pragma once

#include <QApplication>

namespace trunvex {

// The program: the main dialog run modally as its only window. Arguments other than Qt's
// own platform options are ignored.
class ConverterApp : public QApplication {
    Q_OBJECT

public:
    ConverterApp(int& argc, char** argv);
    ~ConverterApp() override;

    // Runs the main dialog until it ends, however it ends; the process exit status.
    int InitInstance();
};

}  // namespace trunvex
