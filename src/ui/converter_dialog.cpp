#include "ui/converter_dialog.h"

#include <QAction>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QUrl>
#include <algorithm>
#include <string_view>

#include "run/conversion_run.h"
#include "run/run_messages.h"
#include "ui/about_dialog.h"
#include "ui/app_resources.h"
#include "ui/file_chooser.h"
#include "ui/message_box.h"
#include "ui/system_menu.h"

namespace trunvex {
namespace {

constexpr std::string_view SOURCE_FILTER =
    "h264 Files (*.264)|*.264|Mpeg4 Files (*.mp4)|*.mp4|All files(*.*)|*.*||";
constexpr std::string_view AVI_FILTER = "AVI Files (*.AVI)|*.AVI||";
constexpr char ABOUT_ITEM_TEXT[] = "关于 Trunvex(&A)...";
constexpr char NO_MEMORY_TEXT[] = "Not enough memory for the conversion buffers!";

constexpr ControlTemplate CONVERTER_CONTROLS[] = {
    {DIALOG_OK, "IDOK", CONTROL_DEFAULT_BUTTON, "Exit", 232, 134, 42, 28, false},
    {IDC_SOURCE_PATH, "IDC_SOURCE_PATH", CONTROL_EDIT, "", 86, 28, 144, 19, true},
    {IDC_AVI_PATH, "IDC_AVI_PATH", CONTROL_EDIT, "", 85, 69, 144, 19, false},
    {ID_STATIC, "SOURCE_LABEL", CONTROL_LABEL_RIGHT, "Source file path:", 13, 33, 69, 13, false},
    {ID_STATIC, "AVI_LABEL", CONTROL_LABEL_RIGHT, "AVI file path:", 13, 72, 69, 13, false},
    {IDC_BROWSE_SOURCE, "IDC_BROWSE_SOURCE", CONTROL_BUTTON, ">>>>", 239, 27, 29, 19, false},
    {IDC_BROWSE_AVI, "IDC_BROWSE_AVI", CONTROL_BUTTON, ">>>>", 239, 69, 29, 19, false},
    {IDC_CONVERT, "IDC_CONVERT", CONTROL_BUTTON, CAPTION_CONVERT.data(), 95, 103, 102, 28, false},
};
constexpr DialogTemplate CONVERTER_TEMPLATE{"Trunvex(V02100309)", 290, 175, CONVERTER_CONTROLS};
// Under the convert button, inside the gap above the dialog's bottom edge.
constexpr QRect PROGRESS_RECT_UNITS(95, 136, 102, 8);

QString fromBytes(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// The run is synchronous on this thread and no events are processed until its message box,
// so every change it makes to the window is painted at once or not until the end.
class DialogRunUi final : public RunUi {
public:
    DialogRunUi(QWidget* owner, QPushButton* convertButton, QProgressBar* progressBar)
        : dialog(owner), button(convertButton), bar(progressBar) {}

    void setConvertCaption(std::string_view caption) override {
        button->setText(fromBytes(caption));
        button->repaint();
        if (caption == CAPTION_WAIT) {
            shownPercent = -1;
            bar->setRange(0, 100);
            bar->show();
            bar->setValue(0);
            bar->repaint();
        } else {
            bar->hide();
        }
    }

    void showMessage(std::string_view text) override {
        OkMessageBox::show(dialog, fromBytes(text));
    }

    void showProgress(std::uint64_t bytesRead, std::uint64_t total) override {
        const int percent =
            total == 0 ? 0
                       : static_cast<int>(std::min<std::uint64_t>(bytesRead, total) * 100 / total);
        // Repainting after every chunk would cost more than the chunk itself.
        if (percent == shownPercent) {
            return;
        }
        shownPercent = percent;
        bar->setValue(percent);
        bar->repaint();
    }

private:
    QWidget* dialog;
    QPushButton* button;
    QProgressBar* bar;
    int shownPercent = -1;
};

std::string toLocalBytes(const QString& text) {
    return text.toLocal8Bit().toStdString();
}

// The single local file a drag carries, or an empty string.
QString droppedFile(const QMimeData* data) {
    if (data == nullptr || !data->hasUrls() || data->urls().size() != 1) {
        return {};
    }
    const QUrl url = data->urls().constFirst();
    return url.isLocalFile() ? QDir::toNativeSeparators(url.toLocalFile()) : QString();
}

}  // namespace

ConverterDialog::ConverterDialog(QWidget* parent)
    : DialogBase(CONVERTER_TEMPLATE, parent), appIcon(loadAppIcon()) {
    progressBar = new QProgressBar(this);
    progressBar->setObjectName(QStringLiteral("RUN_PROGRESS"));
    progressBar->setTextVisible(false);
    progressBar->setGeometry(MapDialogRect(PROGRESS_RECT_UNITS));
    progressBar->hide();
    setAcceptDrops(true);

    connect(qobject_cast<QPushButton*>(GetDlgItem(IDC_BROWSE_SOURCE)), &QPushButton::clicked, this,
            &ConverterDialog::OnBrowseSource);
    connect(qobject_cast<QPushButton*>(GetDlgItem(IDC_BROWSE_AVI)), &QPushButton::clicked, this,
            &ConverterDialog::OnBrowseAvi);
    connect(qobject_cast<QPushButton*>(GetDlgItem(IDC_CONVERT)), &QPushButton::clicked, this,
            &ConverterDialog::OnConvert);
}

ConverterDialog::~ConverterDialog() = default;

void ConverterDialog::DoDataExchange(DataExchange& exchange) {
    exchange.control(IDC_CONVERT, convertButton);
    exchange.text(IDC_AVI_PATH, aviPath);
    exchange.text(IDC_SOURCE_PATH, sourcePath);
}

bool ConverterDialog::OnInitDialog() {
    DialogBase::OnInitDialog();

    const QString aboutText = QString::fromUtf8(ABOUT_ITEM_TEXT);
    if (about == nullptr && !aboutText.isEmpty()) {
        // Window managers own the title-bar menu here, so the item lives in the dialog's own
        // context menu and behind its shortcut; on Windows it joins the system menu as well.
        about = new QAction(aboutText, this);
        about->setShortcut(QKeySequence(Qt::ALT | Qt::Key_A));
        connect(about, &QAction::triggered, this, [this] { OnSysCommand(ID_SYSMENU_ABOUT, 0); });
        addAction(about);
        setContextMenuPolicy(Qt::ActionsContextMenu);
#ifdef Q_OS_WIN
        appendSystemMenuItem(this, ID_SYSMENU_ABOUT, aboutText);
#endif
    }
    setWindowIcon(appIcon);

    if (!ctx.allocateBuffers()) {
        // Nothing can be converted without them: say so and close.
        OkMessageBox::show(this, QString::fromUtf8(NO_MEMORY_TEXT));
        QMetaObject::invokeMethod(
            this, [this] { reject(); }, Qt::QueuedConnection);
        return true;
    }
    ctx.writer.resetOutput();
    ctx.resetDemuxer();
    return true;
}

void ConverterDialog::OnBrowseSource() {
    FileChooser chooser(true, ".*", SOURCE_FILTER, true, this);
    if (chooser.DoModal() == DIALOG_OK) {
        takeSource(chooser.GetPathName());
        return;
    }
    // A cancelled choice forgets the source but keeps the AVI path.
    sourcePath.clear();
    UpdateData(false);
}

void ConverterDialog::OnBrowseAvi() {
    FileChooser chooser(false, "*.AVI", AVI_FILTER, true, this);
    aviPath.clear();
    if (chooser.DoModal() == DIALOG_OK) {
        aviPath = toLocalBytes(chooser.GetPathName());
    }
    UpdateData(false);
}

void ConverterDialog::takeSource(const QString& path) {
    sourcePath = toLocalBytes(path);
    aviPath = deriveAviPath(sourcePath);
    UpdateData(false);
}

void ConverterDialog::OnConvert() {
    if (running || !ctx.buffersAllocated()) {
        return;
    }
    UpdateData(true);
    DialogRunUi ui(this, convertButton, progressBar);
    running = true;
    (void)convertRecording(ctx, sourcePath, aviPath, ui);
    running = false;
    progressBar->hide();
}

void ConverterDialog::OnSysCommand(unsigned id, long long parameter) {
    (void)parameter;
    if ((id & 0xFFF0U) == ID_SYSMENU_ABOUT) {
        AboutDialog box(this);
        (void)box.DoModal();
    }
}

void ConverterDialog::OnOK() {
    releaseBuffers();
    DialogBase::OnOK();
}

void ConverterDialog::OnDestroy() {
    releaseBuffers();
}

void ConverterDialog::releaseBuffers() {
    if (ctx.buffersAllocated()) {
        ++releases;
    }
    ctx.releaseBuffers();
}

void ConverterDialog::dragEnterEvent(QDragEnterEvent* event) {
    if (!running && !droppedFile(event->mimeData()).isEmpty()) {
        event->acceptProposedAction();
    }
}

void ConverterDialog::dropEvent(QDropEvent* event) {
    const QString path = droppedFile(event->mimeData());
    if (running || path.isEmpty()) {
        return;
    }
    event->acceptProposedAction();
    takeSource(path);
}

#ifdef Q_OS_WIN
bool ConverterDialog::nativeEvent(const QByteArray& eventType, void* message, qintptr* result) {
    const std::optional<unsigned> id = systemCommandId(message);
    if (id && (*id & 0xFFF0U) == ID_SYSMENU_ABOUT) {
        OnSysCommand(*id, 0);
        *result = 0;
        return true;
    }
    return DialogBase::nativeEvent(eventType, message, result);
}
#endif

}  // namespace trunvex
