#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "demux/conversion_context.h"
#include "ui/model/dialog_view.h"

namespace trunvex {

class SourceOpener;
class SinkFactory;

inline constexpr std::string_view SOURCE_DEFAULT_EXTENSION = ".*";
inline constexpr std::string_view SOURCE_FILTER =
    "h264 Files (*.264)|*.264|Mpeg4 Files (*.mp4)|*.mp4|All files(*.*)|*.*||";
inline constexpr std::string_view AVI_DEFAULT_EXTENSION = "*.AVI";
inline constexpr std::string_view AVI_FILTER = "AVI Files (*.AVI)|*.AVI||";

// The AVI path proposed for a source: the source with its file name's extension replaced by
// ".avi", or ".avi" appended to a name without one. Dots in folder names are no extension.
[[nodiscard]] std::string proposedAviPath(const std::string& sourcePath);

// A path as typed or pasted into a box: surrounding blanks and one pair of surrounding quotes
// (which "Copy as path" adds) removed, "~" expanded where the system's shells expand it. A
// path of blanks is empty.
[[nodiscard]] std::string cleanTypedPath(std::string_view typed);

// Where a conversion runs. The program gives it a thread of its own, so the window keeps
// painting and the progress moves; tests may run it on the calling thread, step by step.
enum class RunPlacement { WORKER_THREAD, CALLING_THREAD };

// What the main dialog does, whatever draws it: the two paths and their data exchange, the
// browse outcomes, drops, the run with its caption, progress and one message, and the
// conversion buffers, allocated when the window appears and freed once when it goes.
//
// Everything here is called on the user-interface thread. A run reads and writes the
// conversion context on its own thread; until it has finished (the view has been told
// setBusy(false)) the model takes no action of the user's and nobody else touches the context.
class ConverterDialogModel {
public:
    ConverterDialogModel(DialogView& view, UiDispatcher& dispatcher,
                         RunPlacement placement = RunPlacement::WORKER_THREAD);
    // Sources and output from elsewhere than files (tests).
    ConverterDialogModel(DialogView& view, UiDispatcher& dispatcher, RunPlacement placement,
                         SourceOpener& sources, SinkFactory& sinks);
    // Waits for a run that is still going.
    ~ConverterDialogModel();
    ConverterDialogModel(const ConverterDialogModel&) = delete;
    ConverterDialogModel& operator=(const ConverterDialogModel&) = delete;

    // The window is about to appear: the buffers are allocated and the per-run state takes its
    // starting values. False when memory ran out; the message has been shown and the view
    // closes the dialog.
    [[nodiscard]] bool initialise();

    // The user's actions; each is ignored while a run is busy.
    void browseSource();
    void browseAvi();
    // Starts a run with the paths in the boxes; it ends in exactly one message.
    void convert();
    // What a drag carries, one local path per item (an empty string for an item that is no
    // local file, such as a web address). Taken as if chosen with the source browse.
    void dropFiles(const std::vector<std::string>& paths);
    // Whether dropFiles would take `paths`: exactly one local file, not a folder (which the
    // source browse cannot give either), and not while a run is busy. A view shows the
    // refusal while the user drags when this is false.
    [[nodiscard]] bool takesDrop(const std::vector<std::string>& paths) const;
    // A recording named on the program's command line, once the window has appeared: taken
    // as if chosen, the AVI path proposed; nothing starts by itself.
    void openWith(const std::string& path);
    // The About command: the view shows the box, but not while a run is busy.
    void about();
    // "Exit" or Enter: controls to strings and the buffers freed. False while a run is busy:
    // the dialog stays.
    [[nodiscard]] bool exit();
    // Escape or the close box may end the dialog: false while a run is busy.
    [[nodiscard]] bool mayCancel() const { return !running; }
    // The window has gone, however the dialog ended: frees whatever is still allocated,
    // after a run that is still going.
    void windowDestroyed();
    // Blocks until a run's thread has ended; what it posted is left to the dispatcher.
    void waitForRun();

    // What a view shows.
    [[nodiscard]] const std::string& sourcePath() const { return source; }
    [[nodiscard]] const std::string& aviPath() const { return avi; }
    [[nodiscard]] std::string_view convertCaption() const { return caption; }
    [[nodiscard]] bool busy() const { return running; }
    [[nodiscard]] RunProgress progress() const { return shownProgress; }

    // For tests, while no run is busy.
    [[nodiscard]] const ConversionContext& context() const { return ctx; }
    // How many times allocated buffers were freed (releases of nothing not counted).
    [[nodiscard]] int bufferReleases() const { return releases; }

private:
    friend class ModelRunUi;

    void takeSource(const std::string& path);
    void readTypedPaths();
    void showPaths();
    void startRun();
    void runConversion(const std::string& sourcePath, const std::string& aviPath);
    void releaseBuffers();

    // Steps a run reports, carried out on the user-interface thread.
    void applyCaption(std::string_view newCaption);
    void applyProgress(int percent);
    void finishRun(std::string_view message);

    DialogView& view;
    UiDispatcher& dispatcher;
    const RunPlacement placement;
    SourceOpener& sources;
    SinkFactory& sinks;

    ConversionContext ctx;
    std::string source;
    std::string avi;
    std::string caption;
    RunProgress shownProgress;
    bool running = false;
    int releases = 0;

    std::thread worker;
    // Tasks a run posted check it before they touch the model, so that a dispatcher that
    // outlives the model runs them harmlessly.
    std::shared_ptr<const bool> alive;
};

}  // namespace trunvex
