#pragma once

// Test doubles for the dialog model: a view that logs what it is told and answers its file
// choosers, the user-interface thread's queue, and a recording in memory whose reads can be
// held so that a run stays busy while a test acts.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/source_reader.h"
#include "ui/model/dialog_view.h"

namespace trunvex::test {

class RecordingView final : public DialogView {
public:
    void showPaths(std::string_view source, std::string_view avi) override;
    [[nodiscard]] PathTexts readPaths() override { return boxes; }
    void setConvertCaption(std::string_view caption) override;
    void showProgress(const RunProgress& shown) override { progress.push_back(shown); }
    void setBusy(bool busy) override;
    void showMessage(std::string_view text) override;
    void showAbout() override { events.emplace_back("about"); }
    [[nodiscard]] std::optional<std::string> chooseFile(const FileRequest& request) override;

    // What the two boxes hold; a test types into the AVI box by changing boxes.avi.
    PathTexts boxes;
    std::string caption = "Trunvex";
    bool busyShown = false;
    // "paths", "caption: ...", "busy", "idle", "about" and "message: ..." in order; progress apart.
    std::vector<std::string> events;
    std::vector<std::string> messages;
    std::vector<std::string> captionsAtMessages;
    std::vector<RunProgress> progress;
    std::vector<FileRequest> requests;
    // The user's answers to the choosers in order; std::nullopt is Cancel.
    std::deque<std::optional<std::string>> answers;
};

// Runs every task at once. With the run on the calling thread the model then works as one
// chain of calls, as the dialog did when the run held its thread.
class ImmediateDispatcher final : public UiDispatcher {
public:
    void post(std::function<void()> task) override { task(); }
};

// The user-interface thread's queue: any thread posts, the test's thread runs the tasks.
class QueueDispatcher final : public UiDispatcher {
public:
    void post(std::function<void()> task) override;
    // Runs queued tasks on the calling thread until `done` holds; false after `timeout`.
    [[nodiscard]] bool pumpUntil(const std::function<bool()>& done,
                                 std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // Runs whatever is queued now.
    void pumpPending();

private:
    std::mutex lock;
    std::condition_variable arrived;
    std::deque<std::function<void()>> tasks;
};

// A recording in memory: `bytes`, then `filler` bytes of 0x55. "missing" does not open.
// While held, every read waits until release().
class HeldSourceOpener final : public SourceOpener {
public:
    explicit HeldSourceOpener(std::vector<std::uint8_t> content, std::uint64_t fillerBytes = 0);

    [[nodiscard]] std::unique_ptr<SourceReader> open(const std::string& path,
                                                     std::string& failure) noexcept override;

    void hold();
    void release();
    // Waits until a read is held at the gate; false after `timeout`.
    [[nodiscard]] bool waitForHeldRead(
        std::chrono::milliseconds timeout = std::chrono::seconds(20));
    [[nodiscard]] int opens();
    [[nodiscard]] std::thread::id openedOn();

private:
    class Reader;
    void waitAtGate();

    const std::vector<std::uint8_t> bytes;
    const std::uint64_t filler;
    std::mutex lock;
    std::condition_variable changed;
    bool held = false;
    bool readWaiting = false;
    int openCount = 0;
    std::thread::id openThread;
};

}  // namespace trunvex::test
