#pragma once

#include <QIcon>
#include <string>

#include "demux/conversion_context.h"
#include "ui/dialog_base.h"

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

// The program's only working window: the two paths, the browse buttons, the convert button
// that runs a conversion on this thread, and "Exit". It owns the conversion context, whose
// buffers exist from OnInitDialog until the dialog ends.
class ConverterDialog : public DialogBase {
    Q_OBJECT

public:
    explicit ConverterDialog(QWidget* parent = nullptr);
    ~ConverterDialog() override;

    void OnBrowseSource();
    void OnBrowseAvi();
    // One conversion run with the paths in the boxes; ends in exactly one message box.
    void OnConvert();
    // (id & 0xFFF0) == ID_SYSMENU_ABOUT opens the About box.
    void OnSysCommand(unsigned id, long long parameter);

    // Takes `path` as the source, as if chosen with the source browse.
    void takeSource(const QString& path);

    [[nodiscard]] QAction* aboutAction() const { return about; }
    [[nodiscard]] const ConversionContext& context() const { return ctx; }
    // How many times the dialog freed allocated buffers (not counting releases of none).
    [[nodiscard]] int bufferReleases() const { return releases; }

protected:
    void DoDataExchange(DataExchange& exchange) override;
    bool OnInitDialog() override;
    void OnOK() override;
    void OnDestroy() override;

    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
#ifdef Q_OS_WIN
    bool nativeEvent(const QByteArray& eventType, void* message, qintptr* result) override;
#endif

private:
    void releaseBuffers();

    ConversionContext ctx;
    QPushButton* convertButton = nullptr;
    std::string aviPath;
    std::string sourcePath;
    QIcon appIcon;

    QProgressBar* progressBar = nullptr;
    QAction* about = nullptr;
    int releases = 0;
    bool running = false;
};

}  // namespace trunvex
