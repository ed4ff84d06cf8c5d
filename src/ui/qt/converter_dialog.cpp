#include "ui/qt/converter_dialog.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QSysInfo>
#include <QUrl>
#include <string_view>
#include <vector>

#include "run/run_messages.h"
#include "ui/qt/about_dialog.h"
#include "ui/qt/app_resources.h"
#include "ui/qt/file_chooser.h"
#include "ui/qt/message_box.h"
#include "ui/qt/system_menu.h"

namespace trunvex {
namespace {

constexpr char ABOUT_ITEM_TEXT[] = "关于 Trunvex(&A)...";

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

std::string toLocalBytes(const QString& text) {
    return text.toLocal8Bit().toStdString();
}

// The local path of a dragged item, or an empty string for one that is no local file. File
// managers that follow the drag-and-drop convention name the machine in the address
// ("file://localhost/...", or its host name); Qt would keep that name as the first folder of
// the path. A file on another machine is no local file.
QString localPathOf(QUrl url) {
    if (!url.isLocalFile()) {
        return {};
    }
    const QString host = url.host();
    if (!host.isEmpty()) {
        if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) != 0 &&
            host.compare(QSysInfo::machineHostName(), Qt::CaseInsensitive) != 0) {
            return {};
        }
        url.setHost(QString());
    }
    return QDir::toNativeSeparators(url.toLocalFile());
}

// What a drag carries, one path per item, in the byte encoding the model takes. Text or
// anything else without addresses carries one item that is no file.
std::vector<std::string> draggedPaths(const QMimeData* data) {
    if (data == nullptr || !data->hasUrls()) {
        return {std::string()};
    }
    std::vector<std::string> paths;
    for (const QUrl& url : data->urls()) {
        paths.push_back(toLocalBytes(localPathOf(url)));
    }
    return paths;
}

// A drop is only ever a copy: the recording stays where it is, whatever the source would
// rather do with it (a file manager removes the original after a move).
bool acceptAsCopy(QDropEvent* event) {
    if (!event->possibleActions().testFlag(Qt::CopyAction)) {
        return false;
    }
    event->setDropAction(Qt::CopyAction);
    event->accept();
    return true;
}

bool isUserInput(QEvent::Type type) {
    switch (type) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::Wheel:
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::Shortcut:
        case QEvent::ContextMenu:
        case QEvent::DragEnter:
        case QEvent::DragMove:
        case QEvent::Drop:
        case QEvent::InputMethod:
        case QEvent::TouchBegin:
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd:
        case QEvent::TabletPress:
        case QEvent::TabletRelease:
            return true;
        default:
            return false;
    }
}

// Installed on the application while a run is busy: the user's input to the dialog (clicks,
// keys, shortcuts, drops, typing into the AVI box) is dropped, as it was when the run held
// the window's thread. Painting, timers and the run's own reports go on; other windows, such
// as the message box that ends the run, are not touched.
class RunInputBlocker final : public QObject {
public:
    explicit RunInputBlocker(QWidget* dialogWindow) : QObject(dialogWindow), dialog(dialogWindow) {}

    bool eventFilter(QObject* watched, QEvent* event) override {
        return isUserInput(event->type()) && belongsToDialog(watched);
    }

private:
    bool belongsToDialog(const QObject* object) const {
        if (const auto* widget = qobject_cast<const QWidget*>(object)) {
            return widget->window() == dialog;
        }
        // Shortcuts go to the actions that own them, which the dialog owns.
        return object != nullptr && object->parent() == dialog;
    }

    QWidget* dialog;
};

}  // namespace

ConverterDialog::ConverterDialog(QWidget* parent)
    : DialogBase(CONVERTER_TEMPLATE, parent), appIcon(loadAppIcon()), dialogModel(*this, *this) {
    progressBar = new QProgressBar(this);
    progressBar->setObjectName(QStringLiteral("RUN_PROGRESS"));
    progressBar->setTextVisible(false);
    progressBar->setRange(0, 100);
    progressBar->setGeometry(MapDialogRect(PROGRESS_RECT_UNITS));
    progressBar->hide();
    inputBlocker = new RunInputBlocker(this);
    setAcceptDrops(true);

    connect(qobject_cast<QPushButton*>(GetDlgItem(IDC_BROWSE_SOURCE)), &QPushButton::clicked, this,
            &ConverterDialog::OnBrowseSource);
    connect(qobject_cast<QPushButton*>(GetDlgItem(IDC_BROWSE_AVI)), &QPushButton::clicked, this,
            &ConverterDialog::OnBrowseAvi);
    connect(qobject_cast<QPushButton*>(GetDlgItem(IDC_CONVERT)), &QPushButton::clicked, this,
            &ConverterDialog::OnConvert);
}

ConverterDialog::~ConverterDialog() {
    // The run reports through this object; it must have ended before the object goes.
    dialogModel.waitForRun();
}

void ConverterDialog::DoDataExchange(DataExchange& exchange) {
    exchange.control(IDC_CONVERT, convertButton);
    exchange.text(IDC_AVI_PATH, exchanged.avi);
    exchange.text(IDC_SOURCE_PATH, exchanged.source);
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

    if (!dialogModel.initialise()) {
        QMetaObject::invokeMethod(
            this, [this] { reject(); }, Qt::QueuedConnection);
        return true;
    }
    initialised = true;
    openWith(openedWith);
    return true;
}

void ConverterDialog::OnBrowseSource() {
    dialogModel.browseSource();
}

void ConverterDialog::OnBrowseAvi() {
    dialogModel.browseAvi();
}

void ConverterDialog::OnConvert() {
    dialogModel.convert();
}

void ConverterDialog::openWith(const QString& path) {
    openedWith = QDir::toNativeSeparators(path);
    if (initialised && !openedWith.isEmpty()) {
        dialogModel.openWith(toLocalBytes(openedWith));
    }
}

void ConverterDialog::OnSysCommand(unsigned id, long long parameter) {
    (void)parameter;
    if ((id & 0xFFF0U) == ID_SYSMENU_ABOUT) {
        dialogModel.about();
    }
}

void ConverterDialog::showAbout() {
    AboutDialog box(this);
    (void)box.DoModal();
}

void ConverterDialog::OnOK() {
    if (dialogModel.exit()) {
        done(DIALOG_OK);
    }
}

void ConverterDialog::reject() {
    if (dialogModel.mayCancel()) {
        DialogBase::reject();
    }
}

void ConverterDialog::OnDestroy() {
    dialogModel.windowDestroyed();
}

void ConverterDialog::showPaths(std::string_view source, std::string_view avi) {
    exchanged.source = source;
    exchanged.avi = avi;
    UpdateData(false);
}

PathTexts ConverterDialog::readPaths() {
    UpdateData(true);
    return exchanged;
}

void ConverterDialog::setConvertCaption(std::string_view caption) {
    convertButton->setText(fromBytes(caption));
}

void ConverterDialog::showProgress(const RunProgress& progress) {
    if (!progress.shown) {
        progressBar->hide();
        return;
    }
    progressBar->show();
    progressBar->setValue(progress.percent);
}

void ConverterDialog::setBusy(bool busy) {
    // The blocker is the dialog's child: the application forgets it when it goes.
    if (busy) {
        QCoreApplication::instance()->installEventFilter(inputBlocker);
    } else {
        QCoreApplication::instance()->removeEventFilter(inputBlocker);
    }
}

void ConverterDialog::showMessage(std::string_view text) {
    OkMessageBox::show(this, fromBytes(text));
}

std::optional<std::string> ConverterDialog::chooseFile(const FileRequest& request) {
    FileChooser chooser(request.open, request.defaultExtension, request.filter,
                        request.overwritePrompt, this);
    if (chooser.DoModal() != DIALOG_OK) {
        return std::nullopt;
    }
    return toLocalBytes(chooser.GetPathName());
}

void ConverterDialog::post(std::function<void()> task) {
    // Queued to this object: carried out by the event loop that runs the dialog, and dropped
    // if the dialog is gone by then.
    QMetaObject::invokeMethod(this, std::move(task), Qt::QueuedConnection);
}

void ConverterDialog::dragEnterEvent(QDragEnterEvent* event) {
    dragTaken = dialogModel.takesDrop(draggedPaths(event->mimeData()));
    if (dragTaken) {
        (void)acceptAsCopy(event);
    }
}

void ConverterDialog::dragMoveEvent(QDragMoveEvent* event) {
    // The proposed action changes with the modifier keys; the answer stays a copy.
    if (!dragTaken || !acceptAsCopy(event)) {
        event->ignore();
    }
}

void ConverterDialog::dragLeaveEvent(QDragLeaveEvent* event) {
    dragTaken = false;
    DialogBase::dragLeaveEvent(event);
}

void ConverterDialog::dropEvent(QDropEvent* event) {
    const std::vector<std::string> paths = draggedPaths(event->mimeData());
    dragTaken = false;
    if (dialogModel.takesDrop(paths) && acceptAsCopy(event)) {
        dialogModel.dropFiles(paths);
    }
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
