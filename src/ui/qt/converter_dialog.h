#pragma once

#include <QIcon>
#include <string>

#include "ui/model/converter_dialog_model.h"
#include "ui/qt/dialog_base.h"

class QAction;
class QProgressBar;

namespace trunvex {

inline constexpr int IDC_SOURCE_PATH = 1000;
inline constexpr int IDC_AVI_PATH = 1001;
inline constexpr int IDC_BROWSE_SOURCE = 1002;
inline constexpr int IDC_BROWSE_AVI = 1003;
inline constexpr int IDC_CONVERT = 1004;
// The About command; every command whose id masked with 0xFFF0 gives this one opens the box.
inline constexpr unsigned ID_SYSMENU_ABOUT = 0x0010;

// The program's only working window, drawn with Qt: the two paths, the browse buttons, the
// convert button with the progress bar under it, and "Exit". What the dialog does lives in
// its ConverterDialogModel; this class shows the model and hands it the user's actions.
class ConverterDialog : public DialogBase, private DialogView, private UiDispatcher {
    Q_OBJECT

public:
    explicit ConverterDialog(QWidget* parent = nullptr);
    ~ConverterDialog() override;

    void OnBrowseSource();
    void OnBrowseAvi();
    // Starts a run with the paths in the boxes; it ends in exactly one message box.
    void OnConvert();
    // (id & 0xFFF0) == ID_SYSMENU_ABOUT opens the About box.
    void OnSysCommand(unsigned id, long long parameter);

    // A recording named on the program's command line: taken once the window is shown, as
    // if chosen with the source browse. Nothing starts by itself.
    void openWith(const QString& path);

    [[nodiscard]] QAction* aboutAction() const { return about; }
    [[nodiscard]] const ConverterDialogModel& model() const { return dialogModel; }
    [[nodiscard]] const ConversionContext& context() const { return dialogModel.context(); }
    [[nodiscard]] int bufferReleases() const { return dialogModel.bufferReleases(); }

protected:
    void DoDataExchange(DataExchange& exchange) override;
    bool OnInitDialog() override;
    void OnOK() override;
    void reject() override;
    void OnDestroy() override;

    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
#ifdef Q_OS_WIN
    bool nativeEvent(const QByteArray& eventType, void* message, qintptr* result) override;
#endif

private:
    void showPaths(std::string_view source, std::string_view avi) override;
    PathTexts readPaths() override;
    void setConvertCaption(std::string_view caption) override;
    void showProgress(const RunProgress& progress) override;
    void setBusy(bool busy) override;
    void showMessage(std::string_view text) override;
    void showAbout() override;
    std::optional<std::string> chooseFile(const FileRequest& request) override;
    void post(std::function<void()> task) override;

    QPushButton* convertButton = nullptr;
    // The strings the data exchange fills from the boxes and writes into them.
    PathTexts exchanged;
    QIcon appIcon;
    QProgressBar* progressBar = nullptr;
    QAction* about = nullptr;
    QObject* inputBlocker = nullptr;
    QString openedWith;
    bool initialised = false;
    // Whether the model takes what the drag in progress carries, asked once when it enters:
    // the mouse moves often, and a path on another machine is slow to look at.
    bool dragTaken = false;
    ConverterDialogModel dialogModel;
};

}  // namespace trunvex
