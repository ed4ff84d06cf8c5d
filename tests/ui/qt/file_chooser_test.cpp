#include "ui/qt/file_chooser.h"

#include <QTest>

#include "ui_tests.h"

using trunvex::toDefaultSuffix;
using trunvex::toQtNameFilters;

class FileChooserTest : public QObject {
    Q_OBJECT

private slots:
    void nameFilters_data() {
        QTest::addColumn<QString>("filter");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("source")
            << QStringLiteral(
                   "h264 Files (*.264)|*.264|Mpeg4 Files (*.mp4)|*.mp4|All files(*.*)|*.*||")
            << QStringList{"h264 Files (*.264)", "Mpeg4 Files (*.mp4)", "All files (*)"};
        QTest::newRow("avi") << QStringLiteral("AVI Files (*.AVI)|*.AVI||")
                             << QStringList{"AVI Files (*.AVI)"};
        // Qt reads the patterns from the parentheses, so text without them must gain them.
        QTest::newRow("bare text, two patterns")
            << QStringLiteral("Video|*.264;*.mp4||") << QStringList{"Video (*.264 *.mp4)"};
        QTest::newRow("stops at the empty pair")
            << QStringLiteral("A (*.a)|*.a||B (*.b)|*.b|") << QStringList{"A (*.a)"};
        QTest::newRow("empty") << QString() << QStringList{};
    }
    void nameFilters() {
        QFETCH(QString, filter);
        QFETCH(QStringList, expected);
        const QByteArray bytes = filter.toUtf8();
        QCOMPARE(toQtNameFilters(std::string_view(bytes.constData(), size_t(bytes.size()))),
                 expected);
    }

    void defaultSuffix() {
        QCOMPARE(toDefaultSuffix("*.AVI"), QStringLiteral("AVI"));
        QCOMPARE(toDefaultSuffix(".avi"), QStringLiteral("avi"));
        // "Any extension" is no extension to append.
        QCOMPARE(toDefaultSuffix(".*"), QString());
        QCOMPARE(toDefaultSuffix(""), QString());
    }

    void opensWhereTheLastFileWasChosen() {
        using trunvex::FileChooser;
        const auto choose = [](bool open, const QString& answer) {
            FileChooser::setNextAnswer(answer);
            FileChooser chooser(open, "", "", false, nullptr);
            (void)chooser.DoModal();
            return FileChooser::lastRequest().directory;
        };
        (void)choose(true, QStringLiteral("/media/card/录像/cam1.264"));
        // The save chooser for the AVI, then the next source, start beside the last choice.
        QCOMPARE(choose(false, QStringLiteral("/out/cam1.avi")),
                 QStringLiteral("/media/card/录像"));
        QCOMPARE(choose(true, QStringLiteral("/x.264")), QStringLiteral("/out"));
        FileChooser::clearAnswers();
    }
};

int runFileChooserTests(int argc, char** argv) {
    FileChooserTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "file_chooser_test.moc"
