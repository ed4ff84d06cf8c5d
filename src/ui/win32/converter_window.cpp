#include "ui/win32/converter_window.h"

#include <commctrl.h>
#include <shellapi.h>

#include <utility>

#include "resource.h"
#include "run/run_messages.h"
#include "ui/win32/about_box.h"
#include "ui/win32/wide_text.h"

namespace trunvex {
namespace {

// A run's steps are waiting in the queue.
constexpr UINT WM_RUN_TASKS = WM_APP + 1;
// Under the convert button, in the gap above the dialog's bottom edge (dialog units).
constexpr RECT PROGRESS_RECT_UNITS{95, 136, 95 + 102, 136 + 8};

bool isUserInput(UINT message) {
    return (message >= WM_KEYFIRST && message <= WM_KEYLAST) ||
           (message >= WM_MOUSEFIRST && message <= WM_MOUSELAST && message != WM_MOUSEMOVE);
}

}  // namespace

ConverterWindow::ConverterWindow(HINSTANCE moduleInstance, FileDialogRunner chooser)
    : instance(moduleInstance), chooseWithDialog(std::move(chooser)), dialogModel(*this, *this) {}

ConverterWindow::~ConverterWindow() {
    if (window != nullptr) {
        DestroyWindow(window);
    }
    if (oleStarted) {
        OleUninitialize();
    }
}

bool ConverterWindow::create() {
    // Drag and drop with a say while dragging goes through OLE, on the window's thread.
    oleStarted = SUCCEEDED(OleInitialize(nullptr));
    const HWND created = CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_TRUNVEX_DIALOG), nullptr,
                                            dialogProc, reinterpret_cast<LPARAM>(this));
    return created != nullptr;
}

void ConverterWindow::runUntilClosed() {
    MSG message;
    while (!gone && GetMessageW(&message, nullptr, 0, 0) > 0) {
        handleQueuedMessage(message);
    }
}

void ConverterWindow::handleQueuedMessage(MSG& message) {
    if (isInputDuringRun(message)) {
        return;
    }
    if (window == nullptr || !IsDialogMessageW(window, &message)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

bool ConverterWindow::isInputDuringRun(const MSG& message) const {
    return dialogModel.busy() && window != nullptr && isUserInput(message.message) &&
           (message.hwnd == window || IsChild(window, message.hwnd));
}

INT_PTR CALLBACK ConverterWindow::dialogProc(HWND dialog, UINT message, WPARAM wParam,
                                             LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        auto* self = reinterpret_cast<ConverterWindow*>(lParam);
        self->window = dialog;
    }
    auto* self = reinterpret_cast<ConverterWindow*>(GetWindowLongPtrW(dialog, DWLP_USER));
    return self == nullptr ? FALSE : self->handleMessage(message, wParam, lParam);
}

INT_PTR ConverterWindow::handleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG:
            onInitDialog();
            return TRUE;  // the focus goes to the first tab stop, "Exit"
        case WM_COMMAND:
            onCommand(LOWORD(wParam), HIWORD(wParam));
            return TRUE;
        case WM_SYSCOMMAND:
            return onSysCommand(wParam) ? TRUE : FALSE;
        case WM_PAINT:
            return onPaint() ? TRUE : FALSE;
        case WM_QUERYDRAGICON:
            return reinterpret_cast<INT_PTR>(bigIcon);
        case WM_DROPFILES:
            onDropFiles(reinterpret_cast<HDROP>(wParam));
            return TRUE;
        case WM_RUN_TASKS:
            runPostedTasks();
            return TRUE;
        case WM_DESTROY:
            onDestroy();
            return TRUE;
        case WM_NCDESTROY: {
            SetWindowLongPtrW(window, DWLP_USER, 0);
            const std::lock_guard<std::mutex> lock(tasksLock);
            window = nullptr;
            progressBar = nullptr;
            gone = true;
            return FALSE;
        }
        default:
            (void)lParam;
            return FALSE;
    }
}

void ConverterWindow::onInitDialog() {
    addAboutItem();
    setIcons();
    createProgressBar();
    centre();
    // The drag's cursor shows whether a drop would be taken; where OLE is not to be had, the
    // shell's plain drop still brings the files.
    dropRegistered = oleStarted && SUCCEEDED(RegisterDragDrop(window, &dropper));
    DragAcceptFiles(window, TRUE);
    if (!dialogModel.initialise()) {
        // The model has said why; the dialog cannot work without its buffers.
        PostMessageW(window, WM_COMMAND, IDCANCEL, 0);
        return;
    }
    if (!openedWith.empty()) {
        dialogModel.openWith(toUtf8(openedWith));
    }
}

void ConverterWindow::addAboutItem() {
    const HMENU menu = GetSystemMenu(window, FALSE);
    if (menu == nullptr) {
        return;
    }
    const wchar_t* text = nullptr;
    // With a zero length LoadStringW hands out the resource's own read-only text.
    const int length = LoadStringW(instance, IDS_ABOUTBOX, reinterpret_cast<LPWSTR>(&text), 0);
    if (length <= 0) {
        return;
    }
    const std::wstring item(text, static_cast<std::size_t>(length));
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING, ID_SYSMENU_ABOUT, item.c_str());
}

void ConverterWindow::setIcons() {
    const auto load = [this](int widthMetric, int heightMetric) {
        return static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                                             GetSystemMetrics(widthMetric),
                                             GetSystemMetrics(heightMetric), LR_SHARED));
    };
    bigIcon = load(SM_CXICON, SM_CYICON);
    smallIcon = load(SM_CXSMICON, SM_CYSMICON);
    SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(bigIcon));
    SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon));
}

void ConverterWindow::createProgressBar() {
    RECT rect = PROGRESS_RECT_UNITS;
    MapDialogRect(window, &rect);
    progressBar = CreateWindowExW(0, PROGRESS_CLASSW, nullptr, WS_CHILD, rect.left, rect.top,
                                  rect.right - rect.left, rect.bottom - rect.top, window,
                                  reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_RUN_PROGRESS)),
                                  instance, nullptr);
    SendMessageW(progressBar, PBM_SETRANGE32, 0, 100);
}

// The template places the dialog at the screen's corner; it opens in the middle of the work
// area of the monitor it is on.
void ConverterWindow::centre() {
    MONITORINFO monitor{};
    monitor.cbSize = sizeof(monitor);
    RECT frame{};
    if (!GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTOPRIMARY), &monitor) ||
        !GetWindowRect(window, &frame)) {
        return;
    }
    const RECT& area = monitor.rcWork;
    const LONG x = area.left + (area.right - area.left - (frame.right - frame.left)) / 2;
    const LONG y = area.top + (area.bottom - area.top - (frame.bottom - frame.top)) / 2;
    SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void ConverterWindow::onCommand(WORD id, WORD notification) {
    if (notification != BN_CLICKED) {
        return;  // the edit boxes' notifications
    }
    switch (id) {
        case IDOK:  // "Exit", or Enter
            if (dialogModel.exit()) {
                DestroyWindow(window);
            }
            break;
        case IDCANCEL:  // Escape, the close box, Close in the system menu
            if (dialogModel.mayCancel()) {
                DestroyWindow(window);
            }
            break;
        case IDC_BROWSE_SOURCE:
            dialogModel.browseSource();
            break;
        case IDC_BROWSE_AVI:
            dialogModel.browseAvi();
            break;
        case IDC_CONVERT:
            dialogModel.convert();
            break;
        default:
            break;
    }
}

bool ConverterWindow::onSysCommand(WPARAM command) {
    if ((command & 0xFFF0) != ID_SYSMENU_ABOUT) {
        return false;  // move, close and the rest: the default handling
    }
    dialogModel.about();
    return true;
}

bool ConverterWindow::onPaint() {
    if (!IsIconic(window)) {
        return false;
    }
    PAINTSTRUCT paint;
    const HDC dc = BeginPaint(window, &paint);
    SendMessageW(window, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    const int iconWidth = GetSystemMetrics(SM_CXICON);
    const int iconHeight = GetSystemMetrics(SM_CYICON);
    RECT client;
    GetClientRect(window, &client);
    DrawIcon(dc, (client.right - client.left - iconWidth + 1) / 2,
             (client.bottom - client.top - iconHeight + 1) / 2, bigIcon);
    EndPaint(window, &paint);
    return true;
}

void ConverterWindow::onDropFiles(HDROP drop) {
    dialogModel.dropFiles(droppedFiles(drop));
    DragFinish(drop);
}

void ConverterWindow::onDestroy() {
    if (dropRegistered) {
        RevokeDragDrop(window);
        dropRegistered = false;
    }
    dialogModel.windowDestroyed();
    // The run has ended; what it posted is of no use without the window.
    const std::lock_guard<std::mutex> lock(tasksLock);
    tasks.clear();
}

void ConverterWindow::post(std::function<void()> task) {
    HWND target = nullptr;
    {
        const std::lock_guard<std::mutex> lock(tasksLock);
        tasks.push_back(std::move(task));
        target = window;
    }
    if (target != nullptr) {
        PostMessageW(target, WM_RUN_TASKS, 0, 0);
    }
}

void ConverterWindow::runPostedTasks() {
    std::deque<std::function<void()>> ready;
    {
        const std::lock_guard<std::mutex> lock(tasksLock);
        ready.swap(tasks);
    }
    for (std::function<void()>& task : ready) {
        task();
    }
}

void ConverterWindow::showPaths(std::string_view source, std::string_view avi) {
    SetDlgItemTextW(window, IDC_SOURCE_PATH, toUtf16(source).c_str());
    SetDlgItemTextW(window, IDC_AVI_PATH, toUtf16(avi).c_str());
}

std::wstring ConverterWindow::controlText(int id) const {
    const HWND control = GetDlgItem(window, id);
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(control)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(
        GetWindowTextW(control, text.data(), static_cast<int>(text.size()))));
    return text;
}

PathTexts ConverterWindow::readPaths() {
    return {toUtf8(controlText(IDC_SOURCE_PATH)), toUtf8(controlText(IDC_AVI_PATH))};
}

void ConverterWindow::setConvertCaption(std::string_view caption) {
    SetDlgItemTextW(window, IDC_CONVERT, toUtf16(caption).c_str());
}

void ConverterWindow::showProgress(const RunProgress& progress) {
    SendMessageW(progressBar, PBM_SETPOS, static_cast<WPARAM>(progress.percent), 0);
    ShowWindow(progressBar, progress.shown ? SW_SHOWNA : SW_HIDE);
}

void ConverterWindow::setBusy(bool) {
    // The message loop asks the model whether a run is busy.
}

void ConverterWindow::showAbout() {
    showAboutBox(instance, window);
}

void ConverterWindow::showMessage(std::string_view text) {
    MessageBoxW(window, toUtf16(text).c_str(), toUtf16(MESSAGE_TITLE).c_str(), MB_OK);
}

std::optional<std::string> ConverterWindow::chooseFile(const FileRequest& request) {
    const std::optional<std::wstring> chosen = chooseWithDialog(window, toWin32FileDialog(request));
    if (!chosen) {
        return std::nullopt;
    }
    return toUtf8(*chosen);
}

}  // namespace trunvex
