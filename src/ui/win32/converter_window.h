#pragma once

#include <windows.h>

#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "ui/model/converter_dialog_model.h"
#include "ui/win32/drop_target.h"
#include "ui/win32/file_dialogs.h"

namespace trunvex {

// The main dialog on Windows, built from dialog template 102: it shows the dialog model and
// passes the user's actions on to it. A run's steps reach this thread as posted messages.
class ConverterWindow final : public DialogView, public UiDispatcher {
public:
    // `chooser` shows the file choosers; tests give a scripted one.
    explicit ConverterWindow(HINSTANCE instance, FileDialogRunner chooser = runCommonFileDialog);
    ~ConverterWindow() override;
    ConverterWindow(const ConverterWindow&) = delete;
    ConverterWindow& operator=(const ConverterWindow&) = delete;

    // Creates the window, visible and without an owner. False when it could not be created.
    [[nodiscard]] bool create();
    // A recording named on the program's command line, given before create(): taken when the
    // window appears, as if chosen with the source browse. Nothing starts by itself.
    void openWith(std::wstring path) { openedWith = std::move(path); }
    // The program's message loop: returns when the window has gone.
    void runUntilClosed();
    // One message of this thread's queue, as the loop handles it: while a run is busy the
    // user's keys and clicks in the dialog are dropped; Tab, Enter and Escape work as in
    // every dialog.
    void handleQueuedMessage(MSG& message);

    [[nodiscard]] HWND handle() const { return window; }
    [[nodiscard]] bool closed() const { return gone; }
    [[nodiscard]] const ConverterDialogModel& model() const { return dialogModel; }
    // What the system's drag and drop talks to while the user drags over the window.
    [[nodiscard]] IDropTarget& dropTarget() { return dropper; }

    // What the model shows.
    void showPaths(std::string_view source, std::string_view avi) override;
    [[nodiscard]] PathTexts readPaths() override;
    void setConvertCaption(std::string_view caption) override;
    void showProgress(const RunProgress& progress) override;
    void setBusy(bool isBusy) override;
    void showMessage(std::string_view text) override;
    void showAbout() override;
    [[nodiscard]] std::optional<std::string> chooseFile(const FileRequest& request) override;

    // Runs `task` on this thread; callable from the run's thread.
    void post(std::function<void()> task) override;

private:
    static INT_PTR CALLBACK dialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR handleMessage(UINT message, WPARAM wParam, LPARAM lParam);

    void onInitDialog();
    void onCommand(WORD id, WORD notification);
    [[nodiscard]] bool onSysCommand(WPARAM command);
    [[nodiscard]] bool onPaint();
    void onDropFiles(HDROP drop);
    void onDestroy();

    void addAboutItem();
    void setIcons();
    void centre();
    void createProgressBar();
    void runPostedTasks();
    [[nodiscard]] std::wstring controlText(int id) const;
    [[nodiscard]] bool isInputDuringRun(const MSG& message) const;

    HINSTANCE instance;
    FileDialogRunner chooseWithDialog;
    HWND window = nullptr;
    HWND progressBar = nullptr;
    HICON bigIcon = nullptr;
    HICON smallIcon = nullptr;
    bool gone = false;
    bool dropRegistered = false;
    bool oleStarted = false;
    std::wstring openedWith;

    std::mutex tasksLock;
    std::deque<std::function<void()>> tasks;

    // Last, so that they go first: the model waits for a run that still reports to this view.
    ConverterDialogModel dialogModel;
    DialogDropTarget dropper{dialogModel};
};

}  // namespace trunvex
