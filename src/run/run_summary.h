#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "avi/avi_writer.h"
#include "common/codes.h"

namespace trunvex {

struct DemuxStats;

// What a finished run made of its source, for whoever reports on it: the AVI's streams as they
// were written, and what the source held besides. Plain values, kept after the run's buffers
// and output are released.
struct RunSummary {
    struct VideoStream {
        VideoKind kind = VIDEO_KIND_NONE;
        std::uint32_t width = 0;
        std::uint32_t height = 0;
        std::uint32_t frameRate = 0;
        std::uint64_t frames = 0;
        std::uint64_t emptySamples = 0;  // slots of the other streams, frames lost
    };
    struct AudioStream {
        std::uint32_t sourceEncoding = 0;  // the recording's encoding byte of most blocks
        std::uint32_t sampleRate = 0;
        std::uint32_t bitsPerSample = 0;
        std::uint64_t samples = 0;
    };

    std::array<VideoStream, MAX_VIDEO_STREAMS> video{};
    std::size_t videoStreams = 0;
    AudioStream audio{};
    bool hasAudio = false;
    std::uint64_t bytesRead = 0;  // of the source, as handed to the demultiplexer
    std::uint64_t junkBytes = 0;  // of those, the ones outside every accepted record
    double videoSeconds = 0;
    double audioSeconds = 0;
};

// The summary of the run that `writer` and `stats` have just seen, before its output is
// released.
[[nodiscard]] RunSummary summarizeRun(const AviWriter& writer, const DemuxStats& stats,
                                      std::uint64_t bytesRead) noexcept;

}  // namespace trunvex
