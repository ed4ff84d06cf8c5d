#include "ui/model/converter_dialog_model.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <system_error>
#include <utility>

#include "common/failure_texts.h"
#include "platform/file_sink.h"
#include "platform/paths.h"
#include "platform/source_file.h"
#include "run/conversion_run.h"
#include "run/run_messages.h"

namespace trunvex {
namespace {

// The progress bar moves at most once per frame of a 60 Hz display, and only when the
// percentage changed, so that a fast run does not flood the user-interface thread with steps
// nobody can see: at most 101 steps a run.
constexpr std::chrono::milliseconds PROGRESS_INTERVAL{16};

// Only regular files are recordings. Opening a FIFO that has no writer blocks until one
// appears, and a device may never end; both are refused before anything is opened, with the
// message of a source that cannot be opened.
class RegularFileOpener final : public SourceOpener {
public:
    std::unique_ptr<SourceReader> open(const std::string& path,
                                       std::string& failure) noexcept override {
        std::error_code error;
        // The path is UTF-8; as a plain string Windows would read it in its ANSI code page.
        const std::filesystem::file_status status =
            std::filesystem::status(pathFromUtf8(path), error);
        if (error) {
            failure = error.message();
            return nullptr;
        }
        if (!std::filesystem::is_regular_file(status)) {
            failure = NOT_REGULAR_FILE_TEXT;
            return nullptr;
        }
        return fileSourceOpener().open(path, failure);
    }
};

SourceOpener& regularFileOpener() {
    static RegularFileOpener opener;
    return opener;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view trimBlanks(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

std::string_view withoutSurroundingQuotes(std::string_view text) {
    const bool quoted = text.size() >= 2 && (text.front() == '"' || text.front() == '\'') &&
                        text.back() == text.front();
    return quoted ? trimBlanks(text.substr(1, text.size() - 2)) : text;
}

int percentOf(std::uint64_t done, std::uint64_t total) {
    return total == 0 ? 0 : static_cast<int>(std::min(done, total) * 100 / total);
}

}  // namespace

std::string proposedAviPath(const std::string& sourcePath) {
    const std::size_t nameStart = fileNameStart(sourcePath);
    const std::size_t dot = sourcePath.rfind('.');
    // A name's leading dot marks a hidden file, not an extension.
    const bool hasExtension = dot != std::string::npos && dot > nameStart;
    return (hasExtension ? sourcePath.substr(0, dot) : sourcePath) + ".avi";
}

std::string cleanTypedPath(std::string_view typed) {
    return expandHomeFolder(std::string(withoutSurroundingQuotes(trimBlanks(typed))));
}

// The run's side of the dialog, on the run's thread. Everything it reports is posted to the
// user-interface thread; progress only when the percentage changed, and not more often than
// PROGRESS_INTERVAL except for the last step.
class ModelRunUi final : public RunUi {
public:
    explicit ModelRunUi(ConverterDialogModel& owner) : model(owner), alive(owner.alive) {}

    void setConvertCaption(std::string_view caption) override {
        post([text = std::string(caption)](ConverterDialogModel& m) { m.applyCaption(text); });
    }

    void showProgress(std::uint64_t bytesRead, std::uint64_t total) override {
        const int percent = percentOf(bytesRead, total);
        const auto now = std::chrono::steady_clock::now();
        if (percent == postedPercent || (percent < 100 && now - postedAt < PROGRESS_INTERVAL)) {
            return;
        }
        postedPercent = percent;
        postedAt = now;
        post([percent](ConverterDialogModel& m) { m.applyProgress(percent); });
    }

    void showMessage(std::string_view text) override {
        post([message = std::string(text)](ConverterDialogModel& m) { m.finishRun(message); });
    }

private:
    template <class Step>
    void post(Step step) {
        model.dispatcher.post([target = &model, token = alive, step = std::move(step)] {
            if (!token.expired()) {
                step(*target);
            }
        });
    }

    ConverterDialogModel& model;
    const std::weak_ptr<const bool> alive;
    int postedPercent = 0;  // the caption's step shows 0
    std::chrono::steady_clock::time_point postedAt{};
};

ConverterDialogModel::ConverterDialogModel(DialogView& dialogView, UiDispatcher& uiDispatcher,
                                           RunPlacement runPlacement)
    : ConverterDialogModel(dialogView, uiDispatcher, runPlacement, regularFileOpener(),
                           fileSinkFactory()) {}

ConverterDialogModel::ConverterDialogModel(DialogView& dialogView, UiDispatcher& uiDispatcher,
                                           RunPlacement runPlacement, SourceOpener& sourceOpener,
                                           SinkFactory& sinkFactory)
    : view(dialogView),
      dispatcher(uiDispatcher),
      placement(runPlacement),
      sources(sourceOpener),
      sinks(sinkFactory),
      caption(CAPTION_CONVERT),
      alive(std::make_shared<const bool>(true)) {}

ConverterDialogModel::~ConverterDialogModel() {
    waitForRun();
}

bool ConverterDialogModel::initialise() {
    showPaths();
    if (!ctx.allocateBuffers()) {
        // Nothing can be converted without them.
        view.showMessage(MSG_NO_MEMORY);
        return false;
    }
    ctx.writer.resetOutput();
    ctx.resetDemuxer();
    return true;
}

void ConverterDialogModel::browseSource() {
    if (running) {
        return;
    }
    const std::optional<std::string> chosen =
        view.chooseFile({true, SOURCE_DEFAULT_EXTENSION, SOURCE_FILTER, true});
    if (chosen) {
        takeSource(*chosen);
        return;
    }
    // A cancelled choice forgets the source but keeps the stored AVI path.
    source.clear();
    showPaths();
}

void ConverterDialogModel::browseAvi() {
    if (running) {
        return;
    }
    const std::optional<std::string> chosen =
        view.chooseFile({false, AVI_DEFAULT_EXTENSION, AVI_FILTER, true});
    avi = chosen.value_or(std::string());
    showPaths();
}

bool ConverterDialogModel::takesDrop(const std::vector<std::string>& paths) const {
    if (running || paths.size() != 1 || paths.front().empty()) {
        return false;
    }
    std::error_code error;
    return !std::filesystem::is_directory(pathFromUtf8(paths.front()), error);
}

void ConverterDialogModel::dropFiles(const std::vector<std::string>& paths) {
    if (takesDrop(paths)) {
        takeSource(paths.front());
    }
}

void ConverterDialogModel::openWith(const std::string& path) {
    dropFiles({path});
}

void ConverterDialogModel::about() {
    if (!running) {
        view.showAbout();
    }
}

void ConverterDialogModel::takeSource(const std::string& path) {
    source = path;
    avi = proposedAviPath(source);
    showPaths();
}

void ConverterDialogModel::showPaths() {
    view.showPaths(source, avi);
}

void ConverterDialogModel::convert() {
    if (running || !ctx.buffersAllocated()) {
        return;
    }
    readTypedPaths();
    // A name typed without a folder would land in the program's working folder, which the
    // user neither sees nor chose; beside the source is where the proposed path points.
    const std::size_t sourceFolder = fileNameStart(source);
    if (sourceFolder > 0 && !avi.empty() && !pathFromUtf8(avi).has_root_path()) {
        avi.insert(0, source, 0, sourceFolder);
    }
    // The boxes tell which paths the run takes.
    showPaths();
    running = true;
    view.setBusy(true);
    startRun();
}

void ConverterDialogModel::readTypedPaths() {
    const PathTexts texts = view.readPaths();
    source = cleanTypedPath(texts.source);
    avi = cleanTypedPath(texts.avi);
}

void ConverterDialogModel::startRun() {
    if (placement == RunPlacement::WORKER_THREAD) {
        try {
            worker = std::thread(
                [this, sourcePath = source, aviPath = avi] { runConversion(sourcePath, aviPath); });
            return;
        } catch (const std::system_error&) {
            // No thread to be had: the run holds the window as long as it lasts, but it still
            // ends in its one message.
        }
    }
    runConversion(source, avi);
}

void ConverterDialogModel::runConversion(const std::string& sourcePath,
                                         const std::string& aviPath) {
    ModelRunUi ui(*this);
    (void)convertRecording(ctx, sourcePath, aviPath, ui, sources, sinks);
}

void ConverterDialogModel::applyCaption(std::string_view newCaption) {
    caption = newCaption;
    // The bar shows while the button says the run is working.
    shownProgress = RunProgress{caption == CAPTION_WAIT, 0};
    view.setConvertCaption(caption);
    view.showProgress(shownProgress);
}

void ConverterDialogModel::applyProgress(int percent) {
    if (!shownProgress.shown) {
        return;
    }
    shownProgress.percent = percent;
    view.showProgress(shownProgress);
}

void ConverterDialogModel::finishRun(std::string_view message) {
    // The run posted this as its last act; once its thread has ended the context is free.
    waitForRun();
    view.showMessage(message);
    running = false;
    view.setBusy(false);
}

void ConverterDialogModel::waitForRun() {
    if (worker.joinable() && worker.get_id() != std::this_thread::get_id()) {
        worker.join();
    }
}

bool ConverterDialogModel::exit() {
    if (running) {
        return false;
    }
    readTypedPaths();
    releaseBuffers();
    return true;
}

void ConverterDialogModel::windowDestroyed() {
    // A run still going owns the buffers until its thread ends.
    waitForRun();
    releaseBuffers();
}

void ConverterDialogModel::releaseBuffers() {
    if (ctx.buffersAllocated()) {
        ++releases;
    }
    ctx.releaseBuffers();
}

}  // namespace trunvex
