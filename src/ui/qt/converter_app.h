#pragma once

#include <QApplication>
#include <QLocale>
#include <QTranslator>

namespace trunvex {

// The program: the main dialog run modally as its only window. Beside Qt's own platform
// options, the command line may name one recording, which the dialog opens with.
class ConverterApp : public QApplication {
    Q_OBJECT

public:
    ConverterApp(int& argc, char** argv);
    ~ConverterApp() override;

    // Runs the main dialog until it ends, however it ends; the process exit status.
    int InitInstance();

    // Qt's own texts (file choosers, message-box buttons) in the language of `locale`, as far
    // as the system has them; false when it has none for it, and Qt's English stays.
    bool loadQtTranslations(const QLocale& locale);

private:
    QTranslator qtTranslations;
};

}  // namespace trunvex
