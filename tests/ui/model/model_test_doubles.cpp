#include "model_test_doubles.h"

#include <algorithm>
#include <memory>

namespace trunvex::test {

void RecordingView::showPaths(std::string_view source, std::string_view avi) {
    boxes = {std::string(source), std::string(avi)};
    events.emplace_back("paths");
}

void RecordingView::setConvertCaption(std::string_view shown) {
    caption = shown;
    events.push_back("caption: " + caption);
}

void RecordingView::setBusy(bool busy) {
    busyShown = busy;
    events.emplace_back(busy ? "busy" : "idle");
}

void RecordingView::showMessage(std::string_view text) {
    messages.emplace_back(text);
    captionsAtMessages.push_back(caption);
    events.push_back("message: " + std::string(text));
}

std::optional<std::string> RecordingView::chooseFile(const FileRequest& request) {
    requests.push_back(request);
    if (answers.empty()) {
        return std::nullopt;
    }
    std::optional<std::string> answer = answers.front();
    answers.pop_front();
    return answer;
}

void QueueDispatcher::post(std::function<void()> task) {
    {
        const std::lock_guard<std::mutex> guard(lock);
        tasks.push_back(std::move(task));
    }
    arrived.notify_all();
}

bool QueueDispatcher::pumpUntil(const std::function<bool()>& done,
                                std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        std::function<void()> task;
        {
            std::unique_lock<std::mutex> guard(lock);
            if (!arrived.wait_until(guard, deadline, [this] { return !tasks.empty(); })) {
                return false;
            }
            task = std::move(tasks.front());
            tasks.pop_front();
        }
        task();
    }
    return true;
}

void QueueDispatcher::pumpPending() {
    for (;;) {
        std::function<void()> task;
        {
            const std::lock_guard<std::mutex> guard(lock);
            if (tasks.empty()) {
                return;
            }
            task = std::move(tasks.front());
            tasks.pop_front();
        }
        task();
    }
}

class HeldSourceOpener::Reader final : public SourceReader {
public:
    explicit Reader(HeldSourceOpener& from) : owner(from) {}

    std::int64_t read(std::span<std::uint8_t> into) noexcept override {
        owner.waitAtGate();
        const std::uint64_t total = size();
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(into.size(), total - at));
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint64_t position = at + i;
            into[i] = position < owner.bytes.size() ? owner.bytes[position] : std::uint8_t{0x55};
        }
        at += n;
        return static_cast<std::int64_t>(n);
    }
    std::uint64_t size() const noexcept override { return owner.bytes.size() + owner.filler; }
    bool isSameFileAs(const std::string& path) const noexcept override {
        (void)path;
        return false;
    }
    std::string errorText() const override { return {}; }

private:
    HeldSourceOpener& owner;
    std::uint64_t at = 0;
};

HeldSourceOpener::HeldSourceOpener(std::vector<std::uint8_t> content, std::uint64_t fillerBytes)
    : bytes(std::move(content)), filler(fillerBytes) {}

std::unique_ptr<SourceReader> HeldSourceOpener::open(const std::string& path,
                                                     std::string& failure) noexcept {
    {
        const std::lock_guard<std::mutex> guard(lock);
        ++openCount;
        openThread = std::this_thread::get_id();
    }
    if (path == "missing") {
        failure = "No such file or directory";
        return nullptr;
    }
    return std::make_unique<Reader>(*this);
}

void HeldSourceOpener::hold() {
    const std::lock_guard<std::mutex> guard(lock);
    held = true;
}

void HeldSourceOpener::release() {
    {
        const std::lock_guard<std::mutex> guard(lock);
        held = false;
    }
    changed.notify_all();
}

void HeldSourceOpener::waitAtGate() {
    std::unique_lock<std::mutex> guard(lock);
    readWaiting = held;
    changed.notify_all();
    changed.wait(guard, [this] { return !held; });
    readWaiting = false;
}

bool HeldSourceOpener::waitForHeldRead(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, timeout, [this] { return readWaiting; });
}

int HeldSourceOpener::opens() {
    const std::lock_guard<std::mutex> guard(lock);
    return openCount;
}

std::thread::id HeldSourceOpener::openedOn() {
    const std::lock_guard<std::mutex> guard(lock);
    return openThread;
}

}  // namespace trunvex::test
