#include "cli/progress_bar.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "platform/console.h"

namespace trunvex {
namespace {

constexpr int DEFAULT_COLUMNS = 80;
constexpr std::size_t WIDEST_BAR = 30;
constexpr std::size_t NARROWEST_BAR = 5;

std::string formatBytes(double bytes) {
    char text[32];
    if (bytes >= 1e9) {
        std::snprintf(text, sizeof text, "%.2f GB", bytes / 1e9);
    } else {
        std::snprintf(text, sizeof text, "%.1f MB", bytes / 1e6);
    }
    return text;
}

std::string formatDuration(double seconds) {
    const auto s = static_cast<long>(seconds + 0.5);
    char text[32];
    if (s >= 3600) {
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    } else {
        std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    }
    return text;
}

std::string joined(const std::vector<std::string>& parts) {
    std::string line;
    for (const std::string& part : parts) {
        if (!part.empty()) {
            line += (line.empty() ? "" : " ") + part;
        }
    }
    return line;
}

}  // namespace

void SpeedEstimator::sample(double seconds, std::uint64_t bytesDone) noexcept {
    if (!started) {
        started = true;
        startSeconds = lastSeconds = seconds;
        startBytes = lastBytes = bytesDone;
        return;
    }
    const double interval = seconds - lastSeconds;
    if (interval <= 0) {
        return;
    }
    if (!settled) {
        if (seconds - startSeconds < WARM_UP_SECONDS) {
            return;
        }
        // The average over the warm-up seeds the smoothed speed.
        speed = static_cast<double>(bytesDone - startBytes) / (seconds - startSeconds);
        settled = true;
    } else {
        const double recent = static_cast<double>(bytesDone - lastBytes) / interval;
        const double weight = 1.0 - std::exp(-interval / SMOOTHING_SECONDS);
        speed += weight * (recent - speed);
    }
    lastSeconds = seconds;
    lastBytes = bytesDone;
}

std::string formatProgressLine(const ProgressState& state, int columns) {
    const std::size_t room =
        static_cast<std::size_t>(std::max(1, (columns > 0 ? columns : DEFAULT_COLUMNS) - 1));
    const bool sizeKnown = state.bytesTotal > 0;
    const double done = static_cast<double>(state.bytesDone);
    const double fraction =
        sizeKnown ? std::min(1.0, done / static_cast<double>(state.bytesTotal)) : 0.0;

    std::string files;
    if (state.filesTotal > 1) {
        files = std::to_string(state.filesDone) + "/" + std::to_string(state.filesTotal) + " files";
    }
    std::string share;
    std::string bytes = formatBytes(done);
    if (sizeKnown) {
        share = std::to_string(static_cast<int>(fraction * 100)) + "%";
        bytes += " / " + formatBytes(static_cast<double>(state.bytesTotal));
    }
    std::string speed;
    std::string left;
    if (state.speedKnown) {
        speed = formatBytes(state.bytesPerSecond) + "/s";
        if (sizeKnown && state.bytesPerSecond > 0) {
            const double remaining = state.bytesTotal > state.bytesDone
                                         ? static_cast<double>(state.bytesTotal - state.bytesDone)
                                         : 0.0;
            left = formatDuration(remaining / state.bytesPerSecond) + " left";
        }
    }

    // Least needed first: the speed, the share (the bar shows it too), the time left, the
    // files.
    std::vector<std::string*> droppable = {&speed, &share, &left, &files};
    std::string text = joined({files, share, bytes, speed, left});
    for (std::string* part : droppable) {
        if (text.size() + (sizeKnown ? NARROWEST_BAR + 3 : 0) <= room) {
            break;
        }
        part->clear();
        text = joined({files, share, bytes, speed, left});
    }
    if (sizeKnown && text.size() + NARROWEST_BAR + 3 <= room) {
        const std::size_t width = std::min(WIDEST_BAR, room - text.size() - 3);
        std::string bar(static_cast<std::size_t>(fraction * static_cast<double>(width)), '#');
        bar.resize(width, '.');
        text = "[" + bar + "] " + text;
    }
    if (text.size() > room) {
        text.resize(room);
    }
    return text;
}

ProgressBar::ProgressBar(std::FILE* terminal, std::uint64_t totalBytes,
                         std::size_t totalFiles) noexcept
    : out(terminal), start(std::chrono::steady_clock::now()) {
    state.bytesTotal = totalBytes;
    state.filesTotal = totalFiles;
}

void ProgressBar::advance(std::uint64_t bytes) {
    const std::lock_guard<std::mutex> guard(lock);
    state.bytesDone += bytes;
    const auto now = std::chrono::steady_clock::now();
    if (now - lastDraw >= std::chrono::milliseconds(100)) {
        draw(now);
    }
}

void ProgressBar::fileDone() {
    const std::lock_guard<std::mutex> guard(lock);
    ++state.filesDone;
}

void ProgressBar::draw(std::chrono::steady_clock::time_point now) {
    lastDraw = now;
    estimator.sample(std::chrono::duration<double>(now - start).count(), state.bytesDone);
    state.speedKnown = estimator.ready();
    state.bytesPerSecond = estimator.bytesPerSecond();
    const std::string line = formatProgressLine(state, terminalColumns(out));
    std::fprintf(out, "\r%s\033[K", line.c_str());
    std::fflush(out);
    shown = true;
}

void ProgressBar::clear() {
    const std::lock_guard<std::mutex> guard(lock);
    if (shown) {
        std::fprintf(out, "\r\033[K");
        std::fflush(out);
        shown = false;
        lastDraw = {};
    }
}

void ProgressBar::finish() {
    clear();
}

}  // namespace trunvex
