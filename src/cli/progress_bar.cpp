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
// Every figure is drawn in a field of fixed width, so that the line, and the bar with it,
// keeps one width from one drawing to the next.
constexpr std::size_t BYTES_WIDTH = 8;     // "999.9 MB", "99.99 GB", "999.9 GB", "1234 GB"
constexpr std::size_t SHARE_WIDTH = 4;     // "100%"
constexpr std::size_t DURATION_WIDTH = 5;  // "59:59", "9h59m", "123h"

// At most BYTES_WIDTH characters below a petabyte: the unit changes before a figure grows.
std::string formatBytes(double bytes) {
    char text[32];
    if (bytes < 999.95e6) {
        std::snprintf(text, sizeof text, "%.1f MB", bytes / 1e6);
    } else if (bytes < 99.995e9) {
        std::snprintf(text, sizeof text, "%.2f GB", bytes / 1e9);
    } else if (bytes < 999.95e9) {
        std::snprintf(text, sizeof text, "%.1f GB", bytes / 1e9);
    } else {
        std::snprintf(text, sizeof text, "%.0f GB", bytes / 1e9);
    }
    return text;
}

// At most DURATION_WIDTH characters: minutes and seconds within the hour, then coarser.
std::string formatDuration(double seconds) {
    const auto s = static_cast<long>(seconds + 0.5);
    char text[32];
    if (s < 3600) {
        std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    } else if (s < 36000) {
        std::snprintf(text, sizeof text, "%ldh%02ldm", s / 3600, s / 60 % 60);
    } else {
        std::snprintf(text, sizeof text, "%ldh", s / 3600);
    }
    return text;
}

std::string rightAligned(const std::string& text, std::size_t width) {
    return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

// One figure of the line: its text (blank while unknown) in a field of fixed width.
struct Field {
    std::string text;
    std::size_t width = 0;  // 0: not on the line
};

std::size_t lineWidth(const std::vector<Field>& fields) {
    std::size_t width = 0;
    for (const Field& f : fields) {
        if (f.width > 0) {
            width += (width == 0 ? 0 : 1) + f.width;
        }
    }
    return width;
}

std::string joined(const std::vector<Field>& fields) {
    std::string line;
    for (const Field& f : fields) {
        if (f.width > 0) {
            line += (line.empty() ? "" : " ") + rightAligned(f.text, f.width);
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

    Field files;
    if (state.filesTotal > 1) {
        const std::string total = std::to_string(state.filesTotal);
        files.text =
            rightAligned(std::to_string(state.filesDone), total.size()) + "/" + total + " files";
        files.width = files.text.size();
    }
    Field share;
    Field bytes{formatBytes(done), BYTES_WIDTH};
    Field left;
    if (sizeKnown) {
        share = {std::to_string(static_cast<int>(fraction * 100)) + "%", SHARE_WIDTH};
        // What is read never passes the whole: below a gigabyte it is no wider than that.
        const std::string whole = formatBytes(static_cast<double>(state.bytesTotal));
        const std::size_t doneWidth = whole.ends_with("MB") ? whole.size() : BYTES_WIDTH;
        bytes.text = rightAligned(bytes.text, doneWidth) + " / " + whole;
        bytes.width = doneWidth + 3 + whole.size();
        left.width = DURATION_WIDTH + 5;
    }
    Field speed{{}, BYTES_WIDTH + 2};
    if (state.speedKnown) {
        speed.text = formatBytes(state.bytesPerSecond) + "/s";
        if (sizeKnown && state.bytesPerSecond > 0) {
            const double remaining = state.bytesTotal > state.bytesDone
                                         ? static_cast<double>(state.bytesTotal - state.bytesDone)
                                         : 0.0;
            left.text = formatDuration(remaining / state.bytesPerSecond) + " left";
        }
    }

    // Which fields fit depends on the widths alone, never on the figures, so the line keeps
    // its layout. Least needed first: the speed, the share (the bar shows it too), the time
    // left, the files.
    std::vector<Field> fields = {files, share, bytes, speed, left};
    const std::size_t barRoom = sizeKnown ? NARROWEST_BAR + 3 : 0;
    for (std::size_t drop : {3u, 1u, 4u, 0u}) {
        if (lineWidth(fields) + barRoom <= room) {
            break;
        }
        fields[drop].width = 0;
    }
    std::string text = joined(fields);
    if (sizeKnown && lineWidth(fields) + barRoom <= room) {
        const std::size_t width = std::min(WIDEST_BAR, room - lineWidth(fields) - 3);
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
