#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>

namespace trunvex {

// One status line on a terminal: bytes read of all, speed and time left. Shared by the
// jobs of a batch; redraws at most ten times a second.
class ProgressBar {
public:
    ProgressBar(std::FILE* terminal, std::uint64_t totalBytes) noexcept;
    void advance(std::uint64_t bytes);
    // Clears the line so that messages print on a clean line.
    void clear();
    void finish();

private:
    void draw(std::chrono::steady_clock::time_point now);

    std::FILE* out;
    std::uint64_t total;
    std::uint64_t done = 0;
    std::chrono::steady_clock::time_point start;
    std::chrono::steady_clock::time_point lastDraw{};
    bool shown = false;
    std::mutex lock;
};

}  // namespace trunvex
