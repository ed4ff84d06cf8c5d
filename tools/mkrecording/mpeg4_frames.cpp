#include "mkrecording/mpeg4_frames.h"

#include <cstddef>

namespace trunvex::recording {

namespace {

constexpr std::uint8_t VOP_START = 0xB6;

}  // namespace

std::vector<Mpeg4Frame> splitMpeg4Frames(std::span<const std::uint8_t> stream) {
    std::vector<Mpeg4Frame> frames;
    const std::size_t n = stream.size();
    std::size_t frameStart = 0;
    bool haveVop = false;
    bool key = false;
    for (std::size_t i = 0; i + 4 <= n; ++i) {
        if (stream[i] != 0 || stream[i + 1] != 0 || stream[i + 2] != 1) {
            continue;
        }
        if (haveVop) {
            // Any start code after a VOP's data begins the next frame.
            frames.push_back({stream.subspan(frameStart, i - frameStart), key});
            frameStart = i;
            haveVop = false;
        }
        if (stream[i + 3] == VOP_START) {
            haveVop = true;
            key = i + 4 < n && (stream[i + 4] >> 6) == 0;
        }
        i += 2;  // a start code's fourth byte may begin the next one
    }
    if (haveVop) {
        frames.push_back({stream.subspan(frameStart), key});
    } else if (!frames.empty() && frameStart < n) {
        const std::span<const std::uint8_t> last = frames.back().bytes;
        frames.back().bytes =
            std::span<const std::uint8_t>(last.data(), last.size() + (n - frameStart));
    }
    return frames;
}

}  // namespace trunvex::recording
