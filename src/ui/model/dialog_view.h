#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace trunvex {

// What a file chooser is asked to show. The filter is written as pairs of display text and
// patterns, "Text (*.a)|*.a|...||"; each view turns it into its toolkit's form.
struct FileRequest {
    bool open = true;  // an open chooser (any name may be given) or a save chooser
    std::string_view defaultExtension;
    std::string_view filter;
    bool overwritePrompt = false;  // ask before an existing file is replaced
};

// The texts of the two path boxes, in the byte encoding the file layer takes.
struct PathTexts {
    std::string source;
    std::string avi;
};

// The progress bar under the convert button: shown during a run, 0 to 100.
struct RunProgress {
    bool shown = false;
    int percent = 0;
};

// What the dialog model needs of a view; each toolkit implements it in a few lines. The model
// calls it only on the user-interface thread.
class DialogView {
public:
    virtual ~DialogView() = default;

    // Strings to controls: both boxes show these texts.
    virtual void showPaths(std::string_view source, std::string_view avi) = 0;
    // Controls to strings: what the two boxes hold now (the AVI box may have been typed in).
    [[nodiscard]] virtual PathTexts readPaths() = 0;
    virtual void setConvertCaption(std::string_view caption) = 0;
    virtual void showProgress(const RunProgress& progress) = 0;
    // A run has started (true) or ended (false). While busy the view passes none of the user's
    // input on and refuses to close; the controls keep their look.
    virtual void setBusy(bool busy) = 0;
    // Modal, one OK button; returns when the user has dismissed it.
    virtual void showMessage(std::string_view text) = 0;
    // The About box, modal.
    virtual void showAbout() = 0;
    // Modal; the chosen file's full path, or std::nullopt when the user cancelled.
    [[nodiscard]] virtual std::optional<std::string> chooseFile(const FileRequest& request) = 0;
};

// Hands work to the user-interface thread: Qt posts it to the dialog's event queue, Win32
// posts a window message. A run's thread reports through it.
class UiDispatcher {
public:
    virtual ~UiDispatcher() = default;
    // Runs `task` on the user-interface thread after every task posted before it. Callable
    // from any thread; never runs the task before returning unless the caller is that thread
    // and the run executes there too (tests).
    virtual void post(std::function<void()> task) = 0;
};

}  // namespace trunvex
