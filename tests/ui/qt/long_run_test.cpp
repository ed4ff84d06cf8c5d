// A conversion of a recording of more than 50 MB, watched from the dialog's own event loop:
// a timer of the test fires throughout the run, grabs what the window has painted and sends
// the user's input, which the dialog must ignore until its one message.

#include <QApplication>
#include <QDir>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <memory>
#include <vector>

#include "mkrecording/recording_builder.h"
#include "run/run_messages.h"
#include "ui/qt/converter_app.h"
#include "ui/qt/converter_dialog.h"
#include "ui/qt/file_chooser.h"
#include "ui/qt/message_box.h"

using namespace trunvex;

namespace {

constexpr qint64 RECORDING_BYTES = 100 * 1000 * 1000;

QString text(std::string_view bytes) {
    return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

QString outputPath(const QString& name) {
    return QDir(QStringLiteral(TRUNVEX_UI_TEST_OUTPUT_DIR)).filePath(name);
}

// MPEG-4 GOPs of 25 frames of 704 x 576, an audio block after each frame, written until the
// recording holds at least `bytes`.
bool writeLongRecording(const QString& path, qint64 bytes) {
    using namespace trunvex::recording;
    const std::vector<std::uint8_t> keyPayload(120000, 0x5A);
    const std::vector<std::uint8_t> deltaPayload(70000, 0x3C);
    const std::vector<std::uint8_t> audioBlock(640, 0x11);
    RecordingBuilder gop;
    for (int frame = 0; frame < 25; ++frame) {
        if (frame == 0) {
            gop.keyFrame(KIND_MPEG4_KEY, {0, 25, 704, 576}, keyPayload);
        } else {
            gop.deltaFrame(KIND_MPEG4_DELTA, deltaPayload);
        }
        gop.audio(AUDIO_ENC_PCM16, RATE_CODE_8000, audioBlock);
    }
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        return false;
    }
    const auto* data = reinterpret_cast<const char*>(gop.bytes().data());
    const auto size = static_cast<qint64>(gop.size());
    while (file.size() < bytes) {
        if (file.write(data, size) != size) {
            return false;
        }
    }
    const std::vector<std::uint8_t> tail = RecordingBuilder().tailFiller().take();
    return file.write(reinterpret_cast<const char*>(tail.data()),
                      static_cast<qint64>(tail.size())) == static_cast<qint64>(tail.size());
}

// What the window showed at one tick of the test's timer. The pictures are what the window
// has painted so far, not the widgets rendered anew for the test.
struct Tick {
    QString caption;
    int progress = 0;
    bool barVisible = false;
    QImage convertFace;
    QImage barFace;
};

// However slow the machine, the ticks kept stay few.
constexpr std::size_t MAX_TICKS_KEPT = 300;

}  // namespace

class LongRunTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<ConverterDialog> dialog;

    QLineEdit* edit(const char* name) const { return dialog->findChild<QLineEdit*>(name); }
    QPushButton* button(const char* name) const { return dialog->findChild<QPushButton*>(name); }

    // Everything a user can do to the dialog: each must be ignored while the run is busy.
    void sendUserInput() {
        QTest::mouseClick(button("IDC_BROWSE_SOURCE"), Qt::LeftButton);
        QTest::mouseClick(button("IDC_BROWSE_AVI"), Qt::LeftButton);
        QTest::mouseClick(button("IDC_CONVERT"), Qt::LeftButton);
        QTest::keyClicks(edit("IDC_AVI_PATH"), QStringLiteral("typed"));
        QTest::keyClick(edit("IDC_AVI_PATH"), Qt::Key_Return);
        QTest::keyClick(dialog.get(), Qt::Key_A, Qt::AltModifier);
        QTest::keyClick(dialog.get(), Qt::Key_Escape);
        QTest::mouseClick(button("IDOK"), Qt::LeftButton);
        dialog->close();
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(QStringLiteral("/data/dropped.264"))});
        QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(dialog.get(), &drop);
    }

    QImage paintedWindow() const {
        return dialog->screen()
            ->grabWindow(dialog->winId())
            .toImage()
            .convertToFormat(QImage::Format_RGB32);
    }

private slots:
    void windowStaysAliveDuringALongRun() {
        // A folder name of the user's language, as the screenshot shows it.
        QTemporaryDir dir(QDir::temp().filePath(QStringLiteral("录像-XXXXXX")));
        QVERIFY(dir.isValid());
        const QString source = dir.filePath(QStringLiteral("通道1.264"));
        const QString avi = dir.filePath(QStringLiteral("通道1.avi"));
        QVERIFY(writeLongRecording(source, RECORDING_BYTES));
        QVERIFY(QFileInfo(source).size() >= 50 * 1000 * 1000);

        dialog = std::make_unique<ConverterDialog>();
        dialog->show();
        dialog->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(dialog.get()));
        dialog->openWith(source);
        QCOMPARE(edit("IDC_AVI_PATH")->text(), avi);
        // Choosers that would be answered at once if a browse got through.
        FileChooser::clearAnswers();
        FileChooser::setNextAnswer(QStringLiteral("/not/taken.264"));
        FileChooser::setNextAnswer(QStringLiteral("/not/taken.avi"));

        std::vector<Tick> ticks;
        std::size_t tickCount = 0;
        QImage screenshot;
        bool inputSent = false;
        QStringList strayWindows;
        QTimer ticker;
        ticker.setInterval(2);
        connect(&ticker, &QTimer::timeout, this, [&] {
            if (QWidget* modal = QApplication::activeModalWidget();
                modal != nullptr && modal != dialog.get()) {
                strayWindows.append(modal->windowTitle());
                modal->close();
            }
            if (!dialog->model().busy() || !dialog->model().progress().shown) {
                return;
            }
            auto* bar = dialog->findChild<QProgressBar*>("RUN_PROGRESS");
            ++tickCount;
            if (ticks.size() < MAX_TICKS_KEPT) {
                const QImage painted = paintedWindow();
                QPushButton* convert = button("IDC_CONVERT");
                ticks.push_back({convert->text(), bar->value(), bar->isVisible(),
                                 painted.copy(convert->geometry()), painted.copy(bar->geometry())});
                // Half way, for the README.
                if (screenshot.isNull() && bar->value() >= 40) {
                    screenshot = painted;
                }
            }
            if (!inputSent) {
                inputSent = true;
                sendUserInput();
            }
        });

        QElapsedTimer runTimer;
        qint64 runMs = 0;
        QStringList messages;
        QString captionAtMessage;
        bool visibleAtMessage = false;
        OkMessageBox::setAnswerer([&](const QString& shown) {
            messages.append(shown);
            runMs = runTimer.elapsed();
            captionAtMessage = button("IDC_CONVERT")->text();
            visibleAtMessage = dialog->isVisible();
            // The user dismisses the box and leaves with "Exit".
            QTimer::singleShot(0, this, [&] { button("IDOK")->click(); });
        });
        QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
        QCoreApplication::processEvents();
        const QImage idleWindow = paintedWindow();
        bool timedOut = false;
        QTimer::singleShot(60000, this, [&] {
            timedOut = true;
            dialog->hide();
        });
        QTimer::singleShot(0, this, [&] {
            ticker.start();
            runTimer.start();
            button("IDC_CONVERT")->click();
        });
        const int result = dialog->DoModal();
        ticker.stop();
        OkMessageBox::setAnswerer({});
        FileChooser::clearAnswers();

        QVERIFY(!timedOut);
        QCOMPARE(result, DIALOG_OK);
        QCOMPARE(messages, QStringList{text(MSG_SUCCEEDED)});
        QCOMPARE(captionAtMessage, text(CAPTION_CONVERT));
        QVERIFY(visibleAtMessage);
        QVERIFY(strayWindows.isEmpty());
        QCOMPARE(dialog->bufferReleases(), 1);
        QVERIFY(QFileInfo(avi).size() > RECORDING_BYTES / 2);

        // The timer went on firing through the run, and each time the window showed the run.
        qInfo("%zu ticks during a run of %lld ms", tickCount, runMs);
        QVERIFY2(ticks.size() >= 5, "the event loop stood still during the run");
        QVERIFY(inputSent);
        for (const Tick& tick : ticks) {
            QCOMPARE(tick.caption, text(CAPTION_WAIT));
            QVERIFY(tick.barVisible);
        }
        QVERIFY(ticks.back().progress > ticks.front().progress);
        for (std::size_t i = 1; i < ticks.size(); ++i) {
            QVERIFY(ticks[i].progress >= ticks[i - 1].progress);
        }
        // What was painted, not only what the widgets hold: the convert button shows another
        // face than before the run, and the bar's fill is redrawn as the run goes on. (The
        // first tick may come before the first paint.)
        const QImage idleConvertFace = idleWindow.copy(button("IDC_CONVERT")->geometry());
        int barRepaints = 0;
        for (std::size_t i = 1; i < ticks.size(); ++i) {
            QVERIFY(ticks[i].convertFace != idleConvertFace);
            if (ticks[i].barFace != ticks[i - 1].barFace) {
                ++barRepaints;
            }
        }
        QVERIFY2(barRepaints >= 2, "the bar was not repainted as the run went on");
        QVERIFY(!screenshot.isNull());
        QVERIFY(screenshot.save(outputPath(QStringLiteral("converter_dialog_long_run.png"))));

        // The input sent during the run changed nothing.
        QCOMPARE(edit("IDC_SOURCE_PATH")->text(), source);
        QCOMPARE(edit("IDC_AVI_PATH")->text(), avi);
    }
};

int main(int argc, char** argv) {
    ConverterApp app(argc, argv);
    LongRunTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "long_run_test.moc"
