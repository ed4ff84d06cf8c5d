#include "ui/qt/converter_dialog.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QSysInfo>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <memory>

#include "run/run_messages.h"
#include "ui/qt/converter_app.h"
#include "ui/qt/file_chooser.h"
#include "ui/qt/message_box.h"
#include "ui_tests.h"

using namespace trunvex;

namespace {

QString text(std::string_view bytes) {
    return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

QString outputPath(const QString& name) {
    return QDir(QStringLiteral(TRUNVEX_UI_TEST_OUTPUT_DIR)).filePath(name);
}

}  // namespace

class ConverterDialogTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<ConverterDialog> dialog;
    QStringList messages;

    QLineEdit* edit(const char* name) const { return dialog->findChild<QLineEdit*>(name); }
    QPushButton* button(const char* name) const { return dialog->findChild<QPushButton*>(name); }
    QString sourceBox() const { return edit("IDC_SOURCE_PATH")->text(); }
    QString aviBox() const { return edit("IDC_AVI_PATH")->text(); }
    void click(const char* name) { QTest::mouseClick(button(name), Qt::LeftButton); }
    void chooseSource(const QString& path) {
        FileChooser::setNextAnswer(path);
        click("IDC_BROWSE_SOURCE");
    }
    void typeAviPath(const QString& path) {
        edit("IDC_AVI_PATH")->clear();
        QTest::keyClicks(edit("IDC_AVI_PATH"), path);
    }

private slots:
    void init() {
        messages.clear();
        FileChooser::clearAnswers();
        OkMessageBox::setAnswerer([this](const QString& shown) { messages.append(shown); });
        dialog = std::make_unique<ConverterDialog>();
        dialog->show();
    }
    void cleanup() {
        dialog.reset();
        OkMessageBox::setAnswerer({});
        FileChooser::clearAnswers();
    }

    void startsAsTheTemplateSays() {
        QCOMPARE(dialog->windowTitle(), QStringLiteral("Trunvex(V02100309)"));
        QVERIFY(!edit("IDC_SOURCE_PATH")->isEnabled());
        QVERIFY(edit("IDC_AVI_PATH")->isEnabled());
        QVERIFY(sourceBox().isEmpty() && aviBox().isEmpty());
        QCOMPARE(button("IDC_CONVERT")->text(), text(CAPTION_CONVERT));
        QVERIFY(button("IDOK")->isDefault());
        // The first tab stop takes the focus, so Enter anywhere reaches "Exit".
        QCOMPARE(dialog->focusWidget(), button("IDOK"));
        QVERIFY(!dialog->findChild<QProgressBar*>("RUN_PROGRESS")->isVisible());
        // Tab order is template order, the disabled box skipped.
        QCOMPARE(button("IDOK")->nextInFocusChain(), edit("IDC_SOURCE_PATH"));
        QVERIFY(dialog->context().buffersAllocated());
    }

    void sourceBrowseProposesAviPath_data() {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("avi");
        // The rule is the model's; the view shows what it proposes.
        QTest::newRow("extension") << "/home/u/rec/cam1.264"
                                   << "/home/u/rec/cam1.avi";
        QTest::newRow("dot in a folder") << "/srv/rec.old/cam1"
                                         << "/srv/rec.old/cam1.avi";
    }
    void sourceBrowseProposesAviPath() {
        QFETCH(QString, source);
        QFETCH(QString, avi);
        typeAviPath(QStringLiteral("typed.avi"));
        chooseSource(source);
        QCOMPARE(sourceBox(), source);
        QCOMPARE(aviBox(), avi);
        const FileChooserRequest& asked = FileChooser::lastRequest();
        QVERIFY(asked.open);
        QCOMPARE(asked.nameFilters.size(), 3);
    }

    void cancelledSourceBrowseKeepsStoredAviPath() {
        chooseSource(QStringLiteral("/rec/cam1.264"));
        typeAviPath(QStringLiteral("/elsewhere/typed.avi"));
        FileChooser::setNextAnswer(std::nullopt);
        click("IDC_BROWSE_SOURCE");
        QVERIFY(sourceBox().isEmpty());
        // The typed text was never read back, so the stored proposal returns.
        QCOMPARE(aviBox(), QStringLiteral("/rec/cam1.avi"));
    }

    void aviBrowseReplacesTypedText() {
        chooseSource(QStringLiteral("/rec/cam1.264"));
        typeAviPath(QStringLiteral("/elsewhere/typed.avi"));
        FileChooser::setNextAnswer(QStringLiteral("/out/chosen.avi"));
        click("IDC_BROWSE_AVI");
        QCOMPARE(aviBox(), QStringLiteral("/out/chosen.avi"));
        QCOMPARE(sourceBox(), QStringLiteral("/rec/cam1.264"));
        const FileChooserRequest& asked = FileChooser::lastRequest();
        QVERIFY(!asked.open);
        QVERIFY(asked.overwritePrompt);
        QCOMPARE(asked.defaultSuffix, QStringLiteral("AVI"));
        QCOMPARE(asked.nameFilters, QStringList{QStringLiteral("AVI Files (*.AVI)")});
    }

    void cancelledAviBrowseEmptiesAviPath() {
        chooseSource(QStringLiteral("/rec/cam1.264"));
        FileChooser::setNextAnswer(std::nullopt);
        click("IDC_BROWSE_AVI");
        QVERIFY(aviBox().isEmpty());
        QCOMPARE(sourceBox(), QStringLiteral("/rec/cam1.264"));
        click("IDC_CONVERT");
        QTRY_COMPARE(messages, QStringList{text(MSG_PATH_EMPTY)});
        QCOMPARE(button("IDC_CONVERT")->text(), text(CAPTION_CONVERT));
    }

    void droppedRecordingIsTakenAsSource_data() {
        QTest::addColumn<QList<QUrl>>("urls");
        QTest::addColumn<QString>("source");  // empty: the drag is refused
        QTest::addColumn<int>("actions");     // what the drag source offers
        const int anyAction = Qt::CopyAction | Qt::MoveAction | Qt::LinkAction;
        const QString path = QStringLiteral("/data/录像/cam2.264");
        const auto url = [](const QString& address) { return QUrl(address); };
        QTest::newRow("local file") << QList<QUrl>{QUrl::fromLocalFile(path)} << path << anyAction;
        QTest::newRow("named localhost")
            << QList<QUrl>{url(QStringLiteral("file://localhost/data/%E5%BD%95%E5%83%8F/cam2.264"))}
            << path << anyAction;
        QTest::newRow("named by this machine's name")
            << QList<QUrl>{url(
                   QStringLiteral("file://%1/data/x.264").arg(QSysInfo::machineHostName()))}
            << QStringLiteral("/data/x.264") << anyAction;
        QTest::newRow("another machine")
            << QList<QUrl>{url(QStringLiteral("file://elsewhere.invalid/data/x.264"))} << QString()
            << anyAction;
        QTest::newRow("two files")
            << QList<QUrl>{QUrl::fromLocalFile(path), QUrl::fromLocalFile(QStringLiteral("/a.264"))}
            << QString() << anyAction;
        QTest::newRow("web address")
            << QList<QUrl>{url(QStringLiteral("https://example.org/x.264"))} << QString()
            << anyAction;
        QTest::newRow("move only")
            << QList<QUrl>{QUrl::fromLocalFile(path)} << QString() << int(Qt::MoveAction);
        QTest::newRow("folder") << QList<QUrl>{QUrl::fromLocalFile(QDir::tempPath())} << QString()
                                << anyAction;
    }
    void droppedRecordingIsTakenAsSource() {
        QFETCH(QList<QUrl>, urls);
        QFETCH(QString, source);
        QFETCH(int, actions);
        const auto offered = Qt::DropActions(actions);
        QMimeData data;
        data.setUrls(urls);
        // Shift proposes a move: the answer is a copy all the same, so the source keeps the file.
        QDragEnterEvent enter(QPoint(5, 5), offered, &data, Qt::LeftButton, Qt::ShiftModifier);
        enter.ignore();
        QApplication::sendEvent(dialog.get(), &enter);
        QCOMPARE(enter.isAccepted(), !source.isEmpty());
        QDragMoveEvent move(QPoint(6, 6), offered, &data, Qt::LeftButton, Qt::ShiftModifier);
        move.ignore();
        QApplication::sendEvent(dialog.get(), &move);
        QCOMPARE(move.isAccepted(), !source.isEmpty());
        QDropEvent drop(QPointF(6, 6), offered, &data, Qt::LeftButton, Qt::ShiftModifier);
        drop.ignore();
        QApplication::sendEvent(dialog.get(), &drop);
        QCOMPARE(drop.isAccepted(), !source.isEmpty());
        if (!source.isEmpty()) {
            QCOMPARE(enter.dropAction(), Qt::CopyAction);
            QCOMPARE(move.dropAction(), Qt::CopyAction);
            QCOMPARE(drop.dropAction(), Qt::CopyAction);
        }
        QCOMPARE(sourceBox(), source);
        QCOMPARE(aviBox(),
                 source.isEmpty() ? QString() : source.chopped(4) + QStringLiteral(".avi"));
    }

    void recordingOnTheCommandLineIsProposed() {
        // As "Open with" starts the program: the path is given before the window appears.
        dialog = std::make_unique<ConverterDialog>();
        dialog->openWith(QStringLiteral("/data/录像/cam2.264"));
        QVERIFY(sourceBox().isEmpty());
        dialog->show();
        QCOMPARE(sourceBox(), QStringLiteral("/data/录像/cam2.264"));
        QCOMPARE(aviBox(), QStringLiteral("/data/录像/cam2.avi"));
        QCOMPARE(button("IDC_CONVERT")->text(), text(CAPTION_CONVERT));
        QVERIFY(messages.isEmpty());
    }

    void qtTextsFollowTheDesktopLanguage() {
        auto* app = qobject_cast<ConverterApp*>(QCoreApplication::instance());
        QVERIFY(app != nullptr);
        QVERIFY(app->loadQtTranslations(QLocale(QLocale::German, QLocale::Germany)));
        const QString cancel = QCoreApplication::translate("QPlatformTheme", "Cancel");
        QVERIFY(app->loadQtTranslations(QLocale(QLocale::Chinese, QLocale::China)));
        const QString cancelChinese = QCoreApplication::translate("QPlatformTheme", "Cancel");
        (void)app->loadQtTranslations(QLocale::system());
        QCOMPARE(cancel, QStringLiteral("Abbrechen"));
        QCOMPARE(cancelChinese, QStringLiteral("取消"));
    }

    void closingFreesBuffersOnce_data() {
        QTest::addColumn<QString>("how");
        QTest::addColumn<int>("result");
        QTest::newRow("Enter in the AVI box") << "enter" << DIALOG_OK;
        QTest::newRow("Exit") << "exit" << DIALOG_OK;
        QTest::newRow("Escape") << "escape" << DIALOG_CANCEL;
        QTest::newRow("close box") << "close" << DIALOG_CANCEL;
    }
    void closingFreesBuffersOnce() {
        QFETCH(QString, how);
        QFETCH(int, result);
        QVERIFY(dialog->context().buffersAllocated());
        if (how == QLatin1String("enter")) {
            edit("IDC_AVI_PATH")->setFocus();
            QTest::keyClick(edit("IDC_AVI_PATH"), Qt::Key_Return);
        } else if (how == QLatin1String("exit")) {
            click("IDOK");
        } else if (how == QLatin1String("escape")) {
            QTest::keyClick(dialog.get(), Qt::Key_Escape);
        } else {
            dialog->close();
        }
        QVERIFY(!dialog->isVisible());
        QCOMPARE(dialog->result(), result);
        QVERIFY(!dialog->context().buffersAllocated());
        QCOMPARE(dialog->bufferReleases(), 1);
    }

    void aboutItemOpensAboutBox_data() {
        QTest::addColumn<bool>("byShortcut");
        QTest::newRow("context menu item") << false;
        QTest::newRow("Alt+A") << true;
    }
    void aboutItemOpensAboutBox() {
        QFETCH(bool, byShortcut);
        QAction* about = dialog->aboutAction();
        QVERIFY(about != nullptr);
        QCOMPARE(about->text(), QStringLiteral("关于 Trunvex(&A)..."));
        QVERIFY(dialog->actions().contains(about));
        QCOMPARE(dialog->contextMenuPolicy(), Qt::ActionsContextMenu);

        if (byShortcut) {
            // Shortcuts reach only the active window.
            dialog->activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(dialog.get()));
        }
        QString title;
        QStringList labels;
        QString okText;
        bool okIsDefault = false;
        // Polls rather than fires once, so a box that opens late is still closed.
        QTimer poll;
        poll.setInterval(10);
        connect(&poll, &QTimer::timeout, this, [&] {
            QWidget* box = QApplication::activeModalWidget();
            if (box == nullptr || box == dialog.get()) {
                return;
            }
            poll.stop();
            title = box->windowTitle();
            for (const QLabel* label : box->findChildren<QLabel*>()) {
                labels.append(label->pixmap().isNull() ? label->text() : QStringLiteral("<icon>"));
            }
            box->grab().save(outputPath(QStringLiteral("about_dialog.png")));
            if (auto* ok = box->findChild<QPushButton*>("IDOK")) {
                okText = ok->text();
                okIsDefault = ok->isDefault();
                QTest::mouseClick(ok, Qt::LeftButton);
            } else {
                box->close();
            }
        });
        poll.start();
        if (byShortcut) {
            QTest::keyClick(dialog.get(), Qt::Key_A, Qt::AltModifier);
        } else {
            about->trigger();
        }
        QCOMPARE(title, QStringLiteral("关于 Trunvex"));
        QCOMPARE(labels, (QStringList{QStringLiteral("<icon>"), QStringLiteral("Trunvex 1.0 版"),
                                      QStringLiteral("Copyright (C) 2026")}));
        QCOMPARE(okText, QStringLiteral("确定"));
        QVERIFY(okIsDefault);
        // The main dialog is as it was.
        QVERIFY(dialog->isVisible());
        QVERIFY(dialog->context().buffersAllocated());
    }

    void convertsSampleRecording() {
        const QString sample = QStringLiteral(TRUNVEX_SAMPLE_RECORDING);
        if (!QFileInfo::exists(sample)) {
            QSKIP("samples/sample.264 is not there");
        }
        const QString avi = outputPath(QStringLiteral("sample_from_dialog.avi"));
        QFile::remove(avi);
        chooseSource(sample);
        FileChooser::setNextAnswer(avi);
        click("IDC_BROWSE_AVI");

        QPushButton* convert = button("IDC_CONVERT");
        auto* bar = dialog->findChild<QProgressBar*>("RUN_PROGRESS");
        QStringList captionsDuringRun;
        connect(bar, &QProgressBar::valueChanged, this, [&](int value) {
            captionsDuringRun.append(convert->text());
            QVERIFY(bar->isVisible());
            if (value > 0 && captionsDuringRun.size() == 2) {
                dialog->grab().save(outputPath(QStringLiteral("converter_dialog_running.png")));
            }
        });
        QString captionAtMessage;
        OkMessageBox::setAnswerer([&](const QString& shown) {
            messages.append(shown);
            captionAtMessage = convert->text();
        });
        click("IDC_CONVERT");

        QTRY_COMPARE_WITH_TIMEOUT(messages, QStringList{text(MSG_SUCCEEDED)}, 20000);
        QCOMPARE(captionAtMessage, text(CAPTION_CONVERT));
        QVERIFY(!captionsDuringRun.isEmpty());
        QCOMPARE(captionsDuringRun.count(text(CAPTION_WAIT)), captionsDuringRun.size());
        QCOMPARE(bar->value(), 100);
        QVERIFY(!bar->isVisible());
        QVERIFY(QFileInfo(avi).size() > 0);
    }

    void messageBoxShowsItsTitleWhole() {
        OkMessageBox::setAnswerer({});
        QString title;
        QString shownText;
        int width = 0;
        int titleRoom = 0;
        QTimer poll;
        poll.setInterval(10);
        connect(&poll, &QTimer::timeout, this, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr) {
                return;
            }
            poll.stop();
            title = box->windowTitle();
            shownText = box->text();
            width = box->width();
            titleRoom = OkMessageBox::titleRoomWidth(box->font(), title);
            box->grab().save(outputPath(QStringLiteral("message_box.png")));
            QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
        });
        poll.start();
        // The shortest message: a box as wide as its text would cut the title.
        OkMessageBox::show(dialog.get(), text(MSG_SUCCEEDED));
        QCOMPARE(shownText, text(MSG_SUCCEEDED));
        QCOMPARE(title, QStringLiteral("Trunvex"));
        qInfo("message box %d px wide, title room %d px", width, titleRoom);
        QVERIFY2(width >= titleRoom,
                 qPrintable(QStringLiteral("%1 < %2").arg(width).arg(titleRoom)));
    }

    void rendersScreenshot() {
        chooseSource(QStringLiteral("/home/用户/录像/通道1.264"));
        QVERIFY(dialog->grab().save(outputPath(QStringLiteral("converter_dialog.png"))));
    }
};

int runConverterDialogTests(int argc, char** argv) {
    ConverterDialogTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "converter_dialog_test.moc"
