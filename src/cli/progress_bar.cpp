#include "cli/progress_bar.h"

#include <algorithm>
#include <string>

namespace trunvex {
namespace {

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
    std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    return text;
}

}  // namespace

ProgressBar::ProgressBar(std::FILE* terminal, std::uint64_t totalBytes) noexcept
    : out(terminal), total(totalBytes), start(std::chrono::steady_clock::now()) {}

void ProgressBar::advance(std::uint64_t bytes) {
    const std::lock_guard<std::mutex> guard(lock);
    done += bytes;
    const auto now = std::chrono::steady_clock::now();
    if (now - lastDraw >= std::chrono::milliseconds(100)) {
        draw(now);
    }
}

void ProgressBar::draw(std::chrono::steady_clock::time_point now) {
    lastDraw = now;
    const double elapsed = std::chrono::duration<double>(now - start).count();
    const double speed = elapsed > 0 ? static_cast<double>(done) / elapsed : 0;
    const double fraction =
        total > 0 ? std::min(1.0, static_cast<double>(done) / static_cast<double>(total)) : 0;
    constexpr int WIDTH = 30;
    const int filled = static_cast<int>(fraction * WIDTH);
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.resize(WIDTH, '.');
    const std::string left = speed > 0 && total > done
                                 ? formatDuration(static_cast<double>(total - done) / speed)
                                 : "0:00";
    std::fprintf(out, "\r[%s] %3d%% %s / %s  %s/s  %s left ", bar.c_str(),
                 static_cast<int>(fraction * 100), formatBytes(static_cast<double>(done)).c_str(),
                 formatBytes(static_cast<double>(total)).c_str(), formatBytes(speed).c_str(),
                 left.c_str());
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
