#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace trunvex {

// The speed behind the time left: measured from the first report on (what was read before
// that took no measured time), shown only after a second of measuring, and then an
// exponential average over a few seconds, so that neither the first chunk nor a stall
// makes the estimate jump.
class SpeedEstimator {
public:
    void sample(double seconds, std::uint64_t bytesDone) noexcept;
    [[nodiscard]] bool ready() const noexcept { return settled; }
    [[nodiscard]] double bytesPerSecond() const noexcept { return speed; }

private:
    static constexpr double WARM_UP_SECONDS = 1.0;
    static constexpr double SMOOTHING_SECONDS = 5.0;

    bool started = false;
    bool settled = false;
    double startSeconds = 0;
    std::uint64_t startBytes = 0;
    double lastSeconds = 0;
    std::uint64_t lastBytes = 0;
    double speed = 0;
};

// What one drawing of the status line shows.
struct ProgressState {
    std::uint64_t bytesDone = 0;
    std::uint64_t bytesTotal = 0;  // 0: unknown (a pipe), so no share and no time left
    std::size_t filesDone = 0;
    std::size_t filesTotal = 0;  // shown when more than one
    double bytesPerSecond = 0;
    bool speedKnown = false;
};

// The status line for a terminal `columns` wide (0: unknown, taken as 80). It always leaves
// the last column free, so the line never wraps: the bar shrinks, then goes, and the
// least needed figures are dropped first.
[[nodiscard]] std::string formatProgressLine(const ProgressState& state, int columns);

// One status line on a terminal: files done of files found, bytes read of all, speed and
// time left. Shared by the jobs of a batch; redraws at most ten times a second and follows
// the terminal's width.
class ProgressBar {
public:
    ProgressBar(std::FILE* terminal, std::uint64_t totalBytes, std::size_t totalFiles) noexcept;
    void advance(std::uint64_t bytes);
    // One more file finished (converted, failed or skipped).
    void fileDone();
    // Clears the line so that messages print on a clean line.
    void clear();
    void finish();

private:
    void draw(std::chrono::steady_clock::time_point now);

    std::FILE* out;
    ProgressState state;
    SpeedEstimator estimator;
    std::chrono::steady_clock::time_point start;
    std::chrono::steady_clock::time_point lastDraw{};
    bool shown = false;
    std::mutex lock;
};

}  // namespace trunvex
